#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "common/text.h"
#include "platform/files.h"
#include "platform/posix/fd_io.h"

namespace vorla::platform {
namespace {

using posix::WriteAll;

// Closes the descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Adopt(int fd) {
    Reset();
    fd_ = fd;
  }
  // Closes now and reports whether the close succeeded (a failed close can lose written data).
  bool Reset() {
    if (fd_ < 0) return true;
    const int rc = close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
};

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A name next to the target that no other writer (thread or process) picks at the same time.
std::string TempNameFor(const std::string& path) {
  static std::atomic<uint64_t> counter{0};
  return path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
}

}  // namespace

FileReadResult ReadWholeFile(const std::u16string& path, std::vector<uint8_t>& out, uint64_t& size,
                             uint64_t max_size) {
  out.clear();
  size = 0;
  // Opened without blocking, so that a FIFO or a device at the path is refused at once instead
  // of waiting for a writer; a regular file then reads as usual.
  Fd fd(open(ToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return FileReadResult::kCannotOpen;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return FileReadResult::kCannotOpen;
  const int fl = fcntl(fd.get(), F_GETFL);
  if (fl < 0 || fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return FileReadResult::kCannotOpen;
  size = static_cast<uint64_t>(st.st_size);
  if (size > max_size) return FileReadResult::kReadFailed;
  out.resize(static_cast<size_t>(size));
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t r = read(fd.get(), out.data() + got, out.size() - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      out.clear();
      return FileReadResult::kReadFailed;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  if (got != out.size()) {  // the file shrank while we read it
    out.clear();
    return FileReadResult::kReadFailed;
  }
  return FileReadResult::kOk;
}

bool ReplaceFileContents(const std::u16string& path, std::span<const uint8_t> bytes) {
  const std::string target = ToUtf8(path);
  if (target.empty()) return false;
  struct stat old {};
  const bool had_old = stat(target.c_str(), &old) == 0;
  if (had_old && !S_ISREG(old.st_mode)) return false;

  std::string temp;
  Fd fd(-1);
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temp = TempNameFor(target);
    fd.Adopt(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid() && errno != EEXIST) return false;
  }
  if (!fd.valid()) return false;

  bool ok = true;
  if (had_old) ok = fchmod(fd.get(), old.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd.get(), bytes.data(), bytes.size());
  ok = ok && fsync(fd.get()) == 0;
  ok = fd.Reset() && ok;
  ok = ok && rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // Makes the rename itself durable; the new contents are already in place, so a failure here
  // is not reported.
  Fd dir(open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) fsync(dir.get());
  return true;
}

bool FileExists(const std::u16string& path) {
  struct stat st {};
  return stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileIsReadOnly(const std::u16string& path) {
  struct stat st {};
  return stat(ToUtf8(path).c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

bool MakeFileWritable(const std::u16string& path) {
  const std::string p = ToUtf8(path);
  struct stat st {};
  if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_mode & S_IWUSR) return true;
  return chmod(p.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

}  // namespace vorla::platform
