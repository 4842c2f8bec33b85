// Auto-reset events, waiting on several at once, and periodic timers.
//
// An Event is signalled by Set and stays signalled until one wait consumes it (auto-reset: one
// wait, one signal; several Sets before a wait count as one). A PeriodicTimer signals itself every
// period. WaitAny waits on any mix of them; sockets and other pollable objects of the platform
// layer can join the same wait through Waitable.
#pragma once

#include <cstdint>
#include <span>

namespace vorla::platform {

inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFF;
inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;

class Waitable {
 public:
  virtual ~Waitable() = default;
  // The pollable descriptor behind the object (an implementation detail of the platform layer).
  virtual intptr_t native_handle() const = 0;
  // Consumes the signal after a wait saw it; false when another waiter took it first.
  virtual bool Consume() = 0;
};

class Event final : public Waitable {
 public:
  // Not signalled at creation. valid() is false when the system refused the event.
  Event();
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool valid() const { return handle_ >= 0; }
  // Thread-safe; may be called from any thread (not from a signal handler).
  void Set();
  // Clears a pending signal without waiting.
  void Reset();
  // Waits up to timeout_ms (kWaitInfinite: forever); true when the signal was consumed.
  bool Wait(uint32_t timeout_ms);

  intptr_t native_handle() const override { return handle_; }
  bool Consume() override;

 private:
  intptr_t handle_;  // -1 when closed or refused
};

class PeriodicTimer final : public Waitable {
 public:
  PeriodicTimer();
  ~PeriodicTimer() override;
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  bool valid() const { return handle_ >= 0; }
  // Signals every period_ms, the first time period_ms from now; false when the system refuses.
  bool Start(uint32_t period_ms);
  void Stop();
  bool Wait(uint32_t timeout_ms);

  intptr_t native_handle() const override { return handle_; }
  bool Consume() override;

 private:
  intptr_t handle_;  // -1 when closed or refused
};

// Waits until one of `objects` is signalled, consumes that signal and returns its index (the
// lowest index when several are signalled); kWaitTimeout after timeout_ms, kWaitFailed when an
// object is invalid or the wait itself fails.
int WaitAny(std::span<Waitable* const> objects, uint32_t timeout_ms);

}  // namespace vorla::platform
