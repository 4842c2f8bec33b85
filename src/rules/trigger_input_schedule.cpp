#include "rules/trigger_input_schedule.h"

#include "common/format_string.h"
#include "platform/clock.h"
#include "rules/rule_binary.h"

namespace vorla {

bool TriggerInputSchedule::Write(ByteWriter* out, size_t& size) const {
  rules_internal::WriteCursor c(out);
  c.Utf16z(name);
  c.U32(start_hour);
  c.U32(start_minute);
  c.U32(start_second);
  c.U32(end_hour);
  c.U32(end_minute);
  c.U32(end_second);
  size = c.size();
  return true;
}

bool TriggerInputSchedule::Read(ByteReader& in) {
  std::u16string n;
  uint32_t v[6] = {};
  in.Utf16z(n);
  for (auto& x : v) in.U32(x);
  if (in.failed()) return false;
  name = std::move(n);
  start_hour = v[0];
  start_minute = v[1];
  start_second = v[2];
  end_hour = v[3];
  end_minute = v[4];
  end_second = v[5];
  return true;
}

std::u16string TriggerInputSchedule::Describe() const {
  return FormatString(u"%s: %02d:%02d:%02d to %02d:%02d:%02d", name, start_hour, start_minute,
                      start_second, end_hour, end_minute, end_second);
}

bool TriggerInputSchedule::Evaluate() {
  auto& clock = platform::GetClock();
  const platform::CalendarTime now = clock.LocalTime(clock.WallSeconds());
  const auto h = static_cast<uint32_t>(now.hour);
  const auto m = static_cast<uint32_t>(now.minute);
  const auto s = static_cast<uint32_t>(now.second);
  // Field by field rather than as seconds of the day, so that out-of-range values (minute 75)
  // compare exactly as the stored numbers say.
  const bool after_start = h > start_hour || (h == start_hour && m > start_minute) ||
                           (h == start_hour && m == start_minute && s >= start_second);
  const bool before_end = h < end_hour || (h == end_hour && m < end_minute) ||
                          (h == end_hour && m == end_minute && s <= end_second);
  return after_start && before_end;
}

}  // namespace vorla
