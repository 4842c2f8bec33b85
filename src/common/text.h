// UTF-16 text helpers. The system keeps text as UTF-16 (std::u16string); conversion to UTF-8
// happens only where text leaves the process (files, console, X11, JSON).
// Header-only, so that the platform layer can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorla {

// Decodes UTF-8; invalid sequences become U+FFFD, never an exception.
inline std::u16string FromUtf8(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto b0 = static_cast<uint8_t>(in[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    auto cont = [&](size_t k) {
      return i + k < in.size() && (static_cast<uint8_t>(in[i + k]) & 0xC0) == 0x80;
    };
    auto byte = [&](size_t k) {
      return static_cast<uint32_t>(static_cast<uint8_t>(in[i + k]) & 0x3F);
    };
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0 && cont(1)) {
      cp = ((b0 & 0x1Fu) << 6) | byte(1);
      len = 2;
      if (cp < 0x80) cp = 0xFFFD;
    } else if ((b0 & 0xF0) == 0xE0 && cont(1) && cont(2)) {
      cp = ((b0 & 0x0Fu) << 12) | (byte(1) << 6) | byte(2);
      len = 3;
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    } else if ((b0 & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
      cp = ((b0 & 0x07u) << 18) | (byte(1) << 12) | (byte(2) << 6) | byte(3);
      len = 4;
      if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// Encodes one code point of `in` starting at `i` (advancing it) into up to 4 bytes of `out`.
// Unpaired surrogates become U+FFFD. Returns the number of bytes written.
inline size_t EncodeUtf8CodePoint(std::u16string_view in, size_t& i, char out[4]) {
  uint32_t cp = in[i++];
  if (cp >= 0xD800 && cp <= 0xDBFF && i < in.size() && in[i] >= 0xDC00 && in[i] <= 0xDFFF) {
    cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i++] - 0xDC00);
  } else if (cp >= 0xD800 && cp <= 0xDFFF) {
    cp = 0xFFFD;
  }
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

inline std::string ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  char buf[4];
  while (i < in.size()) out.append(buf, EncodeUtf8CodePoint(in, i, buf));
  return out;
}

// Allocation-free conversion into a fixed buffer (usable from a signal handler): writes at most
// cap - 1 bytes, never splits a code point, always terminates. Returns the bytes written.
inline size_t ToUtf8Buffer(std::u16string_view in, char* out, size_t cap) {
  if (cap == 0) return 0;
  size_t n = 0, i = 0;
  char buf[4];
  while (i < in.size()) {
    const size_t len = EncodeUtf8CodePoint(in, i, buf);
    if (len > cap - 1 - n) break;
    for (size_t k = 0; k < len; ++k) out[n++] = buf[k];
  }
  out[n] = '\0';
  return n;
}

// Upper-cases a-z only; every other character stays as it is.
inline std::u16string AsciiUpper(std::u16string_view in) {
  std::u16string out(in);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
  return out;
}

// Widens ASCII/UTF-8 literal text; convenience for tests and fixed texts.
inline std::u16string Widen(std::string_view in) { return FromUtf8(in); }

}  // namespace vorla
