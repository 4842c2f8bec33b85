// Whole-file reading and crash-safe whole-file replacement, plus the small attribute queries the
// settings files need. Paths are UTF-16 and built with "/".
//
// ReplaceFileContents never leaves a half-written file behind: it writes a temporary file next to
// the target, flushes it to disk and renames it over the target, so a reader (or the next start
// after a crash) sees either the old contents or the new ones. Thread-safe; never logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vorla::platform {

enum class FileReadResult {
  kOk,
  kCannotOpen,  // missing, not a regular file, or not permitted
  kReadFailed,  // opened, but the bytes could not all be read (or the file exceeds max_size)
};

// Reads the whole file into `out` (replaced). `size` receives the file's size as found at open
// (0 when it could not be opened). Files larger than `max_size` are not read (kReadFailed), so a
// corrupt or hostile file cannot make the caller allocate without bound.
FileReadResult ReadWholeFile(const std::u16string& path, std::vector<uint8_t>& out, uint64_t& size,
                             uint64_t max_size);

// Replaces the file with `bytes`: temporary file in the same folder, written completely, flushed,
// then renamed over the target. An existing target keeps its permission bits. On any failure the
// temporary file is removed, the target is untouched and the result is false. A missing folder
// is a failure (nothing is created).
bool ReplaceFileContents(const std::u16string& path, std::span<const uint8_t> bytes);

bool FileExists(const std::u16string& path);

// True when the file exists and its owner may not write it (marked read-only).
bool FileIsReadOnly(const std::u16string& path);

// Gives the file's owner write permission again; false when the file is missing or the change is
// refused.
bool MakeFileWritable(const std::u16string& path);

}  // namespace vorla::platform
