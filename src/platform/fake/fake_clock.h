// A clock that moves only when told. Local time is UTC shifted by a fixed offset.
// SleepMs advances the clock by the requested time and yields, so code that polls with sleeps
// runs through its schedule in no real time. The wall time and the tick count move together,
// except that StepWallMs sets the wall time alone, as a clock set by hand or by a time service.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace vorla::platform {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(int64_t start_millis = 1700000000000, int64_t utc_offset_seconds = 0)
      : now_ms_(start_millis), utc_offset_(utc_offset_seconds) {}

  int64_t WallSeconds() override { return FloorDiv(WallMillis(), 1000); }
  int64_t WallMillis() override { return now_ms_.load() + wall_step_ms_.load(); }
  uint64_t TickMs() override { return static_cast<uint64_t>(now_ms_.load() - start_ms_); }
  CalendarTime LocalTime(int64_t seconds) override;
  void SleepMs(uint32_t ms) override;

  // Set the wall time; the tick count moves by as much (backwards too).
  void SetMillis(int64_t ms) { now_ms_.store(ms - wall_step_ms_.load()); }
  void SetSeconds(int64_t s) { SetMillis(s * 1000); }
  // Moves the wall time by `ms` (negative: back) and leaves the tick count where it is.
  void StepWallMs(int64_t ms) { wall_step_ms_.fetch_add(ms); }
  void AdvanceMs(int64_t ms) { now_ms_.fetch_add(ms); }
  void AdvanceSeconds(int64_t s) { now_ms_.fetch_add(s * 1000); }
  int64_t sleeps() const { return sleeps_.load(); }

  static int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
  }

 private:
  std::atomic<int64_t> now_ms_;
  const int64_t start_ms_ = now_ms_.load();
  const int64_t utc_offset_;
  std::atomic<int64_t> wall_step_ms_{0};
  std::atomic<int64_t> sleeps_{0};
};

// Installs a clock for the lifetime of the object.
class ScopedClockOverride {
 public:
  explicit ScopedClockOverride(Clock& clock) { SetClockForTesting(&clock); }
  ~ScopedClockOverride() { SetClockForTesting(nullptr); }
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;
};

}  // namespace vorla::platform
