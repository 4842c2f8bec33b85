// A rule's evaluation order and its description text.
#include "rules/trigger_rule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/text.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_app.h"
#include "rules/trigger_input_ext.h"
#include "rules/trigger_input_keyboard.h"
#include "rules/trigger_input_schedule.h"

namespace vorla {
namespace {

// An input with a scripted value that counts its evaluations.
class ScriptedInput final : public TriggerInputBase {
 public:
  ScriptedInput(bool value, std::u16string label)
      : TriggerInputBase(kTriggerInputTypeExt, std::move(label)), value(value) {}
  bool Write(ByteWriter*, size_t& size) const override {
    size = 0;
    return true;
  }
  bool Read(ByteReader&) override { return true; }
  std::u16string Describe() const override { return name; }
  bool Evaluate() override {
    ++evaluations;
    return value;
  }
  bool value;
  int evaluations = 0;
};

TEST(TriggerRuleEvaluate, ShortCircuitFirstInputFirst) {
  struct Row {
    int32_t op;
    bool first;
    bool second;
    bool expected;
    bool second_evaluated;
  };
  const Row rows[] = {
      {kRuleOperatorAnd, false, true, false, false},
      {kRuleOperatorAnd, true, false, false, true},
      {kRuleOperatorAnd, true, true, true, true},
      {kRuleOperatorOr, true, false, true, false},
      {kRuleOperatorOr, false, true, true, true},
      {kRuleOperatorOr, false, false, false, true},
      {kRuleOperatorNot, true, true, false, false},
      {kRuleOperatorNot, false, true, true, false},
      {kRuleOperatorSingle, true, false, true, false},
      {kRuleOperatorSingle, false, true, false, false},
      {kRuleOperatorAndNot, false, false, false, false},
      {kRuleOperatorAndNot, true, false, true, true},
      {kRuleOperatorAndNot, true, true, false, true},
      {9, true, true, false, false},
      {0, true, true, false, false},
      {-1, true, true, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << "op " << row.op << " first " << row.first << " second " << row.second);
    auto first = std::make_shared<ScriptedInput>(row.first, u"a");
    auto second = std::make_shared<ScriptedInput>(row.second, u"b");
    TriggerRule rule;
    rule.first_input = first;
    rule.second_input = second;
    rule.rule_operator = row.op;
    EXPECT_EQ(rule.Evaluate(), row.expected);
    const bool known = row.op >= 1 && row.op <= 5;
    EXPECT_EQ(first->evaluations, known ? 1 : 0);
    EXPECT_EQ(second->evaluations, row.second_evaluated ? 1 : 0);
  }
}

TEST(TriggerRuleEvaluate, MissingInputsMakeTheRuleFalseWithoutEvaluatingAnything) {
  for (int32_t op : {kRuleOperatorAnd, kRuleOperatorOr, kRuleOperatorAndNot}) {
    SCOPED_TRACE(op);
    auto first = std::make_shared<ScriptedInput>(true, u"a");
    TriggerRule rule;
    rule.first_input = first;
    rule.rule_operator = op;
    EXPECT_FALSE(rule.Evaluate());
    EXPECT_EQ(first->evaluations, 0);
  }
  // Operators that use only the first input do not need a second one.
  TriggerRule single;
  single.first_input = std::make_shared<ScriptedInput>(true, u"a");
  single.rule_operator = kRuleOperatorSingle;
  EXPECT_TRUE(single.Evaluate());
  TriggerRule none;
  none.rule_operator = kRuleOperatorNot;
  EXPECT_FALSE(none.Evaluate());  // no first input: FALSE, not NOT FALSE
}

TEST(TriggerRuleEvaluate, ExternalInputAloneNeverRises) {
  TriggerRule rule;
  rule.first_input = std::make_shared<TriggerInputExt>();
  rule.rule_operator = kRuleOperatorSingle;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(rule.Evaluate());
}

TEST(TriggerRuleHasInputOfType, LooksAtBothInputs) {
  TriggerRule rule;
  EXPECT_FALSE(rule.HasInputOfType(kTriggerInputTypeExt));
  rule.first_input = std::make_shared<TriggerInputApp>();
  rule.second_input = std::make_shared<TriggerInputExt>();
  EXPECT_TRUE(rule.HasInputOfType(516));
  EXPECT_TRUE(rule.HasInputOfType(514));
  EXPECT_FALSE(rule.HasInputOfType(518));
  rule.second_input.reset();
  EXPECT_FALSE(rule.HasInputOfType(516));
}

std::shared_ptr<TriggerInputApp> App(std::u16string title) {
  auto a = std::make_shared<TriggerInputApp>();
  a->title_text = std::move(title);
  return a;
}

std::shared_ptr<ActionRecord> Record(uint32_t ips, uint32_t fourcc) {
  auto r = std::make_shared<ActionRecord>();
  r->images_per_second = ips;
  r->codec_fourcc = fourcc;
  return r;
}

TEST(TriggerRuleDescribe, Texts) {
  auto schedule = std::make_shared<TriggerInputSchedule>();
  schedule->start_hour = 8;
  schedule->end_hour = 17;
  schedule->end_minute = 30;
  auto key = std::make_shared<TriggerInputKeyBoard>();
  key->start_key = 0x77;
  key->stop_key = 0x78;
  struct Row {
    const char* name;
    std::shared_ptr<TriggerInputBase> first, second;
    int32_t op;
    ActionList on_true, on_false;
    std::u16string expected;
  };
  const Row rows[] = {
      {"single with actions",
       App(u"Notepad"),
       nullptr,
       4,
       {Record(5, 0)},
       {std::make_shared<ActionStopRecord>()},
       u"(RULE: WIN: Notepad -> {TRUE:Record@5ips@MJPG ;FALSE:StopRecording })"},
      {"single without actions", App(u"Notepad"), nullptr, 4, {}, {}, u"(RULE: WIN: Notepad)"},
      {"and", App(u"a"), schedule, 1, {}, {}, u"(RULE: WIN: a && TIM: 08:00:00 to 17:30:00)"},
      {"or", App(u"a"), key, 2, {}, {}, u"(RULE: WIN: a || KEY: Sart 0x77 Stop 0x78)"},
      {"not", App(u"a"), key, 3, {}, {}, u"(RULE: !WIN: a)"},
      {"and not",
       App(u"a"),
       std::make_shared<TriggerInputExt>(),
       5,
       {},
       {},
       u"(RULE: WIN: a && !EXT)"},
      {"unknown operator", App(u"a"), nullptr, 9, {Record(5, 0)}, {}, u""},
      {"only FALSE actions",
       App(u"a"),
       nullptr,
       4,
       {},
       {std::make_shared<ActionUnBlank>()},
       u"(RULE: WIN: a -> {TRUE:;FALSE:UnBlank })"},
      {"several actions in order",
       App(u"a"),
       nullptr,
       4,
       {std::make_shared<ActionBlank>(), Record(1, 0x3234706D)},  // "mp42"
       {std::make_shared<ActionUnBlank>(), std::make_shared<ActionStopRecord>()},
       u"(RULE: WIN: a -> {TRUE:Blank Record@1ips@mp42 ;FALSE:UnBlank StopRecording })"},
      {"binary operator without second input",
       App(u"a"),
       nullptr,
       1,
       {},
       {},
       u"(RULE: WIN: a && )"},
      {"percent signs are text", App(u"100% %s"), nullptr, 4, {}, {}, u"(RULE: WIN: 100% %s)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TriggerRule rule;
    rule.first_input = row.first;
    rule.second_input = row.second;
    rule.rule_operator = row.op;
    rule.true_actions = row.on_true;
    rule.false_actions = row.on_false;
    EXPECT_EQ(ToUtf8(rule.Describe()), ToUtf8(row.expected));
  }
}

TEST(ActionRecordDescribe, CodecText) {
  struct Row {
    uint32_t fourcc;
    const char* expected;
  };
  const Row rows[] = {
      {0, "Record@5ips@MJPG"},
      {0x47504A4D, "Record@5ips@MJPG"},  // M J P G, lowest byte first
      {0x30385056, "Record@5ips@VP80"},
      {0x00003856, "Record@5ips@V8"},  // stops at the first zero
      {0x56000000, "Record@5ips@"},
      {0x000000E9, "Record@5ips@\xC3\xA9"},  // bytes as Latin-1 characters
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fourcc);
    EXPECT_EQ(ToUtf8(Record(5, row.fourcc)->Describe()), row.expected);
  }
}

}  // namespace
}  // namespace vorla
