// Logging: the event logger, the four logging functions, the log threshold, the log tag, the
// repetition throttle and the framework trace.
//
// All functions are thread-safe and never fail towards their callers. Records reach the event log
// through the platform layer (platform/event_log.h), console lines and debug output through
// platform/debug_output.h, time through the platform clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/format_string.h"
#include "common/status_codes.h"

namespace vorla {

class WindowsEventLogger {
 public:
  static WindowsEventLogger& Instance();
  virtual ~WindowsEventLogger();

  // Replaces the source base name; the sources are base + "App" and base + "Debug".
  void SetSourceName(std::u16string_view name);
  std::u16string SourceName() const;

  // One record to the application or debug source: no level check, no throttle, no tag.
  void WriteAppEvent(uint16_t type, Status code, std::u16string_view text);
  void WriteDebugEvent(uint16_t type, Status code, std::u16string_view text);

  // The current source names as UTF-8, copied into `out` (cap bytes, terminated) without
  // allocating: for the crash handler, which runs in a signal handler.
  void CopySourceNameNoAlloc(bool app, char* out, size_t cap) const;

 private:
  WindowsEventLogger();
  void Write(std::u16string_view suffix, uint16_t type, Status code, std::u16string_view text);
};

// One record to the debug source through the throttle, with the tag appended. No level check.
void LogEvent(Status code, std::u16string text, uint16_t type);
// If level >= threshold: LogEvent, the console line "Err: 0x%08X: %s\n" and the debug output.
void LogStatus(Status code, std::u16string text, uint16_t type, int32_t level);
// As LogStatus, but only when ok is false; returns ok.
bool LogIfFailed(bool ok, Status code, std::u16string text, int32_t level, uint16_t type);
// If level >= threshold: one record to the application source with the tag; nothing else.
void LogOperation(Status code, std::u16string text, uint16_t type, int32_t level);

// The process-wide log threshold (initially 2).
int32_t GetLogThreshold();
void SetLogThreshold(int32_t threshold);

// The process-wide log tag (initially empty). Set once before worker threads start.
const std::u16string& GetLogTag();
void SetLogTag(std::u16string tag);

// One debug-output line "[<service>](<thread id>): <text>\n", at most 1,024 characters in all.
void DebugTraceArgs(std::u16string_view service, std::u16string_view format,
                    std::span<const FormatArg> args);
template <class... Args>
void DebugTrace(std::u16string_view service, std::u16string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> a{FormatArg(args)...};
  DebugTraceArgs(service, format, a);
}

// Test support: forgets the throttle table and restores threshold 2, an empty tag and an empty
// source base name.
void ResetLoggingForTesting();

}  // namespace vorla
