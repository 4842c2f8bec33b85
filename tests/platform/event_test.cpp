#include "platform/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vorla::platform {
namespace {

TEST(Event, AutoResetOneSignalOneWait) {
  Event e;
  ASSERT_TRUE(e.valid());
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Set();  // several sets before a wait count as one
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Reset();
  EXPECT_FALSE(e.Wait(0));
}

TEST(Event, WaitAnyReturnsTheLowestSignalledIndexAndConsumesOnlyIt) {
  Event a, b, c;
  Waitable* all[] = {&a, &b, &c};
  EXPECT_EQ(WaitAny(all, 0), kWaitTimeout);
  c.Set();
  b.Set();
  EXPECT_EQ(WaitAny(all, 0), 1);
  EXPECT_EQ(WaitAny(all, 0), 2);
  EXPECT_EQ(WaitAny(all, 0), kWaitTimeout);
}

TEST(Event, SetFromAnotherThreadWakesAWaiter) {
  Event e;
  const auto start = std::chrono::steady_clock::now();
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e.Set();
  });
  EXPECT_TRUE(e.Wait(5000));
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(Event, TimeoutIsHonoured) {
  Event e;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(e.Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
}

TEST(PeriodicTimer, SignalsEveryPeriodUntilStopped) {
  PeriodicTimer timer;
  Event other;
  ASSERT_TRUE(timer.Start(10));
  Waitable* all[] = {&other, &timer};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitAny(all, 1000), 1);
  timer.Stop();
  EXPECT_FALSE(timer.Wait(50));
  EXPECT_FALSE(timer.Start(0));
}

}  // namespace
}  // namespace vorla::platform
