#include <windows.h>

#include <vector>

#include "platform/event.h"

namespace vorla::platform {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
intptr_t FromHandle(HANDLE h) { return h == nullptr ? -1 : reinterpret_cast<intptr_t>(h); }

}  // namespace

// An auto-reset kernel event: a satisfied wait consumes the signal itself.
Event::Event() : handle_(FromHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

Event::~Event() {
  if (handle_ >= 0) CloseHandle(AsHandle(handle_));
}

void Event::Set() {
  if (handle_ >= 0) SetEvent(AsHandle(handle_));
}

void Event::Reset() {
  if (handle_ >= 0) ResetEvent(AsHandle(handle_));
}

bool Event::Consume() { return true; }

bool Event::Wait(uint32_t timeout_ms) {
  Waitable* self = this;
  return WaitAny({&self, 1}, timeout_ms) == 0;
}

// A synchronization (auto-reset) waitable timer.
PeriodicTimer::PeriodicTimer() : handle_(FromHandle(CreateWaitableTimerW(nullptr, FALSE, nullptr))) {}

PeriodicTimer::~PeriodicTimer() {
  if (handle_ >= 0) CloseHandle(AsHandle(handle_));
}

bool PeriodicTimer::Start(uint32_t period_ms) {
  if (handle_ < 0 || period_ms == 0 || period_ms > 0x7FFFFFFF) return false;
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(period_ms) * 10000;  // relative, in 100 ns
  return SetWaitableTimer(AsHandle(handle_), &due, static_cast<LONG>(period_ms), nullptr, nullptr,
                          FALSE) != 0;
}

void PeriodicTimer::Stop() {
  if (handle_ < 0) return;
  CancelWaitableTimer(AsHandle(handle_));
  WaitForSingleObject(AsHandle(handle_), 0);  // drops a signal that is still pending
}

bool PeriodicTimer::Consume() { return true; }

bool PeriodicTimer::Wait(uint32_t timeout_ms) {
  Waitable* self = this;
  return WaitAny({&self, 1}, timeout_ms) == 0;
}

int WaitAny(std::span<Waitable* const> objects, uint32_t timeout_ms) {
  if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
  std::vector<HANDLE> handles;
  handles.reserve(objects.size());
  for (Waitable* w : objects) {
    if (w == nullptr || w->native_handle() < 0) return kWaitFailed;
    handles.push_back(AsHandle(w->native_handle()));
  }
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    DWORD wait = INFINITE;
    if (timeout_ms != kWaitInfinite) {
      const ULONGLONG elapsed = GetTickCount64() - start;
      wait = elapsed >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - elapsed);
    }
    // The lowest signalled index wins, and the wait itself consumes auto-reset signals.
    const DWORD rc =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);
    if (rc == WAIT_TIMEOUT) return kWaitTimeout;
    if (rc >= WAIT_OBJECT_0 + handles.size()) return kWaitFailed;
    const size_t index = rc - WAIT_OBJECT_0;
    if (objects[index]->Consume()) return static_cast<int>(index);
  }
}

}  // namespace vorla::platform
