// The desktop's top-level windows: which exist, in which order, which is active, and for each its
// title, class, owner, visibility and placement state.
//
// One process-wide capability that tests replace (platform/fake/fake_windows.h). The queries are
// fine-grained on purpose: a window may vanish between two of them, and each query then simply
// fails for that window; callers skip it or treat its texts as empty.
//
// On X11 the answers come from the window manager's published state (EWMH/ICCCM) when a window
// manager runs, else from the bare window tree; what is then unknown is said at each operation.
// All operations are thread-safe (they share one connection under a lock), never throw and never
// block for longer than one round trip to the display server. When there is no display, or the
// display server has gone away, every query fails and the window list is empty.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorla::platform {

// Identifies one window while it exists; 0 is no window. Values may be reused after a window is
// destroyed, as on every window system.
using WindowHandle = uint64_t;
inline constexpr WindowHandle kNoWindow = 0;

enum class WindowPlacementState {
  kNormal,
  kMinimised,  // iconified (hidden)
  kMaximised,  // maximised both ways
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // The top-level client windows in the system's order, topmost first (the window manager's
  // stacking order; without one, the window tree's order). Replaces `windows`. False when the
  // list cannot be read (no display, connection lost); `windows` is then empty.
  virtual bool TopLevelWindows(std::vector<WindowHandle>& windows) = 0;
  // The active (foreground) window; kNoWindow when none or unknown. Without a window manager the
  // top-level window that holds the input focus.
  virtual WindowHandle ForegroundWindow() = 0;

  // Whether the window still exists.
  virtual bool IsWindow(WindowHandle window) = 0;
  // Whether the window is shown: mapped, or minimised (a minimised window counts as visible).
  virtual bool IsVisible(WindowHandle window) = 0;
  // The window's title, of any length (UTF-8 names converted; invalid sequences become U+FFFD).
  // False when the window is gone; a window without a name gives true and empty text.
  virtual bool Title(WindowHandle window, std::u16string& title) = 0;
  // The window's class name (on X11 the class part of WM_CLASS). False when the window is gone or
  // carries no class.
  virtual bool ClassName(WindowHandle window, std::u16string& class_name) = 0;
  // The window that owns this one (on X11 its WM_TRANSIENT_FOR), kNoWindow when none.
  virtual WindowHandle Owner(WindowHandle window) = 0;
  // The placement state. False when the window is gone. Without a window manager only
  // minimised-through-ICCCM is known: maximised windows then read as normal.
  virtual bool Placement(WindowHandle window, WindowPlacementState& state) = 0;
};

// The process-wide window capability: the display server's unless a test installed another.
WindowSystem& GetWindowSystem();
// Installs `windows` for the whole process (nullptr restores the system's). Install before the
// code under test runs.
void SetWindowSystemForTesting(WindowSystem* windows);

}  // namespace vorla::platform
