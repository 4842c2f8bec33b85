// libFuzzer target: any bytes handed to RuleSet::Read end in success or failure. A set that reads
// writes back as many bytes as it consumed (or as an empty set for a count of 0 or less), and the
// written form is a fixed point: it reads back and writes again to the same bytes. The written
// form equals the input except where a rule's second input had an unknown type: that reads as no
// second input (no body) and is written as type 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "rules/rule_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorla::RuleSet set;
  size_t used = 0;
  if (!set.Read(std::span<const uint8_t>(data, size), &used)) return 0;
  std::vector<uint8_t> out;
  if (!set.Write(out)) std::abort();
  const auto count = static_cast<int32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                          static_cast<uint32_t>(data[3]) << 24);
  if (count <= 0) {
    if (out != std::vector<uint8_t>{0, 0, 0, 0}) std::abort();
    return 0;
  }
  if (out.size() != used) std::abort();
  vorla::RuleSet again;
  size_t again_used = 0;
  if (!again.Read(out, &again_used) || again_used != out.size()) std::abort();
  std::vector<uint8_t> rewritten;
  if (!again.Write(rewritten) || rewritten != out) std::abort();
  return 0;
}
