// CIniFile: the accessor of one INI file, with private-profile behaviour:
//   - "[section]" headers, one "key=value" per line; names and values are trimmed of blanks and
//     tabs; lines starting with ';' are comments; section and key names match without regard to
//     the case of a-z; the first matching section and key win;
//   - a missing file, section or key gives the caller's default and creates nothing;
//   - a write creates the file, the section and the key as needed and keeps every other line;
//   - strings are cut to 1,023 code units (and at an embedded zero) on reading;
//   - numbers are written as signed decimal text and read as decimal with an optional sign.
// Files are UTF-8 on disk (a leading byte-order mark is skipped); lines end in "\n" ("\r\n" is
// read too, and so is any run of "\r" in front of the "\n"); a write ends every line in "\n".
//
// Every write rewrites the file whole through a temporary file that is renamed over the old one,
// so a crash in the middle of a write never leaves a half-written file. A file marked read-only
// is not written (SetFileName clears that mark); a file that exists but cannot be read is not
// overwritten either. Writing to a missing folder creates nothing.
//
// No operation reports failure and nothing is cached between calls: every read and write goes to
// the file, so several objects may work on one file one after another and each sees what the
// previous one wrote. Flush is kept for callers that mark the end of a series of writes; there is
// nothing to flush.
//
// Not thread-safe: each user makes its own object for one operation. Line breaks inside a value
// to be written would split the line (and could inject keys or sections); they are written as
// blanks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorla {

class CIniFile {
 public:
  // Longest string a read returns, in UTF-16 code units.
  static constexpr size_t kMaxReadUnits = 1023;

  CIniFile() = default;
  virtual ~CIniFile();

  // Stores the path and makes an existing read-only file writable again; a missing file is no
  // error.
  void SetFileName(std::u16string path);
  const std::u16string& file_name() const { return path_; }

  void Flush();

  int32_t ReadInt(std::u16string_view section, std::u16string_view key,
                  int32_t default_value) const;
  std::u16string ReadString(std::u16string_view section, std::u16string_view key,
                            std::u16string_view default_value) const;

  void WriteInt(std::u16string_view section, std::u16string_view key, int32_t value);
  void WriteString(std::u16string_view section, std::u16string_view key, std::u16string_view value);

 private:
  std::u16string path_;
};

}  // namespace vorla
