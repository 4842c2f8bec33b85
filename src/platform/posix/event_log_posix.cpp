#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/folders.h"
#include "platform/posix/event_log_posix.h"
#include "platform/posix/fd_io.h"

namespace vorla::platform {
namespace posix {
namespace {

const char* LogNameFor(const char* source, size_t len, size_t& out_len) {
  const std::string_view log = RegisteredEventLogName(std::string_view(source, len));
  if (log.empty()) {
    out_len = len;
    return source;
  }
  out_len = log.size();
  return log.data();
}

// One record: open, append, close. O_APPEND with one write keeps concurrent records whole.
bool AppendLine(const char* path, const char* line, size_t len) {
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, line, len);
  close(fd);
  return ok;
}

char g_folder_snapshot[4096];

}  // namespace

size_t BuildEventLine(char* out, size_t cap, int64_t now_seconds, const char* source,
                      size_t source_len, uint16_t type, uint32_t code, const char* text,
                      size_t text_len) {
  size_t n = 0;
  auto put = [&](const char* s, size_t len) {
    if (len > cap - n) return false;
    std::memcpy(out + n, s, len);
    n += len;
    return true;
  };
  char stamp[21];
  FormatUtcTimestamp(now_seconds, stamp);
  char id[11] = "0x";
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 8; ++i) id[2 + i] = kHex[(code >> (28 - 4 * i)) & 0xF];
  const char* word = EventTypeWord(type);
  char number[8];
  if (word == nullptr) {
    // Unknown types are written as their decimal value.
    int len = 0;
    char rev[8];
    unsigned v = type;
    do {
      rev[len++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    for (int i = 0; i < len; ++i) number[i] = rev[len - 1 - i];
    number[len] = '\0';
    word = number;
  }
  if (!put(stamp, 20) || !put("\t", 1) || !put(source, source_len) || !put("\t", 1) ||
      !put(word, std::strlen(word)) || !put("\t", 1) || !put(id, 10) || !put("\t", 1))
    return 0;
  for (size_t i = 0; i < text_len; ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text_len && text[i + 1] == '\n') ++i;
      if (!put("\\n", 2)) return 0;
    } else if (!put(&c, 1)) {
      return 0;
    }
  }
  if (!put("\n", 1)) return 0;
  return n;
}

bool BuildLogPath(char* out, size_t cap, const char* folder, const char* source,
                  size_t source_len) {
  size_t log_len = 0;
  const char* log = LogNameFor(source, source_len, log_len);
  const size_t folder_len = std::strlen(folder);
  if (folder_len + 1 + log_len + 5 > cap) return false;
  size_t n = 0;
  std::memcpy(out, folder, folder_len);
  n += folder_len;
  out[n++] = '/';
  for (size_t i = 0; i < log_len; ++i)
    out[n++] = (log[i] == '/') ? '_' : log[i];  // stay in the folder
  std::memcpy(out + n, ".log", 5);
  return true;
}

void SnapshotEventLogFolder() {
  const std::string folder = ToUtf8(EventLogFolder());
  const size_t n = std::min(folder.size(), sizeof(g_folder_snapshot) - 1);
  std::memcpy(g_folder_snapshot, folder.data(), n);
  g_folder_snapshot[n] = '\0';
}

bool WriteEventRecordNoAlloc(const char* source, uint16_t type, uint32_t code, const char* text,
                             int64_t now_seconds) {
  static char line[16384];
  static char path[4352];
  const size_t source_len = std::strlen(source);
  if (!BuildLogPath(path, sizeof(path), g_folder_snapshot, source, source_len)) return false;
  const size_t len = BuildEventLine(line, sizeof(line), now_seconds, source, source_len, type, code,
                                    text, std::strlen(text));
  if (len == 0) return false;
  if (AppendLine(path, line, len)) return true;
  // The folder may not exist yet; mkdir is async-signal-safe (one level only here).
  mkdir(g_folder_snapshot, 0755);
  return AppendLine(path, line, len);
}

}  // namespace posix

namespace {

class FileEventLog final : public EventLog {
 public:
  bool Write(const EventLogRecord& record) override {
    const std::string source = ToUtf8(record.source);
    const std::string text = ToUtf8(record.text);
    const std::string folder = ToUtf8(EventLogFolder());
    std::string path(folder.size() + source.size() + 64, '\0');
    if (!posix::BuildLogPath(path.data(), path.size(), folder.c_str(), source.data(),
                             source.size()))
      return false;
    path.resize(std::strlen(path.c_str()));
    // Every line break may double; the fixed fields take at most 64 bytes.
    std::string line(source.size() + 2 * text.size() + 64, '\0');
    const size_t len =
        posix::BuildEventLine(line.data(), line.size(), GetClock().WallSeconds(), source.data(),
                              source.size(), record.type, record.code, text.data(), text.size());
    if (len == 0) return false;
    if (posix::AppendLine(path.c_str(), line.data(), len)) return true;
    if (errno != ENOENT || !EnsureFolder(FromUtf8(folder))) return false;
    return posix::AppendLine(path.c_str(), line.data(), len);
  }
};

}  // namespace

EventLog& SystemEventLog() {
  static FileEventLog log;
  return log;
}

}  // namespace vorla::platform
