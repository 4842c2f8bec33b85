#include "rules/trigger_input_ext.h"

#include "rules/rule_binary.h"

namespace vorla {

bool TriggerInputExt::Write(ByteWriter* out, size_t& size) const {
  rules_internal::WriteCursor c(out);
  c.Utf16z(name);
  size = c.size();
  return true;
}

bool TriggerInputExt::Read(ByteReader& in) {
  std::u16string n;
  if (!in.Utf16z(n)) return false;
  name = std::move(n);
  return true;
}

std::u16string TriggerInputExt::Describe() const { return name; }

bool TriggerInputExt::Evaluate() { return state; }

}  // namespace vorla
