// A locked first-in-first-out queue with a wake-up event, for handing messages and frames from
// worker threads to their consumer.
//
// Push appends a copy (payload buffers are shared, never copied) and signals the event; the event
// is auto-reset, so one Set may stand for several pushes: every pop looks at the queue before it
// waits, so no element is missed. The event is exposed so that a loop can wait on it together
// with its other events (platform::WaitAny) and then drain the queue with TryPop. The lock is
// never held while waiting or while an element is processed. There is no capacity limit here;
// producers keep their own.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "platform/event.h"

namespace vorla {

template <class T>
class ThreadSafeQueueBase {
 public:
  ThreadSafeQueueBase() = default;
  ThreadSafeQueueBase(const ThreadSafeQueueBase&) = delete;
  ThreadSafeQueueBase& operator=(const ThreadSafeQueueBase&) = delete;
  virtual ~ThreadSafeQueueBase() = default;

  virtual uint64_t Size() const {
    std::lock_guard<std::mutex> g(lock_);
    return elements_.size();
  }

  // Destroys every element (releasing its buffers); the event is not touched.
  virtual void Clear() {
    std::deque<T> gone;
    {
      std::lock_guard<std::mutex> g(lock_);
      gone.swap(elements_);
    }
  }

 protected:
  std::deque<T> elements_;
  mutable std::mutex lock_;
};

template <class T>
class ThreadSafeQueue : public ThreadSafeQueueBase<T> {
 public:
  ThreadSafeQueue() = default;
  ~ThreadSafeQueue() override = default;

  // Appends a copy at the tail and signals the event.
  void Push(const T& element) {
    std::lock_guard<std::mutex> g(this->lock_);
    this->elements_.push_back(element);
    event_.Set();
  }
  void Push(T&& element) {
    std::lock_guard<std::mutex> g(this->lock_);
    this->elements_.push_back(std::move(element));
    event_.Set();
  }

  // The non-blocking pop: removes the head into `out`; false when the queue is empty. The same
  // as Pop with timeout 0.
  bool TryPop(T& out) {
    std::lock_guard<std::mutex> g(this->lock_);
    if (this->elements_.empty()) return false;
    out = std::move(this->elements_.front());
    this->elements_.pop_front();
    return true;
  }

  // Copies the head into `out` without removing it; false when empty. With DropFront this lets a
  // consumer keep the head queued until it has dealt with it.
  bool TryFront(T& out) const {
    std::lock_guard<std::mutex> g(this->lock_);
    if (this->elements_.empty()) return false;
    out = this->elements_.front();
    return true;
  }

  // Removes the head if there is one (destroyed after the lock is left).
  void DropFront() {
    std::deque<T> gone;
    {
      std::lock_guard<std::mutex> g(this->lock_);
      if (this->elements_.empty()) return;
      gone.push_back(std::move(this->elements_.front()));
      this->elements_.pop_front();
    }
  }

  // Removes the head into `out`, waiting up to timeout_ms (platform::kWaitInfinite: until an
  // element comes). With a finite timeout one wake-up that finds the queue empty (another
  // consumer was faster) ends the call even if time is left.
  bool Pop(T& out, uint32_t timeout_ms) { return PopOnce(out, timeout_ms) == PopResult::kTaken; }

  // Pop with a total time budget, measured on the process clock; the infinite value is refused
  // (false at once). A wait that ran out its whole time ends the call as well, so the budget also
  // holds when the process clock is a fake that does not move on its own.
  bool PopWithin(T& out, uint32_t timeout_ms) {
    if (timeout_ms == platform::kWaitInfinite) return false;
    const uint64_t start = platform::GetClock().TickMs();
    uint32_t budget = timeout_ms;
    for (;;) {
      const PopResult r = PopOnce(out, budget);
      if (r == PopResult::kTaken) return true;
      if (r == PopResult::kTimedOut) return false;
      const uint64_t elapsed = platform::GetClock().TickMs() - start;
      if (elapsed >= timeout_ms) return false;
      budget = static_cast<uint32_t>(timeout_ms - elapsed);
    }
  }

  // The sum of size_of(element) over the waiting elements, taken under the lock (size_of must not
  // touch the queue). Linear in the queue's length.
  template <class F>
  uint64_t SumOf(F size_of) const {
    std::lock_guard<std::mutex> g(this->lock_);
    uint64_t sum = 0;
    for (const T& e : this->elements_) sum += size_of(e);
    return sum;
  }

  // The wake-up event (auto-reset), for waiting on it with other events.
  platform::Event& event() { return event_; }

 private:
  enum class PopResult { kTaken, kTimedOut, kWokenEmpty };

  PopResult PopOnce(T& out, uint32_t timeout_ms) {
    if (TryPop(out)) return PopResult::kTaken;
    if (timeout_ms == 0) return PopResult::kTimedOut;
    for (;;) {
      const bool woken = event_.Wait(timeout_ms);
      if (TryPop(out)) return PopResult::kTaken;
      if (!woken) return PopResult::kTimedOut;
      if (timeout_ms != platform::kWaitInfinite) return PopResult::kWokenEmpty;
    }
  }

  platform::Event event_;
};

}  // namespace vorla
