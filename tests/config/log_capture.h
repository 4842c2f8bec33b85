// Captures what the logging functions report, for the config tests: the event-log records and
// the console lines ("Err: 0x%08X: %s\n"). Restores the default logging state at the end.
#pragma once

#include <string>
#include <vector>

#include "common/logging.h"
#include "platform/debug_output.h"
#include "platform/fake/memory_event_log.h"

namespace vorla::test {

class LogCapture {
 public:
  LogCapture() : log_override_(log_) {
    ResetLoggingForTesting();
    platform::SetConsoleSinkForTesting([this](std::u16string_view t) { console_.emplace_back(t); });
  }
  ~LogCapture() {
    platform::SetConsoleSinkForTesting({});
    ResetLoggingForTesting();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::u16string>& console() const { return console_; }
  std::vector<platform::MemoryEventLog::Record> records() const { return log_.records(); }
  void Clear() {
    console_.clear();
    log_.clear();
    ResetLoggingForTesting();  // forgets the repetition throttle too
  }

 private:
  platform::MemoryEventLog log_;
  platform::ScopedEventLogOverride log_override_;
  std::vector<std::u16string> console_;
};

}  // namespace vorla::test
