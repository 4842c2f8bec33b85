// Capturing a crash: fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) on any thread and
// std::terminate (an exception that nothing caught) end in one handler, which writes its records
// and a dump and ends the process. Everything here except InstallCrashCapture is
// async-signal-safe: no allocation, no locks, buffers prepared in advance.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorla::platform {

struct CrashInfo {
  int signal = 0;                   // 0 for an uncaught exception
  uintptr_t fault_address = 0;      // for memory faults
  const char* exception = nullptr;  // what() of an uncaught exception, when known
};

// Called on the crashing thread; must not return. Only async-signal-safe work is allowed.
using CrashHandler = void (*)(const CrashInfo& info);

// Installs `handler` for the whole process and prepares what it needs (the temp and event-log
// folders, the program name, the backtrace machinery, an alternate signal stack for this thread).
// Call once at start-up, before other threads exist.
void InstallCrashCapture(CrashHandler handler);

// Gives the calling thread its own alternate signal stack, so that a stack overflow still reaches
// the handler. Every thread the system starts calls it first thing.
void PrepareThreadForCrashCapture();

// The calling thread's name as the crash handler reports it (UTF-8, at most 259 characters of
// the name); the pointer stays valid for the thread's life.
void SetCrashThreadName(const char16_t* name, size_t length);
const char* CrashThreadName();

// "<temp folder>/<program name><seconds>.dmp" into out; false when it does not fit.
bool BuildCrashDumpPath(char* out, size_t cap, int64_t seconds);

// Writes a text dump (the signal, the faulting thread's backtrace, the memory map) to `path`,
// replacing any file there. Returns the file's size, 0 when it could not be made.
size_t WriteCrashDump(const char* path, const CrashInfo& info, const char* thread_name,
                      uint32_t thread_id);

// Appends one event-log record (source and text in UTF-8) to the log that `source` writes to.
bool WriteEventRecordNoAlloc(const char* source, uint16_t type, uint32_t code, const char* text);

// Wall time in seconds since 1970, read directly from the system.
int64_t CrashWallSeconds();

// Ends the process at once with `exit_code` reduced to what the system can carry (8 bits);
// runs no destructors and no exit handlers.
[[noreturn]] void TerminateProcessNow(uint32_t exit_code);

// Test support: takes the folders again (after a test changed VORLA_TEMP_DIR / VORLA_LOG_DIR).
void RefreshCrashCapturePaths();

}  // namespace vorla::platform
