// A scriptable desktop of top-level windows for tests of the window-watching code.
//
// Windows are added in the system's order (topmost first) and changed in place. A window can be
// made to vanish part way through a snapshot (after a given number of queries about it), and the
// whole list can be made to fail. Counts the list reads and the title reads. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/windows.h"

namespace vorla::platform {

class FakeWindowSystem final : public WindowSystem {
 public:
  struct Window {
    WindowHandle handle = kNoWindow;
    std::u16string title;
    std::u16string class_name;
    WindowHandle owner = kNoWindow;
    bool visible = true;
    WindowPlacementState state = WindowPlacementState::kNormal;
    bool has_class = true;
    // >= 0: the window is destroyed once this many further queries about it were answered.
    int vanish_after_queries = -1;
  };

  // Appends a window at the bottom of the order and returns its handle (1, 2, 3, ...).
  WindowHandle Add(std::u16string title, std::u16string class_name = u"",
                   WindowHandle owner = kNoWindow);
  // Appends a fully described window; its handle is assigned unless set.
  WindowHandle Add(Window window);
  // Destroys a window (it leaves the list and every query about it fails).
  void Remove(WindowHandle window);
  void Clear();

  void SetTitle(WindowHandle window, std::u16string title);
  void SetState(WindowHandle window, WindowPlacementState state);
  void SetVisible(WindowHandle window, bool visible);
  void SetForeground(WindowHandle window);
  void VanishAfterQueries(WindowHandle window, int queries);
  // Makes TopLevelWindows fail (and report nothing) until cleared.
  void FailEnumeration(bool fail);

  int enumerations() const;
  int title_reads() const;

  bool TopLevelWindows(std::vector<WindowHandle>& windows) override;
  WindowHandle ForegroundWindow() override;
  bool IsWindow(WindowHandle window) override;
  bool IsVisible(WindowHandle window) override;
  bool Title(WindowHandle window, std::u16string& title) override;
  bool ClassName(WindowHandle window, std::u16string& class_name) override;
  WindowHandle Owner(WindowHandle window) override;
  bool Placement(WindowHandle window, WindowPlacementState& state) override;

 private:
  // The live window, counting one query against its vanishing; nullptr when gone. Lock held.
  Window* Query(WindowHandle window);
  Window* Find(WindowHandle window);
  void Erase(WindowHandle window);

  mutable std::mutex mutex_;
  std::map<WindowHandle, Window> windows_;
  std::vector<WindowHandle> order_;
  WindowHandle next_handle_ = 1;
  WindowHandle foreground_ = kNoWindow;
  bool fail_enumeration_ = false;
  int enumerations_ = 0;
  int title_reads_ = 0;
};

// Installs a window system for the lifetime of the object.
class ScopedWindowSystemOverride {
 public:
  explicit ScopedWindowSystemOverride(WindowSystem& windows) {
    SetWindowSystemForTesting(&windows);
  }
  ~ScopedWindowSystemOverride() { SetWindowSystemForTesting(nullptr); }
  ScopedWindowSystemOverride(const ScopedWindowSystemOverride&) = delete;
  ScopedWindowSystemOverride& operator=(const ScopedWindowSystemOverride&) = delete;
};

}  // namespace vorla::platform
