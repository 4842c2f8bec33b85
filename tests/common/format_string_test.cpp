#include "common/format_string.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "common/text.h"

namespace vorla {
namespace {

// The C library's printf is the reference. The Windows one departs from the C standard in two
// corners: it puts a sign or space before unsigned numbers, and "%#.o" of zero prints nothing.
// There the flags " ", "+" on unsigned conversions and "#" on octal have no reference.
#ifdef _WIN32
constexpr bool kReferenceFollowsTheStandard = false;
#else
constexpr bool kReferenceFollowsTheStandard = true;
#endif

// Readable failure output for UTF-16 results.
std::string Show(const std::u16string& s) { return ToUtf8(s); }

struct Case {
  const char* name;
  std::u16string format;
  std::vector<FormatArg> args;
  std::u16string expected;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string got = FormatStringArgs(c.format, c.args);
    EXPECT_EQ(got, c.expected) << "got \"" << Show(got) << "\", want \"" << Show(c.expected)
                               << "\"";
  }
}

enum class Small : uint8_t { kSeven = 7 };

// Every printf form the system's texts use, with the expected text written out by hand.
TEST(FormatStringTest, FormsTheSystemUses) {
  const std::u16string text = u"VorlaWS";
  RunCases({
      {"console line",
       u"Err: 0x%08X: %s\n",
       {uint32_t{0xC0000FA0}, text},
       u"Err: 0xC0000FA0: VorlaWS\n"},
      {"%08X small", u"%08X", {uint32_t{0x1F}}, u"0000001F"},
      {"%8.8lX",
       u"CNTService::OnUserControl(%8.8lXH)",
       {uint32_t{200}},
       u"CNTService::OnUserControl(000000C8H)"},
      {"%010u", u"RD_%010u", {uint32_t{123456}}, u"RD_0000123456"},
      {"%010u max", u"RD_%010u", {uint32_t{0xFFFFFFFF}}, u"RD_4294967295"},
      {"%02d", u"%02d:%02d", {7, 45}, u"07:45"},
      {"%02d negative", u"%02d", {-7}, u"-7"},
      {"%02d wide", u"%02d", {123}, u"123"},
      {"%02X byte", u"%02X%02X", {uint8_t{0xAB}, uint8_t{5}}, u"AB05"},
      {"%08x%06x",
       u"EVT_%08x%06x",
       {uint32_t{0x5f3e2a1b}, uint32_t{0x1234}},
       u"EVT_5f3e2a1b001234"},
      {"%lu 32-bit", u"(%lu, %lu)", {uint32_t{4000000000u}, uint32_t{4}}, u"(4000000000, 4)"},
      {"%llu 64-bit",
       u"latency=%llu",
       {std::numeric_limits<uint64_t>::max()},
       u"latency=18446744073709551615"},
      {"%I64d",
       u"%s ave=%I64dms (max=%I64d) for %I64d runs",
       {text, int64_t{-5}, int64_t{9000000000}, int64_t{3}},
       u"VorlaWS ave=-5ms (max=9000000000) for 3 runs"},
      {"trace prefix", u"[%s](%lu): ", {text, uint32_t{1234}}, u"[VorlaWS](1234): "},
      {"%dkb", u"size %dkb of %dkb.", {70000, 65536}, u"size 70000kb of 65536kb."},
      {"thread text",
       u"The Thread [%s, id=%d] caused",
       {u"Capture", 17},
       u"The Thread [Capture, id=17] caused"},
      {"%%", u"100%% of %d%%", {5}, u"100% of 5%"},
      {"%x of negative int32 is 32-bit", u"%x", {int32_t{-1}}, u"ffffffff"},
      {"%x of negative int64 is 64-bit", u"%x", {int64_t{-1}}, u"ffffffffffffffff"},
      {"%d of uint32 above INT_MAX", u"%d", {uint32_t{0xC0000FA0}}, u"-1073737824"},
      {"%u of int32 -1", u"%u", {int32_t{-1}}, u"4294967295"},
      {"%d of uint64 max", u"%d", {std::numeric_limits<uint64_t>::max()}, u"-1"},
      {"%d of int64 min", u"%lld", {std::numeric_limits<int64_t>::min()}, u"-9223372036854775808"},
      {"%i", u"%i", {-12}, u"-12"},
      {"%hd narrows", u"%hd", {70000}, u"4464"},
      {"%hhu narrows", u"%hhu", {300}, u"44"},
      {"bool", u"%d %s", {true, false}, u"1 0"},
      {"enum", u"%d", {Small::kSeven}, u"7"},
      {"%-10s", u"[%-10s]", {u"ab"}, u"[ab        ]"},
      {"%10s", u"[%10s]", {u"ab"}, u"[        ab]"},
      {"%.2s", u"[%.2s]", {u"abcdef"}, u"[ab]"},
      {"%5.1s", u"[%5.1s]", {u"abcdef"}, u"[    a]"},
      {"%S", u"%S", {u"wide"}, u"wide"},
      {"%c", u"%c%c", {u'A', 'b'}, u"Ab"},
      {"%c above U+FFFF", u"%c", {0x1F600}, u"\xD83D\xDE00"},
      {"%c not a code point", u"%c", {-1}, u"\xFFFD"},
      {"%-3c", u"[%-3c]", {u'x'}, u"[x  ]"},
      {"%f", u"%f", {1.5}, u"1.500000"},
      {"%.2f", u"%.2f", {2.0 / 3.0}, u"0.67"},
      {"%08.3f", u"%08.3f", {-1.5}, u"-001.500"},
      {"%p null", u"%p", {static_cast<const void*>(nullptr)}, u"(nil)"},
      {"%p", u"%p", {reinterpret_cast<const void*>(uintptr_t{0x1234})}, u"0x1234"},
      {"null texts",
       u"%s %s",
       {static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)},
       u"(null) (null)"},
      {"no conversions", u"plain text", {}, u"plain text"},
  });
}

// Integer conversions against the C library on the same values, under the width rule: a 32-bit
// argument goes to printf as int/unsigned, a 64-bit one with "ll".
TEST(FormatStringTest, IntegersMatchPrintf) {
  struct Value {
    FormatArg arg;
    bool is64;
    uint64_t bits;
  };
  const std::vector<Value> values = {
      {int32_t{0}, false, 0},
      {int32_t{1}, false, 1},
      {int32_t{-1}, false, 0xFFFFFFFF},
      {int32_t{42}, false, 42},
      {std::numeric_limits<int32_t>::min(), false, 0x80000000},
      {std::numeric_limits<int32_t>::max(), false, 0x7FFFFFFF},
      {uint32_t{0xC0000FA0}, false, 0xC0000FA0},
      {uint32_t{0xFFFFFFFF}, false, 0xFFFFFFFF},
      {int16_t{-300}, false, static_cast<uint32_t>(-300)},
      {std::numeric_limits<int64_t>::min(), true, 0x8000000000000000},
      {int64_t{-1}, true, ~uint64_t{0}},
      {int64_t{1234567890123}, true, 1234567890123},
      {std::numeric_limits<uint64_t>::max(), true, ~uint64_t{0}},
  };
  const char* flags[] = {"", "-", "0", "+", " ", "#", "-+", "0#", "+ ", "- 0", "0+"};
  const char* widths[] = {"", "1", "5", "12", "25"};
  const char* precisions[] = {"", ".", ".0", ".1", ".3", ".15", ".24"};
  const char convs[] = {'d', 'i', 'u', 'x', 'X', 'o'};
  int checked = 0;
  for (const Value& v : values) {
    for (const char* f : flags) {
      for (const char* w : widths) {
        for (const char* p : precisions) {
          for (char conv : convs) {
            const bool is_signed = conv == 'd' || conv == 'i';
            if (is_signed && std::string(f).find('#') != std::string::npos) continue;  // undefined
            if (!kReferenceFollowsTheStandard && !is_signed &&
                (std::string(f).find_first_of(" +") != std::string::npos ||
                 (conv == 'o' && std::string(f).find('#') != std::string::npos)))
              continue;
            const std::string dir = std::string("%") + f + w + p;
            const std::string c_format = dir + (v.is64 ? "ll" : "") + conv;
            char buf[128];
            if (v.is64) {
              if (is_signed)
                std::snprintf(buf, sizeof(buf), c_format.c_str(), static_cast<long long>(v.bits));
              else
                std::snprintf(buf, sizeof(buf), c_format.c_str(),
                              static_cast<unsigned long long>(v.bits));
            } else {
              const auto b32 = static_cast<uint32_t>(v.bits);
              if (is_signed)
                std::snprintf(buf, sizeof(buf), c_format.c_str(), static_cast<int>(b32));
              else
                std::snprintf(buf, sizeof(buf), c_format.c_str(), static_cast<unsigned>(b32));
            }
            const std::u16string ours = FormatStringArgs(Widen(dir + conv), {&v.arg, 1});
            ASSERT_EQ(Show(ours), buf) << "format " << c_format << " bits " << v.bits;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 1000);
}

TEST(FormatStringTest, FloatsCharsAndTextMatchPrintf) {
  const double doubles[] = {0.0,           -0.0, 1.5,      -2.25,     1e10, 1e-5,
                            123456789.125, 0.1,  INFINITY, -INFINITY, NAN};
  const char* flags[] = {"", "-", "0", "+", " ", "#", "-+", "0+"};
  const char* widths[] = {"", "3", "12", "30"};
  const char* precisions[] = {"", ".0", ".2", ".10"};
  const char convs[] = {'f', 'F', 'e', 'E', 'g', 'G'};
  for (double d : doubles) {
    const FormatArg arg(d);
    for (const char* f : flags)
      for (const char* w : widths)
        for (const char* p : precisions)
          for (char conv : convs) {
            const std::string c_format = std::string("%") + f + w + p + conv;
            char buf[128];
            std::snprintf(buf, sizeof(buf), c_format.c_str(), d);
            ASSERT_EQ(Show(FormatStringArgs(Widen(c_format), {&arg, 1})), buf) << c_format;
          }
  }
  // Text and characters (ASCII, where the C library's byte counts equal ours).
  const char* text_formats[] = {"%s",     "%10s", "%-10s", "%.3s", "%.0s", "%8.2s",
                                "%-8.2s", "%05s", "%c",    "%4c",  "%-4c"};
  const FormatArg text("abcdef");
  const FormatArg ch('z');
  for (const char* dir : text_formats) {
    char buf[64];
    const bool is_char = dir[std::string(dir).size() - 1] == 'c';
    if (is_char)
      std::snprintf(buf, sizeof(buf), dir, 'z');
    else
      std::snprintf(buf, sizeof(buf), dir, "abcdef");
    EXPECT_EQ(Show(FormatStringArgs(Widen(dir), {is_char ? &ch : &text, 1})), buf) << dir;
  }
}

TEST(FormatStringTest, MismatchedMissingAndUnknownGiveVisibleText) {
  RunCases({
      {"text to %d", u"%d", {u"text"}, u"text"},
      {"UTF-8 text to %x with width", u"[%5x]", {"ab"}, u"[   ab]"},
      {"text to %d keeps - and ignores precision", u"[%-6.1d]", {u"abc"}, u"[abc   ]"},
      {"text to %08X pads with blanks", u"[%08X]", {u"abc"}, u"[     abc]"},
      {"int to %s", u"%s", {42}, u"42"},
      {"uint32 to %s is unsigned", u"%s", {uint32_t{0xC0000FA0}}, u"3221229472"},
      {"negative to %s", u"%s", {int64_t{-5}}, u"-5"},
      {"number to %s ignores precision", u"[%5.1s]", {1234}, u"[ 1234]"},
      {"char to %s", u"%s", {u'x'}, u"x"},
      {"double to %s", u"%s", {2.5}, u"2.5"},
      {"double to %d", u"%d", {2.5}, u"2.5"},
      {"int to %f", u"%.2f", {3}, u"3"},
      {"text to %c", u"%c", {u"xyz"}, u"xyz"},
      {"text to %p", u"%p", {u"xyz"}, u"xyz"},
      {"pointer to %s", u"%s", {reinterpret_cast<const void*>(uintptr_t{0xAB})}, u"0xab"},
      {"missing argument", u"%d and %s", {1}, u"1 and %s"},
      {"missing full dir", u"[%-08.3lX]", {}, u"[%-08.3lX]"},
      {"extra arguments ignored", u"x=%d", {1, 2, u"three"}, u"x=1"},
      {"unknown conversion", u"%k", {1}, u"%k"},
      {"unknown with width keeps the argument", u"%5y%d", {9}, u"%5y9"},
      {"%n is not supported", u"%n%d", {5}, u"%n5"},
      {"lone % at the end", u"100%", {}, u"100%"},
      {"incomplete dir at the end", u"abc %08", {1}, u"abc %08"},
      {"just %", u"%", {}, u"%"},
      {"% with width", u"[%5%]", {}, u"[%]"},
      {"percent then blank takes an argument as printf does", u"50% done", {}, u"50% done"},
  });
}

TEST(FormatStringTest, TextArguments) {
  // UTF-8 arguments decode exactly as FromUtf8 does, invalid bytes included.
  const std::string utf8_inputs[] = {
      "plain",    "h\xC3\xA9llo", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF",
      "\xE2\x82", "\xC0\xAF",     "\xED\xA0\x80", "\xF4\x90\x80\x80", std::string("a\0b", 3)};
  for (const std::string& in : utf8_inputs) {
    SCOPED_TRACE(in);
    EXPECT_EQ(FormatString(u"%s", in), FromUtf8(in));
  }
  const std::u16string lone_high(1, char16_t{0xD800});
  const std::u16string smile = u"\xD83D\xDE00";
  RunCases({
      {"UTF-16 passes through, lone surrogate kept",
       u"[%s]",
       {lone_high + u"x"},
       u"[" + lone_high + u"x]"},
      {"precision counts UTF-16 units of UTF-8 text",
       u"%.2s",
       {"\xC3\xA9\xF0\x9F\x98\x80"},
       u"\xE9\xD83D"},
      {"width counts UTF-16 units of UTF-8 text",
       u"[%3s]",
       {"\xF0\x9F\x98\x80"},
       u"[ " + smile + u"]"},
      {"left-justified UTF-8", u"[%-4s]", {"\xC3\xA9"}, u"[\xE9   ]"},
      {"UTF-8 longer than width", u"[%2s]", {"abc"}, u"[abc]"},
      {"precision inside a UTF-16 pair cuts there", u"%.1s", {smile}, u"\xD83D"},
      {"std::string", u"%s", {std::string("s8")}, u"s8"},
      {"std::string_view", u"%s", {std::string_view("v8")}, u"v8"},
      {"std::u16string_view", u"%s", {std::u16string_view(u"v16")}, u"v16"},
  });
}

TEST(FormatStringTest, CutAtTheLimit) {
  const std::u16string long_text = u"cdef";
  struct LimitCase {
    const char* name;
    std::u16string format;
    std::vector<FormatArg> args;
    size_t limit;
    std::u16string expected;
  };
  const std::vector<LimitCase> cases = {
      {"literal", u"abcdef", {}, 3, u"abc"},
      {"fits exactly", u"abc", {}, 3, u"abc"},
      {"limit zero", u"abc%d", {1}, 0, u""},
      {"text argument", u"ab%s", {long_text}, 4, u"abcd"},
      {"UTF-8 argument", u"%s", {"h\xC3\xA9llo"}, 2, u"h\xE9"},
      {"padding", u"%10d", {5}, 4, u"    "},
      {"digits", u"%d", {123456}, 3, u"123"},
      {"float", u"%f", {1.5}, 3, u"1.5"},
      {"inside a surrogate pair", u"a%s", {u"\xD83D\xDE00"}, 2, u"a\xD83D"},
      {"huge width", u"%999999999999d", {1}, 100, std::u16string(100, u' ')},
      {"huge precision", u"%.999999999999d", {1}, 10, std::u16string(10, u'0')},
      {"huge float precision", u"%.999999999f", {1.0}, 5, u"1.000"},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatStringArgs(c.format, c.args, c.limit), c.expected);
  }
}

TEST(FormatStringTest, CutAtTheRealLimit) {
  const std::u16string big16(kFormatStringLimit + 1000, u'x');
  const std::u16string r16 = FormatString(u"<%s>", big16);
  ASSERT_EQ(r16.size(), kFormatStringLimit);
  EXPECT_EQ(r16.front(), u'<');
  EXPECT_EQ(r16.find_first_not_of(u'x', 1), std::u16string::npos);

  const std::string big8(kFormatStringLimit * 2, 'y');
  const std::u16string r8 = FormatString(u"%s%d", big8, 5);
  ASSERT_EQ(r8.size(), kFormatStringLimit);
  EXPECT_EQ(r8.find_first_not_of(u'y'), std::u16string::npos);

  // Just below the limit nothing is lost.
  const std::u16string fits(kFormatStringLimit - 1, u'z');
  EXPECT_EQ(FormatString(u"%s!", fits), fits + u"!");
}

}  // namespace
}  // namespace vorla
