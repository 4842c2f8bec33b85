// Reads the entry names of a ZIP file from its central directory, independently of the library
// that wrote it, and extracts one entry's bytes with the unzip tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/byte_reader.h"
#include "support/temp_dir.h"

namespace vorla::test {

struct ZipEntry {
  std::string name;
  uint32_t size = 0;  // uncompressed
};

// nullopt when the file is not a ZIP archive without an archive comment, or its directory is cut.
inline std::optional<std::vector<ZipEntry>> ListZip(const std::string& path) {
  const std::string file = ReadFile(path);
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  const std::span<const uint8_t> all(bytes, file.size());
  if (all.size() < 22) return std::nullopt;
  ByteReader eocd(all.subspan(all.size() - 22));
  uint32_t sig = 0, cd_size = 0, cd_offset = 0;
  uint16_t disk = 0, cd_disk = 0, disk_entries = 0, entries = 0, comment = 0;
  eocd.U32(sig);
  eocd.U16(disk);
  eocd.U16(cd_disk);
  eocd.U16(disk_entries);
  eocd.U16(entries);
  eocd.U32(cd_size);
  eocd.U32(cd_offset);
  eocd.U16(comment);
  if (eocd.failed() || sig != 0x06054b50 || comment != 0 || disk_entries != entries)
    return std::nullopt;
  ByteReader cd(all);
  if (!cd.Seek(cd_offset)) return std::nullopt;
  std::vector<ZipEntry> out;
  for (uint16_t i = 0; i < entries; ++i) {
    uint32_t csig = 0, crc = 0, csize = 0, usize = 0, ext_attr = 0, local = 0;
    uint16_t made = 0, need = 0, flags = 0, method = 0, time = 0, date = 0, name_len = 0,
             extra_len = 0, comment_len = 0, start_disk = 0, int_attr = 0;
    cd.U32(csig);
    cd.U16(made);
    cd.U16(need);
    cd.U16(flags);
    cd.U16(method);
    cd.U16(time);
    cd.U16(date);
    cd.U32(crc);
    cd.U32(csize);
    cd.U32(usize);
    cd.U16(name_len);
    cd.U16(extra_len);
    cd.U16(comment_len);
    cd.U16(start_disk);
    cd.U16(int_attr);
    cd.U32(ext_attr);
    cd.U32(local);
    std::string name(name_len, '\0');
    cd.Bytes(name.data(), name_len);
    cd.Skip(extra_len);
    cd.Skip(comment_len);
    if (cd.failed() || csig != 0x02014b50) return std::nullopt;
    out.push_back({name, usize});
  }
  return out;
}

inline std::vector<std::string> ZipNames(const std::string& path) {
  std::vector<std::string> names;
  if (auto entries = ListZip(path))
    for (const auto& e : *entries) names.push_back(e.name);
  return names;
}

// The bytes of one entry, through `unzip -p` (names here are plain test names, no quoting
// needed beyond single quotes).
inline std::string ZipEntryText(const std::string& archive, const std::string& name) {
  const std::string cmd = "unzip -p '" + archive + "' '" + name + "' 2>/dev/null";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

}  // namespace vorla::test
