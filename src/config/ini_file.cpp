#include "config/ini_file.h"

#include <optional>
#include <span>
#include <vector>

#include "common/format_string.h"
#include "common/text.h"
#include "platform/files.h"

namespace vorla {
namespace {

// Settings files are a few hundred bytes; anything this large is not one of ours.
constexpr uint64_t kMaxIniFileSize = 16u * 1024 * 1024;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char16_t c) {
      return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
    };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// The section name of a header line, or nothing for any other line.
std::optional<std::u16string_view> SectionOf(std::u16string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != u'[') return std::nullopt;
  line.remove_prefix(1);
  const auto close = line.find(u']');
  if (close != std::u16string_view::npos) line = line.substr(0, close);
  return Trim(line);
}

struct KeyLine {
  std::u16string_view key;
  std::u16string_view value;
};

std::optional<KeyLine> KeyOf(std::u16string_view line) {
  const auto t = Trim(line);
  if (t.empty() || t.front() == u';' || t.front() == u'[') return std::nullopt;
  const auto eq = line.find(u'=');
  if (eq == std::u16string_view::npos) return std::nullopt;
  return KeyLine{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

enum class Load { kOk, kMissing, kUnreadable };

// The file's lines (without line ends). A missing file is an empty one.
Load LoadLines(const std::u16string& path, std::vector<std::u16string>& lines) {
  lines.clear();
  std::vector<uint8_t> bytes;
  uint64_t size = 0;
  switch (platform::ReadWholeFile(path, bytes, size, kMaxIniFileSize)) {
    case platform::FileReadResult::kOk: break;
    case platform::FileReadResult::kCannotOpen:
      return platform::FileExists(path) ? Load::kUnreadable : Load::kMissing;
    case platform::FileReadResult::kReadFailed: return Load::kUnreadable;
  }
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const std::u16string all = FromUtf8(text);
  size_t start = 0;
  while (start < all.size()) {
    auto end = all.find(u'\n', start);
    if (end == std::u16string::npos) end = all.size();
    std::u16string line = all.substr(start, end - start);
    // Every "\r" in front of the "\n" belongs to the line end ("\r\r\n" comes from a CRLF file
    // converted once too often). Keeping one in the line would not survive a write, which ends
    // every line in "\n" alone: a value would lose its last "\r" by the write of another key.
    while (!line.empty() && line.back() == u'\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return Load::kOk;
}

std::optional<std::u16string> FindValue(const std::vector<std::u16string>& lines,
                                        std::u16string_view section, std::u16string_view key) {
  bool in_section = false;
  bool seen_section = false;
  for (const auto& line : lines) {
    if (const auto name = SectionOf(line)) {
      // Only the first section of that name counts, as for the writer.
      if (in_section) return std::nullopt;
      in_section = !seen_section && SameName(*name, section);
      seen_section = seen_section || in_section;
      continue;
    }
    if (!in_section) continue;
    if (const auto kv = KeyOf(line); kv && SameName(kv->key, key)) return std::u16string(kv->value);
  }
  return std::nullopt;
}

std::u16string CutForReading(std::u16string_view s) {
  const auto zero = s.find(u'\0');
  if (zero != std::u16string_view::npos) s = s.substr(0, zero);
  if (s.size() > CIniFile::kMaxReadUnits) s = s.substr(0, CIniFile::kMaxReadUnits);
  return std::u16string(s);
}

// Decimal with optional leading blanks and sign; stops at the first other character; wraps
// modulo 2^32 like the platform's conversion. A value without digits is 0.
int32_t ParseDecimal(std::u16string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) negative = s[i++] == u'-';
  uint32_t v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i)
    v = v * 10u + static_cast<uint32_t>(s[i] - u'0');
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

std::u16string OneLine(std::u16string_view value) {
  std::u16string v(value);
  for (auto& c : v)
    if (c == u'\r' || c == u'\n') c = u' ';
  return v;
}

}  // namespace

CIniFile::~CIniFile() = default;

void CIniFile::SetFileName(std::u16string path) {
  path_ = std::move(path);
  Flush();
  if (!path_.empty()) platform::MakeFileWritable(path_);  // a missing file is no error
}

void CIniFile::Flush() {}

int32_t CIniFile::ReadInt(std::u16string_view section, std::u16string_view key,
                          int32_t default_value) const {
  std::vector<std::u16string> lines;
  if (path_.empty() || LoadLines(path_, lines) != Load::kOk) return default_value;
  const auto v = FindValue(lines, section, key);
  // An empty value counts as missing; text without digits reads as 0.
  if (!v || v->empty()) return default_value;
  return ParseDecimal(CutForReading(*v));
}

std::u16string CIniFile::ReadString(std::u16string_view section, std::u16string_view key,
                                    std::u16string_view default_value) const {
  std::vector<std::u16string> lines;
  if (path_.empty() || LoadLines(path_, lines) != Load::kOk) return CutForReading(default_value);
  const auto v = FindValue(lines, section, key);
  return CutForReading(v ? std::u16string_view(*v) : default_value);
}

void CIniFile::WriteInt(std::u16string_view section, std::u16string_view key, int32_t value) {
  WriteString(section, key, FormatString(u"%d", value));
}

void CIniFile::WriteString(std::u16string_view section, std::u16string_view key,
                           std::u16string_view value) {
  if (path_.empty() || platform::FileIsReadOnly(path_)) return;
  std::vector<std::u16string> lines;
  if (LoadLines(path_, lines) == Load::kUnreadable) return;  // never replace what we cannot read

  std::u16string entry = std::u16string(key) + u"=" + OneLine(value);
  size_t header = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (const auto name = SectionOf(lines[i]); name && SameName(*name, section)) {
      header = i;
      break;
    }
  }
  if (header == lines.size()) {
    while (!lines.empty() && Trim(lines.back()).empty()) lines.pop_back();
    if (!lines.empty()) lines.emplace_back();
    lines.push_back(u"[" + std::u16string(section) + u"]");
    lines.push_back(std::move(entry));
  } else {
    size_t insert_at = header + 1;
    bool replaced = false;
    for (size_t i = header + 1; i < lines.size() && !SectionOf(lines[i]); ++i) {
      if (const auto kv = KeyOf(lines[i]); kv && SameName(kv->key, key)) {
        lines[i] = std::move(entry);
        replaced = true;
        break;
      }
      if (!Trim(lines[i]).empty())
        insert_at = i + 1;  // after the section's last line, before blanks
    }
    if (!replaced)
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), std::move(entry));
  }

  std::u16string all;
  for (const auto& line : lines) {
    all += line;
    all += u'\n';
  }
  std::string utf8 = ToUtf8(all);
  // The reader drops one byte-order mark at the start. A first line that itself begins with
  // U+FEFF (a file that had two marks) gets one in front, or the rewrite would turn that line
  // into something else (a section header that was none).
  if (!all.empty() && all.front() == u'\uFEFF') utf8.insert(0, "\xEF\xBB\xBF");
  platform::ReplaceFileContents(
      path_, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()));
}

}  // namespace vorla
