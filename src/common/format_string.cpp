// FormatString: printf-style formatting of UTF-16 text with run-time checked arguments.
//
// A directive: "%" [flags "-+ #0"] [width digits] ["." precision digits] [length] conversion.
// Conversions and what they do:
//   d i          signed decimal            u      unsigned decimal
//   x X          hexadecimal               o      octal
//   c C          one character             s S    text (UTF-16 or UTF-8 argument)
//   p            "0x" + lower-case hex, "(nil)" for a null pointer (as glibc prints it)
//   f F e E g G a A   floating point (the number itself is produced by std::snprintf)
//   %            one "%"; consumes no argument (flags and width in between are ignored)
//
// Decisions (each keeps the result close to what printf would print, and never reads or writes
// out of bounds):
// - Integer width: the argument's own C++ type decides 32 or 64 bits; the conversion letter only
//   decides the interpretation. So "%d" of uint32_t 0xC0000FA0 prints -1073737824 (as printf with
//   an int argument), "%x" of int32_t -1 prints ffffffff, "%x" of int64_t -1 prints 16 f's, and
//   "%lu"/"%llu"/"%I64d" take a 64-bit value only when the argument is a 64-bit type. The length
//   modifiers l, ll, L, q, j, z, t, w, I, I32 and I64 are accepted and ignored; h and hh narrow
//   integer conversions to 16 and 8 bits, as printf does.
// - Flags behave as in printf: "-" left-justifies and overrides "0"; "0" pads numbers with zeros
//   after the sign or "0x" and is ignored for integers when a precision is given; "+" and " "
//   apply to signed conversions only; "#" adds "0x"/"0X" to non-zero hex and a leading zero to
//   octal. An integer precision is a minimum digit count ("%.0d" of 0 prints nothing).
// - Text: width and precision count UTF-16 code units, of the text after UTF-8 decoding for UTF-8
//   arguments (invalid UTF-8 becomes U+FFFD, exactly as FromUtf8 decodes it). A precision cut
//   falls at that count even inside a surrogate pair, as a wide-character printf counts.
// - "%c" of an integer prints that code point (two code units above U+FFFF; U+FFFD for values
//   that are not code points); a char16_t is printed as it is.
// - A mismatched argument prints in its own natural form, with the directive's width and "-" flag
//   (padding with blanks) and without its precision: text given to a number conversion prints the
//   text; a number given to "%s" prints it in decimal (signed or unsigned by its own type); a
//   character given to "%s" prints the character; a floating value given to an integer or text
//   conversion prints as "%g"; an integer given to a floating conversion prints in decimal; a
//   pointer given to "%s" prints as "%p". Integers, characters and pointers are interchangeable
//   among d i u x X o c p.
// - A conversion without an argument left prints its directive literally ("%08X"); extra arguments
// are
//   ignored.
// - An unknown conversion ("%k", "%n", "%5y") prints the directive up to the unknown character
//   literally; the unknown character is then read as ordinary text. An incomplete directive at the
//   end of the format (a lone "%" or "%08") prints literally.
// - Width and precision above 2^30 count as 2^30; padding never goes past the limit anyway.
// - The result is cut at `limit` code units (also inside a surrogate pair); formatting stops as
//   soon as the limit is reached, so a huge argument never builds more than `limit` characters.
//
// Speed: literal runs are appended in one piece, numbers are built in small stack buffers, and
// the result string is reserved once from an estimate of its size.
#include "common/format_string.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace vorla {
namespace {

constexpr size_t kMaxField = size_t{1} << 30;

// Appends to the result but never beyond `limit`.
class Sink {
 public:
  Sink(std::u16string& out, size_t limit) : out_(out), limit_(limit) {}

  bool full() const { return out_.size() >= limit_; }
  size_t room() const { return limit_ - std::min(limit_, out_.size()); }

  void Put(char16_t c) {
    if (!full()) out_.push_back(c);
  }
  void Put(std::u16string_view v) { out_.append(v.substr(0, room())); }
  void PutAscii(const char* p, size_t n) {
    n = std::min(n, room());
    for (size_t k = 0; k < n; ++k)
      out_.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[k])));
  }
  void Fill(char16_t c, size_t n) { out_.append(std::min(n, room()), c); }

 private:
  std::u16string& out_;
  size_t limit_;
};

struct Directive {
  bool minus = false;
  bool plus = false;
  bool space = false;
  bool hash = false;
  bool zero = false;
  size_t width = 0;
  bool has_precision = false;
  size_t precision = 0;
  int narrow_bits = 0;  // 16 for "h", 8 for "hh", 0 otherwise
  char16_t conv = 0;
};

// Decodes one code point of UTF-8 at `i` (advancing it); the same rules as FromUtf8.
uint32_t DecodeUtf8(std::string_view in, size_t& i) {
  const auto b0 = static_cast<uint8_t>(in[i]);
  auto cont = [&](size_t k) {
    return i + k < in.size() && (static_cast<uint8_t>(in[i + k]) & 0xC0) == 0x80;
  };
  auto byte = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<uint8_t>(in[i + k]) & 0x3F);
  };
  uint32_t cp = 0xFFFD;
  size_t len = 1;
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
  return cp;
}

// UTF-16 length of UTF-8 text, counting no further than `cap`.
size_t Utf16Length(std::string_view in, size_t cap) {
  size_t n = 0, i = 0;
  while (i < in.size() && n < cap) n += DecodeUtf8(in, i) >= 0x10000 ? 2 : 1;
  return std::min(n, cap);
}

void Pad(Sink& sink, size_t width, size_t len, bool before, const Directive& dir) {
  if (width > len && dir.minus != before) sink.Fill(u' ', width - len);
}

// Text with width (and precision when `cut` is set).
void PutText16(Sink& sink, const Directive& dir, std::u16string_view t, bool cut) {
  if (cut && dir.has_precision) t = t.substr(0, dir.precision);
  Pad(sink, dir.width, t.size(), true, dir);
  sink.Put(t);
  Pad(sink, dir.width, t.size(), false, dir);
}

void PutText8(Sink& sink, const Directive& dir, std::string_view t, bool cut) {
  const size_t max_units = cut && dir.has_precision ? dir.precision : SIZE_MAX;
  // `shown` is the number of code units to emit (SIZE_MAX: all). Count only as far as the
  // precision or the width needs: a text at least as long as the width needs no padding.
  size_t shown = max_units;
  if (dir.width > 0 || max_units != SIZE_MAX) {
    const size_t cap = max_units != SIZE_MAX ? max_units : dir.width;
    const size_t n = Utf16Length(t, cap);
    if (n < cap || max_units != SIZE_MAX) shown = n;
  }
  const size_t pad_len = shown == SIZE_MAX ? dir.width : shown;
  Pad(sink, dir.width, pad_len, true, dir);
  size_t i = 0, emitted = 0;
  while (i < t.size() && emitted < shown && !sink.full()) {
    uint32_t cp = DecodeUtf8(t, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      sink.Put(static_cast<char16_t>(0xD800 + (cp >> 10)));
      if (++emitted < shown) {
        sink.Put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        ++emitted;
      }
    } else {
      sink.Put(static_cast<char16_t>(cp));
      ++emitted;
    }
  }
  Pad(sink, dir.width, pad_len, false, dir);
}

// The integer value of an argument of the integer group, as raw bits of its own width.
uint64_t RawBits(const FormatArg& a, int* bits) {
  switch (a.kind()) {
    case FormatArg::Kind::kSigned: *bits = a.bits(); return static_cast<uint64_t>(a.as_signed());
    case FormatArg::Kind::kPointer: *bits = 64; return a.as_unsigned();
    default:  // kUnsigned, kChar
      *bits = a.kind() == FormatArg::Kind::kChar ? 32 : a.bits();
      return a.as_unsigned();
  }
}

uint64_t Mask(uint64_t v, int bits) { return bits >= 64 ? v : v & ((uint64_t{1} << bits) - 1); }

int64_t SignExtend(uint64_t v, int bits) {
  if (bits >= 64) return static_cast<int64_t>(v);
  const uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((Mask(v, bits) ^ sign) - sign);
}

bool IsIntegerGroup(FormatArg::Kind k) {
  return k == FormatArg::Kind::kSigned || k == FormatArg::Kind::kUnsigned ||
         k == FormatArg::Kind::kChar || k == FormatArg::Kind::kPointer;
}

// d i u x X o with printf's flag rules.
void PutInteger(Sink& sink, const Directive& dir, const FormatArg& a) {
  int bits = 32;
  uint64_t raw = RawBits(a, &bits);
  if (dir.narrow_bits != 0 && dir.narrow_bits < bits) bits = dir.narrow_bits;
  raw = Mask(raw, bits);

  const bool is_signed = dir.conv == u'd' || dir.conv == u'i';
  bool negative = false;
  uint64_t magnitude = raw;
  if (is_signed) {
    const int64_t v = SignExtend(raw, bits);
    negative = v < 0;
    magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  }

  const unsigned base = dir.conv == u'o' ? 8 : (dir.conv == u'x' || dir.conv == u'X') ? 16 : 10;
  const char* digit_set = dir.conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  size_t nd = 0;
  const size_t precision = dir.has_precision ? dir.precision : 1;
  for (uint64_t m = magnitude; m != 0; m /= base)
    digits[sizeof(digits) - 1 - nd++] = digit_set[m % base];
  const char* first = digits + sizeof(digits) - nd;

  char prefix[2];
  size_t np = 0;
  if (is_signed) {
    if (negative)
      prefix[np++] = '-';
    else if (dir.plus)
      prefix[np++] = '+';
    else if (dir.space)
      prefix[np++] = ' ';
  } else if (dir.hash && base == 16 && magnitude != 0) {
    prefix[np++] = '0';
    prefix[np++] = dir.conv == u'X' ? 'X' : 'x';
  }

  size_t zeros = precision > nd ? precision - nd : 0;
  if (dir.hash && base == 8 && zeros == 0) zeros = 1;  // first digit never is '0' here
  if (dir.zero && !dir.minus && !dir.has_precision && dir.width > np + nd + zeros)
    zeros = dir.width - np - nd;

  const size_t len = np + zeros + nd;
  Pad(sink, dir.width, len, true, dir);
  sink.PutAscii(prefix, np);
  sink.Fill(u'0', zeros);
  sink.PutAscii(first, nd);
  Pad(sink, dir.width, len, false, dir);
}

void PutCodePoint(Sink& sink, const Directive& dir, uint64_t cp, bool is_unit) {
  char16_t units[2];
  size_t n = 1;
  if (is_unit || cp <= 0xFFFF) {
    units[0] = static_cast<char16_t>(cp);
  } else if (cp <= 0x10FFFF) {
    cp -= 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    n = 2;
  } else {
    units[0] = 0xFFFD;
  }
  Directive s = dir;
  s.has_precision = false;
  PutText16(sink, s, std::u16string_view(units, n), false);
}

void PutChar(Sink& sink, const Directive& dir, const FormatArg& a) {
  if (a.kind() == FormatArg::Kind::kChar) {
    PutCodePoint(sink, dir, a.as_unsigned(), true);
    return;
  }
  int bits = 32;
  const uint64_t raw = Mask(RawBits(a, &bits), bits);
  // A negative signed value is no code point.
  const bool neg = a.kind() == FormatArg::Kind::kSigned && SignExtend(raw, bits) < 0;
  PutCodePoint(sink, dir, neg ? 0xFFFFFFFFu : raw, false);
}

void PutPointer(Sink& sink, const Directive& dir, const FormatArg& a) {
  int bits = 64;
  const uint64_t raw = Mask(RawBits(a, &bits), bits);
  Directive s;
  s.minus = dir.minus;
  s.width = dir.width;
  if (raw == 0) {
    PutText16(sink, s, u"(nil)", false);
    return;
  }
  s.conv = u'x';
  s.hash = true;
  PutInteger(sink, s, FormatArg(raw));
}

// Floating conversions; std::snprintf makes the digits, the padding is done here.
void PutFloat(Sink& sink, const Directive& dir, double v) {
  char fmt[12];
  size_t k = 0;
  fmt[k++] = '%';
  if (dir.plus) fmt[k++] = '+';
  if (dir.space) fmt[k++] = ' ';
  if (dir.hash) fmt[k++] = '#';
  if (dir.has_precision) {
    fmt[k++] = '.';
    fmt[k++] = '*';
  }
  fmt[k++] = static_cast<char>(dir.conv);
  fmt[k] = '\0';
  // A double's exact expansion has fewer than 1,100 digits, so a precision beyond the limit plus
  // that cannot change the visible (cut) text.
  const size_t cap = std::min<size_t>(kMaxField, sink.room() + 1100);
  const int prec = static_cast<int>(std::min(dir.precision, cap));

  char local[512];
  std::string big;
  char* text = local;
  int n = dir.has_precision ? std::snprintf(local, sizeof(local), fmt, prec, v)
                            : std::snprintf(local, sizeof(local), fmt, v);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof(local)) {
    big.resize(static_cast<size_t>(n) + 1);
    n = dir.has_precision ? std::snprintf(big.data(), big.size(), fmt, prec, v)
                          : std::snprintf(big.data(), big.size(), fmt, v);
    if (n < 0) return;
    text = big.data();
  }
  const size_t len = static_cast<size_t>(n);

  size_t lead = 0;  // sign and "0x" stay in front of zero padding
  if (len > 0 && (text[0] == '-' || text[0] == '+' || text[0] == ' ')) lead = 1;
  if ((dir.conv == u'a' || dir.conv == u'A') && len >= lead + 2 && text[lead] == '0' &&
      (text[lead + 1] == 'x' || text[lead + 1] == 'X'))
    lead += 2;
  const bool zero_pad = dir.zero && !dir.minus && std::isfinite(v);
  if (zero_pad && dir.width > len) {
    sink.PutAscii(text, lead);
    sink.Fill(u'0', dir.width - len);
    sink.PutAscii(text + lead, len - lead);
    return;
  }
  Pad(sink, dir.width, len, true, dir);
  sink.PutAscii(text, len);
  Pad(sink, dir.width, len, false, dir);
}

// A mismatched argument in its own form, with the directive's width and "-" only.
void PutNatural(Sink& sink, const Directive& dir, const FormatArg& a) {
  Directive s;
  s.minus = dir.minus;
  s.width = dir.width;
  switch (a.kind()) {
    case FormatArg::Kind::kText16: PutText16(sink, s, a.text16(), false); return;
    case FormatArg::Kind::kText8: PutText8(sink, s, a.text8(), false); return;
    case FormatArg::Kind::kSigned:
      s.conv = u'd';
      PutInteger(sink, s, a);
      return;
    case FormatArg::Kind::kUnsigned:
      s.conv = u'u';
      PutInteger(sink, s, a);
      return;
    case FormatArg::Kind::kChar: PutCodePoint(sink, s, a.as_unsigned(), true); return;
    case FormatArg::Kind::kFloat:
      s.conv = u'g';
      PutFloat(sink, s, a.as_float());
      return;
    case FormatArg::Kind::kPointer: PutPointer(sink, s, a); return;
  }
}

void PutArg(Sink& sink, const Directive& dir, const FormatArg& a) {
  const FormatArg::Kind k = a.kind();
  switch (dir.conv) {
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X':
    case u'o':
      if (IsIntegerGroup(k)) return PutInteger(sink, dir, a);
      break;
    case u'c':
    case u'C':
      if (IsIntegerGroup(k) && k != FormatArg::Kind::kPointer) return PutChar(sink, dir, a);
      break;
    case u'p':
      if (IsIntegerGroup(k)) return PutPointer(sink, dir, a);
      break;
    case u's':
    case u'S':
      if (k == FormatArg::Kind::kText16) return PutText16(sink, dir, a.text16(), true);
      if (k == FormatArg::Kind::kText8) return PutText8(sink, dir, a.text8(), true);
      if (k == FormatArg::Kind::kChar) {
        const char16_t c = static_cast<char16_t>(a.as_unsigned());
        return PutText16(sink, dir, std::u16string_view(&c, 1), true);
      }
      break;
    default:  // f F e E g G a A
      if (k == FormatArg::Kind::kFloat) return PutFloat(sink, dir, a.as_float());
      break;
  }
  PutNatural(sink, dir, a);
}

bool IsConversion(char16_t c) {
  return std::u16string_view(u"diuxXocCsSpfFeEgGaA").find(c) != std::u16string_view::npos;
}

size_t ReadNumber(std::u16string_view f, size_t& i) {
  size_t n = 0;
  while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') {
    n = std::min(kMaxField, n * 10 + static_cast<size_t>(f[i] - u'0'));
    ++i;
  }
  return n;
}

size_t EstimateSize(std::u16string_view format, std::span<const FormatArg> args) {
  size_t n = format.size();
  for (const FormatArg& a : args) {
    if (a.kind() == FormatArg::Kind::kText16)
      n += a.text16().size();
    else if (a.kind() == FormatArg::Kind::kText8)
      n += a.text8().size();
    else
      n += 24;
  }
  return n;
}

}  // namespace

std::u16string FormatStringArgs(std::u16string_view format, std::span<const FormatArg> args,
                                size_t limit) {
  std::u16string out;
  out.reserve(std::min(limit, EstimateSize(format, args)));
  Sink sink(out, limit);
  size_t next_arg = 0;
  size_t i = 0;
  while (i < format.size() && !sink.full()) {
    const size_t pct = format.find(u'%', i);
    if (pct == std::u16string_view::npos) {
      sink.Put(format.substr(i));
      break;
    }
    sink.Put(format.substr(i, pct - i));
    i = pct + 1;

    Directive dir;
    for (; i < format.size(); ++i) {
      const char16_t c = format[i];
      if (c == u'-')
        dir.minus = true;
      else if (c == u'+')
        dir.plus = true;
      else if (c == u' ')
        dir.space = true;
      else if (c == u'#')
        dir.hash = true;
      else if (c == u'0')
        dir.zero = true;
      else
        break;
    }
    dir.width = ReadNumber(format, i);
    if (i < format.size() && format[i] == u'.') {
      ++i;
      dir.has_precision = true;
      dir.precision = ReadNumber(format, i);
    }
    // Length modifiers.
    if (i < format.size()) {
      const std::u16string_view rest = format.substr(i);
      if (rest.starts_with(u"hh")) {
        dir.narrow_bits = 8;
        i += 2;
      } else if (rest.starts_with(u"h")) {
        dir.narrow_bits = 16;
        i += 1;
      } else if (rest.starts_with(u"ll")) {
        i += 2;
      } else if (rest.starts_with(u"I64") || rest.starts_with(u"I32")) {
        i += 3;
      } else if (rest[0] == u'l' || rest[0] == u'L' || rest[0] == u'q' || rest[0] == u'j' ||
                 rest[0] == u'z' || rest[0] == u't' || rest[0] == u'w' || rest[0] == u'I') {
        i += 1;
      }
    }
    if (i >= format.size()) {  // incomplete directive at the end: literal
      sink.Put(format.substr(pct));
      break;
    }
    dir.conv = format[i];
    if (dir.conv == u'%') {
      sink.Put(u'%');
      ++i;
      continue;
    }
    if (!IsConversion(dir.conv)) {  // unknown: the directive so far is literal, the letter is text
      sink.Put(format.substr(pct, i - pct));
      continue;
    }
    ++i;
    if (next_arg >= args.size()) {
      sink.Put(format.substr(pct, i - pct));
      continue;
    }
    PutArg(sink, dir, args[next_arg++]);
  }
  return out;
}

}  // namespace vorla
