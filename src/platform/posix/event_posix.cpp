#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform/event.h"

namespace vorla::platform {
namespace {

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool ReadCounter(int fd) {
  uint64_t v;
  for (;;) {
    const ssize_t r = read(fd, &v, sizeof(v));
    if (r == sizeof(v)) return true;
    if (r < 0 && errno == EINTR) continue;
    return false;  // EAGAIN: another waiter consumed it
  }
}

}  // namespace

Event::Event() : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
Event::~Event() {
  if (handle_ >= 0) close(handle_);
}

void Event::Set() {
  if (handle_ < 0) return;
  const uint64_t one = 1;
  while (write(handle_, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  if (handle_ >= 0) ReadCounter(handle_);
}

bool Event::Consume() { return ReadCounter(handle_); }

bool Event::Wait(uint32_t timeout_ms) {
  Waitable* self = this;
  return WaitAny({&self, 1}, timeout_ms) == 0;
}

PeriodicTimer::PeriodicTimer() : handle_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}
PeriodicTimer::~PeriodicTimer() {
  if (handle_ >= 0) close(handle_);
}

bool PeriodicTimer::Start(uint32_t period_ms) {
  if (handle_ < 0 || period_ms == 0) return false;
  itimerspec spec{};
  spec.it_interval.tv_sec = period_ms / 1000;
  spec.it_interval.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000;
  spec.it_value = spec.it_interval;
  return timerfd_settime(handle_, 0, &spec, nullptr) == 0;
}

void PeriodicTimer::Stop() {
  if (handle_ < 0) return;
  itimerspec spec{};
  timerfd_settime(handle_, 0, &spec, nullptr);
  ReadCounter(handle_);
}

bool PeriodicTimer::Consume() { return ReadCounter(handle_); }

bool PeriodicTimer::Wait(uint32_t timeout_ms) {
  Waitable* self = this;
  return WaitAny({&self, 1}, timeout_ms) == 0;
}

int WaitAny(std::span<Waitable* const> objects, uint32_t timeout_ms) {
  pollfd small[8];
  std::vector<pollfd> large;
  pollfd* fds = small;
  if (objects.size() > 8) {
    large.resize(objects.size());
    fds = large.data();
  }
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] == nullptr || objects[i]->native_handle() < 0) return kWaitFailed;
    fds[i] = {static_cast<int>(objects[i]->native_handle()), POLLIN, 0};
  }
  const uint64_t deadline = timeout_ms == kWaitInfinite ? 0 : MonotonicMs() + timeout_ms;
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms != kWaitInfinite) {
      const uint64_t now = MonotonicMs();
      wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
    const int n = poll(fds, objects.size(), wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    if (n == 0) return kWaitTimeout;
    for (size_t i = 0; i < objects.size(); ++i) {
      if (fds[i].revents & (POLLERR | POLLNVAL)) return kWaitFailed;
      if ((fds[i].revents & POLLIN) && objects[i]->Consume()) return static_cast<int>(i);
    }
    // Every signal seen was taken by another waiter: wait again for what time is left.
  }
}

}  // namespace vorla::platform
