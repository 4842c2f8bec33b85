// The two inputs that watch the desktop's top-level windows.
//
// Their fields, binary bodies and descriptions are complete. Evaluation needs the window
// capability of the platform layer, which is not wired in yet: until it is, Evaluate() returns
// FALSE without looking at any window.
#pragma once

#include <cstdint>
#include <string>

#include "rules/trigger_input_base.h"

namespace vorla {

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
  // Not yet wired to the window capability: always FALSE for now.
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
  // Not yet wired to the window capability: always FALSE for now.
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
