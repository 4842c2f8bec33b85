#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/text.h"
#include "platform/folders.h"
#include "platform/instance_mutex.h"

namespace vorla::platform {
namespace {

class FlockMutex final : public InstanceMutex {
 public:
  explicit FlockMutex(int fd) : fd_(fd) {}
  ~FlockMutex() override { close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<InstanceMutex> ClaimInstanceMutex(std::u16string_view name) {
  const std::u16string folder = RuntimeFolder();
  if (!EnsureFolder(folder)) return nullptr;
  std::u16string file(name);
  for (char16_t& c : file)
    if (c == u'\\' || c == u'/') c = u'_';
  const std::string path = ToUtf8(folder + u"/" + file + u".lock");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  // flock belongs to the open file description, so a second open in this process conflicts too.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<FlockMutex>(fd);
}

}  // namespace vorla::platform
