// The rules engine: edges, the order of actions, events and their ids, force down, the debug
// lines, the external-trigger lookup and the process-wide entry points.
#include "rules/rules_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_output.h"
#include "platform/fake/fake_clock.h"
#include "rules/rule_actions.h"
#include "rules/trigger_input_ext.h"

namespace vorla {
namespace {

// An application-typed input with a scripted value that counts its evaluations.
class ScriptedInput final : public TriggerInputBase {
 public:
  explicit ScriptedInput(std::u16string label)
      : TriggerInputBase(kTriggerInputTypeApp, std::move(label)) {}
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
  bool value = false;
  int evaluations = 0;
};

std::shared_ptr<ActionRecord> Record(uint32_t ips) {
  auto a = std::make_shared<ActionRecord>();
  a->images_per_second = ips;
  return a;
}

struct TestRule {
  std::shared_ptr<TriggerRule> rule = std::make_shared<TriggerRule>();
  std::shared_ptr<ScriptedInput> input;
};

// A single-input rule over a scripted input, with the given TRUE and FALSE actions.
TestRule MakeRule(std::u16string label, ActionList on_true, ActionList on_false) {
  TestRule t;
  t.input = std::make_shared<ScriptedInput>(std::move(label));
  t.rule->first_input = t.input;
  t.rule->rule_operator = kRuleOperatorSingle;
  t.rule->true_actions = std::move(on_true);
  t.rule->false_actions = std::move(on_false);
  return t;
}

class RulesEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetDebugOutputSink([this](std::u16string_view text) {
      std::lock_guard lock(debug_mutex_);
      debug_.emplace_back(text);
    });
  }
  void TearDown() override {
    platform::SetDebugOutputSink({});
    ResetRulesEngineForTesting();
  }
  std::vector<std::u16string> DebugLines() {
    std::lock_guard lock(debug_mutex_);
    return debug_;
  }

  platform::FakeClock clock_{1700000000500};  // half a second past a whole second
  platform::ScopedClockOverride use_clock_{clock_};
  std::mutex debug_mutex_;
  std::vector<std::u16string> debug_;
};

TEST_F(RulesEngineTest, RisesOnFirstPassThenStaysQuietWhileTrue) {
  auto stop = std::make_shared<ActionStopRecord>();
  auto rec = Record(5);
  TestRule r = MakeRule(u"A", {rec}, {stop});
  r.input->value = true;
  RulesEngine engine({r.rule});

  ActionList actions;
  std::vector<RuleEvent> events;
  engine.RuleTriggered(actions, events, false);
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0], rec);
  ASSERT_EQ(events.size(), 1u);
  const RuleEvent up = events[0];
  EXPECT_TRUE(up.rising);
  EXPECT_EQ(up.rule_reference, 0);
  EXPECT_EQ(up.description, u"(RULE: A -> {TRUE:Record@5ips@MJPG ;FALSE:StopRecording })");
  EXPECT_EQ(up.start_time, 1700000000000);  // whole seconds times 1000
  EXPECT_EQ(up.end_time, 0);
  EXPECT_EQ(up.trigger_name, u"");
  EXPECT_EQ(up.event_id.rfind(u"EVT_", 0), 0u);
  EXPECT_EQ(up.event_id.size(), 18u);
  EXPECT_TRUE(engine.IsUp(0));

  for (int i = 0; i < 5; ++i) {
    clock_.AdvanceSeconds(1);
    engine.RuleTriggered(actions, events, false);
  }
  EXPECT_EQ(actions.size(), 1u);
  EXPECT_EQ(events.size(), 1u);
  EXPECT_EQ(r.input->evaluations, 6);  // evaluated on every pass nonetheless

  r.input->value = false;
  engine.RuleTriggered(actions, events, false);
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[1], stop);
  ASSERT_EQ(events.size(), 2u);
  const RuleEvent down = events[1];
  EXPECT_FALSE(down.rising);
  EXPECT_EQ(down.event_id, up.event_id);
  EXPECT_EQ(down.description, up.description);
  EXPECT_EQ(down.start_time, up.start_time);
  EXPECT_EQ(down.end_time, 1700000005000);
  EXPECT_FALSE(engine.IsUp(0));

  // Staying down produces nothing.
  engine.RuleTriggered(actions, events, false);
  EXPECT_EQ(actions.size(), 2u);
  EXPECT_EQ(events.size(), 2u);

  const auto lines = DebugLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"\t>>> RuleTriggered: [Down->Up: Ref = 0] " + up.description + u"\n");
  EXPECT_EQ(lines[1], u"\t>>> RuleTriggered: [Up->Down: Ref = 0] " + up.description + u"\n");
}

TEST_F(RulesEngineTest, ActionsOfOneRuleAppendInRuleOrder) {
  auto a1 = Record(1), a2 = Record(2), b1 = Record(3);
  auto b2 = std::make_shared<ActionBlank>();
  TestRule first = MakeRule(u"A", {a1, a2}, {});
  TestRule second = MakeRule(u"B", {b1, b2}, {});
  TestRule idle = MakeRule(u"C", {Record(9)}, {});
  first.input->value = second.input->value = true;
  RulesEngine engine({first.rule, idle.rule, second.rule});

  ActionList actions;
  actions.push_back(std::make_shared<ActionUnBlank>());  // appended to, not replaced
  std::vector<RuleEvent> events;
  engine.RuleTriggered(actions, events, false);
  ASSERT_EQ(actions.size(), 5u);
  EXPECT_EQ(actions[1], a1);
  EXPECT_EQ(actions[2], a2);
  EXPECT_EQ(actions[3], b1);
  EXPECT_EQ(actions[4], b2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rule_reference, 0);
  EXPECT_EQ(events[1].rule_reference, 2);
  EXPECT_NE(events[0].event_id, events[1].event_id);
  EXPECT_EQ(idle.input->evaluations, 1);
}

TEST_F(RulesEngineTest, ForceDownLowersOnlyTheUpRulesWithoutEvaluating) {
  std::vector<TestRule> rules;
  RuleList list;
  for (int i = 0; i < 5; ++i) {
    auto stop = std::make_shared<ActionStopRecord>();
    rules.push_back(
        MakeRule(std::u16string(1, static_cast<char16_t>(u'A' + i)), {Record(1)}, {stop}));
    list.push_back(rules.back().rule);
  }
  // Rules 0, 2 and 4 go up; 1 and 3 stay down.
  for (int i : {0, 2, 4}) rules[i].input->value = true;
  RulesEngine engine(list);
  ActionList actions;
  std::vector<RuleEvent> events;
  engine.RuleTriggered(actions, events, false);
  ASSERT_EQ(events.size(), 3u);
  std::vector<std::u16string> ids;
  for (const auto& e : events) ids.push_back(e.event_id);

  actions.clear();
  events.clear();
  for (auto& r : rules) r.input->evaluations = 0;
  clock_.AdvanceSeconds(7);
  engine.RuleTriggered(actions, events, true);
  ASSERT_EQ(events.size(), 3u);
  ASSERT_EQ(actions.size(), 3u);
  const int up_rules[] = {0, 2, 4};
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_FALSE(events[k].rising);
    EXPECT_EQ(events[k].rule_reference, up_rules[k]);
    EXPECT_EQ(events[k].event_id, ids[k]);
    EXPECT_EQ(events[k].end_time, 1700000007000);
    EXPECT_EQ(actions[k], rules[up_rules[k]].rule->false_actions[0]);
  }
  for (auto& r : rules) EXPECT_EQ(r.input->evaluations, 0);
  for (size_t i = 0; i < 5; ++i) EXPECT_FALSE(engine.IsUp(i));
}

TEST_F(RulesEngineTest, EachTriggeredPeriodGetsItsOwnEventId) {
  TestRule r = MakeRule(u"A", {}, {});
  RulesEngine engine({r.rule});
  ActionList actions;
  std::vector<RuleEvent> events;
  for (bool v : {true, false, true, false}) {
    r.input->value = v;
    engine.RuleTriggered(actions, events, false);
  }
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].event_id, events[1].event_id);
  EXPECT_EQ(events[2].event_id, events[3].event_id);
  EXPECT_NE(events[0].event_id, events[2].event_id);
  EXPECT_TRUE(actions.empty());
}

TEST_F(RulesEngineTest, ExternalRulesCarryTheDefaultTriggerNameAndNeverRiseAlone) {
  auto ext_rule = std::make_shared<TriggerRule>();
  auto ext = std::make_shared<TriggerInputExt>();
  ext_rule->first_input = ext;
  ext_rule->rule_operator = kRuleOperatorSingle;
  ext_rule->true_actions.push_back(Record(1));
  RulesEngine engine({ext_rule});
  ActionList actions;
  std::vector<RuleEvent> events;
  engine.RuleTriggered(actions, events, false);
  EXPECT_TRUE(events.empty());

  ext->state = true;  // only a test can set it
  engine.RuleTriggered(actions, events, false);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].trigger_name, u"DEF_EXT_TRIGGER");
  engine.RuleTriggered(actions, events, true);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].trigger_name, u"DEF_EXT_TRIGGER");
}

// An external-input rule with the given TRUE actions.
std::shared_ptr<TriggerRule> ExtRule(ActionList on_true) {
  auto rule = std::make_shared<TriggerRule>();
  rule->first_input = std::make_shared<TriggerInputExt>();
  rule->rule_operator = kRuleOperatorSingle;
  rule->true_actions = std::move(on_true);
  return rule;
}

TEST_F(RulesEngineTest, FindExtTriggerRecordActionSkipsRulesWithoutARecordAction) {
  auto wanted = Record(7);
  wanted->x = -3;
  wanted->y = -4;
  wanted->width = 800;
  wanted->height = 600;
  wanted->codec_fourcc = 0x47504A4D;
  wanted->quality = 80;
  wanted->carried_value = 11;
  wanted->duration_seconds = 30;
  TestRule plain = MakeRule(u"A", {Record(2)}, {});  // a record action but no external input
  RuleList rules = {plain.rule, ExtRule({std::make_shared<ActionStopRecord>()}),
                    ExtRule({std::make_shared<ActionBlank>(), wanted, Record(9)}),
                    ExtRule({Record(3)})};
  RulesEngine engine(rules);
  ActionRecord found;
  int32_t number = -1;
  ASSERT_TRUE(engine.FindExtTriggerRecordAction(found, number));
  EXPECT_EQ(number, 2);
  EXPECT_EQ(found.x, -3);
  EXPECT_EQ(found.y, -4);
  EXPECT_EQ(found.width, 800u);
  EXPECT_EQ(found.height, 600u);
  EXPECT_EQ(found.images_per_second, 7u);
  EXPECT_EQ(found.codec_fourcc, 0x47504A4Du);
  EXPECT_EQ(found.quality, 80u);
  EXPECT_EQ(found.carried_value, 11u);
  EXPECT_EQ(found.duration_seconds, 30);

  struct Row {
    const char* name;
    RuleList rules;
  };
  const Row none[] = {
      {"no rules", {}},
      {"no external input", {plain.rule}},
      {"external input with a stop action only", {ExtRule({std::make_shared<ActionStopRecord>()})}},
      {"external input with no actions", {ExtRule({})}},
  };
  for (const Row& row : none) {
    SCOPED_TRACE(row.name);
    RulesEngine e(row.rules);
    ActionRecord untouched;
    untouched.quality = 1;
    int32_t n = -1;
    EXPECT_FALSE(e.FindExtTriggerRecordAction(untouched, n));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(untouched.quality, 1u);
  }
}

TEST_F(RulesEngineTest, ProcessWideEngineIsReplacedAndAbsentMeansNothing) {
  ActionList actions;
  std::vector<RuleEvent> events;
  ActionRecord found;
  int32_t number = -1;
  RunRules(actions, events, false);  // no engine yet
  EXPECT_TRUE(actions.empty());
  EXPECT_TRUE(events.empty());
  EXPECT_FALSE(FindExtTriggerRecordAction(found, number));

  TestRule r = MakeRule(u"A", {Record(1)}, {std::make_shared<ActionStopRecord>()});
  r.input->value = true;
  RuleList rules = {r.rule, ExtRule({Record(4)})};
  EXPECT_EQ(StartRulesEngine(rules), 0u);
  rules.clear();  // the engine keeps its own copy of the sequence
  RunRules(actions, events, false);
  EXPECT_EQ(events.size(), 1u);
  ASSERT_TRUE(FindExtTriggerRecordAction(found, number));
  EXPECT_EQ(number, 1);
  EXPECT_EQ(found.images_per_second, 4u);

  // A new engine starts with every rule down and runs no further actions of the old one.
  EXPECT_EQ(StartRulesEngine({r.rule}), 0u);
  actions.clear();
  events.clear();
  RunRules(actions, events, false);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].rising);
  EXPECT_FALSE(FindExtTriggerRecordAction(found, number));
}

TEST_F(RulesEngineTest, LookupsFromAnotherThreadNeverOverlapAPass) {
  // An input that notes whether a pass is in progress while a lookup runs would need a hook in
  // the engine; instead the lookup thread holds the lock and the pass must wait for it.
  TestRule r = MakeRule(u"A", {Record(1)}, {});
  r.input->value = true;
  StartRulesEngine({r.rule, ExtRule({Record(2)})});
  auto held = RulesEngineLock();
  ActionList actions;
  std::vector<RuleEvent> events;
  std::atomic<bool> ran{false};
  std::thread pass([&] {
    RunRules(actions, events, false);
    ran = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(r.input->evaluations, 0);
  // The lock is recursive: the holder may use the entry points itself.
  ActionRecord found;
  int32_t number = -1;
  EXPECT_TRUE(FindExtTriggerRecordAction(found, number));
  held.unlock();
  pass.join();
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(events.size(), 1u);
}

}  // namespace
}  // namespace vorla
