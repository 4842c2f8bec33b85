// The rule set's binary form: golden bytes written out by hand from the layout, truncations,
// malformed data and a mutation sweep (run under AddressSanitizer too).
#include "rules/rule_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/text.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_app.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_keyboard.h"
#include "rules/trigger_input_schedule.h"

namespace vorla {
namespace {

using Bytes = std::vector<uint8_t>;

// Three rules that between them hold every input type and every action type.
// clang-format off
const Bytes kGolden = {
    0x03, 0x00, 0x00, 0x00,  // rule count 3
    // Rule 1: application AND keyboard, record / stop.
    0x02, 0x02, 0x00, 0x00,              // first input type 514
    0x52, 0x00, 0x31, 0x00, 0x00, 0x00,  // rule name "R1"
    0x57, 0x00, 0x49, 0x00, 0x4E, 0x00, 0x00, 0x00,  // input name "WIN"
    0x45, 0x00, 0x64, 0x00, 0x00, 0x00,              // title text "Ed"
    0x00, 0x00,                                      // class text ""
    0x02, 0x00, 0x00, 0x00,                          // show-state mask 2
    0x08, 0x00, 0x00, 0x00,                          // excluded-state mask 8
    0x04, 0x00, 0x00, 0x00,                          // focus mask 4
    0x01, 0x00, 0x00, 0x00,                          // excluded-focus mask 1
    0x03, 0x02, 0x00, 0x00,                          // second input type 515
    0x4B, 0x00, 0x00, 0x00,                          // input name "K"
    0x77, 0x00, 0x00, 0x00,                          // start key 0x77
    0x02, 0x00, 0x00, 0x00,                          // start modifiers 2
    0x78, 0x00, 0x00, 0x00,                          // stop key 0x78
    0x04, 0x00, 0x00, 0x00,                          // stop modifiers 4
    0x01, 0x00, 0x00, 0x00,                          // operator 1 (and)
    0x01, 0x00, 0x00, 0x00,                          // TRUE actions: 1
    0x01, 0x01, 0x00, 0x00,                          //   type 257 (record)
    0xFB, 0xFF, 0xFF, 0xFF,                          //   x -5
    0xFA, 0xFF, 0xFF, 0xFF,                          //   y -6
    0x20, 0x03, 0x00, 0x00,                          //   width 800
    0x58, 0x02, 0x00, 0x00,                          //   height 600
    0x05, 0x00, 0x00, 0x00,                          //   images per second 5
    0x56, 0x50, 0x38, 0x30,                          //   FourCC "VP80"
    0x50, 0x00, 0x00, 0x00,                          //   quality 80
    0x19, 0x00, 0x00, 0x00,                          //   carried value 25
    0x1E, 0x00, 0x00, 0x00,                          //   duration 30
    0x01, 0x00, 0x00, 0x00,                          // FALSE actions: 1
    0x02, 0x01, 0x00, 0x00,                          //   type 258 (stop), no body
    // Rule 2: schedule alone, blank / unblank.
    0x06, 0x02, 0x00, 0x00,                          // first input type 518
    0x00, 0x00,                                      // rule name ""
    0x54, 0x00, 0x49, 0x00, 0x4D, 0x00, 0x00, 0x00,  // input name "TIM"
    0x08, 0x00, 0x00, 0x00,                          // start hour 8
    0x00, 0x00, 0x00, 0x00,                          // start minute 0
    0x05, 0x00, 0x00, 0x00,                          // start second 5
    0x11, 0x00, 0x00, 0x00,                          // end hour 17
    0x1E, 0x00, 0x00, 0x00,                          // end minute 30
    0x3B, 0x00, 0x00, 0x00,                          // end second 59
    0x00, 0x00, 0x00, 0x00,                          // no second input
    0x04, 0x00, 0x00, 0x00,                          // operator 4 (single)
    0x01, 0x00, 0x00, 0x00,                          // TRUE actions: 1
    0x04, 0x01, 0x00, 0x00,                          //   type 260 (blank)
    0x01, 0x00, 0x00, 0x00,                          // FALSE actions: 1
    0x08, 0x01, 0x00, 0x00,                          //   type 264 (unblank)
    // Rule 3: extended application AND NOT external, no actions.
    0x08, 0x02, 0x00, 0x00,                          // first input type 520
    0x58, 0x00, 0x00, 0x00,                          // rule name "X"
    0x57, 0x00, 0x49, 0x00, 0x4E, 0x00, 0x00, 0x00,  // input name "WIN"
    0x41, 0x00, 0x00, 0x00,                          // start title text "A"
    0x00, 0x00,                                      // start class text ""
    0x42, 0x00, 0x00, 0x00,                          // stop title text "B"
    0x63, 0x00, 0x00, 0x00,                          // stop class text "c"
    0x04, 0x00, 0x00, 0x00,                          // start focus mask 4
    0x02, 0x00, 0x00, 0x00,                          // stop focus mask 2
    0x04, 0x02, 0x00, 0x00,                          // second input type 516
    0x45, 0x00, 0x58, 0x00, 0x54, 0x00, 0x00, 0x00,  // input name "EXT"
    0x05, 0x00, 0x00, 0x00,                          // operator 5 (and not)
    0x00, 0x00, 0x00, 0x00,                          // TRUE actions: 0
    0x00, 0x00, 0x00, 0x00,                          // FALSE actions: 0
};
// clang-format on

// The same three rules built in memory.
RuleSet BuildGoldenModel() {
  RuleList rules;
  {
    auto r = std::make_shared<TriggerRule>();
    r->name = u"R1";
    auto app = std::make_shared<TriggerInputApp>();
    app->title_text = u"Ed";
    app->show_state_mask = 2;
    app->excluded_state_mask = 8;
    app->focus_mask = 4;
    app->excluded_focus_mask = 1;
    auto key = std::make_shared<TriggerInputKeyBoard>();
    key->name = u"K";
    key->start_key = 0x77;
    key->start_modifiers = 2;
    key->stop_key = 0x78;
    key->stop_modifiers = 4;
    r->first_input = app;
    r->second_input = key;
    r->rule_operator = kRuleOperatorAnd;
    auto rec = std::make_shared<ActionRecord>();
    rec->x = -5;
    rec->y = -6;
    rec->width = 800;
    rec->height = 600;
    rec->images_per_second = 5;
    rec->codec_fourcc = 0x30385056;  // "VP80"
    rec->quality = 80;
    rec->duration_seconds = 30;
    r->true_actions.push_back(rec);
    r->false_actions.push_back(std::make_shared<ActionStopRecord>());
    rules.push_back(r);
  }
  {
    auto r = std::make_shared<TriggerRule>();
    auto tim = std::make_shared<TriggerInputSchedule>();
    tim->start_hour = 8;
    tim->start_second = 5;
    tim->end_hour = 17;
    tim->end_minute = 30;
    tim->end_second = 59;
    r->first_input = tim;
    r->rule_operator = kRuleOperatorSingle;
    r->true_actions.push_back(std::make_shared<ActionBlank>());
    r->false_actions.push_back(std::make_shared<ActionUnBlank>());
    rules.push_back(r);
  }
  {
    auto r = std::make_shared<TriggerRule>();
    r->name = u"X";
    auto ex = std::make_shared<TriggerInputAppEx>();
    ex->start_title_text = u"A";
    ex->stop_title_text = u"B";
    ex->stop_class_text = u"c";
    ex->start_focus_mask = 4;
    ex->stop_focus_mask = 2;
    r->first_input = ex;
    r->second_input = std::make_shared<TriggerInputExt>();
    r->rule_operator = kRuleOperatorAndNot;
    rules.push_back(r);
  }
  return RuleSet(std::move(rules));
}

template <class T>
const T& As(const std::shared_ptr<TriggerInputBase>& p) {
  const T* t = dynamic_cast<const T*>(p.get());
  EXPECT_NE(t, nullptr);
  static const T fallback;
  return t ? *t : fallback;
}

// A set with one recognisable rule, to see that failed reads keep what was there.
RuleSet Sentinel() {
  auto r = std::make_shared<TriggerRule>();
  r->name = u"keep me";
  r->first_input = std::make_shared<TriggerInputExt>();
  r->rule_operator = kRuleOperatorSingle;
  return RuleSet(RuleList{r});
}

void ExpectSentinel(const RuleSet& set) {
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set.rules()[0]->name, u"keep me");
}

TEST(RuleSetBinary, GoldenBytesReadFieldByField) {
  RuleSet set;
  size_t used = 0;
  ASSERT_TRUE(set.Read(kGolden, &used));
  EXPECT_EQ(used, kGolden.size());
  ASSERT_EQ(set.size(), 3u);

  const TriggerRule& r1 = *set.rules()[0];
  EXPECT_EQ(r1.name, u"R1");
  EXPECT_EQ(r1.rule_operator, 1);
  ASSERT_EQ(r1.first_input->type(), 514);
  const auto& app = As<TriggerInputApp>(r1.first_input);
  EXPECT_EQ(app.name, u"WIN");
  EXPECT_EQ(app.title_text, u"Ed");
  EXPECT_EQ(app.class_text, u"");
  EXPECT_EQ(app.show_state_mask, 2u);
  EXPECT_EQ(app.excluded_state_mask, 8u);
  EXPECT_EQ(app.focus_mask, 4u);
  EXPECT_EQ(app.excluded_focus_mask, 1u);
  ASSERT_EQ(r1.second_input->type(), 515);
  const auto& key = As<TriggerInputKeyBoard>(r1.second_input);
  EXPECT_EQ(key.name, u"K");
  EXPECT_EQ(key.start_key, 0x77u);
  EXPECT_EQ(key.start_modifiers, 2u);
  EXPECT_EQ(key.stop_key, 0x78u);
  EXPECT_EQ(key.stop_modifiers, 4u);
  ASSERT_EQ(r1.true_actions.size(), 1u);
  ASSERT_EQ(r1.true_actions[0]->type(), 257);
  const auto& rec = dynamic_cast<const ActionRecord&>(*r1.true_actions[0]);
  EXPECT_EQ(rec.x, -5);
  EXPECT_EQ(rec.y, -6);
  EXPECT_EQ(rec.width, 800u);
  EXPECT_EQ(rec.height, 600u);
  EXPECT_EQ(rec.images_per_second, 5u);
  EXPECT_EQ(rec.codec_fourcc, 0x30385056u);
  EXPECT_EQ(rec.quality, 80u);
  EXPECT_EQ(rec.carried_value, 25u);
  EXPECT_EQ(rec.duration_seconds, 30);
  ASSERT_EQ(r1.false_actions.size(), 1u);
  EXPECT_EQ(r1.false_actions[0]->type(), 258);
  EXPECT_EQ(r1.Describe(),
            u"(RULE: WIN: Ed && KEY: Sart 0x77 Stop 0x78 -> {TRUE:Record@5ips@VP80 "
            u";FALSE:StopRecording })");

  const TriggerRule& r2 = *set.rules()[1];
  EXPECT_EQ(r2.name, u"");
  EXPECT_EQ(r2.second_input, nullptr);
  const auto& tim = As<TriggerInputSchedule>(r2.first_input);
  EXPECT_EQ(tim.name, u"TIM");
  EXPECT_EQ((std::vector<uint32_t>{tim.start_hour, tim.start_minute, tim.start_second, tim.end_hour,
                                   tim.end_minute, tim.end_second}),
            (std::vector<uint32_t>{8, 0, 5, 17, 30, 59}));
  ASSERT_EQ(r2.true_actions.size(), 1u);
  EXPECT_EQ(r2.true_actions[0]->type(), 260);
  ASSERT_EQ(r2.false_actions.size(), 1u);
  EXPECT_EQ(r2.false_actions[0]->type(), 264);
  EXPECT_EQ(r2.Describe(), u"(RULE: TIM: 08:00:05 to 17:30:59 -> {TRUE:Blank ;FALSE:UnBlank })");

  const TriggerRule& r3 = *set.rules()[2];
  EXPECT_EQ(r3.name, u"X");
  const auto& ex = As<TriggerInputAppEx>(r3.first_input);
  EXPECT_EQ(ex.name, u"WIN");
  EXPECT_EQ(ex.start_title_text, u"A");
  EXPECT_EQ(ex.start_class_text, u"");
  EXPECT_EQ(ex.stop_title_text, u"B");
  EXPECT_EQ(ex.stop_class_text, u"c");
  EXPECT_EQ(ex.start_focus_mask, 4u);
  EXPECT_EQ(ex.stop_focus_mask, 2u);
  EXPECT_EQ(As<TriggerInputExt>(r3.second_input).name, u"EXT");
  EXPECT_TRUE(r3.true_actions.empty());
  EXPECT_TRUE(r3.false_actions.empty());
  EXPECT_EQ(r3.Describe(), u"(RULE: WIN: A && !EXT)");
}

TEST(RuleSetBinary, GoldenBytesWrittenFromModelAndFromReadBack) {
  const RuleSet built = BuildGoldenModel();
  size_t size = 0;
  ASSERT_TRUE(built.Write(nullptr, size));
  EXPECT_EQ(size, kGolden.size());
  Bytes out;
  ASSERT_TRUE(built.Write(out));
  EXPECT_EQ(out, kGolden);

  RuleSet read;
  ASSERT_TRUE(read.Read(kGolden));
  ByteWriter w;
  w.U8(0xEE);  // the write pass appends; it does not reset the writer
  size_t written = 0;
  ASSERT_TRUE(read.Write(&w, written));
  EXPECT_EQ(written, kGolden.size());
  ASSERT_EQ(w.size(), kGolden.size() + 1);
  EXPECT_EQ(Bytes(w.bytes().begin() + 1, w.bytes().end()), kGolden);

  // Each rule's own size agrees with what the set adds up.
  size_t sum = 4;
  for (const auto& r : read.rules()) {
    size_t n = 0;
    ASSERT_TRUE(r->Write(nullptr, n));
    sum += n;
  }
  EXPECT_EQ(sum, kGolden.size());
}

TEST(RuleSetBinary, EmptyAndNonPositiveCounts) {
  struct Row {
    const char* name;
    Bytes data;
  };
  const Row rows[] = {
      {"zero", {0x00, 0x00, 0x00, 0x00}},
      {"minus one", {0xFF, 0xFF, 0xFF, 0xFF}},
      {"most negative, with trailing bytes", {0x00, 0x00, 0x00, 0x80, 0x01, 0x02}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RuleSet set = Sentinel();
    size_t used = 99;
    ASSERT_TRUE(set.Read(row.data, &used));
    EXPECT_EQ(used, 4u);
    EXPECT_TRUE(set.empty());
    Bytes out;
    ASSERT_TRUE(set.Write(out));
    EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x00, 0x00}));
  }
}

TEST(RuleSetBinary, EveryTruncationFailsAndKeepsPreviousRules) {
  for (size_t n = 0; n < kGolden.size(); ++n) {
    SCOPED_TRACE(n);
    // A copy of exactly n bytes, so that AddressSanitizer sees any read past them.
    const Bytes cut(kGolden.begin(), kGolden.begin() + static_cast<std::ptrdiff_t>(n));
    RuleSet set = Sentinel();
    size_t used = 99;
    EXPECT_FALSE(set.Read(cut, &used));
    EXPECT_EQ(used, 0u);
    ExpectSentinel(set);
  }
}

TEST(RuleSetBinary, TrailingBytesAreLeftForTheCaller) {
  Bytes data = kGolden;
  data.insert(data.end(), {0x41, 0x00, 0x00, 0x00});  // a string "A" after the set
  ByteReader in(data);
  RuleSet set;
  ASSERT_TRUE(set.Read(in));
  EXPECT_EQ(in.position(), kGolden.size());
  std::u16string after;
  ASSERT_TRUE(in.Utf16z(after));
  EXPECT_EQ(after, u"A");
  EXPECT_EQ(in.remaining(), 0u);
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A one-rule set around a body: count 1, then the given rule bytes.
Bytes OneRule(const Bytes& rule) {
  Bytes b = {0x01, 0x00, 0x00, 0x00};
  b.insert(b.end(), rule.begin(), rule.end());
  return b;
}

TEST(RuleSetBinary, MalformedDataFails) {
  // The smallest valid rule, for reference: external input "E", single, no actions.
  const Bytes minimal = {0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  {
    RuleSet set;
    ASSERT_TRUE(set.Read(OneRule(minimal)));
    ASSERT_EQ(set.size(), 1u);
  }
  // The same rule up to and including its operator; action lists follow.
  const Bytes head(minimal.begin(), minimal.begin() + 18);
  struct Row {
    const char* name;
    Bytes data;
  };
  const Row rows[] = {
      {"count cut short", {0x01, 0x00, 0x00}},
      {"count 1 without a rule", {0x01, 0x00, 0x00, 0x00}},
      {"absurd rule count", {0xFF, 0xFF, 0xFF, 0x7F, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x00}},
      {"unknown first input type 517",
       OneRule({0x05, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      {"first input type 0",
       OneRule({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      {"unknown action type 259",
       OneRule({0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00,
                0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      // Two actions announced, one record action there: the count passes the size check and
      // the read still stops at the end of the data.
      {"action count past the end",
       OneRule(Cat(Cat(head, {0x02, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00}), Bytes(36, 0x00)))},
      {"absurd action count",
       OneRule(Cat(head, {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00}))},
      {"record body short by one byte",
       OneRule(Cat(Cat(head, {0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00}), Bytes(35, 0x00)))},
      {"rule name without terminator", OneRule({0x04, 0x02, 0x00, 0x00, 0x45, 0x00, 0x46, 0x00, 0x47})},
      {"input name without terminator",
       OneRule({0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x46, 0x00, 0x47, 0x00, 0x48, 0x00})},
      {"schedule body short", OneRule({0x06, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})},
      {"operator missing",
       OneRule({0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00})},
      {"second rule missing", [&] {
         Bytes b = OneRule(minimal);
         b[0] = 0x02;
         return b;
       }()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RuleSet set = Sentinel();
    ByteReader in(row.data);
    EXPECT_FALSE(set.Read(in));
    EXPECT_TRUE(in.failed());  // a caller parsing a larger record sees the failure too
    ExpectSentinel(set);
  }
}

TEST(RuleSetBinary, UnknownSecondInputTypeMeansNoSecondInputAndNoBody) {
  // External input "E", second input type 519 (unknown) directly followed by the operator.
  const Bytes data = OneRule({0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x00, 0x07, 0x02, 0x00,
                              0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  RuleSet set;
  size_t consumed = 0;
  ASSERT_TRUE(set.Read(data, &consumed));
  EXPECT_EQ(consumed, data.size());
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set.rules()[0]->second_input, nullptr);
  EXPECT_EQ(set.rules()[0]->rule_operator, 4);
}

TEST(RuleSetBinary, UnwritableRuleFailsTheWholeSetAndWritesNothing) {
  struct Row {
    const char* name;
    void (*spoil)(TriggerRule&);
  };
  const Row rows[] = {
      {"no first input", [](TriggerRule& r) { r.first_input.reset(); }},
      {"empty TRUE action", [](TriggerRule& r) { r.true_actions.push_back(nullptr); }},
      {"empty FALSE action", [](TriggerRule& r) { r.false_actions.push_front(nullptr); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RuleSet set = BuildGoldenModel();
    row.spoil(*set.rules()[2]);
    size_t size = 123;
    EXPECT_FALSE(set.Write(nullptr, size));
    ByteWriter w;
    EXPECT_FALSE(set.Write(&w, size));
    EXPECT_EQ(w.size(), 0u);
    Bytes out = {1, 2, 3};
    EXPECT_FALSE(set.Write(out));
    EXPECT_TRUE(out.empty());
  }
  RuleSet with_null = BuildGoldenModel();
  with_null.rules().push_back(nullptr);
  Bytes out;
  EXPECT_FALSE(with_null.Write(out));
}

// Random damage to the golden record: every read ends in success or failure (never a crash or a
// read past the buffer), and whatever reads back writes back as exactly the bytes it consumed.
TEST(RuleSetBinary, MutatedInputEitherFailsOrRoundTrips) {
  std::mt19937 rng(12345);
  int successes = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes data = kGolden;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t pos = rng() % data.size();
      switch (rng() % 4) {
        case 0: data[pos] = static_cast<uint8_t>(rng()); break;
        case 1: data[pos] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
        case 2: data.erase(data.begin() + static_cast<std::ptrdiff_t>(pos)); break;
        case 3: data.resize(pos + 1); break;
      }
      if (data.empty()) break;
    }
    RuleSet set;
    size_t used = 0;
    if (!set.Read(data, &used)) continue;
    ++successes;
    Bytes out;
    ASSERT_TRUE(set.Write(out)) << "iteration " << iter;
    const bool non_positive =
        static_cast<int32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24) <= 0;
    if (non_positive) {
      EXPECT_EQ(out, (Bytes{0, 0, 0, 0})) << "iteration " << iter;
      continue;
    }
    // An unknown second-input type reads as "none" and comes back as type 0, so the first write
    // may differ from what was read; it is never longer, and it reads and writes back unchanged.
    EXPECT_LE(out.size(), used) << "iteration " << iter;
    RuleSet again;
    size_t again_used = 0;
    ASSERT_TRUE(again.Read(out, &again_used)) << "iteration " << iter;
    EXPECT_EQ(again_used, out.size());
    Bytes out2;
    ASSERT_TRUE(again.Write(out2));
    EXPECT_EQ(out2, out) << "iteration " << iter;

  }
  // Many damaged records (a changed name character, a mask bit) are still valid.
  EXPECT_GT(successes, 0);
}

}  // namespace
}  // namespace vorla
