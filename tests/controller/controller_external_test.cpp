// The Configurator's trigger request whose record ends early, handled by the controller with the
// Configurator played by a scripted peer: the request counts as one without a record. (The
// reference Configurator only sends whole records; the integration tests cover the rest.)
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "common/text.h"
#include "controller/controller_fixture.h"
#include "controller/rules_batch.h"
#include "support/golden_bytes.h"
#include "support/test_peer.h"

namespace vorla {
namespace {

using test::Golden;
using test::MakeRule;
using test::RecordAction;

class ControllerExternalTest : public test::ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    ASSERT_TRUE(peer_.listening());
    ws().settings().ConfigPort = peer_.port();
  }

  // The next message of `type` from the workstation; others before it are skipped.
  std::optional<netw_message_t> ReadType(uint32_t type) {
    for (;;) {
      std::optional<netw_message_t> m = peer_.Read(5000);
      if (!m || m->header.type == type) return m;
    }
  }

  test::TestPeer peer_;
};

// A version-2 trigger request record: value 77, text "why", the requester's event "EVT_req",
// 3 bytes of data, trigger name "T9".
std::vector<uint8_t> WholeRecord() {
  Golden g;
  g.U32(2).U32(77).Str("why");
  g.U32(1).Str("EVT_req").U32(3).U64(1000).U64(0).U64(0).U32(0).U32(0).U32(0);
  g.U32(3).Raw({0xAA, 0xBB, 0xCC}).Str("T9");
  return g.b;
}

TEST_F(ControllerExternalTest, ATriggerRecordCutShortIsTakenAsNoRecord) {
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  ws().ManageConnections();
  ASSERT_TRUE(ws().primary_link()->connected());
  ASSERT_TRUE(peer_.Handshake());

  const std::vector<uint8_t> whole = WholeRecord();
  struct Cut {
    const char* name;
    size_t size;
  };
  const Cut cuts[] = {
      {"inside the value", 6},
      {"inside the requester's event", 20},
      {"inside the data", whole.size() - 8},
      {"before the trigger name", whole.size() - 6},
      {"without the name's terminator", whole.size() - 2},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.name);
    log_.Clear();
    const std::vector<uint8_t> part1 = Golden().U32(0).U32(1).b;  // start
    const std::vector<uint8_t> part2(whole.begin(), whole.begin() + static_cast<long>(cut.size));
    ws().OnExternalTrigger(MakeNetwMessage(nwmt_cfg_trigger, PayloadBuffer::CopyOf(part1),
                                           PayloadBuffer::CopyOf(part2)));

    // Started under the default name, the requester's event unseen.
    EXPECT_EQ(CountLogged(u"Received External Trigger Request [START] from DEF_EXT_TRIGGER. Res = "
                          u"0x0, eventID = ."),
              1u);
    ASSERT_EQ(ws().active_events().size(), 1u);
    const EventRecord started = ws().active_events().begin()->second;

    // The reply: result 0, and the record of a request that had none around the new event.
    const std::optional<netw_message_t> reply = ReadType(nwmt_cfg_trigger);
    ASSERT_TRUE(reply.has_value());
    ByteReader p1(reply->part1.span());
    uint32_t result = 1, word = 0;
    ASSERT_TRUE(p1.U32(result) && p1.U32(word));
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(word, 1u);
    const auto record = ReadTriggerRequestRecord(reply->part2.span());
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->version, 2u);
    EXPECT_EQ(record->value, 0u);
    EXPECT_EQ(record->text, u"");
    EXPECT_EQ(record->event.event_id, started.event_id);
    EXPECT_TRUE(record->data.empty());
    EXPECT_EQ(record->trigger_name, u"");

    ASSERT_EQ(ws().ExternalTrigger(0x0, nullptr, u""), 0u);
    EXPECT_TRUE(ws().active_events().empty());
  }
}

}  // namespace
}  // namespace vorla
