// libFuzzer target: any bytes handed to RuleSet::Read end in success or failure, and a set that
// reads writes back as exactly the bytes it consumed (or as an empty set for a count of 0 or
// less).
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
  } else if (out != std::vector<uint8_t>(data, data + used)) {
    std::abort();
  }
  return 0;
}
