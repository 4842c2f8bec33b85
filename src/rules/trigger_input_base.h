// Trigger inputs: the boolean sources that a rule combines.
//
// Every input is held through std::shared_ptr (a rule owns its inputs; the rules engine and
// messages may share them). An input's binary body is its name (UTF-16LE plus a 16-bit zero)
// followed by the further fields of its class; the type code in front of the body belongs to
// the rule's layout (trigger_rule.h), not to the input.
//
// Not thread-safe: inputs are read, written and evaluated on the controller thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace vorla {

// Type codes of the binary form (there is no 517 or 519).
enum TriggerInputType : int32_t {
  kTriggerInputTypeApp = 514,
  kTriggerInputTypeKeyBoard = 515,
  kTriggerInputTypeExt = 516,
  kTriggerInputTypeSchedule = 518,
  kTriggerInputTypeAppEx = 520,
};

class TriggerInputBase {
 public:
  virtual ~TriggerInputBase() = default;
  TriggerInputBase(const TriggerInputBase&) = delete;
  TriggerInputBase& operator=(const TriggerInputBase&) = delete;

  // Writes the body (name, then the further fields). With `out` null only the size is computed.
  // `size` receives the number of bytes the body takes, in both passes. Never fails for the
  // five input classes; the bool keeps the contract of the rule's writer.
  virtual bool Write(ByteWriter* out, size_t& size) const = 0;
  // Reads the body from `in`, bounded by what `in` still holds; the bytes consumed are the
  // advance of in.position(). On failure returns false, leaves the fields unchanged and `in`
  // failed.
  virtual bool Read(ByteReader& in) = 0;
  // One-line text for the debug output.
  virtual std::u16string Describe() const = 0;
  // The input's current value. May have effects (latches, last results, monitors), which is
  // why rules evaluate their inputs in a fixed short-circuit order.
  virtual bool Evaluate() = 0;

  int32_t type() const { return type_; }

  std::u16string name;

 protected:
  TriggerInputBase(int32_t type, std::u16string default_name)
      : name(std::move(default_name)), type_(type) {}

 private:
  const int32_t type_;
};

// A default input of `type` (fields as a newly created input has them); empty for an unknown type.
std::shared_ptr<TriggerInputBase> CreateTriggerInput(int32_t type);

}  // namespace vorla
