#include "rules/trigger_input_app.h"

#include "common/format_string.h"
#include "common/text.h"
#include "rules/rule_binary.h"

namespace vorla {

using platform::WindowHandle;
using platform::WindowPlacementState;
using rules_internal::WriteCursor;

namespace {

// The snapshot keeps what a 256-character buffer holds, the owner test what 260 hold.
constexpr size_t kSnapshotTextLimit = 255;
constexpr size_t kOwnerTitleLimit = 259;

void Cut(std::u16string& text, size_t limit) {
  if (text.size() > limit) text.resize(limit);
}

char16_t Upper(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// Whether `upper_text` (already upper-cased) occurs in `in`, upper-casing `in` on the fly: the
// snapshot runs this for every window on every pass, so it allocates nothing.
bool UpperContains(std::u16string_view upper_text, std::u16string_view in) {
  if (upper_text.empty()) return true;
  if (upper_text.size() > in.size()) return false;
  const size_t last = in.size() - upper_text.size();
  for (size_t i = 0; i <= last; ++i) {
    size_t k = 0;
    while (k < upper_text.size() && Upper(in[i + k]) == upper_text[k]) ++k;
    if (k == upper_text.size()) return true;
  }
  return false;
}

// Window tests over one record; the texts are upper-cased once per evaluation.
struct WindowTests {
  std::vector<WindowInfo> records;
  WindowHandle foreground = platform::kNoWindow;
  bool snapshot_ok = false;

  WindowTests() { snapshot_ok = EnumVisibleWindows(foreground, records); }

  static bool TitleMatches(const WindowInfo& w, std::u16string_view upper_title) {
    if (upper_title.empty()) return true;
    if (UpperContains(upper_title, w.title)) return true;
    if (w.parent == platform::kNoWindow) return false;
    // The owner's current title, read now: a dialog matches through the window that owns it.
    std::u16string owner_title;
    if (!platform::GetWindowSystem().Title(w.parent, owner_title)) return false;
    Cut(owner_title, kOwnerTitleLimit);
    return UpperContains(upper_title, owner_title);
  }

  static bool ClassMatches(const WindowInfo& w, std::u16string_view upper_class) {
    return UpperContains(upper_class, w.class_name);
  }

  // Focus bits: 1 any, 2 not the foreground window, 4 the foreground window.
  bool FocusBitsHit(const WindowInfo& w, uint32_t mask) const {
    const bool is_foreground = w.window == foreground;
    return (is_foreground && (mask & 4)) || (!is_foreground && (mask & 2));
  }
  bool FocusPasses(const WindowInfo& w, uint32_t mask) const {
    return (mask & 1) || FocusBitsHit(w, mask);
  }

  // State bits: 2 normal, 4 minimised, 8 maximised (bit 0 is handled by the callers).
  static bool StateBitsHit(const WindowInfo& w, uint32_t mask) {
    switch (w.placement) {
      case WindowPlacementState::kNormal: return (mask & 2) != 0;
      case WindowPlacementState::kMinimised: return (mask & 4) != 0;
      case WindowPlacementState::kMaximised: return (mask & 8) != 0;
    }
    return false;
  }

  bool AnyPasses(std::u16string_view upper_title, std::u16string_view upper_class,
                 uint32_t focus_mask) const {
    for (const auto& w : records) {
      if (TitleMatches(w, upper_title) && ClassMatches(w, upper_class) &&
          FocusPasses(w, focus_mask))
        return true;
    }
    return false;
  }
};

}  // namespace

bool WindowTextMatches(std::u16string_view text, std::u16string_view in) {
  return UpperContains(AsciiUpper(text), in);
}

bool EnumVisibleWindows(WindowHandle& foreground, std::vector<WindowInfo>& records) {
  auto& windows = platform::GetWindowSystem();
  records.clear();
  foreground = windows.ForegroundWindow();
  std::vector<WindowHandle> handles;
  const bool ok = windows.TopLevelWindows(handles);
  records.reserve(handles.size());
  for (const WindowHandle h : handles) {
    WindowInfo info;
    info.window = h;
    info.parent = windows.Owner(h);
    if (!windows.IsVisible(h) || !windows.IsWindow(h)) continue;
    if (!windows.ClassName(h, info.class_name)) info.class_name.clear();
    Cut(info.class_name, kSnapshotTextLimit);
    if (!windows.Title(h, info.title)) info.title.clear();
    Cut(info.title, kSnapshotTextLimit);
    if (!windows.Placement(h, info.placement)) continue;
    records.push_back(std::move(info));
  }
  return ok;
}

bool TriggerInputApp::Write(ByteWriter* out, size_t& size) const {
  WriteCursor c(out);
  c.Utf16z(name);
  c.Utf16z(title_text);
  c.Utf16z(class_text);
  c.U32(show_state_mask);
  c.U32(excluded_state_mask);
  c.U32(focus_mask);
  c.U32(excluded_focus_mask);
  size = c.size();
  return true;
}

bool TriggerInputApp::Read(ByteReader& in) {
  std::u16string n, title, cls;
  uint32_t show = 0, excluded = 0, focus = 0, excluded_focus = 0;
  in.Utf16z(n);
  in.Utf16z(title);
  in.Utf16z(cls);
  in.U32(show);
  in.U32(excluded);
  in.U32(focus);
  in.U32(excluded_focus);
  if (in.failed()) return false;
  name = std::move(n);
  title_text = std::move(title);
  class_text = std::move(cls);
  show_state_mask = show;
  excluded_state_mask = excluded;
  focus_mask = focus;
  excluded_focus_mask = excluded_focus;
  return true;
}

std::u16string TriggerInputApp::Describe() const {
  return FormatString(u"%s: %s", name, title_text);
}

bool TriggerInputApp::Evaluate() {
  const WindowTests t;
  bool found = false;
  if (t.snapshot_ok) {
    const std::u16string upper_title = AsciiUpper(title_text);
    const std::u16string upper_class = AsciiUpper(class_text);
    for (const auto& w : t.records) {
      if (!WindowTests::TitleMatches(w, upper_title) || !WindowTests::ClassMatches(w, upper_class))
        continue;
      if (!t.FocusPasses(w, focus_mask)) continue;
      if (!(excluded_focus_mask & 1) && t.FocusBitsHit(w, excluded_focus_mask)) continue;
      // Once TRUE, the show state no longer matters until no window passes the other tests.
      const bool state_passes =
          last_result || (show_state_mask & 1) || WindowTests::StateBitsHit(w, show_state_mask);
      if (!state_passes) continue;
      if (!(excluded_state_mask & 1) && WindowTests::StateBitsHit(w, excluded_state_mask)) continue;
      found = true;
      break;
    }
  }
  last_result = found;
  return found;
}

bool TriggerInputAppEx::Write(ByteWriter* out, size_t& size) const {
  WriteCursor c(out);
  c.Utf16z(name);
  c.Utf16z(start_title_text);
  c.Utf16z(start_class_text);
  c.Utf16z(stop_title_text);
  c.Utf16z(stop_class_text);
  c.U32(start_focus_mask);
  c.U32(stop_focus_mask);
  size = c.size();
  return true;
}

bool TriggerInputAppEx::Read(ByteReader& in) {
  std::u16string n, start_title, start_cls, stop_title, stop_cls;
  uint32_t start_focus = 0, stop_focus = 0;
  in.Utf16z(n);
  in.Utf16z(start_title);
  in.Utf16z(start_cls);
  in.Utf16z(stop_title);
  in.Utf16z(stop_cls);
  in.U32(start_focus);
  in.U32(stop_focus);
  if (in.failed()) return false;
  name = std::move(n);
  start_title_text = std::move(start_title);
  start_class_text = std::move(start_cls);
  stop_title_text = std::move(stop_title);
  stop_class_text = std::move(stop_cls);
  start_focus_mask = start_focus;
  stop_focus_mask = stop_focus;
  return true;
}

std::u16string TriggerInputAppEx::Describe() const {
  return FormatString(u"%s: %s", name, start_title_text);
}

bool TriggerInputAppEx::Evaluate() {
  const WindowTests t;
  bool stop_seen = false;
  bool start_seen = false;
  if (t.snapshot_ok) {
    stop_seen =
        t.AnyPasses(AsciiUpper(stop_title_text), AsciiUpper(stop_class_text), stop_focus_mask);
    start_seen =
        t.AnyPasses(AsciiUpper(start_title_text), AsciiUpper(start_class_text), start_focus_mask);
  }
  if (latched) {
    if (stop_seen) latched = false;
    return latched;
  }
  if (start_seen && !stop_seen) latched = true;
  return latched;
}

}  // namespace vorla
