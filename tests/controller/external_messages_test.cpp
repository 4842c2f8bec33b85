// The bodies of the Configurator's trigger and blanking requests and of the trigger reply, against
// bytes spelled out by hand.
#include <gtest/gtest.h>

#include "controller/rules_batch.h"
#include "support/golden_bytes.h"

namespace vorla {
namespace {

using test::Golden;

// An event record: presence, id, rule reference, start, end, bytes, two reserved words, an empty
// list of texts.
Golden& EventBytes(Golden& g, const std::string& id, uint32_t rule, uint64_t start, uint64_t end,
                   uint64_t bytes) {
  return g.U32(1).Str(id).U32(rule).U64(start).U64(end).U64(bytes).U32(0).U32(0).U32(0);
}

std::vector<uint8_t> TriggerRequest(uint32_t version, bool with_name) {
  Golden g;
  g.U32(version).U32(77).Str("why");
  EventBytes(g, "EVT_req", 3, 1000, 0, 0);
  g.U32(3).Raw({0xAA, 0xBB, 0xCC});
  if (with_name) g.Str("T9");
  return g.b;
}

TEST(TriggerRequestRecord, ReadsEveryVersion) {
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t version;
    const char16_t* trigger_name;
  };
  const std::vector<Row> rows = {
      {"version 0: nothing follows", Golden().U32(0).b, 0, u""},
      {"version 1: no trigger name", TriggerRequest(1, false), 1, u""},
      {"version 2: trigger name", TriggerRequest(2, true), 2, u"T9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto r = ReadTriggerRequestRecord(row.bytes);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->version, row.version);
    EXPECT_EQ(r->trigger_name, row.trigger_name);
    if (row.version == 0) continue;
    EXPECT_EQ(r->value, 77u);
    EXPECT_EQ(r->text, u"why");
    EXPECT_EQ(r->event.event_id, u"EVT_req");
    EXPECT_EQ(r->event.rule_reference, 3u);
    EXPECT_EQ(r->event.start_time, 1000u);
    EXPECT_EQ(r->data, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
  }
}

TEST(TriggerRequestRecord, EveryRecordCutShortIsRefused) {
  for (const auto& bytes : {TriggerRequest(1, false), TriggerRequest(2, true)}) {
    for (size_t n = 0; n < bytes.size(); ++n) {
      SCOPED_TRACE(n);
      const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
      EXPECT_FALSE(ReadTriggerRequestRecord(cut).has_value());
    }
  }
  // A data length beyond the bytes that remain.
  Golden g;
  g.U32(1).U32(0).Str("");
  EventBytes(g, "", 0, 0, 0, 0);
  g.U32(0xFFFFFFF0).Raw({1, 2});
  EXPECT_FALSE(ReadTriggerRequestRecord(g.b).has_value());
}

TEST(TriggerReply, CarriesTheRequestAroundTheNewEventAsVersion2) {
  const auto request = ReadTriggerRequestRecord(TriggerRequest(1, false));
  ASSERT_TRUE(request.has_value());
  EventRecord event;
  event.event_id = u"EVT_0000000a00000b";
  event.rule_reference = 4;
  event.start_time = 1700000000000;
  event.end_time = 1700000005000;
  event.recorded_bytes = 12345;
  const PayloadBuffer reply = WriteTriggerReply(*request, event);
  Golden want;
  want.U32(2).U32(77).Str("why");
  EventBytes(want, "EVT_0000000a00000b", 4, 1700000000000, 1700000005000, 12345);
  want.U32(3).Raw({0xAA, 0xBB, 0xCC}).Str("");
  EXPECT_EQ(std::vector<uint8_t>(reply.span().begin(), reply.span().end()), want.b);

  // A request without a record: an empty record around the event.
  const PayloadBuffer bare = WriteTriggerReply(TriggerRequestRecord{}, event);
  Golden want_bare;
  want_bare.U32(2).U32(0).Str("");
  EventBytes(want_bare, "EVT_0000000a00000b", 4, 1700000000000, 1700000005000, 12345);
  want_bare.U32(0).Str("");
  EXPECT_EQ(std::vector<uint8_t>(bare.span().begin(), bare.span().end()), want_bare.b);
}

TEST(BlankRequest, ReadsTheBlankWordAndRefusesWhatIsCutShort) {
  const std::vector<uint8_t> blank = Golden().U32(1).U32(1).Str("t").U32(2).Raw({9, 9}).b;
  const std::vector<uint8_t> unblank = Golden().U32(1).U32(0).Str("").U32(0).b;
  EXPECT_EQ(ReadBlankRequest(blank), std::optional<bool>(true));
  EXPECT_EQ(ReadBlankRequest(unblank), std::optional<bool>(false));
  EXPECT_EQ(ReadBlankRequest(Golden().U32(0).U32(1).b), std::optional<bool>(false));
  for (size_t n = 0; n < blank.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> cut(blank.begin(), blank.begin() + static_cast<long>(n));
    EXPECT_FALSE(ReadBlankRequest(cut).has_value());
  }
}

}  // namespace
}  // namespace vorla
