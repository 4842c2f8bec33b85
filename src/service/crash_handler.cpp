#include "service/crash_handler.h"

#include "common/fixed_text.h"
#include "common/logging.h"
#include "common/message_table.h"
#include "common/status_codes.h"
#include "common/text.h"
#include "platform/threads.h"

namespace vorla {
namespace {

constexpr uint32_t kCrashExitCode = 998;

// Both sources, the application source first, with the text rendered as the message table does.
void WriteBothSources(const char* text) {
  static char rendered[4096];
  static char message[256];
  ToUtf8Buffer(FindMessage(kStatusRuntimeException), message, sizeof(message));
  FixedText r(rendered, sizeof(rendered));
  r.Str(message).Str(" ").Str(text);
  static char source[600];
  for (bool app : {true, false}) {
    WindowsEventLogger::Instance().CopySourceNameNoAlloc(app, source, sizeof(source));
    platform::WriteEventRecordNoAlloc(source, EVENTLOG_ERROR_TYPE, kStatusRuntimeException,
                                      rendered);
  }
}

void OnCrash(const platform::CrashInfo& info) {
  ThreadExceptionFilter(info, platform::CrashThreadName());
}

}  // namespace

void InstallThreadExceptionFilter() { platform::InstallCrashCapture(&OnCrash); }

void ThreadExceptionFilter(const platform::CrashInfo& info, const char* thread_name) {
  const int64_t now = platform::CrashWallSeconds();
  static char path[4608];
  if (!platform::BuildCrashDumpPath(path, sizeof(path), now)) path[0] = '\0';
  const uint32_t tid = platform::CurrentThreadId();

  static char text[2048];
  FixedText t(text, sizeof(text));
  t.Str("The Thread [")
      .Str(thread_name)
      .Str(", id=")
      .Unsigned(tid)
      .Str("] caused an Exception and will terminate");
  WriteBothSources(text);

  const size_t size = path[0] ? platform::WriteCrashDump(path, info, thread_name, tid) : 0;

  FixedText m(text, sizeof(text));
  m.Str("Minidump (").Unsigned(size).Str(" bytes) made to ").Str(path).Str(".");
  WriteBothSources(text);

  platform::TerminateProcessNow(kCrashExitCode);
}

}  // namespace vorla
