#include "rules/trigger_input_app.h"

#include "common/format_string.h"
#include "rules/rule_binary.h"

namespace vorla {

using rules_internal::WriteCursor;

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
  // Not yet wired: the window snapshot comes with the window capability. Until then no window
  // is ever seen, so the input is FALSE and its last result stays as it is.
  return false;
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
  // Not yet wired: needs the window snapshot of the window capability. Until then neither a
  // start nor a stop window is seen, so the latch never closes and the input is FALSE.
  return false;
}

}  // namespace vorla
