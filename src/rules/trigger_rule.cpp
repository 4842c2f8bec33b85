#include "rules/trigger_rule.h"

#include <limits>

#include "common/format_string.h"
#include "rules/rule_binary.h"

namespace vorla {
namespace {

using rules_internal::MarkFailed;
using rules_internal::WriteCursor;

// Every action takes at least its 4-byte type code.
constexpr size_t kMinActionSize = 4;

bool ReadActionList(ByteReader& in, ActionList& out) {
  uint32_t count = 0;
  if (!in.U32(count)) return false;
  // A count the remaining bytes cannot hold fails at once instead of building a long list first.
  if (count > in.remaining() / kMinActionSize) {
    MarkFailed(in);
    return false;
  }
  ActionList list;
  for (uint32_t i = 0; i < count; ++i) {
    int32_t type = 0;
    if (!in.I32(type)) return false;
    auto action = CreateAction(type);
    // An unknown type has a body of unknown length, so nothing after it can be found; the list,
    // the rule and the set fail here rather than reading on through bytes of unknown meaning.
    if (!action) {
      MarkFailed(in);
      return false;
    }
    if (!action->Read(in)) return false;
    list.push_back(std::move(action));
  }
  out = std::move(list);
  return true;
}

bool ListWritable(const ActionList& list) {
  if (list.size() > std::numeric_limits<uint32_t>::max()) return false;
  for (const auto& a : list)
    if (!a) return false;
  return true;
}

void WriteActionList(const ActionList& list, WriteCursor& c) {
  c.U32(static_cast<uint32_t>(list.size()));
  for (const auto& a : list) {
    c.I32(a->type());
    size_t n = 0;
    a->Write(c.out(), n);
    c.Add(n);
  }
}

std::u16string DescribeInput(const std::shared_ptr<TriggerInputBase>& input) {
  return input ? input->Describe() : std::u16string();
}

}  // namespace

bool TriggerRule::Read(ByteReader& in) {
  int32_t first_type = 0;
  std::u16string rule_name;
  in.I32(first_type);
  in.Utf16z(rule_name);
  if (in.failed()) return false;
  auto first = CreateTriggerInput(first_type);
  if (!first) {
    MarkFailed(in);
    return false;
  }
  if (!first->Read(in)) return false;

  int32_t second_type = 0;
  if (!in.I32(second_type)) return false;
  // Type 0 and an unknown type both mean "no second input", and no body is read for either:
  // that is how peers write a rule without a second input or with one this build cannot know.
  std::shared_ptr<TriggerInputBase> second =
      second_type != 0 ? CreateTriggerInput(second_type) : nullptr;
  if (second && !second->Read(in)) return false;

  int32_t op = 0;
  if (!in.I32(op)) return false;
  ActionList on_true, on_false;
  if (!ReadActionList(in, on_true) || !ReadActionList(in, on_false)) return false;

  name = std::move(rule_name);
  first_input = std::move(first);
  second_input = std::move(second);
  rule_operator = op;
  true_actions = std::move(on_true);
  false_actions = std::move(on_false);
  return true;
}

bool TriggerRule::Write(ByteWriter* out, size_t& size) const {
  if (!first_input || !ListWritable(true_actions) || !ListWritable(false_actions)) return false;
  // The elements cannot fail once those checks pass; should one ever be able to, the size
  // pass in front of the write pass keeps a failure from leaving half a rule in `out`.
  if (out) {
    size_t probe = 0;
    if (!Write(nullptr, probe)) return false;
  }
  WriteCursor c(out);
  c.I32(first_input->type());
  c.Utf16z(name);
  size_t n = 0;
  if (!first_input->Write(out, n)) return false;
  c.Add(n);
  if (second_input) {
    c.I32(second_input->type());
    if (!second_input->Write(out, n)) return false;
    c.Add(n);
  } else {
    c.I32(0);
  }
  c.I32(rule_operator);
  WriteActionList(true_actions, c);
  WriteActionList(false_actions, c);
  size = c.size();
  return true;
}

// Design note: a rule whose operator needs a second input (and, or, and not) but that has none
// is accepted when read and evaluates to FALSE, without evaluating either input, like a rule
// with an unknown operator. Rejecting it at read time would throw away the whole rule set for
// one bad rule; this way the rule is inert and written back unchanged.
bool TriggerRule::Evaluate() {
  if (!first_input) return false;
  switch (rule_operator) {
    case kRuleOperatorAnd:
      if (!second_input) return false;
      return first_input->Evaluate() && second_input->Evaluate();
    case kRuleOperatorOr:
      if (!second_input) return false;
      return first_input->Evaluate() || second_input->Evaluate();
    case kRuleOperatorNot: return !first_input->Evaluate();
    case kRuleOperatorSingle: return first_input->Evaluate();
    case kRuleOperatorAndNot:
      if (!second_input) return false;
      return first_input->Evaluate() && !second_input->Evaluate();
    default: return false;
  }
}

std::u16string TriggerRule::Describe() const {
  std::u16string actions;
  if (!true_actions.empty() || !false_actions.empty()) {
    actions = u" -> {TRUE:";
    for (const auto& a : true_actions) {
      if (a) actions += a->Describe();
      actions += u' ';
    }
    actions += u";FALSE:";
    for (const auto& a : false_actions) {
      if (a) actions += a->Describe();
      actions += u' ';
    }
    actions += u'}';
  }
  // A missing input shows as empty text.
  const std::u16string first = DescribeInput(first_input);
  switch (rule_operator) {
    case kRuleOperatorAnd:
      return FormatString(u"(RULE: %s && %s%s)", first, DescribeInput(second_input), actions);
    case kRuleOperatorOr:
      return FormatString(u"(RULE: %s || %s%s)", first, DescribeInput(second_input), actions);
    case kRuleOperatorNot: return FormatString(u"(RULE: !%s%s)", first, actions);
    case kRuleOperatorSingle: return FormatString(u"(RULE: %s%s)", first, actions);
    case kRuleOperatorAndNot:
      return FormatString(u"(RULE: %s && !%s%s)", first, DescribeInput(second_input), actions);
    default: return std::u16string();
  }
}

bool TriggerRule::HasInputOfType(int32_t type) const {
  return (first_input && first_input->type() == type) ||
         (second_input && second_input->type() == type);
}

}  // namespace vorla
