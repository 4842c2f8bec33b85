#include "service/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace vorla {
namespace {

// Runs until its stop event is signalled (or stop is requested); counts its runs.
class Waiter : public Thread {
 public:
  Waiter() : Thread(u"Waiter", 0) {}
  ~Waiter() override { Stop(5); }
  uint32_t Run() override {
    runs.fetch_add(1);
    while (!stop_requested_) {
      if (stop_event() && stop_event()->Wait(5000)) break;
    }
    return 7;
  }
  std::atomic<int> runs{0};
  using Thread::stop_event;
};

// Ignores stop requests until released.
class Stubborn : public Thread {
 public:
  Stubborn() : Thread(u"Stubborn", 0) {}
  ~Stubborn() override {
    release = true;
    Stop(5);
  }
  uint32_t Run() override {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return 0;
  }
  std::atomic<bool> release{false};
};

// Returns at once; counts its runs.
class Quick : public Thread {
 public:
  Quick() : Thread(u"Quick", 0) {}
  ~Quick() override { Stop(5); }
  uint32_t Run() override {
    runs.fetch_add(1);
    return 0;
  }
  std::atomic<int> runs{0};
};

bool WaitFor(const std::function<bool()>& cond) {
  for (int i = 0; i < 500; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

TEST(ThreadBase, StartRunStop) {
  Waiter w;
  EXPECT_TRUE(w.Stop(1)) << "stopping an idle object succeeds";
  ASSERT_TRUE(w.Start());
  EXPECT_TRUE(WaitFor([&] { return w.runs == 1; }));
  EXPECT_TRUE(w.IsRunning());
  EXPECT_NE(w.thread_id(), 0u);
  EXPECT_TRUE(w.Stop(5));
  EXPECT_FALSE(w.IsRunning());
}

TEST(ThreadBase, StartOnARunningObjectCreatesNoSecondThread) {
  Waiter w;
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(WaitFor([&] { return w.runs == 1; }));
  const uint32_t id = w.thread_id();
  EXPECT_TRUE(w.Start());
  EXPECT_EQ(w.thread_id(), id);
  EXPECT_TRUE(w.Stop(5));
  EXPECT_EQ(w.runs, 1);
}

TEST(ThreadBase, StopZeroOnlySignals) {
  Stubborn s;
  ASSERT_TRUE(s.Start());
  ASSERT_TRUE(WaitFor([&] { return s.IsRunning(); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.Stop(0)) << "still running";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  s.release = true;
  ASSERT_TRUE(WaitFor([&] { return !s.IsRunning(); }));
  EXPECT_TRUE(s.Stop(0)) << "already gone";
}

TEST(ThreadBase, StopTimesOutOnAThreadThatDoesNotReact) {
  Stubborn s;
  ASSERT_TRUE(s.Start());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.Stop(1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_TRUE(s.IsRunning());
}

TEST(ThreadBase, UnconsumedStopSignalIsSeenByTheNextRun) {
  // The first run watches only the flag, so the stop event's signal stays pending; the second
  // run waits on the event and must find that signal at once.
  class TwoRuns : public Thread {
   public:
    TwoRuns() : Thread(u"TwoRuns", 0) {}
    ~TwoRuns() override { Stop(5); }
    uint32_t Run() override {
      if (runs++ == 0) {
        while (!stop_requested_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
      }
      saw_old_signal = stop_event()->Wait(3000);
      return 0;
    }
    std::atomic<int> runs{0};
    std::atomic<bool> saw_old_signal{false};
    using Thread::finished_;
  } t;
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(WaitFor([&] { return t.runs == 1; }));
  ASSERT_TRUE(t.Stop(5));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(WaitFor([&] { return t.finished_.load(); }));
  EXPECT_TRUE(t.saw_old_signal);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A run that is over before Start has returned must not leave the object marked as running:
// the next Start would then do nothing.
TEST(ThreadBase, ARunThatEndsAtOnceCanBeStartedAgain) {
  Quick q;
  for (int i = 1; i <= 200; ++i) {
    ASSERT_TRUE(q.Start());
    ASSERT_TRUE(WaitFor([&] { return q.runs == i; })) << "start " << i;
    ASSERT_TRUE(q.Stop(5));
  }
}

TEST(ThreadBase, BaseRunReturnsOneAtOnce) {
  Thread t(u"Plain", 0);
  ASSERT_TRUE(t.Start());
  EXPECT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
  EXPECT_TRUE(t.Stop(1));
}

}  // namespace
}  // namespace vorla
