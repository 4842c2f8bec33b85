#include "platform/fake/fake_windows.h"

#include <algorithm>
#include <utility>

namespace vorla::platform {

WindowHandle FakeWindowSystem::Add(std::u16string title, std::u16string class_name,
                                   WindowHandle owner) {
  Window w;
  w.title = std::move(title);
  w.class_name = std::move(class_name);
  w.owner = owner;
  return Add(std::move(w));
}

WindowHandle FakeWindowSystem::Add(Window window) {
  std::lock_guard lock(mutex_);
  if (window.handle == kNoWindow) window.handle = next_handle_;
  next_handle_ = std::max(next_handle_, window.handle + 1);
  const WindowHandle handle = window.handle;
  if (windows_.count(handle) == 0) order_.push_back(handle);
  windows_[handle] = std::move(window);
  return handle;
}

void FakeWindowSystem::Remove(WindowHandle window) {
  std::lock_guard lock(mutex_);
  Erase(window);
}

void FakeWindowSystem::Erase(WindowHandle window) {
  windows_.erase(window);
  std::erase(order_, window);
  if (foreground_ == window) foreground_ = kNoWindow;
}

void FakeWindowSystem::Clear() {
  std::lock_guard lock(mutex_);
  windows_.clear();
  order_.clear();
  foreground_ = kNoWindow;
}

void FakeWindowSystem::SetTitle(WindowHandle window, std::u16string title) {
  std::lock_guard lock(mutex_);
  if (Window* w = Find(window)) w->title = std::move(title);
}

void FakeWindowSystem::SetState(WindowHandle window, WindowPlacementState state) {
  std::lock_guard lock(mutex_);
  if (Window* w = Find(window)) w->state = state;
}

void FakeWindowSystem::SetVisible(WindowHandle window, bool visible) {
  std::lock_guard lock(mutex_);
  if (Window* w = Find(window)) w->visible = visible;
}

void FakeWindowSystem::SetForeground(WindowHandle window) {
  std::lock_guard lock(mutex_);
  foreground_ = window;
}

void FakeWindowSystem::VanishAfterQueries(WindowHandle window, int queries) {
  std::lock_guard lock(mutex_);
  if (Window* w = Find(window)) w->vanish_after_queries = queries;
}

void FakeWindowSystem::FailEnumeration(bool fail) {
  std::lock_guard lock(mutex_);
  fail_enumeration_ = fail;
}

int FakeWindowSystem::enumerations() const {
  std::lock_guard lock(mutex_);
  return enumerations_;
}

int FakeWindowSystem::title_reads() const {
  std::lock_guard lock(mutex_);
  return title_reads_;
}

FakeWindowSystem::Window* FakeWindowSystem::Find(WindowHandle window) {
  auto it = windows_.find(window);
  return it != windows_.end() ? &it->second : nullptr;
}

FakeWindowSystem::Window* FakeWindowSystem::Query(WindowHandle window) {
  Window* w = Find(window);
  if (w == nullptr) return nullptr;
  if (w->vanish_after_queries == 0) {
    Erase(window);
    return nullptr;
  }
  if (w->vanish_after_queries > 0) --w->vanish_after_queries;
  return w;
}

bool FakeWindowSystem::TopLevelWindows(std::vector<WindowHandle>& windows) {
  std::lock_guard lock(mutex_);
  ++enumerations_;
  windows.clear();
  if (fail_enumeration_) return false;
  windows = order_;
  return true;
}

WindowHandle FakeWindowSystem::ForegroundWindow() {
  std::lock_guard lock(mutex_);
  return foreground_;
}

bool FakeWindowSystem::IsWindow(WindowHandle window) {
  std::lock_guard lock(mutex_);
  return Query(window) != nullptr;
}

bool FakeWindowSystem::IsVisible(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const Window* w = Query(window);
  return w != nullptr && w->visible;
}

bool FakeWindowSystem::Title(WindowHandle window, std::u16string& title) {
  std::lock_guard lock(mutex_);
  ++title_reads_;
  const Window* w = Query(window);
  if (w == nullptr) return false;
  title = w->title;
  return true;
}

bool FakeWindowSystem::ClassName(WindowHandle window, std::u16string& class_name) {
  std::lock_guard lock(mutex_);
  const Window* w = Query(window);
  if (w == nullptr || !w->has_class) return false;
  class_name = w->class_name;
  return true;
}

WindowHandle FakeWindowSystem::Owner(WindowHandle window) {
  std::lock_guard lock(mutex_);
  const Window* w = Query(window);
  return w != nullptr ? w->owner : kNoWindow;
}

bool FakeWindowSystem::Placement(WindowHandle window, WindowPlacementState& state) {
  std::lock_guard lock(mutex_);
  const Window* w = Query(window);
  if (w == nullptr) return false;
  state = w->state;
  return true;
}

}  // namespace vorla::platform
