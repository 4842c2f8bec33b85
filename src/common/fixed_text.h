// Text built into a fixed buffer without allocating, for code that runs in a signal handler.
// What does not fit is cut; the buffer always stays terminated. Header-only, so that the platform
// layer's crash capture can use it too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorla {

class FixedText {
 public:
  FixedText(char* buffer, size_t capacity) : p_(buffer), cap_(capacity) {
    if (cap_ != 0) p_[0] = '\0';
  }

  FixedText& Str(const char* s) {
    while (*s && n_ + 1 < cap_) p_[n_++] = *s++;
    if (*s) cut_ = true;
    if (cap_ != 0) p_[n_] = '\0';
    return *this;
  }
  FixedText& Unsigned(uint64_t v) {
    char digits[21];
    size_t len = 0;
    do {
      digits[len++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    char out[22];
    for (size_t i = 0; i < len; ++i) out[i] = digits[len - 1 - i];
    out[len] = '\0';
    return Str(out);
  }
  FixedText& Signed(int64_t v) {
    if (v < 0) {
      Str("-");
      return Unsigned(static_cast<uint64_t>(0) - static_cast<uint64_t>(v));
    }
    return Unsigned(static_cast<uint64_t>(v));
  }
  // "0x" and 16 lower-case hex digits.
  FixedText& Hex64(uint64_t v) {
    static constexpr char kHex[] = "0123456789abcdef";
    char out[19] = "0x";
    for (int i = 0; i < 16; ++i) out[2 + i] = kHex[(v >> (60 - 4 * i)) & 0xF];
    out[18] = '\0';
    return Str(out);
  }

  size_t size() const { return n_; }
  // True while nothing had to be cut.
  bool fits() const { return !cut_ && cap_ != 0; }

 private:
  char* p_;
  size_t cap_;
  size_t n_ = 0;
  bool cut_ = false;
};

}  // namespace vorla
