// Hot keys as passive key grabs on the root window of the listener's own connection. Each
// registration grabs its key code with its exact modifier mask, and again with Caps Lock, Num Lock
// and both, because grabs match the modifier state exactly. A grab that another client holds
// fails asynchronously with BadAccess, so registration syncs and checks the error trap.
#include "platform/posix/hotkeys_x11.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/posix/x_error_trap.h"

namespace vorla::platform {

uint32_t VirtualKeyToKeysym(uint32_t vk) {
  if (vk >= 0x41 && vk <= 0x5A) return XK_a + (vk - 0x41);     // A-Z
  if (vk >= 0x30 && vk <= 0x39) return XK_0 + (vk - 0x30);     // 0-9
  if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);    // F1-F24
  if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);  // numeric keypad 0-9
  struct Pair {
    uint32_t vk;
    uint32_t keysym;
  };
  static constexpr Pair kTable[] = {
      {0x08, XK_BackSpace},   {0x09, XK_Tab},         {0x0C, XK_Clear},
      {0x0D, XK_Return},      {0x13, XK_Pause},       {0x14, XK_Caps_Lock},
      {0x1B, XK_Escape},      {0x20, XK_space},       {0x21, XK_Prior},
      {0x22, XK_Next},        {0x23, XK_End},         {0x24, XK_Home},
      {0x25, XK_Left},        {0x26, XK_Up},          {0x27, XK_Right},
      {0x28, XK_Down},        {0x2C, XK_Print},       {0x2D, XK_Insert},
      {0x2E, XK_Delete},      {0x2F, XK_Help},        {0x5D, XK_Menu},
      {0x6A, XK_KP_Multiply}, {0x6B, XK_KP_Add},      {0x6C, XK_KP_Separator},
      {0x6D, XK_KP_Subtract}, {0x6E, XK_KP_Decimal},  {0x6F, XK_KP_Divide},
      {0x90, XK_Num_Lock},    {0x91, XK_Scroll_Lock}, {0xBA, XK_semicolon},
      {0xBB, XK_equal},       {0xBC, XK_comma},       {0xBD, XK_minus},
      {0xBE, XK_period},      {0xBF, XK_slash},       {0xC0, XK_grave},
      {0xDB, XK_bracketleft}, {0xDC, XK_backslash},   {0xDD, XK_bracketright},
      {0xDE, XK_apostrophe},  {0xE2, XK_less},
  };
  for (const Pair& p : kTable)
    if (p.vk == vk) return p.keysym;
  return 0;
}

namespace {

constexpr unsigned int kHotKeyMasks = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

// False for modifier bits that have no X equivalent.
bool ModifiersToMask(uint32_t modifiers, unsigned int& mask) {
  const uint32_t known =
      kHotKeyModAlt | kHotKeyModControl | kHotKeyModShift | kHotKeyModWin | kHotKeyModNoRepeat;
  if ((modifiers & ~known) != 0) return false;
  mask = 0;
  if (modifiers & kHotKeyModAlt) mask |= Mod1Mask;
  if (modifiers & kHotKeyModControl) mask |= ControlMask;
  if (modifiers & kHotKeyModShift) mask |= ShiftMask;
  if (modifiers & kHotKeyModWin) mask |= Mod4Mask;
  return true;
}

// The connection and the flag Xlib sets when the server goes away; leaked together after a loss
// (the Display must not be touched again, not even closed).
struct Connection {
  Display* display = nullptr;
  std::atomic<bool> lost{false};
};

class X11HotKeyListener final : public HotKeyListener {
 public:
  explicit X11HotKeyListener(std::unique_ptr<Connection> c) : c_(std::move(c)) {
    root_ = DefaultRootWindow(c_->display);
    num_lock_mask_ = NumLockMask();
  }

  ~X11HotKeyListener() override {
    if (c_->lost) {
      (void)c_.release();
      return;
    }
    XCloseDisplay(c_->display);  // releases every grab
  }

  bool Register(int32_t id, uint32_t modifiers, uint32_t virtual_key) override {
    if (c_->lost) return false;
    unsigned int mask = 0;
    if (!ModifiersToMask(modifiers, mask)) return false;
    const uint32_t keysym = VirtualKeyToKeysym(virtual_key);
    if (keysym == 0) return false;
    const KeyCode code = XKeysymToKeycode(c_->display, keysym);
    if (code == 0 || c_->lost) return false;
    const bool grabbed =
        std::any_of(registrations_.begin(), registrations_.end(),
                    [&](const Reg& r) { return r.code == code && r.mask == mask; });
    if (!grabbed) {
      XErrorTrap trap(c_->display);
      ForEachVariant(mask, [&](unsigned int m) {
        XGrabKey(c_->display, code, m, root_, True, GrabModeAsync, GrabModeAsync);
      });
      if (trap.Sync() != 0 || c_->lost) {
        if (!c_->lost) Ungrab(code, mask);
        return false;
      }
    }
    registrations_.push_back({id, code, mask});
    return true;
  }

  bool Unregister(int32_t id) override {
    std::vector<Reg> removed;
    for (auto it = registrations_.begin(); it != registrations_.end();) {
      if (it->id == id) {
        removed.push_back(*it);
        it = registrations_.erase(it);
      } else {
        ++it;
      }
    }
    if (c_->lost) return !removed.empty();
    for (const Reg& r : removed) {
      const bool still_used =
          std::any_of(registrations_.begin(), registrations_.end(),
                      [&](const Reg& x) { return x.code == r.code && x.mask == r.mask; });
      if (!still_used) Ungrab(r.code, r.mask);
    }
    // Synchronously, so that another client (a monitor replacing this one) can take the keys the
    // moment this returns.
    XSync(c_->display, False);
    return !removed.empty();
  }

  HotKeyWaitResult Wait(Event* wake, uint32_t timeout_ms, int32_t& id) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (c_->lost) return HotKeyWaitResult::kFailed;
      // Events Xlib has already read (during a sync, say) never wake poll: drain them first.
      while (XPending(c_->display) > 0 && !c_->lost) {
        XEvent event;
        XNextEvent(c_->display, &event);
        if (event.type == KeyPress && Match(event.xkey, id)) return HotKeyWaitResult::kHotKey;
      }
      if (c_->lost) return HotKeyWaitResult::kFailed;
      int wait_ms = -1;
      if (timeout_ms != kWaitInfinite) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return HotKeyWaitResult::kTimeout;
        wait_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
      }
      pollfd fds[2] = {{ConnectionNumber(c_->display), POLLIN, 0}, {-1, POLLIN, 0}};
      nfds_t n = 1;
      if (wake != nullptr) {
        fds[1].fd = static_cast<int>(wake->native_handle());
        n = 2;
      }
      const int r = ::poll(fds, n, wait_ms);
      if (r < 0) {
        if (errno == EINTR) continue;
        return HotKeyWaitResult::kFailed;
      }
      if (n == 2 && (fds[1].revents & POLLIN) && wake->Consume()) return HotKeyWaitResult::kWoken;
      // A readable or hung-up connection: the next XPending reads it or notices the loss.
    }
  }

 private:
  struct Reg {
    int32_t id;
    KeyCode code;
    unsigned int mask;
  };

  template <class F>
  void ForEachVariant(unsigned int mask, F f) const {
    for (unsigned int extra : {0u, static_cast<unsigned int>(LockMask), num_lock_mask_,
                               static_cast<unsigned int>(LockMask) | num_lock_mask_})
      f(mask | extra);
  }

  void Ungrab(KeyCode code, unsigned int mask) {
    ForEachVariant(mask, [&](unsigned int m) { XUngrabKey(c_->display, code, m, root_); });
  }

  bool Match(const XKeyEvent& key, int32_t& id) const {
    const unsigned int state = key.state & kHotKeyMasks;
    for (const Reg& r : registrations_) {
      if (r.code == key.keycode && r.mask == state) {
        id = r.id;
        return true;
      }
    }
    return false;
  }

  // The modifier bit that Num Lock sets on this server (usually Mod2).
  unsigned int NumLockMask() const {
    unsigned int mask = Mod2Mask;
    const KeyCode num_lock = XKeysymToKeycode(c_->display, XK_Num_Lock);
    XModifierKeymap* map = XGetModifierMapping(c_->display);
    if (map == nullptr) return mask;
    for (int mod = 0; mod < 8 && num_lock != 0; ++mod) {
      for (int k = 0; k < map->max_keypermod; ++k) {
        if (map->modifiermap[mod * map->max_keypermod + k] == num_lock) {
          mask = 1u << mod;
          mod = 8;
          break;
        }
      }
    }
    XFreeModifiermap(map);
    return mask;
  }

  std::unique_ptr<Connection> c_;
  Window root_ = 0;
  unsigned int num_lock_mask_ = Mod2Mask;
  std::vector<Reg> registrations_;
};

std::mutex g_factory_mutex;
HotKeyListenerFactory g_factory;

}  // namespace

std::unique_ptr<HotKeyListener> CreateX11HotKeyListener(const std::string& display_name) {
  Display* d = XOpenDisplay(display_name.empty() ? nullptr : display_name.c_str());
  if (d == nullptr) return nullptr;
  auto c = std::make_unique<Connection>();
  c->display = d;
  WatchConnectionLoss(d, &c->lost);
  return std::make_unique<X11HotKeyListener>(std::move(c));
}

std::unique_ptr<HotKeyListener> CreateHotKeyListener() {
  HotKeyListenerFactory factory;
  {
    std::lock_guard lock(g_factory_mutex);
    factory = g_factory;
  }
  if (factory) return factory();
  return CreateX11HotKeyListener("");
}

void SetHotKeyListenerFactoryForTesting(HotKeyListenerFactory factory) {
  std::lock_guard lock(g_factory_mutex);
  g_factory = std::move(factory);
}

}  // namespace vorla::platform
