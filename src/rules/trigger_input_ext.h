// The external input: marks the rule that external recording requests refer to.
#pragma once

#include "rules/trigger_input_base.h"

namespace vorla {

// Body: the name alone. Its state is in memory only and nothing sets it, so the input is FALSE
// whenever evaluated; a rule made of it alone never rises by itself.
class TriggerInputExt final : public TriggerInputBase {
 public:
  TriggerInputExt() : TriggerInputBase(kTriggerInputTypeExt, u"EXT") {}

  bool Write(ByteWriter* out, size_t& size) const override;
  bool Read(ByteReader& in) override;
  // The name.
  std::u16string Describe() const override;
  bool Evaluate() override;

  bool state = false;  // in memory only
};

}  // namespace vorla
