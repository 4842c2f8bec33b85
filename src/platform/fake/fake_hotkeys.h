// Scriptable hot keys for tests: a hub that hands out listeners (install it as the process's
// listener factory) and delivers presses to whichever listener registered the combination.
//
// Like the real thing, a combination held by one listener cannot be registered by another, and
// keys can be marked as having no equivalent. Thread-safe: tests press keys from their own thread
// while monitor threads wait.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/hotkeys.h"

namespace vorla::platform {

class FakeHotKeys {
 public:
  // Installs itself as the listener factory; the destructor restores the system's. Must outlive
  // every listener it made (destroy the inputs and monitors first).
  FakeHotKeys();
  ~FakeHotKeys();
  FakeHotKeys(const FakeHotKeys&) = delete;
  FakeHotKeys& operator=(const FakeHotKeys&) = delete;

  // Delivers a press to the listener that registered (modifiers, key). False when none did.
  bool Press(uint32_t modifiers, uint32_t virtual_key);
  // Keys whose registration fails (no equivalent, or held by another program).
  void MakeUnavailable(uint32_t modifiers, uint32_t virtual_key);
  // The next listener creation fails (the factory returns nullptr).
  void FailNextListener();
  // Every live listener's connection is gone: waits return kFailed, registrations fail.
  void LoseConnections();

  // Blocks up to timeout_ms until at least `count` registrations are live; true when they are.
  bool WaitForRegistrations(size_t count, uint32_t timeout_ms);
  // Blocks up to timeout_ms until at least `count` listeners were ever created.
  bool WaitForCreated(int count, uint32_t timeout_ms);
  // Blocks up to timeout_ms until no listener is live.
  bool WaitForNoListeners(uint32_t timeout_ms);
  size_t registrations() const;
  int listeners_created() const;
  int live_listeners() const;

 private:
  class Listener;
  friend class Listener;

  std::unique_ptr<HotKeyListener> Create();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Listener*> listeners_;
  std::set<std::pair<uint32_t, uint32_t>> unavailable_;
  bool fail_next_ = false;
  bool lost_ = false;
  int created_ = 0;
};

}  // namespace vorla::platform
