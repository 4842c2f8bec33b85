// Expected bytes spelled out by hand, field by field, little-endian: golden tests build what a
// layout table says without the system's own writers, so that a mistake they share cannot hide.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vorla::test {

struct Golden {
  std::vector<uint8_t> b;

  Golden& U8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Golden& U16(uint16_t v) { return Le(v, 2); }
  Golden& U32(uint32_t v) { return Le(v, 4); }
  Golden& U64(uint64_t v) { return Le(v, 8); }
  // ASCII text as UTF-16LE code units with the 16-bit zero.
  Golden& Str(const std::string& s) {
    for (char c : s) U16(static_cast<uint8_t>(c));
    return U16(0);
  }
  Golden& Raw(const std::vector<uint8_t>& more) {
    b.insert(b.end(), more.begin(), more.end());
    return *this;
  }

 private:
  Golden& Le(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
};

// Lower-case hexadecimal of the bytes, two digits each, for comparing against pinned strings.
inline std::string Hex(std::span<const uint8_t> b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

}  // namespace vorla::test
