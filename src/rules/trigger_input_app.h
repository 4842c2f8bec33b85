// The two inputs that watch the desktop's top-level windows.
//
// Both take a fresh snapshot of the windows (EnumVisibleWindows, through the platform's window
// capability) each time they are evaluated. Texts match when they are empty or occur as a
// substring, after upper-casing a-z on both sides; no wildcards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows.h"
#include "rules/trigger_input_base.h"

namespace vorla {

// One visible top-level window of a snapshot.
struct WindowInfo {
  std::u16string title;       // at most 255 characters; empty when it could not be read
  std::u16string class_name;  // at most 255 characters; empty when it could not be read
  platform::WindowHandle parent = platform::kNoWindow;  // the owner, if any
  platform::WindowHandle window = platform::kNoWindow;
  platform::WindowPlacementState placement = platform::WindowPlacementState::kNormal;
};

// Snapshot of the visible top-level windows in the system's order, and the foreground window.
// Windows that vanish during the snapshot are skipped (or keep empty texts). Returns whether the
// window list could be read; `records` is replaced either way.
bool EnumVisibleWindows(platform::WindowHandle& foreground, std::vector<WindowInfo>& records);

// True when `text` is empty or occurs in `in` (a-z upper-cased on both sides).
bool WindowTextMatches(std::u16string_view text, std::u16string_view in);

// TRUE while some visible top-level window fits title, class, state and focus.
// Body: name, title text, class text, show-state mask, excluded-state mask, focus mask,
// excluded-focus mask (strings UTF-16LE plus zero, masks 32-bit).
class TriggerInputApp final : public TriggerInputBase {
 public:
  TriggerInputApp() : TriggerInputBase(kTriggerInputTypeApp, u"WIN") {}

  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  // "%s: %s" with name and title text.
  std::u16string Describe() const override;
  // TRUE when some window of a fresh snapshot passes the title, class, focus and state tests and
  // is not excluded. While the last result is TRUE the show-state mask is not checked; the
  // exclusions are checked on every pass. A failed snapshot is FALSE.
  bool Evaluate() override;

  std::u16string title_text;
  std::u16string class_text;
  uint32_t show_state_mask = 1;
  uint32_t excluded_state_mask = 1;
  uint32_t focus_mask = 1;
  uint32_t excluded_focus_mask = 1;
  bool last_result = false;  // in memory only
};

// A latch: switches on when a start window shows up, off when a stop window shows up.
// Body: name, start title text, start class text, stop title text, stop class text, start focus
// mask, stop focus mask.
class TriggerInputAppEx final : public TriggerInputBase {
 public:
  TriggerInputAppEx() : TriggerInputBase(kTriggerInputTypeAppEx, u"WIN") {}

  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  // "%s: %s" with name and start title text.
  std::u16string Describe() const override;
  // Latched: FALSE (and unlatched) once a stop window is seen, else TRUE. Unlatched: latches and
  // is TRUE when a start window and no stop window is seen, else FALSE. No state or exclusion
  // masks. A failed snapshot sees neither a start nor a stop window.
  bool Evaluate() override;

  std::u16string start_title_text;
  std::u16string start_class_text;
  std::u16string stop_title_text;
  std::u16string stop_class_text;
  uint32_t start_focus_mask = 1;
  uint32_t stop_focus_mask = 1;
  bool latched = false;  // in memory only
};

}  // namespace vorla
