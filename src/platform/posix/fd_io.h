// Private to the Linux platform layer: writing to a descriptor.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>

namespace vorla::platform::posix {

// Writes all n bytes, retrying after interruptions and short writes. Async-signal-safe.
inline bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace vorla::platform::posix
