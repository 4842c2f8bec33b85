#include "platform/fake/fake_clock.h"

#include <thread>

namespace vorla::platform {

CalendarTime FakeClock::LocalTime(int64_t seconds) { return UtcCalendar(seconds + utc_offset_); }

void FakeClock::SleepMs(uint32_t ms) {
  sleeps_.fetch_add(1);
  now_ms_.fetch_add(ms);
  std::this_thread::yield();
}

}  // namespace vorla::platform
