// Type-safe printf-style formatting of UTF-16 text.
//
// Supports the printf subset the system's texts use: flags "-", "0", "+", " ", "#"; a field
// width; a precision (minimum digits for integers, maximum characters for text); the length
// modifiers l, ll, I64 and the other common ones (accepted and ignored: an argument's own C++ type
// decides whether it is 32 or 64 bits wide), h and hh (narrow to 16 and 8 bits, as in printf); and
// the conversions d i u x X o c s S p f e g %. "%s" and "%S" both take UTF-16 or UTF-8 text. The
// argument types are checked at run time: a mismatch, a missing argument or an unknown conversion
// produces visible text (the rules are in format_string.cpp), never undefined behaviour.
// Thread-safe; allocates only the result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace vorla {

// Largest text FormatString produces; longer results are cut at this length.
inline constexpr size_t kFormatStringLimit = 2097152;

class FormatArg {
 public:
  enum class Kind { kSigned, kUnsigned, kChar, kText16, kText8, kFloat, kPointer };

  template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char16_t> &&
           !std::is_same_v<T, char>) FormatArg(T v)
      : bits_(sizeof(T) > 4 ? 64 : 32) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::kSigned;
      s_ = v;
    } else {
      kind_ = Kind::kUnsigned;
      u_ = v;
    }
  }
  template <class T>
  requires std::is_enum_v<T> FormatArg(T v)
      : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}                            // NOLINT
  FormatArg(bool v) : kind_(Kind::kSigned), bits_(32), s_(v ? 1 : 0) {}                    // NOLINT
  FormatArg(char16_t c) : kind_(Kind::kChar), bits_(32), u_(c) {}                          // NOLINT
  FormatArg(char c) : kind_(Kind::kChar), bits_(32), u_(static_cast<unsigned char>(c)) {}  // NOLINT
  FormatArg(double v) : kind_(Kind::kFloat), bits_(64), f_(v) {}                           // NOLINT
  FormatArg(std::u16string_view v) : kind_(Kind::kText16), t16_(v) {}                      // NOLINT
  FormatArg(const std::u16string& v) : kind_(Kind::kText16), t16_(v) {}                    // NOLINT
  FormatArg(const char16_t* v)                                                             // NOLINT
      : kind_(Kind::kText16), t16_(v ? std::u16string_view(v) : std::u16string_view(u"(null)")) {}
  FormatArg(std::string_view v) : kind_(Kind::kText8), t8_(v) {}    // UTF-8      // NOLINT
  FormatArg(const std::string& v) : kind_(Kind::kText8), t8_(v) {}  // NOLINT
  FormatArg(const char* v)                                          // NOLINT
      : kind_(Kind::kText8), t8_(v ? std::string_view(v) : std::string_view("(null)")) {}
  FormatArg(const void* p)
      : kind_(Kind::kPointer), bits_(64), u_(reinterpret_cast<uintptr_t>(p)) {}  // NOLINT

  Kind kind() const { return kind_; }
  int bits() const { return bits_; }
  int64_t as_signed() const { return s_; }
  uint64_t as_unsigned() const { return u_; }
  double as_float() const { return f_; }
  std::u16string_view text16() const { return t16_; }
  std::string_view text8() const { return t8_; }

 private:
  Kind kind_;
  int bits_ = 0;
  union {
    int64_t s_ = 0;  // text arguments leave the number zero rather than indeterminate
    uint64_t u_;
    double f_;
  };
  std::u16string_view t16_;
  std::string_view t8_;
};

// Formats `format` with `args`; the result is cut at `limit` UTF-16 code units. Text arguments
// are borrowed: they must outlive the call.
std::u16string FormatStringArgs(std::u16string_view format, std::span<const FormatArg> args,
                                size_t limit = kFormatStringLimit);

template <class... Args>
std::u16string FormatString(std::u16string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> a{FormatArg(args)...};
  return FormatStringArgs(format, a);
}

}  // namespace vorla
