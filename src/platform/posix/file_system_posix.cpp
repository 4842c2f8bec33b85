#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/file_system.h"
#include "platform/posix/fd_io.h"

namespace vorla::platform {
namespace {

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kRegularFile;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kSymlink;
  return EntryKind::kOther;
}

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO from blocking the open; it has no
// effect on the reads of a regular file.
int OpenRegularForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool ListFolder(const std::u16string& folder, std::vector<FolderEntry>& out) {
  out.clear();
  const std::string path = ToUtf8(folder);
  DIR* dir = opendir(path.c_str());
  if (!dir) return false;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry entry;
    entry.name = FromUtf8(name);
    struct stat st {};
    entry.kind =
        lstat((path + "/" + name).c_str(), &st) == 0 ? KindOf(st.st_mode) : EntryKind::kMissing;
    if (entry.kind != EntryKind::kMissing) out.push_back(std::move(entry));
  }
  closedir(dir);
  return true;
}

EntryKind GetEntryKind(const std::u16string& path) {
  struct stat st {};
  if (stat(ToUtf8(path).c_str(), &st) != 0) return EntryKind::kMissing;
  return KindOf(st.st_mode);
}

bool CanReadRegularFile(const std::u16string& path) {
  const int fd = OpenRegularForReading(ToUtf8(path));
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool CopyRegularFile(const std::u16string& from, const std::u16string& to, CopyMode mode) {
  const std::string src = ToUtf8(from);
  const std::string dst = ToUtf8(to);
  const int in = OpenRegularForReading(src);
  if (in < 0) return false;
  if (mode == CopyMode::kReplace) {
    struct stat st {};
    // A folder in the way is not ours to remove.
    if (lstat(dst.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(dst.c_str());
  }
  const int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (!posix::WriteAll(out, buf, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) unlink(dst.c_str());
  return ok;
}

bool IsSameFile(const std::u16string& a, const std::u16string& b) {
  struct stat sa {
  }, sb{};
  return stat(ToUtf8(a).c_str(), &sa) == 0 && stat(ToUtf8(b).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool RemoveFile(const std::u16string& path) {
  const std::string p = ToUtf8(path);
  struct stat st {};
  if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return unlink(p.c_str()) == 0;
}

}  // namespace vorla::platform
