#include <time.h>

#include "platform/clock.h"

namespace vorla::platform {
namespace {

int64_t ClockNs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class PosixClock final : public Clock {
 public:
  int64_t WallSeconds() override { return ClockNs(CLOCK_REALTIME) / 1000000000; }
  int64_t WallMillis() override { return ClockNs(CLOCK_REALTIME) / 1000000; }
  uint64_t TickMs() override { return static_cast<uint64_t>(ClockNs(CLOCK_MONOTONIC) / 1000000); }
  CalendarTime LocalTime(int64_t seconds) override {
    const time_t t = static_cast<time_t>(seconds);
    tm parts{};
    localtime_r(&t, &parts);
    return CalendarTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                        parts.tm_min,         parts.tm_sec,     parts.tm_wday};
  }
  void SleepMs(uint32_t ms) override {
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&req, &req) != 0) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace vorla::platform
