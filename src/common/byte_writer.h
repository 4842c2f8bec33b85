// Little-endian writing into a growing byte vector; the counterpart of ByteReader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vorla {

class ByteWriter {
 public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) { WriteLe(v); }
  void U32(uint32_t v) { WriteLe(v); }
  void U64(uint64_t v) { WriteLe(v); }
  void I32(int32_t v) { WriteLe(static_cast<uint32_t>(v)); }
  void I64(int64_t v) { WriteLe(static_cast<uint64_t>(v)); }
  void Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  // UTF-16LE text followed by a 16-bit zero.
  void Utf16z(std::u16string_view s) {
    for (char16_t c : s) U16(static_cast<uint16_t>(c));
    U16(0);
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }
  size_t size() const { return bytes_.size(); }

 private:
  template <class T>
  void WriteLe(T v) {
    for (size_t i = 0; i < sizeof(T); ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> bytes_;
};

}  // namespace vorla
