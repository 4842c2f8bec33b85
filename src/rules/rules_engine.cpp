#include "rules/rules_engine.h"

#include <memory>
#include <utility>

#include "common/format_string.h"
#include "common/host_identity.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "rules/trigger_input_base.h"

namespace vorla {

RulesEngine::RulesEngine(const RuleList& rules) {
  entries_.reserve(rules.size());
  int32_t number = 0;
  for (const auto& rule : rules) {
    Entry e;
    e.rule = rule;
    e.rule_number = number++;
    if (rule && rule->HasInputOfType(kTriggerInputTypeExt)) {
      e.default_trigger_name = kDefaultExtTriggerName;
    }
    entries_.push_back(std::move(e));
  }
}

void RulesEngine::RuleTriggered(ActionList& actions, std::vector<RuleEvent>& events,
                                bool force_down) {
  for (Entry& e : entries_) {
    // Every rule is evaluated on every pass, whatever earlier rules did, because evaluation has
    // effects (latches, last results, monitors).
    const bool value = !force_down && e.rule && e.rule->Evaluate();
    if (!e.up && value) {
      const std::u16string description = e.rule->Describe();
      platform::DebugOutput(FormatString(u"\t>>> RuleTriggered: [Down->Up: Ref = %d] %s\n",
                                         e.rule_number, description));
      e.up = true;
      e.event_id = NewEventId();
      e.reference = e.rule_number;
      e.description = description;
      // Whole seconds, as the recording server expects them.
      e.start_time = platform::GetClock().WallSeconds() * 1000;
      e.end_time = 0;
      e.rising = true;
      e.trigger_name = e.default_trigger_name;
      for (const auto& a : e.rule->true_actions) actions.push_back(a);
      events.push_back(
          RuleEvent{e.event_id, e.reference, e.description, e.start_time, 0, e.trigger_name, true});
    } else if (e.up && !value) {
      const std::u16string description = e.rule ? e.rule->Describe() : std::u16string();
      platform::DebugOutput(FormatString(u"\t>>> RuleTriggered: [Up->Down: Ref = %d] %s\n",
                                         e.rule_number, description));
      e.end_time = platform::GetClock().WallSeconds() * 1000;
      e.rising = false;
      if (e.rule) {
        for (const auto& a : e.rule->false_actions) actions.push_back(a);
      }
      events.push_back(RuleEvent{e.event_id, e.reference, e.description, e.start_time, e.end_time,
                                 e.trigger_name, false});
      e.up = false;
      e.event_id.clear();
      e.reference = 0;
      e.description.clear();
      e.start_time = 0;
      e.end_time = 0;
      e.trigger_name.clear();
      e.rising = false;
    }
  }
}

bool RulesEngine::FindExtTriggerRecordAction(ActionRecord& action, int32_t& rule_number) const {
  for (const Entry& e : entries_) {
    if (!e.rule || !e.rule->HasInputOfType(kTriggerInputTypeExt)) continue;
    for (const auto& a : e.rule->true_actions) {
      const auto* record = dynamic_cast<const ActionRecord*>(a.get());
      if (record == nullptr) continue;
      action.x = record->x;
      action.y = record->y;
      action.width = record->width;
      action.height = record->height;
      action.images_per_second = record->images_per_second;
      action.codec_fourcc = record->codec_fourcc;
      action.quality = record->quality;
      action.carried_value = record->carried_value;
      action.duration_seconds = record->duration_seconds;
      rule_number = e.rule_number;
      return true;
    }
  }
  return false;
}

namespace {

std::recursive_mutex& EngineMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

// Guarded by EngineMutex(). Replaced, never cleared, outside tests.
std::unique_ptr<RulesEngine>& CurrentEngine() {
  static std::unique_ptr<RulesEngine> engine;
  return engine;
}

}  // namespace

std::unique_lock<std::recursive_mutex> RulesEngineLock() {
  return std::unique_lock<std::recursive_mutex>(EngineMutex());
}

uint32_t StartRulesEngine(const RuleList& rules) {
  auto lock = RulesEngineLock();
  auto& current = CurrentEngine();
  current.reset();
  current = std::make_unique<RulesEngine>(RuleList(rules));
  return 0;
}

void RunRules(ActionList& actions, std::vector<RuleEvent>& events, bool force_down) {
  auto lock = RulesEngineLock();
  if (auto& current = CurrentEngine()) current->RuleTriggered(actions, events, force_down);
}

bool FindExtTriggerRecordAction(ActionRecord& action, int32_t& rule_number) {
  auto lock = RulesEngineLock();
  const auto& current = CurrentEngine();
  return current && current->FindExtTriggerRecordAction(action, rule_number);
}

void ResetRulesEngineForTesting() {
  auto lock = RulesEngineLock();
  CurrentEngine().reset();
}

}  // namespace vorla
