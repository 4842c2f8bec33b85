// The Configurator's message functions against bytes written out by hand from the message
// layouts, so that a mistake shared by the tool and the system's byte writers and record writers
// cannot hide. No expected byte here comes from ByteWriter or a system writer.
#include "cfg_messages.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/broadcast_client.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_schedule.h"
#include "support/golden_bytes.h"

namespace vorla::cfgsim {
namespace {

using Bytes = std::vector<uint8_t>;

using test::Golden;

Bytes Of(const PayloadBuffer& p) { return Bytes(p.span().begin(), p.span().end()); }

// A received message over exactly-sized copies of the bytes, so that a read past them is caught
// by the address sanitizer.
netw_message_t Received(uint32_t type, const Bytes& part1, const Bytes& part2) {
  netw_message_t m;
  m.header.type = type;
  m.header.length1 = static_cast<uint32_t>(part1.size());
  m.header.length2 = static_cast<uint32_t>(part2.size());
  m.part1 = PayloadBuffer::CopyOf(part1);
  m.part2 = PayloadBuffer::CopyOf(part2);
  return m;
}

// A built message: type and the two lengths set, every other header field zero, the parts as
// given.
void ExpectMessage(const netw_message_t& m, uint32_t type, const Bytes& part1, const Bytes& part2) {
  EXPECT_EQ(m.header.type, type);
  EXPECT_EQ(m.header.length1, part1.size());
  EXPECT_EQ(m.header.length2, part2.size());
  netw_header rest = m.header;
  rest.type = rest.length1 = rest.length2 = 0;
  EXPECT_EQ(rest, netw_header{});
  EXPECT_EQ(Of(m.part1), part1);
  EXPECT_EQ(Of(m.part2), part2);
}

// The event record used in the trigger requests, and its bytes.
EventRecord SampleEvent() {
  EventRecord e;
  e.event_id = u"E1";
  e.rule_reference = 3;
  e.start_time = 0x0102030405060708ull;
  e.end_time = 0;
  e.recorded_bytes = 0x1122;
  e.event_texts = {u"x"};
  return e;
}
Bytes SampleEventBytes() {
  Golden g;
  g.U32(1).Str("E1").U32(3);                                // presence, event id, rule ref
  g.Raw({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01});  // start time
  g.U64(0).U64(0x1122);                                     // end time, recorded bytes
  g.U32(0).U32(0);                                          // reserved
  g.U32(1).Str("x");                                        // event texts
  return g.b;
}

TEST(CfgMessageTest, TriggerRequestBytes) {
  TriggerRequest base;
  base.value = 7;
  base.text = u"go";
  base.event = SampleEvent();
  base.data = {0xAA, 0xBB};
  base.trigger_name = u"T1";
  // value, text, event record, data length and data: common to versions 1 and 2.
  const Bytes body = Golden().U32(7).Str("go").Raw(SampleEventBytes()).U32(2).Raw({0xAA, 0xBB}).b;

  struct Case {
    const char* name;
    bool start, blank, with_record;
    uint32_t version;
    uint32_t word;
    Bytes part2;
  };
  const Case cases[] = {
      {"START v2", true, false, true, 2, 1, Golden().U32(2).Raw(body).Str("T1").b},
      {"START+BLANK v1", true, true, true, 1, 3, Golden().U32(1).Raw(body).b},
      // Blank goes only with a start.
      {"STOP v0", false, true, true, 0, 0, Golden().U32(0).b},
      {"STOP v2", false, false, true, 2, 0, Golden().U32(2).Raw(body).Str("T1").b},
      {"START no record", true, false, false, 2, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TriggerRequest r = base;
    r.start = c.start;
    r.blank = c.blank;
    r.with_record = c.with_record;
    r.version = c.version;
    ExpectMessage(BuildTriggerRequest(r), 193, Golden().U32(0).U32(c.word).b, c.part2);
  }
}

TEST(CfgMessageTest, BlankLiveAndClosingBytes) {
  {
    SCOPED_TRACE("blank on");
    ExpectMessage(BuildBlankRequest(true, u"Hidden", {1, 2, 3}), 203, Golden().U32(0).U32(0).b,
                  Golden().U32(1).U32(1).Str("Hidden").U32(3).U8(1).U8(2).U8(3).b);
  }
  {
    SCOPED_TRACE("blank off");
    ExpectMessage(BuildBlankRequest(false, u"Shown", {9}), 203, Golden().U32(0).U32(0).b,
                  Golden().U32(1).U32(0).Str("Shown").U32(1).U8(9).b);
  }
  {
    SCOPED_TRACE("blank off, empty");
    ExpectMessage(BuildBlankRequest(false, u"", {}), 203, Golden().U32(0).U32(0).b,
                  Golden().U32(1).U32(0).Str("").U32(0).b);
  }
  {
    SCOPED_TRACE("live start");
    ExpectMessage(BuildLiveRequest(true), 205, Golden().U32(0).U32(1).b, {});
  }
  {
    SCOPED_TRACE("live stop");
    ExpectMessage(BuildLiveRequest(false), 205, Golden().U32(0).U32(0).b, {});
  }
  {
    SCOPED_TRACE("closing status");
    ExpectMessage(BuildClosingStatus(), 2, Golden().U32(2).U32(0).b, {});
  }
}

TEST(CfgMessageTest, SessionConfigAnswerAndRefusalBytes) {
  auto rule = std::make_shared<TriggerRule>();
  rule->name = u"R1";
  rule->first_input = std::make_shared<TriggerInputExt>();
  auto schedule = std::make_shared<TriggerInputSchedule>();
  schedule->start_hour = 8;
  schedule->start_minute = 30;
  schedule->end_hour = 17;
  rule->second_input = schedule;
  rule->rule_operator = kRuleOperatorAnd;
  auto record = std::make_shared<ActionRecord>();
  record->x = 10;
  record->y = 20;
  record->width = 640;
  record->height = 480;
  record->images_per_second = 5;
  rule->true_actions = {record};
  rule->false_actions = {std::make_shared<ActionStopRecord>(), std::make_shared<ActionBlank>()};

  Golden rules;
  rules.U32(1);                                     // rule count
  rules.U32(516).Str("R1").Str("EXT");              // first input: type, rule name, body
  rules.U32(518).Str("TIM").U32(8).U32(30).U32(0);  // second input: name, start h:m:s
  rules.U32(17).U32(0).U32(0);                      // end h:m:s
  rules.U32(1);                                     // operator and
  rules.U32(1).U32(257);                            // TRUE list: one record action
  rules.U32(10).U32(20).U32(640).U32(480).U32(5);   // x, y, width, height, frame rate
  rules.U32(0).U32(60).U32(25).U32(0xFFFFFFFF);     // FourCC, quality, carried, -1
  rules.U32(2).U32(258).U32(260);                   // FALSE list: stop, blank

  netw_message_t m;
  ASSERT_TRUE(BuildSessionConfigAnswer(RuleSet(RuleList{rule}), m));
  ExpectMessage(m, 130, Golden().U32(0xFFFFFFFF).b,
                Golden().U32(3).Str("").Str("").U16(0).Raw(rules.b).Str("").Str("").b);

  // Version 1: no strings after the (empty) rule set.
  ExpectMessage(BuildSessionConfigRefusal(0xC0000FA0), 130, Golden().U32(0xC0000FA0).b,
                Golden().U32(1).Str("").Str("").U16(0).U32(0).b);

  // A rule that cannot be written (no first input) gives no answer.
  auto broken = std::make_shared<TriggerRule>();
  broken->rule_operator = kRuleOperatorSingle;
  EXPECT_FALSE(BuildSessionConfigAnswer(RuleSet(RuleList{broken}), m));
}

TEST(CfgMessageTest, AnnouncementDatagramBytes) {
  const auto d = BuildAnnouncement(1, 4489, u"10.1.2.3");
  ASSERT_TRUE(d.has_value());
  // clang-format off
  const Bytes expected = {
      0xF0, 0x00, 0x00, 0x00,  // type 240
      0x00, 0x00, 0x00, 0x00,  // length1: no part 1
      0x18, 0x00, 0x00, 0x00,  // length2: 4 + 2 + 18
      0x00, 0x00, 0x00, 0x00,  // reserved
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // time stamp
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // reserved
      0x00, 0x00,              // flags
      0x00, 0x00,              // key index
      0x00, 0x00, 0x00, 0x00,  // nonce word
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // reserved (24)
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      // part 2
      0x01, 0x00, 0x00, 0x00,  // kind
      0x89, 0x11,              // port 4489
      '1', 0, '0', 0, '.', 0, '1', 0, '.', 0, '2', 0, '.', 0, '3', 0, 0, 0,  // address
  };
  // clang-format on
  EXPECT_EQ(*d, expected);

  // The workstation's listener takes it, and the port and address read back from part 2.
  netw_message_t m;
  ASSERT_EQ(ParseDatagram(*d, m), 0u);
  EXPECT_EQ(m.header.type, 240u);
  EXPECT_TRUE(m.part1.empty());
  const Bytes part2 = Of(m.part2);
  ASSERT_EQ(part2.size(), 6u + 2 * 8 + 2);  // valid: 6 plus the address string
  EXPECT_EQ(part2[4] | (part2[5] << 8), 4489);
  std::u16string address;
  for (size_t i = 6; i + 1 < part2.size() && (part2[i] | part2[i + 1]); i += 2)
    address += static_cast<char16_t>(part2[i] | (part2[i + 1] << 8));
  EXPECT_EQ(address, u"10.1.2.3");
}

TEST(CfgMessageTest, AnnouncementLimitIs512Bytes) {
  // 64 + 4 + 2 + (2n + 2) <= 512 holds up to n = 220 characters.
  const auto longest = BuildAnnouncement(0, 1, std::u16string(220, u'a'));
  ASSERT_TRUE(longest.has_value());
  EXPECT_EQ(longest->size(), 512u);
  EXPECT_EQ(Bytes(longest->begin() + 8, longest->begin() + 12), (Bytes{0xC0, 0x01, 0, 0}));  // 448
  netw_message_t m;
  EXPECT_EQ(ParseDatagram(*longest, m), 0u);  // the listener takes the largest one

  EXPECT_FALSE(BuildAnnouncement(0, 1, std::u16string(221, u'a')).has_value());
}

// A capability report with two codecs.
Bytes CapabilityPart2(uint32_t count) {
  Golden g;
  g.U32(2).U64(8ull * 1024 * 1024 * 1024 + 123).U32(count);
  g.U32(0x30385056).U32(0x63646976).Str("VP8 codec").Str("vp8.dll").Str("VP8");  // "VP80"/"vidc"
  g.U32(0x47504A4D).U32(0).Str("Motion\tJPEG").Str("").Str("MJPEG");             // "MJPG", type 0
  g.U32(0);                                                                      // closing zero
  return g.b;
}

TEST(CfgMessageTest, CapabilityReportLine) {
  const std::string codecs =
      ", memory 8192 MiB, 2 codecs: VP80/vidc \"VP8\" \"VP8 codec\" \"vp8.dll\", MJPG/???? "
      "\"MJPEG\" \"Motion?JPEG\" \"\"";
  struct Case {
    uint8_t major;
    std::string program;
  };
  const Case cases[] = {{0x03, "capabilities: program 3.7"},
                        {0x83, "capabilities: program 3.7 (remote-desktop session)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const auto line = DescribeCapabilities(
        Received(3, Golden().U32(1).U8(c.major).U8(7).U16(0).b, CapabilityPart2(2)));
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, c.program + codecs);
  }
  const auto none = DescribeCapabilities(Received(
      3, Golden().U32(1).U8(1).U8(0).U16(0).b, Golden().U32(2).U64(1024 * 1024).U32(0).U32(0).b));
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(*none, "capabilities: program 1.0, memory 1 MiB, 0 codecs:");
}

TEST(CfgMessageTest, CapabilityReportMalformed) {
  const Bytes part1 = Golden().U32(1).U8(3).U8(7).U16(0).b;
  const Bytes part2 = CapabilityPart2(2);
  for (size_t n = 0; n < part1.size(); ++n) {
    SCOPED_TRACE("part 1 cut to " + std::to_string(n));
    EXPECT_FALSE(DescribeCapabilities(Received(3, Bytes(part1.begin(), part1.begin() + n), part2))
                     .has_value());
  }
  for (size_t n = 0; n < part2.size(); ++n) {
    SCOPED_TRACE("part 2 cut to " + std::to_string(n));
    EXPECT_FALSE(DescribeCapabilities(Received(3, part1, Bytes(part2.begin(), part2.begin() + n)))
                     .has_value());
  }
  for (uint32_t count : {3u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE("codec count " + std::to_string(count));
    EXPECT_FALSE(DescribeCapabilities(Received(3, part1, CapabilityPart2(count))).has_value());
  }
}

TEST(CfgMessageTest, RequestAnswerLines) {
  const Bytes body = Golden().U32(7).Str("go").Raw(SampleEventBytes()).U32(2).U8(0xAA).U8(0xBB).b;
  const Bytes v1 = Golden().U32(1).Raw(body).b;
  const Bytes v2 = Golden().U32(2).Raw(body).Str("T1").b;
  const std::string fields = "value 7 text \"go\" event \"E1\" data 2 bytes";
  struct Case {
    const char* name;
    uint32_t type;
    Bytes part1, part2;
    std::string line;
  };
  const Case cases[] = {
      {"trigger, no record",
       193,
       Golden().U32(0).U32(1).b,
       {},
       "trigger answer: START result 0x00000000, no record"},
      {"trigger, version 0", 193, Golden().U32(0xC0000FE9).U32(3).b, Golden().U32(0).b,
       "trigger answer: START+BLANK result 0xC0000FE9, record version 0"},
      {"trigger, version 1", 193, Golden().U32(0).U32(0).b, v1,
       "trigger answer: STOP result 0x00000000, version 1 " + fields},
      // The workstation writes the trigger name field whatever the version was.
      {"trigger, version 1 with name", 193, Golden().U32(0).U32(0).b, Golden().Raw(v1).Str("T1").b,
       "trigger answer: STOP result 0x00000000, version 1 " + fields},
      {"trigger, version 2", 193, Golden().U32(0).U32(1).b, v2,
       "trigger answer: START result 0x00000000, version 2 " + fields + " trigger \"T1\""},
      {"trigger, version 2 without name", 193, Golden().U32(0).U32(1).b,
       Golden().U32(2).Raw(body).b,
       "trigger answer: START result 0x00000000, malformed record (version 2)"},
      {"trigger, record cut in the event", 193, Golden().U32(0).U32(1).b,
       Bytes(v2.begin(), v2.begin() + 20),
       "trigger answer: START result 0x00000000, malformed record (version 2)"},
      {"trigger, data length past the end", 193, Golden().U32(0).U32(1).b,
       Golden().U32(1).U32(7).Str("go").Raw(SampleEventBytes()).U32(3).U8(0xAA).U8(0xBB).b,
       "trigger answer: START result 0x00000000, malformed record (version 1)"},
      {"trigger, part 2 shorter than the version", 193, Golden().U32(0).U32(1).b, Bytes{2, 0, 0},
       "trigger answer: START result 0x00000000, malformed record"},
      {"blanking", 203, Golden().U32(0xC0000FE9).U32(0).b, Golden().U32(1).U32(1).Str("").U32(0).b,
       "blanking answer: result 0xC0000FE9"},
      {"live start",
       205,
       Golden().U32(0).U32(1).b,
       {},
       "live-view answer: START result 0x00000000"},
      {"live stop",
       205,
       Golden().U32(0xC0000FA0).U32(0).b,
       {},
       "live-view answer: STOP result 0xC0000FA0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto line = DescribeRequestAnswer(Received(c.type, c.part1, c.part2));
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, c.line);
  }
}

TEST(CfgMessageTest, RequestAnswerNeedsEightBytePart1) {
  for (uint32_t type : {193u, 203u, 205u}) {
    for (const Bytes& part1 : {Bytes{}, Bytes(7, 0), Bytes(9, 0), Bytes(12, 0)}) {
      SCOPED_TRACE(std::to_string(type) + " with part 1 of " + std::to_string(part1.size()));
      EXPECT_FALSE(DescribeRequestAnswer(Received(type, part1, {})).has_value());
    }
  }
  EXPECT_FALSE(DescribeRequestAnswer(Received(4, Bytes(8, 0), {})).has_value());
}

TEST(CfgMessageTest, SessionConfigRequest) {
  std::u16string user;
  EXPECT_TRUE(
      ReadSessionConfigRequest(Received(130, Golden().U32(1).b, Golden().Str("alice").b), user));
  EXPECT_EQ(user, u"alice");

  struct Case {
    const char* name;
    Bytes part1, part2;
  };
  const Case bad[] = {
      {"no part 1", {}, Golden().Str("bob").b},
      {"no part 2", Golden().U32(1).b, {}},
      {"user without its zero", Golden().U32(1).b, Bytes{'b', 0, 'o', 0, 'b'}},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    std::u16string u = u"unchanged";
    EXPECT_FALSE(ReadSessionConfigRequest(Received(130, c.part1, c.part2), u));
  }
}

}  // namespace
}  // namespace vorla::cfgsim
