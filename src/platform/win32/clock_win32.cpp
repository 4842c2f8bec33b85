#include <windows.h>

#include "platform/clock.h"

namespace vorla::platform {
namespace {

// 100-ns intervals between 1601-01-01 (FILETIME's origin) and 1970-01-01.
constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;

int64_t NowIn100nsSince1970() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t) - kUnixEpochIn100ns;
}

class WindowsClock final : public Clock {
 public:
  int64_t WallSeconds() override { return NowIn100nsSince1970() / 10000000; }
  int64_t WallMillis() override { return NowIn100nsSince1970() / 10000; }
  uint64_t TickMs() override { return GetTickCount64(); }
  CalendarTime LocalTime(int64_t seconds) override {
    const uint64_t t = static_cast<uint64_t>(seconds * 10000000 + kUnixEpochIn100ns);
    FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    // Before 1601 or past the zone rules: the UTC fields are the best answer there is.
    if (seconds * 10000000 < -kUnixEpochIn100ns || !FileTimeToSystemTime(&ft, &utc)) {
      return UtcCalendar(seconds);
    }
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    return CalendarTime{local.wYear,   local.wMonth,  local.wDay,      local.wHour,
                        local.wMinute, local.wSecond, local.wDayOfWeek};
  }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
};

}  // namespace

Clock& SystemClock() {
  static WindowsClock clock;
  return clock;
}

}  // namespace vorla::platform
