// The hot-key input: switched on by one system-wide hot key, off by another.
//
// Fields, binary body and description are complete. The hot-key monitor (a worker thread over
// the hot-key capability) is not wired in yet: until it is, Evaluate() returns FALSE and starts
// nothing.
#pragma once

#include <cstdint>

#include "rules/trigger_input_base.h"

namespace vorla {

// Body: name, start key, start modifiers, stop key, stop modifiers (32-bit each). Keys are
// virtual-key codes, modifiers the hot-key modifier flags (alt, control, shift, windows key).
class TriggerInputKeyBoard final : public TriggerInputBase {
 public:
  TriggerInputKeyBoard() : TriggerInputBase(kTriggerInputTypeKeyBoard, u"") {}

  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  // "KEY: Sart 0x%x Stop 0x%x" with start key and stop key.
  std::u16string Describe() const override;
  // Not yet wired to the hot-key monitor: always FALSE for now.
  bool Evaluate() override;

  uint32_t start_key = 0;
  uint32_t start_modifiers = 0;
  uint32_t stop_key = 0;
  uint32_t stop_modifiers = 0;
};

}  // namespace vorla
