#include "platform/clock.h"

#include <atomic>

namespace vorla::platform {
namespace {
std::atomic<Clock*> g_clock_override{nullptr};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

void Put(char* out, int64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
}
}  // namespace

CalendarTime UtcCalendar(int64_t seconds) {
  const int64_t days = FloorDiv(seconds, 86400);
  const int64_t rem = seconds - days * 86400;
  // Civil-from-days over 400-year eras, March-based years.
  const int64_t z = days + 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  CalendarTime c;
  c.year = static_cast<int>(y);
  c.month = static_cast<int>(m);
  c.day = static_cast<int>(d);
  c.hour = static_cast<int>(rem / 3600);
  c.minute = static_cast<int>(rem / 60 % 60);
  c.second = static_cast<int>(rem % 60);
  const int64_t wd = (days + 4) % 7;
  c.day_of_week = static_cast<int>(wd < 0 ? wd + 7 : wd);
  return c;
}

void FormatUtcTimestamp(int64_t seconds, char out[21]) {
  const CalendarTime c = UtcCalendar(seconds);
  // Years outside 0..9999 are clamped: the field has four digits.
  Put(out, c.year < 0 ? 0 : (c.year > 9999 ? 9999 : c.year), 4);
  out[4] = '-';
  Put(out + 5, c.month, 2);
  out[7] = '-';
  Put(out + 8, c.day, 2);
  out[10] = 'T';
  Put(out + 11, c.hour, 2);
  out[13] = ':';
  Put(out + 14, c.minute, 2);
  out[16] = ':';
  Put(out + 17, c.second, 2);
  out[19] = 'Z';
  out[20] = '\0';
}

// The system's clock (SystemClock) is each system's own; the override is shared.
Clock& GetClock() {
  Clock* c = g_clock_override.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClockForTesting(Clock* clock) { g_clock_override.store(clock, std::memory_order_release); }

}  // namespace vorla::platform
