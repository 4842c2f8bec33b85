// The time-of-day input: TRUE during a daily window of local time.
#pragma once

#include <cstdint>

#include "rules/trigger_input_base.h"

namespace vorla {

// Body: name, then start hour, start minute, start second, end hour, end minute, end second
// (unsigned 32-bit each).
class TriggerInputSchedule final : public TriggerInputBase {
 public:
  TriggerInputSchedule() : TriggerInputBase(kTriggerInputTypeSchedule, u"TIM") {}

  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  // "%s: %02d:%02d:%02d to %02d:%02d:%02d" with name and the six values.
  std::u16string Describe() const override;
  // TRUE when the local time of the platform clock lies between start and end, both inclusive
  // (unsigned comparisons). A window that would cross midnight (start after end) is never TRUE.
  bool Evaluate() override;

  uint32_t start_hour = 0;
  uint32_t start_minute = 0;
  uint32_t start_second = 0;
  uint32_t end_hour = 0;
  uint32_t end_minute = 0;
  uint32_t end_second = 0;
};

}  // namespace vorla
