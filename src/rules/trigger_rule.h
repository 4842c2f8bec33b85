// One rule: one or two trigger inputs combined by an operator, with the actions to run when the
// rule goes up (TRUE actions) and down (FALSE actions).
//
// Binary layout of a rule (little-endian; "string" = UTF-16LE code units plus a 16-bit zero):
//   int32   type of the first input
//   string  rule name
//   ...     first input body (by type; starts with the input's name)
//   int32   type of the second input, 0 when there is none
//   ...     second input body (absent for type 0)
//   int32   operator
//   list    TRUE actions
//   list    FALSE actions
// Action list: uint32 count, then per action int32 type and its body.
//
// Not thread-safe: rules are read, written and evaluated on the controller thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "rules/action_base.h"
#include "rules/trigger_input_base.h"

namespace vorla {

// How a rule combines its inputs; any other value makes a rule that is always FALSE and has an
// empty description.
enum RuleOperator : int32_t {
  kRuleOperatorAnd = 1,     // first AND second
  kRuleOperatorOr = 2,      // first OR second
  kRuleOperatorNot = 3,     // NOT first
  kRuleOperatorSingle = 4,  // first
  kRuleOperatorAndNot = 5,  // first AND NOT second
};

class TriggerRule {
 public:
  TriggerRule() = default;
  virtual ~TriggerRule() = default;
  TriggerRule(const TriggerRule&) = delete;
  TriggerRule& operator=(const TriggerRule&) = delete;

  // Reads one rule from `in`, bounded by what `in` still holds (the bytes consumed are the
  // advance of in.position()). On success replaces every field. On failure returns false,
  // leaves the rule unchanged and `in` failed. Fails on: an unknown first-input type, an unknown
  // non-zero second-input type, an unknown action type, or any field past the end of the data.
  bool Read(ByteReader& in);
  // Size pass (`out` null) or write pass; `size` gets the rule's byte count either way. Fails,
  // writing nothing, when the rule has no first input or an action list holds an empty pointer
  // (or more entries than a 32-bit count holds).
  bool Write(ByteWriter* out, size_t& size) const;

  // The rule's value, evaluating the inputs in short-circuit order, first input first.
  // A rule whose operator needs a second input but has none is FALSE (see trigger_rule.cpp).
  bool Evaluate();
  // "(RULE: ...)" text for the debug output; empty for an unknown operator.
  std::u16string Describe() const;
  // True when the first or the second input has type code `type`.
  bool HasInputOfType(int32_t type) const;

  std::u16string name;
  std::shared_ptr<TriggerInputBase> first_input;   // required for reading and writing
  std::shared_ptr<TriggerInputBase> second_input;  // may be empty
  int32_t rule_operator = 0;
  ActionList true_actions;   // run when the rule goes from FALSE to TRUE
  ActionList false_actions;  // run when the rule goes from TRUE to FALSE
};

}  // namespace vorla
