// The rules engine: turns the rules of the current recording session into edges. Each pass
// evaluates every rule in order, and for every rule whose value changed hands out its TRUE or
// FALSE actions and a RuleEvent for the triggered period. It starts and stops nothing itself:
// the controller runs the actions and sends the events.
//
// Serialisation. There is one current engine per process, reached through the free functions at
// the bottom. The controller thread runs passes and replaces the engine; the HTTP thread's
// external requests look up the external-trigger rule. All three free functions take the
// process-wide rules lock (RulesEngineLock) for their whole duration, so a lookup never overlaps
// a pass or a replacement, and the engine is read and replaced by one thread at a time. The lock
// is recursive: the controller should hold it itself around every step that must see one
// consistent engine together with its own state (the whole rules step of a tick, a session start,
// the whole handling of one external request), and may call the free functions inside. Take it
// before any other lock of the controller; nothing in the engine takes another lock while holding
// it, apart from logging and the debug output (always innermost).
//
// A RulesEngine object itself is not thread-safe; use it directly only where one thread owns it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "rules/action_base.h"
#include "rules/rule_actions.h"
#include "rules/rule_event.h"
#include "rules/rule_set.h"

namespace vorla {

// The trigger name of the events of rules that have an external input.
inline constexpr char16_t kDefaultExtTriggerName[] = u"DEF_EXT_TRIGGER";

class RulesEngine {
 public:
  // One entry per rule, in order, every entry down. Shares the rules with the caller. An empty
  // pointer in `rules` keeps its position (rule numbers stay those of the set) but never rises.
  explicit RulesEngine(const RuleList& rules);
  virtual ~RulesEngine() = default;
  RulesEngine(const RulesEngine&) = delete;
  RulesEngine& operator=(const RulesEngine&) = delete;

  // One pass. Appends the actions of every edge to `actions` (rule order; a rule's TRUE actions
  // on its rise, its FALSE actions on its fall) and one event per edge to `events`. With
  // `force_down` no rule is evaluated: every up rule falls. Writes one debug line per edge.
  void RuleTriggered(ActionList& actions, std::vector<RuleEvent>& events, bool force_down);

  // The record action that external requests use: the first TRUE-action ActionRecord of the
  // first rule that has an external input and such an action. Copies its nine values into
  // `action`, the rule's number into `rule_number`; false (both untouched) when no rule qualifies.
  bool FindExtTriggerRecordAction(ActionRecord& action, int32_t& rule_number) const;

  // Test and diagnostic view of the state of rule `index`.
  bool IsUp(size_t index) const { return index < entries_.size() && entries_[index].up; }
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    bool up = false;
    std::u16string event_id;
    int32_t reference = 0;
    std::u16string description;
    int64_t start_time = 0;
    int64_t end_time = 0;
    std::u16string trigger_name;
    bool rising = false;
    std::shared_ptr<TriggerRule> rule;
    int32_t rule_number = 0;
    std::u16string default_trigger_name;
  };

  std::vector<Entry> entries_;
};

// The process-wide rules lock (see the top of this file).
std::unique_lock<std::recursive_mutex> RulesEngineLock();

// Replaces the current engine by a new one built from a copy of `rules` (the old one is
// destroyed first, without running any further actions). Returns 0.
uint32_t StartRulesEngine(const RuleList& rules);
// A pass of the current engine; nothing when there is none yet.
void RunRules(ActionList& actions, std::vector<RuleEvent>& events, bool force_down);
// The current engine's lookup; false when there is no engine.
bool FindExtTriggerRecordAction(ActionRecord& action, int32_t& rule_number);

// Test support: removes the current engine.
void ResetRulesEngineForTesting();

}  // namespace vorla
