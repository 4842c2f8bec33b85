// Windows through the window manager's published state: _NET_CLIENT_LIST_STACKING (else
// _NET_CLIENT_LIST) for the list, _NET_ACTIVE_WINDOW for the foreground, _NET_WM_NAME (else
// WM_NAME) for titles, WM_CLASS, WM_TRANSIENT_FOR, WM_STATE and _NET_WM_STATE for the placement.
// The window manager's state is trusted only while its _NET_SUPPORTING_WM_CHECK window exists and
// names itself (one that exited leaves stale properties behind); otherwise the root window's
// children and the input focus stand in, and maximised is unknown.
//
// Speed: a rules pass lists the windows and then asks six questions about each. Asked one by one
// that is a round trip per question, so the capability keeps what it read about every listed
// window and the per-window queries answer from that. It stays true because each listed window
// reports its changes to us: property and structure notifications are selected on it before it is
// read, and a notification (property changed, mapped, unmapped, reparented, destroyed) drops the
// window's entry. The list query reads the windows without an entry in one pipelined batch (all
// requests out, then all replies in); so does a per-window query that finds none. A quiet desktop
// thus costs the list's few round trips per pass, and one where every window changed one more.
// The list query's round trips bring in every notification the server sent before them, so a
// pass starts from the server's state; later ones are looked for at the first question about a
// window and after every few questions about the same window (a look is a system call).
//
// Threading: one XCB connection, owned by the capability and used only under its mutex, so any
// thread may call (XCB itself is thread-safe as well). Plain XCB rather than Xlib: a lost server
// only marks the connection failed, it never ends the process, and the connection can always be
// closed.
#include "platform/posix/windows_x11.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"

namespace vorla::platform {
namespace {

// Longest name read, in 32-bit units of the property protocol (64 KiB): longer names are cut.
constexpr uint32_t kMaxNameUnits = 16384;
// WM_CLASS is read as far as Xlib's class-hint reader goes (BUFSIZ units).
constexpr uint32_t kMaxClassUnits = 8192;
// Window lists longer than this are cut (far more than any desktop shows).
constexpr uint32_t kMaxListUnits = 65536;
constexpr uint64_t kReconnectIntervalMs = 2000;
// At most this many answers about one window between two looks for change notifications.
constexpr int kAnswersPerRead = 16;
constexpr uint32_t kIconicState = 3;  // ICCCM WM_STATE value
constexpr uint32_t kPointerRoot = 1;  // the input focus value PointerRoot
constexpr int kMaxFocusDepth = 64;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

// The reply of a request; nullptr when it failed (an X error, or the connection is gone).
XcbPtr<xcb_get_property_reply_t> PropertyReply(xcb_connection_t* c,
                                               xcb_get_property_cookie_t cookie) {
  xcb_generic_error_t* error = nullptr;
  XcbPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, &error));
  std::free(error);
  return reply;
}

// The property's value as bytes: empty unless it is 8-bit data.
std::string_view Bytes(const xcb_get_property_reply_t* r) {
  if (r == nullptr || r->format != 8) return {};
  const int length = xcb_get_property_value_length(r);
  if (length <= 0) return {};
  return {static_cast<const char*>(xcb_get_property_value(r)), static_cast<size_t>(length)};
}

// The property's 32-bit items (in the connection's byte order, i.e. ours); empty unless 32-bit
// data.
std::vector<uint32_t> Items(const xcb_get_property_reply_t* r) {
  std::vector<uint32_t> out;
  if (r == nullptr || r->format != 32) return out;
  const int length = xcb_get_property_value_length(r);
  if (length <= 0) return out;
  const auto* p = static_cast<const unsigned char*>(xcb_get_property_value(r));
  out.resize(static_cast<size_t>(length) / 4);
  for (size_t i = 0; i < out.size(); ++i) std::memcpy(&out[i], p + i * 4, 4);
  return out;
}

// The items of a property of `type`; false when it is absent, of another type or not 32-bit.
bool TypedItems(const xcb_get_property_reply_t* r, xcb_atom_t type, std::vector<uint32_t>& out) {
  out.clear();
  if (r == nullptr || r->type != type || r->format != 32) return false;
  out = Items(r);
  return true;
}

std::u16string FromLatin1(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  for (unsigned char c : in) out.push_back(static_cast<char16_t>(c));
  return out;
}

// Whether `window` fits the protocol's 32-bit window ids (other values name no window).
bool IsXid(WindowHandle window) { return window != 0 && window <= UINT32_MAX; }

// Everything the per-window queries need, read in one go.
struct WindowFacts {
  bool exists = false;  // its attributes could be read
  bool mapped = false;
  bool iconic = false;  // ICCCM WM_STATE says iconic
  bool title_ok = false;
  std::u16string title;
  bool class_ok = false;
  std::u16string class_name;
  WindowHandle owner = kNoWindow;
  bool hidden = false;  // the _NET_WM_STATE flags
  bool max_vert = false;
  bool max_horz = false;
};

enum AtomId {
  kWmCheck,
  kClientList,
  kClientListStacking,
  kActiveWindow,
  kNetWmName,
  kUtf8String,
  kWmState,
  kNetWmState,
  kHidden,
  kMaxVert,
  kMaxHorz,
  kAtomCount
};

struct Connection {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  xcb_atom_t atoms[kAtomCount] = {};

  ~Connection() {
    if (c != nullptr) xcb_disconnect(c);
  }
  bool lost() const { return xcb_connection_has_error(c) != 0; }
};

// The requests for one window, all sent before any reply is awaited.
struct PendingWindow {
  bool sent = false;
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_property_cookie_t net_name, name, wm_class, transient, wm_state, net_state;
};

PendingWindow SendFactRequests(Connection& x, WindowHandle handle) {
  PendingWindow p;
  if (!IsXid(handle)) return p;
  const auto w = static_cast<xcb_window_t>(handle);
  p.sent = true;
  p.attributes = xcb_get_window_attributes(x.c, w);
  p.net_name = xcb_get_property(x.c, 0, w, x.atoms[kNetWmName], x.atoms[kUtf8String], 0,
                                kMaxNameUnits);
  p.name = xcb_get_property(x.c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0,
                            kMaxNameUnits);
  p.wm_class = xcb_get_property(x.c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, kMaxClassUnits);
  p.transient = xcb_get_property(x.c, 0, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0, 1);
  p.wm_state = xcb_get_property(x.c, 0, w, x.atoms[kWmState], x.atoms[kWmState], 0, 2);
  p.net_state =
      xcb_get_property(x.c, 0, w, x.atoms[kNetWmState], XCB_ATOM_ATOM, 0, kMaxListUnits);
  return p;
}

// Collects the replies of SendFactRequests. A window that vanished answers every request with an
// error: it comes out as not existing, without title or class.
WindowFacts CollectFacts(Connection& x, const PendingWindow& p) {
  WindowFacts f;
  if (!p.sent) return f;
  {
    xcb_generic_error_t* error = nullptr;
    XcbPtr<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(x.c, p.attributes, &error));
    std::free(error);
    if (a != nullptr) {
      f.exists = true;
      f.mapped = a->map_state != XCB_MAP_STATE_UNMAPPED;
    }
  }
  const auto net_name = PropertyReply(x.c, p.net_name);
  const auto name = PropertyReply(x.c, p.name);
  if (net_name != nullptr) {
    if (net_name->type == x.atoms[kUtf8String]) {
      f.title_ok = true;
      f.title = FromUtf8(Bytes(net_name.get()));
    } else if (name != nullptr) {
      // Absent: a window without a name. ICCCM STRING is Latin-1; anything else is taken as UTF-8.
      f.title_ok = true;
      if (name->type == XCB_ATOM_STRING) {
        f.title = FromLatin1(Bytes(name.get()));
      } else if (name->type != XCB_ATOM_NONE) {
        f.title = FromUtf8(Bytes(name.get()));
      }
    }
  }
  if (const auto cls = PropertyReply(x.c, p.wm_class);
      cls != nullptr && cls->type == XCB_ATOM_STRING && cls->format == 8) {
    // "instance\0class\0": the class is the second string (empty when there is none).
    const std::string_view bytes = Bytes(cls.get());
    const size_t name_end = bytes.find('\0');
    std::string_view class_part;
    if (name_end != std::string_view::npos) {
      class_part = bytes.substr(name_end + 1);
      class_part = class_part.substr(0, class_part.find('\0'));
    }
    f.class_ok = true;
    f.class_name = FromLatin1(class_part);
  }
  std::vector<uint32_t> items;
  if (const auto t = PropertyReply(x.c, p.transient);
      TypedItems(t.get(), XCB_ATOM_WINDOW, items) && !items.empty()) {
    // Transient for the root means for the whole group: no owner to look at.
    f.owner = items[0] == x.root ? kNoWindow : items[0];
  }
  if (const auto s = PropertyReply(x.c, p.wm_state);
      TypedItems(s.get(), x.atoms[kWmState], items) && !items.empty()) {
    f.iconic = items[0] == kIconicState;
  }
  if (const auto s = PropertyReply(x.c, p.net_state); TypedItems(s.get(), XCB_ATOM_ATOM, items)) {
    auto has = [&](AtomId atom) {
      return std::find(items.begin(), items.end(), x.atoms[atom]) != items.end();
    };
    f.hidden = has(kHidden);
    f.max_vert = has(kMaxVert);
    f.max_horz = has(kMaxHorz);
  }
  return f;
}

class X11WindowSystem final : public WindowSystem {
 public:
  explicit X11WindowSystem(std::string display_name) : display_name_(std::move(display_name)) {}

  bool TopLevelWindows(std::vector<WindowHandle>& windows) override {
    std::lock_guard lock(mutex_);
    windows.clear();
    Connection* x = Connect();
    if (x == nullptr) return false;

    // Everything the choice of list may need, in one batch.
    const auto check_cookie = RootCheckRequest(*x);
    const auto stacking_cookie = xcb_get_property(x->c, 0, x->root, x->atoms[kClientListStacking],
                                                  XCB_ATOM_WINDOW, 0, kMaxListUnits);
    const auto list_cookie = xcb_get_property(x->c, 0, x->root, x->atoms[kClientList],
                                              XCB_ATOM_WINDOW, 0, kMaxListUnits);
    const auto tree_cookie = xcb_query_tree(x->c, x->root);
    const auto check = PropertyReply(x->c, check_cookie);
    const auto stacking = PropertyReply(x->c, stacking_cookie);
    const auto client_list = PropertyReply(x->c, list_cookie);
    XcbPtr<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x->c, tree_cookie, nullptr));
    wm_alive_ = WindowManagerAlive(*x, check.get());
    // Reading the replies brought in every notification sent before them.
    DropEvents(*x, false);

    std::vector<uint32_t> list;
    if (wm_alive_) {
      if (TypedItems(stacking.get(), XCB_ATOM_WINDOW, list)) {
        std::reverse(list.begin(), list.end());  // bottom-to-top on the wire, topmost first here
      } else if (!TypedItems(client_list.get(), XCB_ATOM_WINDOW, list)) {
        list.clear();
      }
    } else {
      if (tree == nullptr || x->lost()) return false;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      const int n = xcb_query_tree_children_length(tree.get());
      list.assign(children, children + std::max(n, 0));
      std::reverse(list.begin(), list.end());
    }
    if (x->lost()) return false;
    windows.reserve(list.size());
    for (uint32_t w : list)
      if (w != 0) windows.push_back(w);
    Refresh(*x, windows);
    return true;
  }

  WindowHandle ForegroundWindow() override {
    std::lock_guard lock(mutex_);
    Connection* x = Connect();
    if (x == nullptr) return kNoWindow;
    DropEvents(*x);
    const auto check_cookie = RootCheckRequest(*x);
    const auto active_cookie =
        xcb_get_property(x->c, 0, x->root, x->atoms[kActiveWindow], XCB_ATOM_WINDOW, 0, 1);
    const auto focus_cookie = xcb_get_input_focus(x->c);
    const auto check = PropertyReply(x->c, check_cookie);
    const auto active = PropertyReply(x->c, active_cookie);
    XcbPtr<xcb_get_input_focus_reply_t> focus_reply(
        xcb_get_input_focus_reply(x->c, focus_cookie, nullptr));
    wm_alive_ = WindowManagerAlive(*x, check.get());
    if (wm_alive_) {
      std::vector<uint32_t> items;
      if (!TypedItems(active.get(), XCB_ATOM_WINDOW, items) || items.empty()) return kNoWindow;
      return items[0];
    }
    if (focus_reply == nullptr || x->lost()) return kNoWindow;
    xcb_window_t focus = focus_reply->focus;
    if (focus == XCB_NONE || focus == kPointerRoot || focus == x->root) return kNoWindow;
    // The input focus may sit in a child: the top-level window is the ancestor below the root.
    for (int depth = 0; depth < kMaxFocusDepth; ++depth) {
      XcbPtr<xcb_query_tree_reply_t> tree(
          xcb_query_tree_reply(x->c, xcb_query_tree(x->c, focus), nullptr));
      if (tree == nullptr || x->lost()) return kNoWindow;
      if (tree->parent == x->root || tree->parent == XCB_NONE) return focus;
      focus = tree->parent;
    }
    return kNoWindow;
  }

  bool IsWindow(WindowHandle window) override {
    std::lock_guard lock(mutex_);
    WindowFacts scratch;
    const WindowFacts* f = Facts(window, scratch, kMapping);
    return f != nullptr && f->exists;
  }

  bool IsVisible(WindowHandle window) override {
    std::lock_guard lock(mutex_);
    WindowFacts scratch;
    const WindowFacts* f = Facts(window, scratch, kMapping);
    // A window manager unmaps iconified windows; they still count as shown.
    return f != nullptr && f->exists && (f->mapped || f->iconic);
  }

  bool Title(WindowHandle window, std::u16string& title) override {
    std::lock_guard lock(mutex_);
    WindowFacts scratch;
    const WindowFacts* f = Facts(window, scratch);
    if (f == nullptr || !f->title_ok) return false;
    title = f->title;
    return true;
  }

  bool ClassName(WindowHandle window, std::u16string& class_name) override {
    std::lock_guard lock(mutex_);
    WindowFacts scratch;
    const WindowFacts* f = Facts(window, scratch);
    if (f == nullptr || !f->class_ok) return false;
    class_name = f->class_name;
    return true;
  }

  WindowHandle Owner(WindowHandle window) override {
    std::lock_guard lock(mutex_);
    WindowFacts scratch;
    const WindowFacts* f = Facts(window, scratch);
    return f == nullptr ? kNoWindow : f->owner;
  }

  bool Placement(WindowHandle window, WindowPlacementState& state) override {
    std::lock_guard lock(mutex_);
    WindowFacts scratch;
    const WindowFacts* f = Facts(window, scratch, kMapping);
    if (f == nullptr || !f->exists) return false;
    if (f->iconic) {
      state = WindowPlacementState::kMinimised;
    } else if (!wm_alive_) {
      state = WindowPlacementState::kNormal;
    } else if (f->hidden) {
      state = WindowPlacementState::kMinimised;
    } else if (f->max_vert && f->max_horz) {
      state = WindowPlacementState::kMaximised;
    } else {
      state = WindowPlacementState::kNormal;
    }
    return true;
  }

 private:
  // The live connection, opened when needed; nullptr without one. Lock held.
  Connection* Connect() {
    if (conn_ != nullptr && conn_->lost()) {
      conn_.reset();
      snapshot_.clear();
      watched_.clear();
    }
    if (conn_ != nullptr) return conn_.get();
    const uint64_t now = GetClock().TickMs();
    if (tried_once_ && now - last_attempt_ms_ < kReconnectIntervalMs) return nullptr;
    tried_once_ = true;
    last_attempt_ms_ = now;
    auto x = std::make_unique<Connection>();
    int screen = 0;
    x->c = xcb_connect(display_name_.empty() ? nullptr : display_name_.c_str(), &screen);
    if (x->lost()) return nullptr;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(x->c));
    for (int i = 0; i < screen && it.rem > 0; ++i) xcb_screen_next(&it);
    if (it.rem <= 0 || it.data == nullptr) return nullptr;
    x->root = it.data->root;
    static const char* const kNames[kAtomCount] = {"_NET_SUPPORTING_WM_CHECK",
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
    xcb_intern_atom_cookie_t cookies[kAtomCount];
    for (int i = 0; i < kAtomCount; ++i)
      cookies[i] = xcb_intern_atom(x->c, 0, static_cast<uint16_t>(std::strlen(kNames[i])),
                                   kNames[i]);
    bool ok = true;
    for (int i = 0; i < kAtomCount; ++i) {
      XcbPtr<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(x->c, cookies[i], nullptr));
      if (r == nullptr) {
        ok = false;
      } else {
        x->atoms[i] = r->atom;
      }
    }
    if (!ok || x->lost()) return nullptr;
    conn_ = std::move(x);
    return conn_.get();
  }

  static xcb_get_property_cookie_t RootCheckRequest(Connection& x) {
    return xcb_get_property(x.c, 0, x.root, x.atoms[kWmCheck], XCB_ATOM_WINDOW, 0, 1);
  }

  // The window manager's check window (named by the root's `check` reply) exists and names
  // itself. One more round trip when there is a check window.
  static bool WindowManagerAlive(Connection& x, const xcb_get_property_reply_t* check) {
    std::vector<uint32_t> items;
    if (!TypedItems(check, XCB_ATOM_WINDOW, items) || items.empty() || items[0] == 0) return false;
    const xcb_window_t wm = items[0];
    const auto self = PropertyReply(
        x.c, xcb_get_property(x.c, 0, wm, x.atoms[kWmCheck], XCB_ATOM_WINDOW, 0, 1));
    return TypedItems(self.get(), XCB_ATOM_WINDOW, items) && !items.empty() && items[0] == wm;
  }

  // Makes the listed windows the watched ones and reads those without an entry, in one batch.
  // Notifications are selected before the reads, so a change that the server makes after a read
  // is reported to us. Lock held.
  void Refresh(Connection& x, const std::vector<WindowHandle>& windows) {
    std::unordered_set<WindowHandle> watched;
    watched.reserve(windows.size());
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    for (WindowHandle w : windows) {
      if (!IsXid(w)) continue;
      watched.insert(w);
      // Errors of these (a window that just vanished) arrive as events and are dropped.
      if (watched_.count(w) == 0)
        xcb_change_window_attributes(x.c, static_cast<xcb_window_t>(w), XCB_CW_EVENT_MASK, &mask);
    }
    watched_ = std::move(watched);
    // Entries of windows that left the list would no longer be kept true.
    for (auto it = snapshot_.begin(); it != snapshot_.end();)
      it = watched_.count(it->first) != 0 ? std::next(it) : snapshot_.erase(it);
    std::vector<WindowHandle> unknown;
    for (WindowHandle w : watched_)
      if (snapshot_.count(w) == 0) unknown.push_back(w);
    std::vector<PendingWindow> pending;
    pending.reserve(unknown.size());
    for (WindowHandle w : unknown) pending.push_back(SendFactRequests(x, w));
    for (size_t i = 0; i < unknown.size(); ++i) Keep(unknown[i], CollectFacts(x, pending[i]));
    if (x.lost()) snapshot_.clear();
  }

  // Drops the entries of windows that reported a change since they were read, and
  // whatever else arrived (errors of our event selections). `read`: look at the connection too,
  // not only at what was read from it while waiting for replies. Lock held.
  void DropEvents(Connection& x, bool read = true) {
    if (read) answers_since_read_ = 0;
    while (xcb_generic_event_t* e =
               read ? xcb_poll_for_event(x.c) : xcb_poll_for_queued_event(x.c)) {
      xcb_window_t changed = XCB_NONE;
      switch (e->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY:
          changed = reinterpret_cast<xcb_property_notify_event_t*>(e)->window;
          break;
        case XCB_DESTROY_NOTIFY:
          changed = reinterpret_cast<xcb_destroy_notify_event_t*>(e)->window;
          watched_.erase(changed);  // its id may come back as another window: select anew
          break;
        case XCB_UNMAP_NOTIFY:
          changed = reinterpret_cast<xcb_unmap_notify_event_t*>(e)->window;
          break;
        case XCB_MAP_NOTIFY:
          changed = reinterpret_cast<xcb_map_notify_event_t*>(e)->window;
          break;
        case XCB_REPARENT_NOTIFY:
          changed = reinterpret_cast<xcb_reparent_notify_event_t*>(e)->window;
          break;
        default:
          break;
      }
      std::free(e);
      if (changed != XCB_NONE) snapshot_.erase(changed);
    }
  }

  // The facts about `window`: its entry, else read now (into `scratch` unless the window is
  // watched). nullptr without a connection or for no window. Lock held.
  // kMapping: the question is about existence or mapping. A listed window that is neither mapped
  // nor iconic is usually between two states (a window manager lists a new window a moment before
  // it maps it), so for such a question it is read again rather than answered from its entry.
  enum Question { kProperties, kMapping };
  const WindowFacts* Facts(WindowHandle window, WindowFacts& scratch,
                           Question question = kProperties) {
    Connection* x = Connect();
    if (x == nullptr || !IsXid(window)) return nullptr;
    // Reading the connection costs a system call and a pass asks about a thousand questions, six
    // per window in a row: the first question about a window looks for new notifications, and
    // every few answers about the same window (those already read are always applied).
    const bool read = window != last_answered_ || ++answers_since_read_ >= kAnswersPerRead;
    last_answered_ = window;
    DropEvents(*x, read);
    if (const auto it = snapshot_.find(window); it != snapshot_.end()) {
      const WindowFacts& f = it->second;
      if (question == kProperties || f.mapped || f.iconic) return &f;
    }
    scratch = CollectFacts(*x, SendFactRequests(*x, window));
    if (x->lost()) return nullptr;
    if (watched_.count(window) != 0) {
      if (scratch.exists) return Keep(window, std::move(scratch));
      Keep(window, scratch);  // forgets it
    }
    return &scratch;
  }

  // Keeps what was read about a watched window, which reports its next change. A window that was
  // gone when read is not kept but watched anew at the next list: its id may return as another
  // window, whose notifications were never selected.
  const WindowFacts* Keep(WindowHandle window, WindowFacts facts) {
    if (!facts.exists) {
      watched_.erase(window);
      snapshot_.erase(window);
      return nullptr;
    }
    return &(snapshot_[window] = std::move(facts));
  }

  std::mutex mutex_;
  const std::string display_name_;
  std::unique_ptr<Connection> conn_;
  bool wm_alive_ = false;  // as last seen by a list or foreground query
  bool tried_once_ = false;
  uint64_t last_attempt_ms_ = 0;
  // What was read about watched windows that have not reported a change since.
  std::unordered_map<WindowHandle, WindowFacts> snapshot_;
  // The windows of the last list, whose change notifications we selected.
  std::unordered_set<WindowHandle> watched_;
  int answers_since_read_ = 0;
  WindowHandle last_answered_ = kNoWindow;
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
  // Made on first use and kept for the life of the process (never destroyed, so that other
  // static destructors' threads may still call it).
  static WindowSystem* const system = CreateX11WindowSystem("").release();
  return *system;
}

void SetWindowSystemForTesting(WindowSystem* windows) {
  std::lock_guard lock(g_override_mutex);
  g_override = windows;
}

}  // namespace vorla::platform
