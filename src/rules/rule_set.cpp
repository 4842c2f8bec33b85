#include "rules/rule_set.h"

#include <limits>

#include "rules/rule_binary.h"

namespace vorla {
namespace {

// The smallest rule: first type (4), empty name (2), an external input with an empty name (2),
// second type 0 (4), operator (4), two empty action lists (4 + 4).
constexpr size_t kMinRuleSize = 24;

}  // namespace

bool RuleSet::Read(ByteReader& in) {
  int32_t count = 0;
  // A count cut short fails: there is no way to tell what the missing bytes meant.
  if (!in.I32(count)) return false;
  RuleList rules;
  if (count > 0) {
    // More rules than the bytes can hold fail at once; this also bounds the reservation below by
    // the size of the data instead of by an untrusted count.
    if (static_cast<size_t>(count) > in.remaining() / kMinRuleSize) {
      rules_internal::MarkFailed(in);
      return false;
    }
    rules.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      auto rule = std::make_shared<TriggerRule>();
      if (!rule->Read(in)) return false;
      rules.push_back(std::move(rule));
    }
  }
  // Replaced only now, so that a failed read keeps the previous rules.
  rules_ = std::move(rules);
  return true;
}

bool RuleSet::Read(std::span<const uint8_t> data, size_t* consumed) {
  ByteReader in(data);
  const bool ok = Read(in);
  if (consumed) *consumed = ok ? in.position() : 0;
  return ok;
}

bool RuleSet::Write(ByteWriter* out, size_t& size) const {
  if (rules_.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
  // Size pass over every rule first: a rule that cannot be written fails the set before a byte
  // reaches `out`.
  size_t total = 4;
  for (const auto& rule : rules_) {
    size_t n = 0;
    if (!rule || !rule->Write(nullptr, n)) return false;
    total += n;
  }
  if (out) {
    out->I32(static_cast<int32_t>(rules_.size()));
    for (const auto& rule : rules_) {
      size_t n = 0;
      if (!rule->Write(out, n)) return false;
    }
  }
  size = total;
  return true;
}

bool RuleSet::Write(std::vector<uint8_t>& bytes) const {
  bytes.clear();
  size_t size = 0;
  if (!Write(nullptr, size)) return false;
  ByteWriter w;
  if (!Write(&w, size) || w.size() != size) return false;
  bytes = w.Take();
  return true;
}

}  // namespace vorla
