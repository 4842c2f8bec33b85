// Rule actions: what a rule asks the controller to do when it goes up or down.
//
// Actions are held through std::shared_ptr and are immutable once read. An action's binary body
// follows its type code in the action list (trigger_rule.h); only ActionRecord has a non-empty
// body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace vorla {

// Type codes of the binary form.
enum ActionType : int32_t {
  kActionTypeRecord = 257,
  kActionTypeStopRecord = 258,
  kActionTypeBlank = 260,
  kActionTypeUnBlank = 264,
};

class ActionBase {
 public:
  virtual ~ActionBase() = default;
  ActionBase(const ActionBase&) = delete;
  ActionBase& operator=(const ActionBase&) = delete;

  // Writes the body; with `out` null only computes `size` (the body's byte count, both passes).
  virtual bool Write(ByteWriter* out, size_t& size) const = 0;
  // Reads the body from `in`, bounded by what it still holds. On failure returns false, leaves
  // the fields unchanged and `in` failed.
  virtual bool Read(ByteReader& in) = 0;
  virtual std::u16string Describe() const = 0;

  int32_t type() const { return type_; }

 protected:
  explicit ActionBase(int32_t type) : type_(type) {}

 private:
  const int32_t type_;
};

using ActionList = std::deque<std::shared_ptr<ActionBase>>;

// A default action of `type`; empty for an unknown type.
std::shared_ptr<ActionBase> CreateAction(int32_t type);

}  // namespace vorla
