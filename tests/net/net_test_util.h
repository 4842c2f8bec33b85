// Helpers shared by the link tests: frames as bytes and searches in the captured log.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "common/text.h"
#include "config/log_capture.h"
#include "net/link_codec.h"
#include "net/netw_message.h"

namespace vorla::test {

inline std::vector<uint8_t> FrameBytes(const netw_header& h, std::vector<uint8_t> parts = {}) {
  // One allocation of the final size (an insert after the header trips a false GCC 12
  // array-bounds warning at -O2).
  std::vector<uint8_t> out(kNetwHeaderSize + parts.size());
  WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(out.data(), kNetwHeaderSize));
  std::copy(parts.begin(), parts.end(), out.begin() + kNetwHeaderSize);
  return out;
}

inline netw_header Header(uint32_t type, uint32_t l1 = 0, uint32_t l2 = 0, uint16_t flags = 0) {
  netw_header h;
  h.type = type;
  h.length1 = l1;
  h.length2 = l2;
  h.flags = flags;
  return h;
}

// Records whose text contains `needle`.
inline std::vector<platform::MemoryEventLog::Record> Find(const LogCapture& log,
                                                          std::u16string_view needle) {
  std::vector<platform::MemoryEventLog::Record> out;
  for (auto& r : log.records())
    if (r.text.find(needle) != std::u16string::npos) out.push_back(r);
  return out;
}

inline uint32_t Word(const PayloadBuffer& b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b.data()[at + i]) << (8 * i);
  return v;
}

}  // namespace vorla::test
