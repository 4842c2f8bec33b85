// The crash handler: an exception escaping a worker thread's Run or the service's main routine,
// or a fatal signal on any thread, writes two records to both event sources and a dump file
// "<temp folder>/<program name><seconds>.dmp", then ends the process at once with 998.
#pragma once

#include "platform/crash_capture.h"

namespace vorla {

// Installs the handler for the whole process; call first thing in main().
void InstallThreadExceptionFilter();

// Writes the records and the dump for a crash on the calling thread named `thread_name`, then
// ends the process. Async-signal-safe.
[[noreturn]] void ThreadExceptionFilter(const platform::CrashInfo& info, const char* thread_name);

}  // namespace vorla
