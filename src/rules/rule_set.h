// The rule set: an ordered list of shared rules, and its binary form, which is the same in the
// rules file, in Configurator messages and in the new-session message:
//   int32   rule count (0 or less: no rules)
//   ...     the rules one after another (layout in trigger_rule.h)
// An empty set is the four bytes 00 00 00 00.
//
// How to use it:
//   Write, both passes at once:   std::vector<uint8_t> bytes; if (set.Write(bytes)) ...
//   Write, two passes by hand:    size_t n; set.Write(nullptr, n);   // size only
//                                 ByteWriter w; set.Write(&w, n);    // w gains exactly n bytes
//   Read a whole buffer:          size_t used; if (set.Read(std::span(data, size), &used)) ...
//   Read inside a larger record:  ByteReader r(...); ...; if (set.Read(r)) ...
// Read is safe on any bytes (they come from the network): it never reads past the data, never
// allocates by an untrusted count, and either succeeds or fails. On failure the set keeps its
// previous rules. Bytes after the last rule are not consumed and are not an error (messages
// carry further fields there).
//
// Copying a RuleSet copies the pointers: the copy shares the rules. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "rules/trigger_rule.h"

namespace vorla {

using RuleList = std::vector<std::shared_ptr<TriggerRule>>;

class RuleSet {
 public:
  RuleSet() = default;
  explicit RuleSet(RuleList rules) : rules_(std::move(rules)) {}
  virtual ~RuleSet() = default;
  RuleSet(const RuleSet&) = default;
  RuleSet& operator=(const RuleSet&) = default;
  RuleSet(RuleSet&&) = default;
  RuleSet& operator=(RuleSet&&) = default;

  // Reads a rule set from `in`, bounded by what `in` still holds. Success replaces the rules
  // and advances `in` past the set (in.position() moves by the bytes consumed). Failure (fewer
  // than 4 bytes for the count, or any rule that fails to read) returns false, keeps the
  // previous rules and leaves `in` failed.
  bool Read(ByteReader& in);
  // The same over a whole buffer; `consumed` (optional) gets the bytes used on success, 0 on
  // failure.
  bool Read(std::span<const uint8_t> data, size_t* consumed = nullptr);

  // Size pass (`out` null: only `size` is computed) or write pass (appends exactly `size`
  // bytes to `out`). Fails, writing nothing, when any rule cannot be written (a rule without a
  // first input, an empty action pointer).
  bool Write(ByteWriter* out, size_t& size) const;
  // Both passes into `bytes` (replaced). On failure `bytes` is left empty.
  bool Write(std::vector<uint8_t>& bytes) const;

  const RuleList& rules() const { return rules_; }
  RuleList& rules() { return rules_; }
  size_t size() const { return rules_.size(); }
  bool empty() const { return rules_.empty(); }

 private:
  RuleList rules_;
};

}  // namespace vorla
