// The X11 hot-key listener against a private X server; key presses come through XTEST (xdotool).
#include "platform/posix/hotkeys_x11.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/x_server.h"

// After GoogleTest: Xlib's macros break it.
#include <X11/keysym.h>

namespace vorla::platform {
namespace {

constexpr uint32_t kF8 = 0x77;
constexpr uint32_t kWaitMs = 5000;

class HotKeysX11Test : public test::XServerTest {
 protected:
  test::PrivateXServer::Options ServerOptions() const override {
    return test::PrivateXServer::Options::Small();
  }
};

TEST(VirtualKeyToKeysym, CoversTheKeyGroups) {
  struct Row {
    uint32_t vk;
    uint32_t keysym;
  };
  const Row rows[] = {
      {0x41, XK_a},
      {0x5A, XK_z},
      {0x30, XK_0},
      {0x39, XK_9},
      {0x70, XK_F1},
      {0x87, XK_F24},
      {0x60, XK_KP_0},
      {0x69, XK_KP_9},
      {0x6B, XK_KP_Add},
      {0x6F, XK_KP_Divide},
      {0x21, XK_Prior},
      {0x28, XK_Down},
      {0x2D, XK_Insert},
      {0x2E, XK_Delete},
      {0x24, XK_Home},
      {0x08, XK_BackSpace},
      {0xBA, XK_semicolon},
      {0xBB, XK_equal},
      {0xC0, XK_grave},
      {0xDE, XK_apostrophe},
      {0xE2, XK_less},
      {0x1B, XK_Escape},
      {0x20, XK_space},
      {0x0D, XK_Return},
      // No X equivalent: mouse buttons, reserved codes, modifier keys themselves, out of range.
      {0x01, 0},
      {0x07, 0},
      {0x10, 0},
      {0x88, 0},
      {0xFF, 0},
      {0x12345, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.vk);
    EXPECT_EQ(VirtualKeyToKeysym(row.vk), row.keysym);
  }
}

TEST_F(HotKeysX11Test, DeliversRegisteredKeysWithTheirModifiersOnly) {
  auto keys = CreateX11HotKeyListener(display_name());
  ASSERT_NE(keys, nullptr);
  ASSERT_TRUE(keys->Register(kF8, 0, kF8));
  ASSERT_TRUE(keys->Register(2, kHotKeyModControl | kHotKeyModShift, 0x41));
  ASSERT_TRUE(keys->Register(3, kHotKeyModAlt | kHotKeyModNoRepeat, 0x31));

  struct Row {
    const char* keys;
    HotKeyWaitResult result;
    int32_t id;
  };
  const Row rows[] = {
      {"F8", HotKeyWaitResult::kHotKey, kF8},
      {"ctrl+shift+a", HotKeyWaitResult::kHotKey, 2},
      {"alt+1", HotKeyWaitResult::kHotKey, 3},
      {"a", HotKeyWaitResult::kTimeout, 0},  // modifiers must match exactly
      {"ctrl+a", HotKeyWaitResult::kTimeout, 0},
      {"shift+F8", HotKeyWaitResult::kTimeout, 0},
      // Caps Lock and Num Lock on do not break a hot key.
      {"Caps_Lock F8 Caps_Lock", HotKeyWaitResult::kHotKey, kF8},
      {"Num_Lock ctrl+shift+a Num_Lock", HotKeyWaitResult::kHotKey, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.keys);
    PressKeys(row.keys);
    int32_t id = 0;
    const auto timeout = row.result == HotKeyWaitResult::kTimeout ? 300u : kWaitMs;
    EXPECT_EQ(keys->Wait(nullptr, timeout, id), row.result);
    if (row.result == HotKeyWaitResult::kHotKey) {
      EXPECT_EQ(id, row.id);
    }
  }

  // Unregistered: the key passes by.
  EXPECT_TRUE(keys->Unregister(kF8));
  EXPECT_FALSE(keys->Unregister(kF8));
  PressKeys("F8");
  int32_t id = 0;
  EXPECT_EQ(keys->Wait(nullptr, 300, id), HotKeyWaitResult::kTimeout);
}

TEST_F(HotKeysX11Test, SharedCombinationsAndRegistrationFailures) {
  auto first = CreateX11HotKeyListener(display_name());
  auto second = CreateX11HotKeyListener(display_name());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(first->Register(kF8, 0, kF8));
  EXPECT_FALSE(second->Register(kF8, 0, kF8));  // taken by another client
  EXPECT_TRUE(second->Register(kF8, kHotKeyModShift, kF8));
  EXPECT_FALSE(first->Register(9, 0, 0x07));     // no such key
  EXPECT_FALSE(first->Register(9, 0x10, 0x41));  // no such modifier

  // One client may register a combination twice (equal start and stop keys): the first
  // identifier is reported, and the grab stays until both are gone.
  ASSERT_TRUE(first->Register(99, 0, kF8));
  PressKeys("F8");
  int32_t id = 0;
  ASSERT_EQ(first->Wait(nullptr, kWaitMs, id), HotKeyWaitResult::kHotKey);
  EXPECT_EQ(id, static_cast<int32_t>(kF8));
  EXPECT_TRUE(first->Unregister(kF8));
  EXPECT_FALSE(second->Register(kF8, 0, kF8));
  EXPECT_TRUE(first->Unregister(99));
  EXPECT_TRUE(second->Register(kF8, 0, kF8));
}

TEST_F(HotKeysX11Test, WakeTimeoutAndLostServer) {
  auto keys = CreateX11HotKeyListener(display_name());
  ASSERT_NE(keys, nullptr);
  ASSERT_TRUE(keys->Register(kF8, 0, kF8));
  Event wake;
  int32_t id = 0;
  EXPECT_EQ(keys->Wait(&wake, 20, id), HotKeyWaitResult::kTimeout);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    wake.Set();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(keys->Wait(&wake, kWaitInfinite, id), HotKeyWaitResult::kWoken);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  waker.join();

  // The server goes away while we wait: the wait fails instead of ending the process.
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(server().server_pid(), SIGKILL);
  });
  EXPECT_EQ(keys->Wait(&wake, kWaitMs, id), HotKeyWaitResult::kFailed);
  killer.join();
  EXPECT_EQ(keys->Wait(&wake, 10, id), HotKeyWaitResult::kFailed);
  EXPECT_FALSE(keys->Register(kF8, kHotKeyModAlt, kF8));
  EXPECT_EQ(CreateX11HotKeyListener(display_name()), nullptr);
  keys.reset();  // must not touch the dead connection
}

}  // namespace
}  // namespace vorla::platform
