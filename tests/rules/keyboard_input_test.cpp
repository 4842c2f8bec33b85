// The keyboard input and its monitor thread, on the fake hot keys.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/fake/fake_hotkeys.h"
#include "rules/trigger_input_keyboard.h"

namespace vorla {
namespace {

constexpr uint32_t kF8 = 0x77;
constexpr uint32_t kF9 = 0x78;
constexpr uint32_t kWaitMs = 5000;

// Polls the input until it reads `expected` (the monitor thread sets it asynchronously).
bool EventuallyReads(TriggerInputKeyBoard& key, bool expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (key.Evaluate() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(TriggerInputKeyBoardEvaluate, StartKeyOnStopKeyOff) {
  platform::FakeHotKeys keys;
  TriggerInputKeyBoard key;
  key.start_key = kF8;
  key.stop_key = kF9;
  key.stop_modifiers = platform::kHotKeyModControl;
  EXPECT_EQ(key.monitor(), nullptr);
  EXPECT_FALSE(key.Evaluate());  // starts the monitor
  ASSERT_NE(key.monitor(), nullptr);
  ASSERT_TRUE(keys.WaitForRegistrations(2, kWaitMs));
  EXPECT_FALSE(key.Evaluate());

  EXPECT_FALSE(keys.Press(0, kF9));  // the stop key needs its modifier
  EXPECT_TRUE(keys.Press(0, kF8));
  EXPECT_TRUE(EventuallyReads(key, true));
  EXPECT_TRUE(keys.Press(0, kF8));  // again: stays on
  EXPECT_TRUE(keys.Press(platform::kHotKeyModControl, kF9));
  EXPECT_TRUE(EventuallyReads(key, false));
  EXPECT_TRUE(keys.Press(0, kF8));
  EXPECT_TRUE(EventuallyReads(key, true));
  EXPECT_EQ(keys.listeners_created(), 1);  // one monitor for the life of the input
}

TEST(TriggerInputKeyBoardEvaluate, EqualStartAndStopKeysOnlySwitchOn) {
  platform::FakeHotKeys keys;
  TriggerInputKeyBoard key;
  key.start_key = kF8;
  key.stop_key = kF8;
  key.Evaluate();
  ASSERT_TRUE(keys.WaitForRegistrations(2, kWaitMs));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(keys.Press(0, kF8));
    EXPECT_TRUE(EventuallyReads(key, true));
  }
  // Give a wrong switch-off time to show up.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(key.Evaluate());
}

TEST(TriggerInputKeyBoardEvaluate, FailedRegistrationEndsTheMonitorAndStaysFalse) {
  struct Row {
    const char* name;
    bool start_unavailable;
  };
  for (const Row row : {Row{"start key taken", true}, Row{"stop key taken", false}}) {
    SCOPED_TRACE(row.name);
    platform::FakeHotKeys keys;
    keys.MakeUnavailable(0, row.start_unavailable ? kF8 : kF9);
    TriggerInputKeyBoard key;
    key.start_key = kF8;
    key.stop_key = kF9;
    EXPECT_FALSE(key.Evaluate());
    ASSERT_TRUE(keys.WaitForCreated(1, kWaitMs));
    ASSERT_TRUE(keys.WaitForNoListeners(kWaitMs));  // the thread ended and let go of its keys
    EXPECT_EQ(keys.registrations(), 0u);
    EXPECT_FALSE(keys.Press(0, kF8));
    EXPECT_FALSE(key.Evaluate());
    EXPECT_EQ(keys.listeners_created(), 1);  // not started again
  }
}

TEST(TriggerInputKeyBoardEvaluate, NoDesktopOrALostConnectionLeavesItFalse) {
  platform::FakeHotKeys keys;
  keys.FailNextListener();
  TriggerInputKeyBoard key;
  key.start_key = kF8;
  key.stop_key = kF9;
  EXPECT_FALSE(key.Evaluate());
  ASSERT_NE(key.monitor(), nullptr);
  EXPECT_FALSE(key.Evaluate());

  TriggerInputKeyBoard second;
  second.start_key = kF8;
  second.stop_key = kF9;
  second.Evaluate();
  ASSERT_TRUE(keys.WaitForRegistrations(2, kWaitMs));
  keys.LoseConnections();
  ASSERT_TRUE(keys.WaitForNoListeners(kWaitMs));  // the monitor ends instead of spinning
  EXPECT_FALSE(second.Evaluate());
}

TEST(TriggerInputKeyBoardRead, ReplacesTheMonitorAndStartsOffWithTheNewKeys) {
  platform::FakeHotKeys keys;
  TriggerInputKeyBoard key;
  key.start_key = kF8;
  key.stop_key = kF9;
  key.Evaluate();
  ASSERT_TRUE(keys.WaitForRegistrations(2, kWaitMs));
  ASSERT_TRUE(keys.Press(0, kF8));
  ASSERT_TRUE(EventuallyReads(key, true));

  // Name "" and keys 0x41 (A, with alt), 0x42 (B).
  const uint8_t body[] = {0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ByteReader in(body);
  ASSERT_TRUE(key.Read(in));
  EXPECT_EQ(key.monitor(), nullptr);  // stopped and destroyed before reading
  EXPECT_EQ(keys.live_listeners(), 0);
  EXPECT_FALSE(key.Evaluate());  // a new monitor, off
  ASSERT_TRUE(keys.WaitForRegistrations(2, kWaitMs));
  EXPECT_FALSE(keys.Press(0, kF8));
  EXPECT_TRUE(keys.Press(platform::kHotKeyModAlt, 0x41));
  EXPECT_TRUE(EventuallyReads(key, true));
  EXPECT_TRUE(keys.Press(0, 0x42));
  EXPECT_TRUE(EventuallyReads(key, false));
}

TEST(TriggerInputKeyBoardEvaluate, DestructionStopsTheMonitorAtOnce) {
  platform::FakeHotKeys keys;
  auto key = std::make_unique<TriggerInputKeyBoard>();
  key->start_key = kF8;
  key->stop_key = kF9;
  key->Evaluate();
  ASSERT_TRUE(keys.WaitForRegistrations(2, kWaitMs));
  const auto t0 = std::chrono::steady_clock::now();
  key.reset();
  // The wait wakes on the stop event, not on a timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(keys.live_listeners(), 0);
  EXPECT_EQ(keys.registrations(), 0u);
}

}  // namespace
}  // namespace vorla
