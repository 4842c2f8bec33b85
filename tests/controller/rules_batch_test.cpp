// The pure pieces of the controller: the merge of one pass's rule actions, the builders of the
// messages to the Configurator (checked against bytes spelled out by hand) and the readers of the
// messages from it (golden input, every truncation, malformed cases).
#include "controller/rules_batch.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/server_records.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_ext.h"
#include "support/golden_bytes.h"

namespace vorla {
namespace {

using test::Golden;

std::vector<uint8_t> Bytes(const PayloadBuffer& b) { return {b.span().begin(), b.span().end()}; }

// A part of exactly `n` bytes of `all` in a buffer of its own, so that a read past it is a read
// past an allocation (the sanitizer build catches it).
PayloadBuffer Prefix(const std::vector<uint8_t>& all, size_t n) {
  return PayloadBuffer::CopyOf(std::span<const uint8_t>(all.data(), n));
}

netw_message_t Message(uint32_t type, const std::vector<uint8_t>& part1,
                       const std::vector<uint8_t>& part2) {
  return MakeNetwMessage(type, PayloadBuffer::CopyOf(part1), PayloadBuffer::CopyOf(part2));
}

// ---- MergeRuleActions

std::shared_ptr<ActionBase> Record(uint32_t ips, uint32_t quality, int32_t x = 0, int32_t y = 0,
                                   uint32_t width = 0, uint32_t height = 0, int32_t duration = -1) {
  auto a = std::make_shared<ActionRecord>();
  a->images_per_second = ips;
  a->quality = quality;
  a->x = x;
  a->y = y;
  a->width = width;
  a->height = height;
  a->duration_seconds = duration;
  return a;
}
std::shared_ptr<ActionBase> Stop() { return std::make_shared<ActionStopRecord>(); }
std::shared_ptr<ActionBase> Blank() { return std::make_shared<ActionBlank>(); }
std::shared_ptr<ActionBase> UnBlank() { return std::make_shared<ActionUnBlank>(); }

// An action of a kind the controller does not know.
class OtherAction final : public ActionBase {
 public:
  OtherAction() : ActionBase(999) {}
  bool Write(ByteWriter*, size_t& size) const override {
    size = 0;
    return true;
  }
  bool Read(ByteReader&) override { return true; }
  std::u16string Describe() const override { return u"other"; }
};

TEST(MergeRuleActionsTest, MergeTable) {
  struct Row {
    const char* name;
    ActionList actions;
    int32_t blank_before;
    // Expected request: x, y, width, height, frame rate, quality.
    int32_t x, y;
    uint32_t width, height, frame_rate, quality;
    uint32_t records, stops;
    std::vector<int32_t> durations;
    bool blank_changed;
    int32_t blank_after;
    uint32_t handled;
  };
  const Row rows[] = {
      {"nothing", {}, 0, 0, 0, 0, 0, 1, 0, 0, 0, {}, false, 0, 0},
      {"1 ips q60 and 5 ips q80",
       {Record(1, 60), Record(5, 80)},
       0,
       0,
       0,
       0,
       0,
       5,
       80,
       2,
       0,
       {},
       false,
       0,
       2},
      {"the higher rate first",
       {Record(5, 80), Record(1, 60)},
       0,
       0,
       0,
       0,
       0,
       5,
       80,
       2,
       0,
       {},
       false,
       0,
       2},
      {"rate 0 stays at the floor of 1",
       {Record(0, 0)},
       0,
       0,
       0,
       0,
       0,
       1,
       0,
       1,
       0,
       {},
       false,
       0,
       1},
      {"widths 0 and 800",
       {Record(1, 60, 0, 0, 0, 0), Record(1, 60, 0, 0, 800, 600)},
       0,
       0,
       0,
       800,
       600,
       1,
       60,
       2,
       0,
       {},
       false,
       0,
       2},
      {"x and y: signed minimum",
       {Record(1, 60, -10, 5), Record(1, 60, 3, -7)},
       0,
       -10,
       -7,
       0,
       0,
       1,
       60,
       2,
       0,
       {},
       false,
       0,
       2},
      {"positive x and y stay at 0",
       {Record(1, 60, 40, 30)},
       0,
       0,
       0,
       0,
       0,
       1,
       60,
       1,
       0,
       {},
       false,
       0,
       1},
      {"width: unsigned maximum",
       {Record(1, 60, 0, 0, 0x80000000u, 1), Record(1, 60, 0, 0, 800, 2)},
       0,
       0,
       0,
       0x80000000u,
       2,
       1,
       60,
       2,
       0,
       {},
       false,
       0,
       2},
      {"quality: unsigned maximum",
       {Record(1, 0xFFFFFFF0u), Record(1, 90)},
       0,
       0,
       0,
       0,
       0,
       1,
       0xFFFFFFF0u,
       2,
       0,
       {},
       false,
       0,
       2},
      {"durations collected, -1 left out",
       {Record(1, 60, 0, 0, 0, 0, 30), Record(1, 60), Record(1, 60, 0, 0, 0, 0, 0),
        Record(1, 60, 0, 0, 0, 0, 5)},
       0,
       0,
       0,
       0,
       0,
       1,
       60,
       4,
       0,
       {30, 0, 5},
       false,
       0,
       4},
      {"stops counted",
       {Stop(), Record(2, 10), Stop()},
       0,
       0,
       0,
       0,
       0,
       2,
       10,
       1,
       2,
       {},
       false,
       0,
       3},
      {"blank then unblank", {Blank(), UnBlank()}, 0, 0, 0, 0, 0, 1, 0, 0, 0, {}, true, 0, 2},
      {"blank then unblank from 2",
       {Blank(), UnBlank()},
       2,
       0,
       0,
       0,
       0,
       1,
       0,
       0,
       0,
       {},
       true,
       2,
       2},
      {"unblank then blank at 0", {UnBlank(), Blank()}, 0, 0, 0, 0, 0, 1, 0, 0, 0, {}, true, 1, 2},
      {"three unblanks at 1",
       {UnBlank(), UnBlank(), UnBlank()},
       1,
       0,
       0,
       0,
       0,
       1,
       0,
       0,
       0,
       {},
       true,
       0,
       3},
      {"unblank at 0 changes nothing", {UnBlank()}, 0, 0, 0, 0, 0, 1, 0, 0, 0, {}, false, 0, 1},
      {"two blanks", {Blank(), Blank()}, 0, 0, 0, 0, 0, 1, 0, 0, 0, {}, true, 2, 2},
      {"unknown and empty actions are skipped",
       {nullptr, std::make_shared<OtherAction>(), Stop()},
       0,
       0,
       0,
       0,
       0,
       1,
       0,
       0,
       1,
       {},
       false,
       0,
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int32_t blank = row.blank_before;
    const RulesBatch b = MergeRuleActions(row.actions, blank);
    EXPECT_EQ(b.request.x, row.x);
    EXPECT_EQ(b.request.y, row.y);
    EXPECT_EQ(b.request.width, row.width);
    EXPECT_EQ(b.request.height, row.height);
    EXPECT_EQ(b.request.frame_rate, row.frame_rate);
    EXPECT_EQ(b.request.quality, row.quality);
    EXPECT_EQ(b.request.max_queued_frames, 25u);
    EXPECT_EQ(b.request.codec_fcc, 0u);
    EXPECT_EQ(b.record_count, row.records);
    EXPECT_EQ(b.stop_count, row.stops);
    EXPECT_EQ(b.durations, row.durations);
    EXPECT_EQ(b.blank_changed, row.blank_changed);
    EXPECT_EQ(blank, row.blank_after);
    EXPECT_EQ(b.handled, row.handled);
  }
}

TEST(MergeRuleActionsTest, CodecAndCarriedValueOfARecordActionAreNotUsed) {
  auto a = std::make_shared<ActionRecord>();
  a->codec_fourcc = 0x47504A4D;
  a->carried_value = 99;
  int32_t blank = 0;
  const RulesBatch b = MergeRuleActions({a}, blank);
  EXPECT_EQ(b.request.codec_fcc, 0u);
  EXPECT_EQ(b.request.max_queued_frames, 25u);
  EXPECT_EQ(b.request.quality, 60u);  // the action's default quality
}

TEST(DefaultCaptureFormatTest, IsTheIdleFormat) {
  const CaptureFormat f = DefaultCaptureFormat();
  EXPECT_EQ(f.x, 0);
  EXPECT_EQ(f.y, 0);
  EXPECT_EQ(f.width, 0u);
  EXPECT_EQ(f.height, 0u);
  EXPECT_EQ(f.frame_rate, 1u);
  EXPECT_EQ(f.max_queued_frames, 25u);
  EXPECT_EQ(f.codec_fcc, 0u);
  EXPECT_EQ(f.quality, 60u);
}

// ---- Builders, against bytes written out from the message table

TEST(BuildCapabilitiesTest, GoldenBytes) {
  const CodecInfo vp8{0x30385056, 0x63646976, u"VP8 video", u"vpx", u"VP8"};
  const CodecInfo mjpg{0x47504A4D, 0x63646976, u"", u"mj.so", u"MJPEG"};
  struct Row {
    const char* name;
    uint8_t major, minor;
    bool remote;
    uint64_t memory;
    std::vector<CodecInfo> codecs;
    std::vector<uint8_t> part1, part2;
  };
  const Row rows[] = {
      {"console, no codec",
       1,
       2,
       false,
       0x0000000123456789ull,
       {},
       {0x01, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00},
       Golden().U32(2).U64(0x0000000123456789ull).U32(0).U32(0).b},
      {"remote sets bit 7 of the major version",
       1,
       2,
       true,
       8ull << 30,
       {},
       {0x01, 0x00, 0x00, 0x00, 0x81, 0x02, 0x00, 0x00},
       Golden().U32(2).U64(8ull << 30).U32(0).U32(0).b},
      {"two codecs in list order",
       7,
       0,
       false,
       4096,
       {vp8, mjpg},
       {0x01, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00},
       Golden()
           .U32(2)
           .U64(4096)
           .U32(2)
           .U32(0x30385056)
           .U32(0x63646976)
           .Str("VP8 video")
           .Str("vpx")
           .Str("VP8")
           .U32(0x47504A4D)
           .U32(0x63646976)
           .Str("")
           .Str("mj.so")
           .Str("MJPEG")
           .U32(0)
           .b},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const netw_message_t m =
        BuildCapabilities(row.major, row.minor, row.remote, row.memory, row.codecs);
    EXPECT_EQ(m.header.type, 3u);
    EXPECT_EQ(m.header.length1, 8u);
    EXPECT_EQ(m.header.length2, row.part2.size());
    EXPECT_EQ(Bytes(m.part1), row.part1);
    EXPECT_EQ(Bytes(m.part2), row.part2);
  }
}

TEST(BuildStatusMessageTest, GoldenBytes) {
  // Standby and no-session forms: part 1 alone.
  const netw_message_t standby = BuildStatusMessage(0x1001, 0, nullptr);
  EXPECT_EQ(standby.header.type, 4u);
  EXPECT_EQ(Bytes(standby.part1), (std::vector<uint8_t>{1, 0, 0, 0, 0x01, 0x10, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(standby.part2.empty());
  EXPECT_EQ(standby.header.length2, 0u);

  SessionRecord s;
  s.presence = 7;  // written as 1 whatever it holds
  s.session_id = u"S-1";
  s.workstation_name = u"WS";
  s.workstation_address = 0x0A00A8C0;
  s.server_text1 = u"a";
  s.server_text2 = u"";
  s.server_text3 = u"c";
  s.user_name = u"alice";
  s.seating_type = 2;
  s.start_time = 1700000000000ull;
  s.end_time = 0;
  s.session_flags = 0x40;
  s.server_texts = {u"x", u"yz"};
  const netw_message_t m = BuildStatusMessage(0x0217, 0xC0000FD2, &s);
  EXPECT_EQ(m.header.type, 4u);
  EXPECT_EQ(m.header.length1, 12u);
  EXPECT_EQ(Bytes(m.part1), Golden().U32(1).U32(0x0217).U32(0xC0000FD2).b);
  const std::vector<uint8_t> record = Golden()
                                          .U32(1)
                                          .Str("S-1")
                                          .Str("WS")
                                          .U32(0x0A00A8C0)
                                          .Str("a")
                                          .Str("")
                                          .Str("c")
                                          .Str("alice")
                                          .U32(2)
                                          .U64(1700000000000ull)
                                          .U64(0)
                                          .U32(0x40)
                                          .U32(2)
                                          .Str("x")
                                          .Str("yz")
                                          .b;
  EXPECT_EQ(Bytes(m.part2), record);
  EXPECT_EQ(m.header.length2, record.size());
}

TEST(BuildClosingNoticeTest, GoldenBytes) {
  const netw_message_t m = BuildClosingNotice();
  EXPECT_EQ(m.header.type, 2u);
  EXPECT_EQ(Bytes(m.part1), (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(m.part2.empty());
  EXPECT_EQ(m.header.length2, 0u);
}

TEST(BuildSessionConfigRequestTest, GoldenBytes) {
  const netw_message_t m = BuildSessionConfigRequest(u"DOM\\bob");
  EXPECT_EQ(m.header.type, 130u);
  EXPECT_EQ(Bytes(m.part1), (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(Bytes(m.part2), Golden().Str("DOM\\bob").b);
  EXPECT_EQ(m.header.length2, 16u);
}

// ---- Readers

// A rule set of one rule, spelled out: an external input, TRUE actions [record], FALSE actions
// [stop].
std::vector<uint8_t> GoldenRuleSet() {
  return Golden()
      .U32(1)           // rule count
      .U32(516)         // first input: external
      .Str("R1")        // rule name
      .Str("EXT")       // the input's name (its whole body)
      .U32(0)           // no second input
      .U32(4)           // operator: single
      .U32(1)           // TRUE actions
      .U32(257)         // record
      .U32(0xFFFFFFFB)  // x = -5
      .U32(0)           // y
      .U32(800)         // width
      .U32(600)         // height
      .U32(5)           // images per second
      .U32(0x47504A4D)  // codec
      .U32(80)          // quality
      .U32(25)          // carried value
      .U32(30)          // duration
      .U32(1)           // FALSE actions
      .U32(258)         // stop
      .b;
}

// The same rule built in memory.
RuleList GoldenRules() {
  auto rule = std::make_shared<TriggerRule>();
  rule->name = u"R1";
  rule->first_input = std::make_shared<TriggerInputExt>();
  rule->rule_operator = kRuleOperatorSingle;
  auto record = std::make_shared<ActionRecord>();
  record->x = -5;
  record->width = 800;
  record->height = 600;
  record->images_per_second = 5;
  record->codec_fourcc = 0x47504A4D;
  record->quality = 80;
  record->carried_value = 25;
  record->duration_seconds = 30;
  rule->true_actions = {record};
  rule->false_actions = {std::make_shared<ActionStopRecord>()};
  return {rule};
}

void ExpectGoldenRule(const RuleList& rules) {
  ASSERT_EQ(rules.size(), 1u);
  const TriggerRule& r = *rules[0];
  EXPECT_EQ(r.name, u"R1");
  ASSERT_TRUE(r.first_input);
  EXPECT_EQ(r.first_input->type(), kTriggerInputTypeExt);
  EXPECT_EQ(r.rule_operator, kRuleOperatorSingle);
  ASSERT_EQ(r.true_actions.size(), 1u);
  const auto* record = dynamic_cast<const ActionRecord*>(r.true_actions[0].get());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->x, -5);
  EXPECT_EQ(record->width, 800u);
  EXPECT_EQ(record->images_per_second, 5u);
  EXPECT_EQ(record->quality, 80u);
  EXPECT_EQ(record->duration_seconds, 30);
  ASSERT_EQ(r.false_actions.size(), 1u);
  EXPECT_EQ(r.false_actions[0]->type(), kActionTypeStopRecord);
}

// A version-1 settings record: the fields up to ErrLogLevel.
std::vector<uint8_t> GoldenSettingsV1() {
  return Golden()
      .U32(1)           // Version
      .Str("10.0.0.9")  // SCServerIP
      .U16(4500)        // RecordingPort
      .Str("cfg-host")  // ConfigIP
      .U16(4501)        // ConfigPort
      .U16(4502)        // BroadcastPort
      .U16(0)           // BroadcastTakesPref
      .U32(1)           // SeatingType
      .U32(0x47504A4D)  // AssignedFCC
      .U16(0)           // Carried16
      .U32(3)           // ErrLogLevel
      .b;
}

void ExpectGoldenSettings(const WorkstationSettings& s) {
  EXPECT_EQ(s.SCServerIP, u"10.0.0.9");
  EXPECT_EQ(s.RecordingPort, 4500);
  EXPECT_EQ(s.ConfigIP, u"cfg-host");
  EXPECT_EQ(s.ConfigPort, 4501);
  EXPECT_EQ(s.BroadcastPort, 4502);
  EXPECT_EQ(s.BroadcastTakesPref, 0);
  EXPECT_EQ(s.SeatingType, 1u);
  EXPECT_EQ(s.AssignedFCC, 0x47504A4Du);
  EXPECT_EQ(s.ErrLogLevel, 3u);
}

TEST(ReadConfigMessageTest, EachPartAsItsFlagSays) {
  const std::vector<uint8_t> text = Golden().Str("note").b;
  const std::vector<uint8_t> settings = GoldenSettingsV1();
  const std::vector<uint8_t> rules = GoldenRuleSet();
  struct Row {
    const char* name;
    uint8_t flags;
    std::vector<std::vector<uint8_t>> pieces;
    bool settings, rules;
  };
  const Row rows[] = {
      {"no flags", 0, {}, false, false},
      {"no flags, bytes ignored", 0, {settings, rules}, false, false},
      {"text only", 1, {text}, false, false},
      {"settings only", 2, {settings}, true, false},
      {"rules only", 4, {rules}, false, true},
      {"text and rules", 5, {text, rules}, false, true},
      {"settings and rules", 6, {settings, rules}, true, true},
      {"all three", 7, {text, settings, rules}, true, true},
      {"other bits of the flag byte are ignored", 0xF6, {settings, rules}, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Golden part2;
    for (const auto& p : row.pieces) part2.Raw(p);
    const ConfigMessage m = ReadConfigMessage(Message(129, {row.flags}, part2.b));
    ASSERT_EQ(m.settings.has_value(), row.settings);
    if (row.settings) ExpectGoldenSettings(*m.settings);
    ASSERT_EQ(m.rules.has_value(), row.rules);
    if (row.rules) {
      ExpectGoldenRule(m.rules->rules());
      EXPECT_EQ(m.rule_bytes, rules);
    } else {
      EXPECT_TRUE(m.rule_bytes.empty());
    }
  }
}

TEST(ReadConfigMessageTest, RuleBytesRunToTheEndOfThePart) {
  const std::vector<uint8_t> tail = {0xAA, 0xBB, 0xCC};
  const std::vector<uint8_t> part2 = Golden().Raw(GoldenRuleSet()).Raw(tail).b;
  const ConfigMessage m = ReadConfigMessage(Message(129, {4}, part2));
  ASSERT_TRUE(m.rules.has_value());
  ExpectGoldenRule(m.rules->rules());
  EXPECT_EQ(m.rule_bytes, part2);
}

TEST(ReadConfigMessageTest, MalformedParts) {
  const std::vector<uint8_t> text = Golden().Str("note").b;
  const std::vector<uint8_t> settings = GoldenSettingsV1();
  std::vector<uint8_t> bad_action = GoldenRuleSet();
  bad_action[bad_action.size() - 4] = 0x07;  // FALSE action type 0x107: unknown
  std::vector<uint8_t> text_without_zero = {'n', 0, 'o', 0};
  struct Row {
    const char* name;
    std::vector<uint8_t> part1;
    std::vector<uint8_t> part2;
    bool settings, rules;
  };
  const Row rows[] = {
      {"no part 1", {}, Golden().Raw(settings).Raw(GoldenRuleSet()).b, false, false},
      {"a rule set that fails to read is absent",
       {6},
       Golden().Raw(settings).Raw(bad_action).b,
       true,
       false},
      {"a text without its zero ends the reading",
       {7},
       Golden().Raw(text_without_zero).b,
       false,
       false},
      {"a cut settings record ends the reading",
       {6},
       Golden().Raw(std::vector<uint8_t>(settings.begin(), settings.begin() + 10)).b,
       false,
       false},
      {"an empty part 2", {7}, {}, false, false},
      {"a rule count of 0", {4}, {0, 0, 0, 0}, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ConfigMessage m = ReadConfigMessage(Message(129, row.part1, row.part2));
    EXPECT_EQ(m.settings.has_value(), row.settings);
    if (row.settings) ExpectGoldenSettings(*m.settings);
    EXPECT_EQ(m.rules.has_value(), row.rules);
    if (!row.rules) {
      EXPECT_TRUE(m.rule_bytes.empty());
    } else {
      EXPECT_TRUE(m.rules->empty());
    }
  }
}

TEST(ReadConfigMessageTest, EveryTruncationKeepsWhatCameBefore) {
  const std::vector<uint8_t> text = Golden().Str("note").b;
  const std::vector<uint8_t> settings = GoldenSettingsV1();
  const std::vector<uint8_t> rules = GoldenRuleSet();
  const std::vector<uint8_t> all = Golden().Raw(text).Raw(settings).Raw(rules).b;
  const size_t settings_end = text.size() + settings.size();
  for (size_t n = 0; n < all.size(); ++n) {
    SCOPED_TRACE(n);
    netw_message_t m =
        MakeNetwMessage(129, PayloadBuffer::CopyOf(std::vector<uint8_t>{7}), Prefix(all, n));
    const ConfigMessage c = ReadConfigMessage(m);
    EXPECT_EQ(c.settings.has_value(), n >= settings_end);
    if (c.settings) ExpectGoldenSettings(*c.settings);
    EXPECT_FALSE(c.rules.has_value());
    EXPECT_TRUE(c.rule_bytes.empty());
  }
}

TEST(RulesDifferTest, ComparesTheWrittenFormOverTheShorterLength) {
  const RuleList current = GoldenRules();
  const std::vector<uint8_t> same = GoldenRuleSet();
  EXPECT_FALSE(RulesDiffer(current, same)) << "identical list";

  std::vector<uint8_t> other = same;
  other[other.size() - 12] ^= 0x01;  // the duration of the record action
  EXPECT_TRUE(RulesDiffer(current, other)) << "one byte differs";

  std::vector<uint8_t> longer = same;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_FALSE(RulesDiffer(current, longer)) << "bytes past the written form are not compared";
  EXPECT_FALSE(RulesDiffer(current, std::span<const uint8_t>(same.data(), 10)))
      << "a shorter received form is compared over its own length";
  std::vector<uint8_t> short_other(same.begin(), same.begin() + 10);
  short_other[9] ^= 0x80;
  EXPECT_TRUE(RulesDiffer(current, short_other));

  EXPECT_FALSE(RulesDiffer({}, std::vector<uint8_t>{0, 0, 0, 0})) << "two empty lists";
  EXPECT_TRUE(RulesDiffer({}, same)) << "an empty list against one rule";

  // A current list that cannot be written counts as changed.
  auto broken = std::make_shared<TriggerRule>();
  broken->rule_operator = kRuleOperatorSingle;
  EXPECT_TRUE(RulesDiffer({broken}, same));
}

// A session configuration answer: part 1 the word, part 2 version, two strings, a 16-bit value,
// the rule set, then one string per version above 1.
std::vector<uint8_t> AnswerBody(uint32_t version, const std::vector<uint8_t>& rules) {
  Golden g;
  g.U32(version).Str("first").Str("second").U16(0x1234).Raw(rules);
  if (version > 1) g.Str("v2");
  if (version > 2) g.Str("v3");
  return g.b;
}

const std::vector<uint8_t> kAnswerWord = {0xFF, 0xFF, 0xFF, 0xFF};

TEST(ReadSessionConfigAnswerTest, AnswerTable) {
  std::vector<uint8_t> bad_rules = GoldenRuleSet();
  bad_rules[5] = 0x09;  // first input type 0x904: unknown
  struct Row {
    const char* name;
    std::vector<uint8_t> part1, part2;
    Status want;
    size_t rules;
  };
  const Row rows[] = {
      {"version 3", kAnswerWord, AnswerBody(3, GoldenRuleSet()), 0, 1},
      {"version 2", kAnswerWord, AnswerBody(2, GoldenRuleSet()), 0, 1},
      {"version 1 has no strings after the rules", kAnswerWord, AnswerBody(1, GoldenRuleSet()), 0,
       1},
      {"version 3 without its strings still reads the rules", kAnswerWord,
       Golden().U32(3).Str("a").Str("b").U16(0).Raw(GoldenRuleSet()).b, 0, 1},
      {"an empty rule set", kAnswerWord, AnswerBody(3, {0, 0, 0, 0}), 0, 0},
      {"a rule set that does not read", kAnswerWord, AnswerBody(3, bad_rules), 0, 0},
      {"part 1 of 3 bytes", {0xFF, 0xFF, 0xFF}, AnswerBody(3, GoldenRuleSet()), 0xC0000FE3, 0},
      {"part 1 of 5 bytes",
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       AnswerBody(3, GoldenRuleSet()),
       0xC0000FE3,
       0},
      {"no part 1", {}, AnswerBody(3, GoldenRuleSet()), 0xC0000FE3, 0},
      {"no part 2", kAnswerWord, {}, 0xC0000FE3, 0},
      {"a word of 0", {0, 0, 0, 0}, AnswerBody(3, GoldenRuleSet()), 0xC0000FA0, 0},
      {"a word of 0xFFFFFFFE",
       {0xFE, 0xFF, 0xFF, 0xFF},
       AnswerBody(3, GoldenRuleSet()),
       0xC0000FA0,
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RuleList rules;
    EXPECT_EQ(ReadSessionConfigAnswer(Message(130, row.part1, row.part2), rules), row.want);
    if (row.want == 0) {
      ASSERT_EQ(rules.size(), row.rules);
      if (row.rules) ExpectGoldenRule(rules);
    }
  }
}

TEST(ReadSessionConfigAnswerTest, AnAnswerReplacesEarlierRulesEvenWithNone) {
  RuleList rules = GoldenRules();
  std::vector<uint8_t> bad_rules = GoldenRuleSet();
  bad_rules[5] = 0x09;
  EXPECT_EQ(ReadSessionConfigAnswer(Message(130, kAnswerWord, AnswerBody(3, bad_rules)), rules),
            0u);
  EXPECT_TRUE(rules.empty());
}

// The rule set is read with a budget of 65,535 bytes.
TEST(ReadSessionConfigAnswerTest, RuleSetBudget) {
  for (const size_t name_length : {size_t{32750}, size_t{32751}}) {
    SCOPED_TRACE(name_length);
    // count, first type, rule name, "EXT", second type, operator, two empty action lists.
    const size_t set_size = 34 + 2 * name_length;
    Golden set;
    set.U32(1).U32(516).Str(std::string(name_length, 'n')).Str("EXT").U32(0).U32(4).U32(0).U32(0);
    ASSERT_EQ(set.b.size(), set_size);
    RuleList rules;
    EXPECT_EQ(ReadSessionConfigAnswer(Message(130, kAnswerWord, AnswerBody(1, set.b)), rules), 0u);
    EXPECT_EQ(rules.size(), set_size <= 65535 ? 1u : 0u);
  }
}

TEST(ReadSessionConfigAnswerTest, EveryTruncationFailsOrDegrades) {
  const std::vector<uint8_t> rules = GoldenRuleSet();
  const std::vector<uint8_t> body = AnswerBody(3, rules);
  const size_t rules_end = 4 + 12 + 14 + 2 + rules.size();
  for (size_t n = 0; n < body.size(); ++n) {
    SCOPED_TRACE(n);
    RuleList got = GoldenRules();
    const netw_message_t m =
        MakeNetwMessage(130, PayloadBuffer::CopyOf(kAnswerWord), Prefix(body, n));
    if (n == 0) {
      EXPECT_EQ(ReadSessionConfigAnswer(m, got), 0xC0000FE3u);
      continue;
    }
    EXPECT_EQ(ReadSessionConfigAnswer(m, got), 0u);
    EXPECT_EQ(got.size(), n >= rules_end ? 1u : 0u);
  }
  for (size_t n = 0; n < 4; ++n) {
    SCOPED_TRACE(n);
    RuleList got;
    const netw_message_t m =
        MakeNetwMessage(130, Prefix(kAnswerWord, n), PayloadBuffer::CopyOf(body));
    EXPECT_EQ(ReadSessionConfigAnswer(m, got), 0xC0000FE3u);
  }
}

TEST(ReadAnnouncementTest, ExactSizeOnly) {
  const std::vector<uint8_t> golden = Golden().U32(9).U16(4600).Str("10.1.1.1").b;
  const auto a = ReadAnnouncement(Message(240, {}, golden));
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->address, u"10.1.1.1");
  EXPECT_EQ(a->port, 4600);

  const auto empty_address = ReadAnnouncement(Message(240, {}, Golden().U32(0).U16(1).Str("").b));
  ASSERT_TRUE(empty_address.has_value());
  EXPECT_EQ(empty_address->address, u"");

  EXPECT_FALSE(ReadAnnouncement(Message(240, {}, Golden().Raw(golden).U8(0).b)))
      << "one byte too many";
  EXPECT_FALSE(ReadAnnouncement(Message(240, {}, Golden().Raw(golden).U16(0).b)))
      << "a second terminator";
  EXPECT_FALSE(ReadAnnouncement(Message(240, {}, Golden().Raw(golden).Str("x").b)))
      << "a second string";
  for (size_t n = 0; n < golden.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(ReadAnnouncement(MakeNetwMessage(240, {}, Prefix(golden, n))));
  }
}

TEST(CompareSettingsTest, RestartReasons) {
  const WorkstationSettings base = [] {
    WorkstationSettings s;
    s.SCServerIP = u"rec-a.example";
    s.AssignedFCC = 0x30385056;
    s.EncryptionPassword = u"Secret";
    s.SeatingType = 2;
    s.LostText = u"locked";
    return s;
  }();
  struct Row {
    const char* name;
    void (*change)(WorkstationSettings&);
    bool server, codec, encryption, seating;
    const char16_t* text;
  };
  const Row rows[] = {
      {"nothing", [](WorkstationSettings&) {}, false, false, false, false, u""},
      {"LostText only", [](WorkstationSettings& s) { s.LostText = u"x"; }, false, false, false,
       false, u""},
      {"server in other letter case",
       [](WorkstationSettings& s) { s.SCServerIP = u"REC-A.example"; }, false, false, false, false,
       u""},
      {"new server", [](WorkstationSettings& s) { s.SCServerIP = u"rec-b.example"; }, true, false,
       false, false, u"NewServer "},
      {"new codec", [](WorkstationSettings& s) { s.AssignedFCC = 0; }, false, true, false, false,
       u"NewCodec "},
      {"password in other letter case",
       [](WorkstationSettings& s) { s.EncryptionPassword = u"secret"; }, false, false, true, false,
       u"EncryptionChange "},
      {"seating type", [](WorkstationSettings& s) { s.SeatingType = 1; }, false, false, false, true,
       u"SeatingType "},
      {"all four",
       [](WorkstationSettings& s) {
         s.SCServerIP = u"x";
         s.AssignedFCC = 1;
         s.EncryptionPassword = u"";
         s.SeatingType = 0;
       },
       true, true, true, true, u"NewServer NewCodec EncryptionChange SeatingType "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WorkstationSettings incoming = base;
    row.change(incoming);
    RestartReasons r;
    CompareSettings(base, incoming, r);
    EXPECT_EQ(r.new_server, row.server);
    EXPECT_EQ(r.new_codec, row.codec);
    EXPECT_EQ(r.encryption_change, row.encryption);
    EXPECT_EQ(r.seating_type, row.seating);
    EXPECT_EQ(r.Text(), row.text);
  }
  RestartReasons agent;
  agent.new_agent_config = true;
  agent.rules_changed = true;
  EXPECT_EQ(agent.Text(), u"NewAgentConfig ");
}

}  // namespace
}  // namespace vorla
