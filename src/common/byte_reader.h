// Bounds-checked little-endian reading over a borrowed buffer.
// Every read either succeeds and advances, or marks the reader failed and changes nothing; once
// failed, every later read fails too, so a record parser reads straight through and checks
// failed() once at the end. Header-only so that the platform layer can parse file formats too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vorla {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

  bool failed() const { return failed_; }
  size_t remaining() const { return failed_ ? 0 : data_.size() - pos_; }
  size_t position() const { return pos_; }

  bool U8(uint8_t& v) { return ReadLe(v); }
  bool U16(uint16_t& v) { return ReadLe(v); }
  bool U32(uint32_t& v) { return ReadLe(v); }
  bool U64(uint64_t& v) { return ReadLe(v); }
  bool I32(int32_t& v) {
    uint32_t u;
    if (!ReadLe(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool I64(int64_t& v) {
    uint64_t u;
    if (!ReadLe(u)) return false;
    v = static_cast<int64_t>(u);
    return true;
  }

  // Copies n bytes out.
  bool Bytes(void* out, size_t n) {
    if (!Need(n)) return false;
    auto* o = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = data_[pos_ + i];
    pos_ += n;
    return true;
  }

  bool Skip(size_t n) {
    if (!Need(n)) return false;
    pos_ += n;
    return true;
  }

  // Hands a field parser exactly the next n bytes (empty and failed when they are not there).
  ByteReader Sub(size_t n) {
    if (!Need(n)) {
      ByteReader r({});
      r.failed_ = true;
      return r;
    }
    ByteReader r(data_.subspan(pos_, n));
    pos_ += n;
    return r;
  }

  // UTF-16LE text up to and including a 16-bit zero; fails when no terminator is left.
  bool Utf16z(std::u16string& out) {
    if (failed_) return false;
    std::u16string s;
    for (size_t p = pos_; data_.size() - p >= 2; p += 2) {
      const auto c = static_cast<char16_t>(data_[p] | (data_[p + 1] << 8));
      if (c == 0) {
        out = std::move(s);
        pos_ = p + 2;
        return true;
      }
      s.push_back(c);
    }
    failed_ = true;
    return false;
  }

  // Moves to an absolute offset inside the buffer.
  bool Seek(size_t offset) {
    if (failed_ || offset > data_.size()) {
      failed_ = true;
      return false;
    }
    pos_ = offset;
    return true;
  }

 private:
  bool Need(size_t n) {
    if (failed_ || n > data_.size() - pos_) {
      failed_ = true;
      return false;
    }
    return true;
  }
  template <class T>
  bool ReadLe(T& v) {
    if (!Need(sizeof(T))) return false;
    T r = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
      r |= static_cast<T>(static_cast<T>(data_[pos_ + i]) << (8 * i));
    v = r;
    pos_ += sizeof(T);
    return true;
  }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace vorla
