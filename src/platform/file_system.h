// Folder listings, file copies and deletion. Paths are UTF-16 and built with "/".
//
// Only regular files are ever opened for reading here: a FIFO or device in a searched folder must
// not block or feed a reader without end. Thread-safe; never logs.
#pragma once

#include <string>
#include <vector>

namespace vorla::platform {

enum class EntryKind {
  kMissing,
  kRegularFile,
  kFolder,
  kSymlink,  // only from ListFolder, which does not follow links
  kOther,    // FIFO, socket, device
};

struct FolderEntry {
  std::u16string name;  // without folder; never "." or ".."
  EntryKind kind = EntryKind::kOther;
};

// The entries of `folder` in the order the system gives them, links not followed. False when
// the folder cannot be read.
bool ListFolder(const std::u16string& folder, std::vector<FolderEntry>& out);

// The kind of what `path` names, links followed.
EntryKind GetEntryKind(const std::u16string& path);

// True when `path` is a regular file (links followed) that this process can open for reading.
bool CanReadRegularFile(const std::u16string& path);

enum class CopyMode {
  kReplace,       // an existing target is removed first (never written through, even as a link)
  kFailIfExists,  // the copy fails when anything exists at the target
};

// Copies the regular file `from` to `to`, created with owner-only permissions. A copy that fails
// half-way removes its incomplete target.
bool CopyRegularFile(const std::u16string& from, const std::u16string& to, CopyMode mode);

// True when both paths name the same file (links followed).
bool IsSameFile(const std::u16string& a, const std::u16string& b);

// Removes the file (not a folder) at `path`; false when there was none or it cannot be removed.
bool RemoveFile(const std::u16string& path);

}  // namespace vorla::platform
