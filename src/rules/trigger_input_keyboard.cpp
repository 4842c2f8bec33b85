#include "rules/trigger_input_keyboard.h"

#include "common/format_string.h"
#include "rules/rule_binary.h"

namespace vorla {

bool TriggerInputKeyBoard::Write(ByteWriter* out, size_t& size) const {
  rules_internal::WriteCursor c(out);
  c.Utf16z(name);
  c.U32(start_key);
  c.U32(start_modifiers);
  c.U32(stop_key);
  c.U32(stop_modifiers);
  size = c.size();
  return true;
}

bool TriggerInputKeyBoard::Read(ByteReader& in) {
  std::u16string n;
  uint32_t sk = 0, sm = 0, ek = 0, em = 0;
  in.Utf16z(n);
  in.U32(sk);
  in.U32(sm);
  in.U32(ek);
  in.U32(em);
  if (in.failed()) return false;
  name = std::move(n);
  start_key = sk;
  start_modifiers = sm;
  stop_key = ek;
  stop_modifiers = em;
  return true;
}

std::u16string TriggerInputKeyBoard::Describe() const {
  return FormatString(u"KEY: Sart 0x%x Stop 0x%x", start_key, stop_key);
}

bool TriggerInputKeyBoard::Evaluate() {
  // Not yet wired: the hot-key monitor comes with the hot-key capability. Until then no monitor
  // is started and the input is FALSE.
  return false;
}

}  // namespace vorla
