// Additions to a ZIP archive file (through libzip).
//
// Each addition opens the archive, adds its entries and writes the archive out before it
// returns: libzip writes a new file beside the old one and renames it over it, so a failed
// addition leaves the archive as it was. Not thread-safe for one archive file.
#pragma once

#include <string>

namespace vorla {

// Adds `path` to the existing archive `archive_path` at the top level under its own name: a
// regular file as one entry (an entry of that name is replaced), a folder as a folder entry with
// its contents below it. Inside a folder, links, FIFOs, devices, unreadable files and the archive
// itself are left out, and the walk stops at a depth of 32. False when the path is missing,
// is neither file nor folder, or the archive cannot be opened or written.
bool AddPathToZipArchive(const std::u16string& archive_path, const std::u16string& path);

// The archive with no entries: the end-of-central-directory record alone (22 bytes).
inline constexpr unsigned char kEmptyZipArchive[22] = {0x50, 0x4B, 0x05, 0x06};

}  // namespace vorla
