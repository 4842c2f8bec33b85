// Time: wall time, the tick count and local calendar time, from one process-wide clock that
// tests replace with a fake (platform/fake/fake_clock.h).
#pragma once

#include <cstdint>

namespace vorla::platform {

struct CalendarTime {
  int year = 1970;
  int month = 1;        // 1-12
  int day = 1;          // day of the month, 1-31
  int hour = 0;         // 0-23
  int minute = 0;       // 0-59
  int second = 0;       // 0-60
  int day_of_week = 4;  // 0 = Sunday
};

// Thread-safe; every operation may be called from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t WallSeconds() = 0;
  // Milliseconds since 1970-01-01 UTC.
  virtual int64_t WallMillis() = 0;
  // Milliseconds since an arbitrary fixed point (monotonic); callers that need a 32-bit tick
  // count truncate it.
  virtual uint64_t TickMs() = 0;
  // Local calendar time of `seconds` since 1970.
  virtual CalendarTime LocalTime(int64_t seconds) = 0;
  // Blocks the calling thread for `ms` milliseconds of this clock's time.
  virtual void SleepMs(uint32_t ms) = 0;
};

// The process-wide clock: the system clock unless a test has installed another.
Clock& GetClock();
// Installs `clock` for the whole process (nullptr restores the system clock). Not thread-safe
// against concurrent use of GetClock(): install before the code under test runs.
void SetClockForTesting(Clock* clock);

// The real clock, for tests that want to wrap it.
Clock& SystemClock();

// Calendar fields of `seconds` since 1970 in UTC (proleptic Gregorian). Allocation-free and
// async-signal-safe.
CalendarTime UtcCalendar(int64_t seconds);

// "YYYY-MM-DDTHH:MM:SSZ" of `seconds` since 1970 in UTC into `out` (21 bytes with the terminator).
// Allocation-free and async-signal-safe.
void FormatUtcTimestamp(int64_t seconds, char out[21]);

}  // namespace vorla::platform
