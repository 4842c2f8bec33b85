#include "platform/fake/fake_hotkeys.h"

#include <algorithm>
#include <chrono>

namespace vorla::platform {

namespace {
// Only the modifiers that make a combination; the no-repeat flag changes nothing.
uint32_t Significant(uint32_t modifiers) { return modifiers & ~kHotKeyModNoRepeat; }
}  // namespace

class FakeHotKeys::Listener final : public HotKeyListener {
 public:
  explicit Listener(FakeHotKeys& hub) : hub_(hub) {}

  ~Listener() override {
    std::lock_guard lock(hub_.mutex_);
    std::erase(hub_.listeners_, this);
    hub_.changed_.notify_all();
  }

  bool Register(int32_t id, uint32_t modifiers, uint32_t virtual_key) override {
    std::lock_guard lock(hub_.mutex_);
    const auto combo = std::make_pair(Significant(modifiers), virtual_key);
    if (hub_.lost_ || hub_.unavailable_.count(combo) != 0) return false;
    for (const Listener* other : hub_.listeners_) {
      if (other == this) continue;
      for (const auto& r : other->regs_)
        if (r.combo == combo) return false;
    }
    regs_.push_back({id, combo});
    hub_.changed_.notify_all();
    return true;
  }

  bool Unregister(int32_t id) override {
    std::lock_guard lock(hub_.mutex_);
    const size_t before = regs_.size();
    std::erase_if(regs_, [&](const Reg& r) { return r.id == id; });
    hub_.changed_.notify_all();
    return regs_.size() != before;
  }

  HotKeyWaitResult Wait(Event* wake, uint32_t timeout_ms, int32_t& id) override {
    for (;;) {
      {
        std::lock_guard lock(hub_.mutex_);
        if (hub_.lost_) return HotKeyWaitResult::kFailed;
        if (!presses_.empty()) {
          id = presses_.front();
          presses_.pop_front();
          return HotKeyWaitResult::kHotKey;
        }
      }
      Waitable* objects[2] = {&pressed_, wake};
      const int r =
          WaitAny(std::span<Waitable* const>(objects, wake != nullptr ? 2 : 1), timeout_ms);
      if (r == 1) return HotKeyWaitResult::kWoken;
      if (r == kWaitTimeout) return HotKeyWaitResult::kTimeout;
      if (r == kWaitFailed) return HotKeyWaitResult::kFailed;
    }
  }

  // Hub lock held.
  bool Deliver(const std::pair<uint32_t, uint32_t>& combo) {
    for (const auto& r : regs_) {
      if (r.combo == combo) {
        presses_.push_back(r.id);
        pressed_.Set();
        return true;
      }
    }
    return false;
  }
  void Lose() { pressed_.Set(); }
  size_t registrations() const { return regs_.size(); }

 private:
  struct Reg {
    int32_t id;
    std::pair<uint32_t, uint32_t> combo;
  };
  FakeHotKeys& hub_;
  std::vector<Reg> regs_;        // hub lock
  std::deque<int32_t> presses_;  // hub lock
  Event pressed_;
};

FakeHotKeys::FakeHotKeys() {
  SetHotKeyListenerFactoryForTesting([this] { return Create(); });
}

FakeHotKeys::~FakeHotKeys() { SetHotKeyListenerFactoryForTesting({}); }

std::unique_ptr<HotKeyListener> FakeHotKeys::Create() {
  std::lock_guard lock(mutex_);
  if (fail_next_) {
    fail_next_ = false;
    return nullptr;
  }
  ++created_;
  auto listener = std::make_unique<Listener>(*this);
  listeners_.push_back(listener.get());
  changed_.notify_all();
  return listener;
}

bool FakeHotKeys::Press(uint32_t modifiers, uint32_t virtual_key) {
  std::lock_guard lock(mutex_);
  const auto combo = std::make_pair(Significant(modifiers), virtual_key);
  for (Listener* l : listeners_)
    if (l->Deliver(combo)) return true;
  return false;
}

void FakeHotKeys::MakeUnavailable(uint32_t modifiers, uint32_t virtual_key) {
  std::lock_guard lock(mutex_);
  unavailable_.insert({Significant(modifiers), virtual_key});
}

void FakeHotKeys::FailNextListener() {
  std::lock_guard lock(mutex_);
  fail_next_ = true;
}

void FakeHotKeys::LoseConnections() {
  std::lock_guard lock(mutex_);
  lost_ = true;
  for (Listener* l : listeners_) l->Lose();
}

bool FakeHotKeys::WaitForRegistrations(size_t count, uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t n = 0;
    for (const Listener* l : listeners_) n += l->registrations();
    return n >= count;
  });
}

bool FakeHotKeys::WaitForCreated(int count, uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return created_ >= count; });
}

bool FakeHotKeys::WaitForNoListeners(uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return listeners_.empty(); });
}

size_t FakeHotKeys::registrations() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Listener* l : listeners_) n += l->registrations();
  return n;
}

int FakeHotKeys::listeners_created() const {
  std::lock_guard lock(mutex_);
  return created_;
}

int FakeHotKeys::live_listeners() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(listeners_.size());
}

}  // namespace vorla::platform
