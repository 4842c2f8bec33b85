// Windows through the window manager's published state: _NET_CLIENT_LIST_STACKING (else
// _NET_CLIENT_LIST) for the list, _NET_ACTIVE_WINDOW for the foreground, _NET_WM_NAME (else
// WM_NAME) for titles, WM_CLASS, WM_TRANSIENT_FOR, WM_STATE and _NET_WM_STATE for the placement.
// The window manager's state is trusted only while its _NET_SUPPORTING_WM_CHECK window exists and
// names itself (one that exited leaves stale properties behind); otherwise the root window's
// children and the input focus stand in, and maximised is unknown.
#include "platform/posix/windows_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/posix/x_error_trap.h"

namespace vorla::platform {
namespace {

// Longest name read, in 32-bit units of the property protocol (64 KiB): longer names are cut.
constexpr long kMaxNameUnits = 16384;
// Window lists longer than this are cut (far more than any desktop shows).
constexpr long kMaxListUnits = 65536;
constexpr uint64_t kReconnectIntervalMs = 2000;
constexpr long kIconicState = 3;  // ICCCM WM_STATE values
constexpr long kWithdrawnState = 0;

// One property read; freed on destruction.
struct Property {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned char* data = nullptr;

  Property() = default;
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;
  ~Property() {
    if (data != nullptr) XFree(data);
  }
  std::string_view bytes() const {
    if (format != 8 || data == nullptr) return {};
    return {reinterpret_cast<const char*>(data), count};
  }
  // 32-bit items arrive as longs in memory, whatever their width on the wire.
  std::vector<unsigned long> items() const {
    std::vector<unsigned long> out;
    if (format != 32 || data == nullptr) return out;
    const auto* p = reinterpret_cast<const unsigned long*>(data);
    out.assign(p, p + count);
    return out;
  }
};

std::u16string FromLatin1(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  for (unsigned char c : in) out.push_back(static_cast<char16_t>(c));
  return out;
}

// The connection with what belongs to it. When the server goes away the object is leaked with
// the Display, because Xlib may still refer to `lost` and the Display must not be touched again.
struct Connection {
  Display* display = nullptr;
  std::atomic<bool> lost{false};
  Window root = 0;
  enum {
    kWmCheck,
    kClientList,
    kClientListStacking,
    kActiveWindow,
    kWmName,
    kUtf8String,
    kWmState,
    kNetWmState,
    kHidden,
    kMaxVert,
    kMaxHorz,
    kAtomCount
  };
  Atom atoms[kAtomCount] = {};
};

class X11WindowSystem final : public WindowSystem {
 public:
  explicit X11WindowSystem(std::string display_name) : display_name_(std::move(display_name)) {}

  ~X11WindowSystem() override {
    if (conn_ == nullptr) return;
    if (conn_->lost) {
      (void)conn_.release();  // see Connection
    } else {
      XCloseDisplay(conn_->display);
    }
  }

  bool TopLevelWindows(std::vector<WindowHandle>& windows) override {
    std::lock_guard lock(mutex_);
    windows.clear();
    Connection* c = Connect();
    if (c == nullptr) return false;
    XErrorTrap trap(c->display);
    wm_alive_ = WindowManagerAlive(*c);
    std::vector<unsigned long> list;
    if (wm_alive_) {
      if (ReadItems(*c, c->root, c->atoms[Connection::kClientListStacking], XA_WINDOW, list)) {
        std::reverse(list.begin(), list.end());  // bottom-to-top on the wire, topmost first here
      } else if (!ReadItems(*c, c->root, c->atoms[Connection::kClientList], XA_WINDOW, list)) {
        list.clear();
      }
    } else {
      Window root_return = 0, parent = 0;
      Window* children = nullptr;
      unsigned int n = 0;
      if (!XQueryTree(c->display, c->root, &root_return, &parent, &children, &n) || Lost(*c)) {
        return false;
      }
      list.assign(children, children + n);
      if (children != nullptr) XFree(children);
      std::reverse(list.begin(), list.end());
    }
    if (Lost(*c)) return false;
    windows.reserve(list.size());
    for (unsigned long w : list)
      if (w != 0) windows.push_back(w);
    return true;
  }

  WindowHandle ForegroundWindow() override {
    std::lock_guard lock(mutex_);
    Connection* c = Connect();
    if (c == nullptr) return kNoWindow;
    XErrorTrap trap(c->display);
    wm_alive_ = WindowManagerAlive(*c);
    if (wm_alive_) {
      std::vector<unsigned long> active;
      if (!ReadItems(*c, c->root, c->atoms[Connection::kActiveWindow], XA_WINDOW, active) ||
          active.empty())
        return kNoWindow;
      return active[0];
    }
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(c->display, &focus, &revert);
    if (Lost(*c) || focus == 0 || focus == PointerRoot || focus == c->root) return kNoWindow;
    // The input focus may sit in a child: the top-level window is the ancestor below the root.
    for (int depth = 0; depth < 64; ++depth) {
      Window root_return = 0, parent = 0;
      Window* children = nullptr;
      unsigned int n = 0;
      if (!XQueryTree(c->display, focus, &root_return, &parent, &children, &n) || Lost(*c))
        return kNoWindow;
      if (children != nullptr) XFree(children);
      if (parent == c->root || parent == 0) return focus;
      focus = parent;
    }
    return kNoWindow;
  }

  bool IsWindow(WindowHandle window) override {
    std::lock_guard lock(mutex_);
    XWindowAttributes attributes;
    return Attributes(window, attributes);
  }

  bool IsVisible(WindowHandle window) override {
    std::lock_guard lock(mutex_);
    XWindowAttributes attributes;
    if (!Attributes(window, attributes)) return false;
    if (attributes.map_state != IsUnmapped) return true;
    // A window manager unmaps iconified windows; they still count as shown.
    Connection* c = conn_.get();
    XErrorTrap trap(c->display);
    return WmState(*c, window).value_or(kWithdrawnState) == kIconicState;
  }

  bool Title(WindowHandle window, std::u16string& title) override {
    std::lock_guard lock(mutex_);
    Connection* c = Connect();
    if (c == nullptr || window == 0) return false;
    XErrorTrap trap(c->display);
    Property p;
    if (Read(*c, window, c->atoms[Connection::kWmName], c->atoms[Connection::kUtf8String],
             kMaxNameUnits, p, trap) &&
        p.type == c->atoms[Connection::kUtf8String]) {
      title = FromUtf8(p.bytes());
      return true;
    }
    if (Lost(*c) || trap.error_code() != 0) return false;
    Property legacy;
    if (!Read(*c, window, XA_WM_NAME, AnyPropertyType, kMaxNameUnits, legacy, trap)) {
      if (Lost(*c) || trap.error_code() != 0) return false;
      title.clear();  // a window without a name
      return true;
    }
    title = legacy.type == XA_STRING ? FromLatin1(legacy.bytes()) : FromUtf8(legacy.bytes());
    return true;
  }

  bool ClassName(WindowHandle window, std::u16string& class_name) override {
    std::lock_guard lock(mutex_);
    Connection* c = Connect();
    if (c == nullptr || window == 0) return false;
    XErrorTrap trap(c->display);
    XClassHint hint{nullptr, nullptr};
    const bool ok = XGetClassHint(c->display, window, &hint) != 0 && !Lost(*c) &&
                    trap.error_code() == 0 && hint.res_class != nullptr;
    if (ok) class_name = FromLatin1(hint.res_class);
    if (hint.res_name != nullptr) XFree(hint.res_name);
    if (hint.res_class != nullptr) XFree(hint.res_class);
    return ok;
  }

  WindowHandle Owner(WindowHandle window) override {
    std::lock_guard lock(mutex_);
    Connection* c = Connect();
    if (c == nullptr || window == 0) return kNoWindow;
    XErrorTrap trap(c->display);
    Window owner = 0;
    if (!XGetTransientForHint(c->display, window, &owner) || Lost(*c) || trap.error_code() != 0)
      return kNoWindow;
    // Transient for the root means for the whole group: no owner to look at.
    return owner == c->root ? kNoWindow : owner;
  }

  bool Placement(WindowHandle window, WindowPlacementState& state) override {
    std::lock_guard lock(mutex_);
    Connection* c = Connect();
    if (c == nullptr || window == 0) return false;
    XErrorTrap trap(c->display);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(c->display, window, &attributes) || Lost(*c) ||
        trap.error_code() != 0)
      return false;
    if (WmState(*c, window).value_or(kWithdrawnState) == kIconicState) {
      state = WindowPlacementState::kMinimised;
      return !Lost(*c);
    }
    state = WindowPlacementState::kNormal;
    if (!wm_alive_) return !Lost(*c);
    std::vector<unsigned long> states;
    if (ReadItems(*c, window, c->atoms[Connection::kNetWmState], XA_ATOM, states)) {
      auto has = [&](int atom) {
        return std::find(states.begin(), states.end(), c->atoms[atom]) != states.end();
      };
      if (has(Connection::kHidden)) {
        state = WindowPlacementState::kMinimised;
      } else if (has(Connection::kMaxVert) && has(Connection::kMaxHorz)) {
        state = WindowPlacementState::kMaximised;
      }
    }
    return !Lost(*c);
  }

 private:
  // The live connection, opened when needed; nullptr without one. Lock held.
  Connection* Connect() {
    if (conn_ != nullptr && conn_->lost) {
      (void)conn_.release();  // see Connection
    }
    if (conn_ != nullptr) return conn_.get();
    const uint64_t now = GetClock().TickMs();
    if (tried_once_ && now - last_attempt_ms_ < kReconnectIntervalMs) return nullptr;
    tried_once_ = true;
    last_attempt_ms_ = now;
    Display* d = XOpenDisplay(display_name_.empty() ? nullptr : display_name_.c_str());
    if (d == nullptr) return nullptr;
    auto c = std::make_unique<Connection>();
    c->display = d;
    WatchConnectionLoss(d, &c->lost);
    c->root = DefaultRootWindow(d);
    static const char* const kNames[Connection::kAtomCount] = {"_NET_SUPPORTING_WM_CHECK",
                                                               "_NET_CLIENT_LIST",
                                                               "_NET_CLIENT_LIST_STACKING",
                                                               "_NET_ACTIVE_WINDOW",
                                                               "_NET_WM_NAME",
                                                               "UTF8_STRING",
                                                               "WM_STATE",
                                                               "_NET_WM_STATE",
                                                               "_NET_WM_STATE_HIDDEN",
                                                               "_NET_WM_STATE_MAXIMIZED_VERT",
                                                               "_NET_WM_STATE_MAXIMIZED_HORZ"};
    if (!XInternAtoms(d, const_cast<char**>(kNames), Connection::kAtomCount, False, c->atoms) ||
        c->lost) {
      if (c->lost)
        (void)c.release();
      else
        XCloseDisplay(d);
      return nullptr;
    }
    conn_ = std::move(c);
    return conn_.get();
  }

  static bool Lost(const Connection& c) { return c.lost.load(); }

  bool Attributes(WindowHandle window, XWindowAttributes& attributes) {
    Connection* c = Connect();
    if (c == nullptr || window == 0) return false;
    XErrorTrap trap(c->display);
    return XGetWindowAttributes(c->display, window, &attributes) != 0 && !Lost(*c) &&
           trap.error_code() == 0;
  }

  // Reads a property; false when it is absent, of another type or the request failed.
  static bool Read(Connection& c, Window window, Atom property, Atom type, long max_units,
                   Property& p, XErrorTrap& trap) {
    unsigned long after = 0;
    const int status = XGetWindowProperty(c.display, window, property, 0, max_units, False, type,
                                          &p.type, &p.format, &p.count, &after, &p.data);
    if (status != Success || Lost(c) || trap.error_code() != 0) return false;
    if (p.type == 0) return false;
    return type == AnyPropertyType || p.type == type;
  }

  static bool ReadItems(Connection& c, Window window, Atom property, Atom type,
                        std::vector<unsigned long>& items) {
    XErrorTrap trap(c.display);
    Property p;
    if (!Read(c, window, property, type, kMaxListUnits, p, trap)) return false;
    items = p.items();
    return p.format == 32;
  }

  static std::optional<long> WmState(Connection& c, Window window) {
    XErrorTrap trap(c.display);
    Property p;
    if (!Read(c, window, c.atoms[Connection::kWmState], c.atoms[Connection::kWmState], 2, p, trap))
      return std::nullopt;
    const auto items = p.items();
    if (items.empty()) return std::nullopt;
    return static_cast<long>(items[0]);
  }

  // The window manager's check window exists and names itself.
  static bool WindowManagerAlive(Connection& c) {
    std::vector<unsigned long> check;
    if (!ReadItems(c, c.root, c.atoms[Connection::kWmCheck], XA_WINDOW, check) || check.empty() ||
        check[0] == 0)
      return false;
    std::vector<unsigned long> self;
    return ReadItems(c, check[0], c.atoms[Connection::kWmCheck], XA_WINDOW, self) &&
           !self.empty() && self[0] == check[0];
  }

  std::mutex mutex_;
  const std::string display_name_;
  std::unique_ptr<Connection> conn_;
  bool wm_alive_ = false;  // as last seen by a list or foreground query
  bool tried_once_ = false;
  uint64_t last_attempt_ms_ = 0;
};

std::mutex g_override_mutex;
WindowSystem* g_override = nullptr;

}  // namespace

std::unique_ptr<WindowSystem> CreateX11WindowSystem(const std::string& display_name) {
  return std::make_unique<X11WindowSystem>(display_name);
}

WindowSystem& GetWindowSystem() {
  {
    std::lock_guard lock(g_override_mutex);
    if (g_override != nullptr) return *g_override;
  }
  // Made on first use and kept for the life of the process (never destroyed: Xlib may still be
  // called from other static destructors' threads).
  static WindowSystem* const system = CreateX11WindowSystem("").release();
  return *system;
}

void SetWindowSystemForTesting(WindowSystem* windows) {
  std::lock_guard lock(g_override_mutex);
  g_override = windows;
}

}  // namespace vorla::platform
