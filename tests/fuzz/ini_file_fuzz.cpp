// libFuzzer target: the INI reader and writer (src/config/ini_file.h) over any file contents.
// The bytes are put in a file on disk; then the sections and keys found in them (and a few fixed
// names) are read. Property, beyond "does not crash":
//   - every string read is at most 1,023 code units, holds no zero, starts with no blank or tab
//     and ends in none unless it was cut (at 1,023 units or at a zero: values are trimmed
//     first, then cut), and ReadInt agrees with the decimal value of the same text;
//   - after one WriteString of a new value to one of those keys (or to a new key), that key reads
//     as the new value and every other key reads exactly as before (a write "keeps every other
//     line").
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "config/ini_file.h"

namespace {

using vorla::CIniFile;

const std::string& TempFile() {
  static const std::string path = [] {
    char dir[] = "/tmp/vorla-ini-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    return std::string(dir) + "/settings.ini";
  }();
  return path;
}

bool Blank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Trimmed(std::u16string s) {
  while (!s.empty() && Blank(s.front())) s.erase(s.begin());
  while (!s.empty() && Blank(s.back())) s.pop_back();
  return s;
}

// The decimal value of a read string as ReadInt documents it (optional blanks and sign, digits,
// wrapping modulo 2^32).
int32_t Decimal(const std::u16string& s) {
  size_t i = 0;
  while (i < s.size() && Blank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) negative = s[i++] == u'-';
  uint32_t v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) v = v * 10u + (s[i] - u'0');
  return static_cast<int32_t>(negative ? 0u - v : v);
}

// Candidate section and key names: what looks like one in the text, plus fixed names.
void Names(const std::u16string& text, std::vector<std::u16string>& sections,
           std::vector<std::u16string>& keys) {
  sections = {u"Settings", u"settings"};
  keys = {u"Key", u"key"};
  size_t start = 0;
  while (start <= text.size() && (sections.size() < 8 || keys.size() < 8)) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && line.back() == u'\r') line.pop_back();
    const std::u16string t = Trimmed(line);
    if (!t.empty() && t.front() == u'[') {
      std::u16string name = t.substr(1);
      const size_t close = name.find(u']');
      if (close != std::u16string::npos) name.resize(close);
      if (sections.size() < 8) sections.push_back(Trimmed(name));
    } else if (!t.empty() && t.front() != u';') {
      const size_t eq = line.find(u'=');
      if (eq != std::u16string::npos && keys.size() < 8) keys.push_back(Trimmed(line.substr(0, eq)));
    }
  }
}

using Snapshot = std::vector<std::u16string>;

Snapshot ReadAll(const CIniFile& ini, const std::vector<std::u16string>& sections,
                 const std::vector<std::u16string>& keys, bool has_zero) {
  Snapshot out;
  for (const auto& s : sections) {
    for (const auto& k : keys) {
      std::u16string v = ini.ReadString(s, k, u"\x1F" u"default");
      if (v == u"\x1F" u"default") {
        if (ini.ReadInt(s, k, -77) != -77) std::abort();
        out.push_back(std::move(v));
        continue;
      }
      if (v.size() > CIniFile::kMaxReadUnits) std::abort();
      if (v.find(u'\0') != std::u16string::npos) std::abort();
      if (!v.empty() && Blank(v.front())) std::abort();
      if (!v.empty() && Blank(v.back()) && !has_zero && v.size() < CIniFile::kMaxReadUnits)
        std::abort();
      const int32_t n = ini.ReadInt(s, k, -77);
      if (!v.empty() && n != Decimal(v)) std::abort();
      out.push_back(std::move(v));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = TempFile();
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<std::u16string> sections, keys;
  Names(vorla::FromUtf8(text), sections, keys);

  CIniFile ini;
  ini.SetFileName(vorla::FromUtf8(path));
  const bool has_zero = std::memchr(data, 0, size) != nullptr;
  const Snapshot before = ReadAll(ini, sections, keys, has_zero);

  // Write to the last key found under the last section found (the fixed names when none).
  const size_t si = sections.size() - 1, ki = keys.size() - 1;
  const std::u16string value = u"written by the fuzzer 42";
  ini.WriteString(sections[si], keys[ki], value);
  if (ini.ReadString(sections[si], keys[ki], u"") != value) std::abort();
  const Snapshot after = ReadAll(ini, sections, keys, has_zero);
  for (size_t s = 0; s < sections.size(); ++s) {
    for (size_t k = 0; k < keys.size(); ++k) {
      const size_t i = s * keys.size() + k;
      // The same names written another way (case) are the written key too.
      const bool same_key = vorla::AsciiUpper(sections[s]) == vorla::AsciiUpper(sections[si]) &&
                            vorla::AsciiUpper(keys[k]) == vorla::AsciiUpper(keys[ki]);
      if (same_key) {
        if (after[i] != value) std::abort();
      } else if (after[i] != before[i]) {
        std::abort();
      }
    }
  }
  return 0;
}
