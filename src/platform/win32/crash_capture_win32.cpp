// Crash capture on Windows: the process's unhandled-exception filter (every fault on every
// thread that nothing handled), std::terminate and the abort signal end in one handler. The dump
// is a minidump of the process with its data segments, the faulting thread and its exception.
//
// The heavy work of a crash (the minidump, the event-log calls) runs on a helper thread started
// with the capture: a thread whose stack has overflowed keeps only its guaranteed reserve, which
// is enough to wait for the helper but not to write a dump.
#include <windows.h>
// dbghelp.h needs windows.h before it.
#include <dbghelp.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>

#include "common/fixed_text.h"
#include "common/text.h"
#include "platform/crash_capture.h"
#include "platform/folders.h"
#include "platform/threads.h"
#include "platform/win32/event_log_win32.h"

namespace vorla::platform {
namespace {

// What a crashing thread keeps for the handler after its stack has overflowed.
constexpr ULONG kStackGuarantee = 64 * 1024;
// The C++ runtime raises every throw as an exception of its own ("GCC" with the customer bit;
// the low byte of the top nibble tells throw, unwind and forced unwind apart).
constexpr DWORD kCppThrowMask = 0x20FFFFFF;
constexpr DWORD kCppThrow = 0x20474343;
// The code that stands for abort() and for a terminate without an exception in the dump.
constexpr DWORD kFatalAppExit = 0x40000015;
// The bus-error signal number of the other platforms, for in-page errors and misalignment.
constexpr int kSignalBus = 7;
constexpr DWORD kEventTimeoutMs = 30000;
constexpr DWORD kDumpTimeoutMs = 120000;

std::atomic<CrashHandler> g_handler{nullptr};
std::atomic<uint32_t> g_crashing_thread{0};
char g_temp_folder[4096];
char g_program_name[260];

thread_local char t_thread_name[1040] = "";
thread_local bool t_prepared = false;

// The exception being handled: the system's pointers for a fault, or a record made here for
// terminate and abort. Written once by the crashing thread before its handler runs.
EXCEPTION_POINTERS* g_exception = nullptr;
EXCEPTION_RECORD g_made_record;
CONTEXT g_made_context;
EXCEPTION_POINTERS g_made_pointers;

// The helper thread and its one job at a time.
struct Helper {
  HANDLE go = nullptr;    // auto-reset: a job is ready
  HANDLE done = nullptr;  // auto-reset: the job has finished (or the helper crashed)
  DWORD id = 0;
  std::atomic<bool> busy{false};
  void (*job)(void*) = nullptr;
  void* arg = nullptr;
};
Helper g_helper;

DWORD WINAPI HelperMain(void*) {
  PrepareThreadForCrashCapture();
  for (;;) {
    if (WaitForSingleObject(g_helper.go, INFINITE) != WAIT_OBJECT_0) return 0;
    g_helper.job(g_helper.arg);
    SetEvent(g_helper.done);
  }
}

void StartHelper() {
  if (g_helper.go != nullptr) return;
  g_helper.go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_helper.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_helper.go || !g_helper.done) return;
  HANDLE thread = CreateThread(nullptr, 0, &HelperMain, nullptr, 0, &g_helper.id);
  if (thread == nullptr) {
    CloseHandle(g_helper.go);
    g_helper.go = nullptr;
    return;
  }
  CloseHandle(thread);
}

// Runs `job(arg)` on the helper and waits for it, or runs it here when there is no helper, when
// this is the helper, or while the helper is still stuck in an earlier job. False when the job
// did not finish within the time; its results are then not to be used.
bool RunOnHelper(void (*job)(void*), void* arg, DWORD timeout_ms) {
  bool idle = false;
  if (g_helper.go == nullptr || GetCurrentThreadId() == g_helper.id ||
      !g_helper.busy.compare_exchange_strong(idle, true)) {
    job(arg);
    return true;
  }
  g_helper.job = job;
  g_helper.arg = arg;
  SetEvent(g_helper.go);
  if (WaitForSingleObject(g_helper.done, timeout_ms) != WAIT_OBJECT_0) return false;  // stays busy
  g_helper.busy.store(false);
  return true;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case kSignalBus: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

// The meaning of an exception code as the signal another platform would deliver for it.
int SignalFor(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_GUARD_PAGE:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return SIGSEGV;
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT: return kSignalBus;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION: return SIGILL;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW: return SIGFPE;
    default: return SIGABRT;  // breakpoints, heap corruption, raised codes: the process aborts
  }
}

void Dispatch(const CrashInfo& info, EXCEPTION_POINTERS* exception) {
  const uint32_t self = CurrentThreadId();
  uint32_t expected = 0;
  if (!g_crashing_thread.compare_exchange_strong(expected, self)) {
    // A fault inside the handler itself ends the process. The helper crashing in a job hands the
    // job back unfinished; any other thread's crash waits for the first one, which ends the
    // process.
    if (expected == self) TerminateProcessNow(998);
    if (self == g_helper.id) SetEvent(g_helper.done);
    for (;;) Sleep(INFINITE);
  }
  g_exception = exception;
  if (CrashHandler h = g_handler.load()) h(info);
  TerminateProcessNow(998);
}

// A record for a crash that is no fault: the context is the current thread's here, so the dump's
// stack still holds the frames that led to it.
EXCEPTION_POINTERS* MakeException(DWORD code) {
  RtlCaptureContext(&g_made_context);
  std::memset(&g_made_record, 0, sizeof(g_made_record));
  g_made_record.ExceptionCode = code;
  g_made_record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  g_made_record.ExceptionAddress = reinterpret_cast<void*>(g_made_context.Rip);
  g_made_pointers.ExceptionRecord = &g_made_record;
  g_made_pointers.ContextRecord = &g_made_context;
  return &g_made_pointers;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* r = pointers->ExceptionRecord;
  // A C++ throw reaches this filter only when nothing catches it; continued, it returns to the
  // runtime, which calls std::terminate with the exception still current.
  if ((r->ExceptionCode & kCppThrowMask) == kCppThrow &&
      (r->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0)
    return EXCEPTION_CONTINUE_EXECUTION;
  CrashInfo info;
  info.signal = SignalFor(r->ExceptionCode);
  const bool memory = r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
                      r->ExceptionCode == EXCEPTION_IN_PAGE_ERROR ||
                      r->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
  info.fault_address = memory && r->NumberParameters >= 2
                           ? static_cast<uintptr_t>(r->ExceptionInformation[1])
                           : reinterpret_cast<uintptr_t>(r->ExceptionAddress);
  Dispatch(info, pointers);
  return EXCEPTION_EXECUTE_HANDLER;
}

// A stack overflow is taken first-chance, before the search through the frames' handlers: that
// search may need more stack than the overflowed thread has left (under Wine it never reaches the
// filter), and nothing in this system recovers from an overflow anyway.
LONG WINAPI OnStackOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
    return EXCEPTION_CONTINUE_SEARCH;
  return OnUnhandledException(pointers);
}

void OnTerminate() {
  CrashInfo info;
  static char what[512];
  what[0] = '\0';
  DWORD code = kFatalAppExit;
  if (auto e = std::current_exception()) {
    code = kCppThrow;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      std::strncpy(what, ex.what(), sizeof(what) - 1);
    } catch (...) {
      std::strncpy(what, "unknown exception", sizeof(what) - 1);
    }
  } else {
    std::strncpy(what, "std::terminate called", sizeof(what) - 1);
  }
  info.exception = what;
  Dispatch(info, MakeException(code));
}

void OnAbort(int) {
  CrashInfo info;
  info.signal = SIGABRT;
  Dispatch(info, MakeException(kFatalAppExit));
}

void CopyInto(char* out, size_t cap, const std::string& s) {
  const size_t n = std::min(s.size(), cap - 1);
  std::memcpy(out, s.data(), n);
  out[n] = '\0';
}

// UTF-8 into a fixed UTF-16 buffer; false when it does not fit (or is not UTF-8).
bool WidenInto(const char* in, wchar_t* out, int cap) {
  return MultiByteToWideChar(CP_UTF8, 0, in, -1, out, cap) > 0;
}

struct EventJob {
  const char* source;
  uint16_t type;
  uint32_t code;
  const char* text;
  bool ok;
};

void WriteEventJob(void* p) {
  auto& job = *static_cast<EventJob*>(p);
  static wchar_t source[600];
  static wchar_t text[8192];
  job.ok = WidenInto(job.source, source, static_cast<int>(std::size(source))) &&
           WidenInto(job.text, text, static_cast<int>(std::size(text))) &&
           win32::ReportToEventLog(reinterpret_cast<const char16_t*>(source), job.type, job.code,
                                   reinterpret_cast<const char16_t*>(text));
}

struct DumpJob {
  const char* path;
  const CrashInfo* info;
  const char* thread_name;
  uint32_t thread_id;
  size_t size;
};

void WriteDumpJob(void* p) {
  auto& job = *static_cast<DumpJob*>(p);
  job.size = 0;
  static wchar_t path[4608];
  if (!WidenInto(job.path, path, static_cast<int>(std::size(path)))) return;
  const HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;

  // What the text dump of the other platforms says, as the dump's comment.
  static char comment[2048];
  FixedText b(comment, sizeof(comment));
  b.Str("Program: ").Str(g_program_name);
  b.Str("\nProcess: ").Unsigned(GetCurrentProcessId());
  b.Str("\nThread: ").Str(job.thread_name).Str(" (id ").Unsigned(job.thread_id).Str(")\n");
  if (job.info->signal != 0) {
    b.Str("Signal: ").Unsigned(static_cast<uint64_t>(job.info->signal));
    b.Str(" (").Str(SignalName(job.info->signal)).Str(")\nFault address: ");
    b.Hex64(job.info->fault_address).Str("\n");
  } else {
    b.Str("Uncaught exception: ").Str(job.info->exception ? job.info->exception : "unknown");
    b.Str("\n");
  }
  MINIDUMP_USER_STREAM stream{};
  stream.Type = CommentStreamA;
  stream.BufferSize = static_cast<ULONG>(b.size() + 1);
  stream.Buffer = comment;
  MINIDUMP_USER_STREAM_INFORMATION streams{};
  streams.UserStreamCount = 1;
  streams.UserStreamArray = &stream;

  // The exception belongs to the crashing thread only; a dump of another thread has none.
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  const bool with_exception = g_exception != nullptr && job.thread_id == g_crashing_thread.load();
  exception.ThreadId = job.thread_id;
  exception.ExceptionPointers = g_exception;
  exception.ClientPointers = TRUE;
  const bool written =
      MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithDataSegs,
                        with_exception ? &exception : nullptr, &streams, nullptr) != FALSE;
  FlushFileBuffers(file);
  LARGE_INTEGER size{};
  if (written && GetFileSizeEx(file, &size)) job.size = static_cast<size_t>(size.QuadPart);
  CloseHandle(file);
}

}  // namespace

// The program name is taken here too, so that a dump path can be built before (or without) the
// capture being installed.
void RefreshCrashCapturePaths() {
  CopyInto(g_temp_folder, sizeof(g_temp_folder), ToUtf8(TempFolder()));
  wchar_t exe[MAX_PATH * 2];
  const DWORD len = GetModuleFileNameW(nullptr, exe, static_cast<DWORD>(std::size(exe)));
  std::u16string name = len > 0 && len < std::size(exe)
                            ? std::u16string(reinterpret_cast<const char16_t*>(exe), len)
                            : std::u16string(u"VorlaWS.exe");
  name = name.substr(name.find_last_of(u"\\/") + 1);
  if (name.size() > 259) name.resize(259);
  CopyInto(g_program_name, sizeof(g_program_name), ToUtf8(name));
}

void InstallCrashCapture(CrashHandler handler) {
  RefreshCrashCapturePaths();
  StartHelper();
  g_handler.store(handler);
  PrepareThreadForCrashCapture();
  // abort() of the C runtime writes its message (a message box in a program without a console,
  // which nobody may ever close) before it raises the signal: to standard error instead.
  _set_error_mode(_OUT_TO_STDERR);
  SetUnhandledExceptionFilter(&OnUnhandledException);
  AddVectoredExceptionHandler(1, &OnStackOverflow);
  std::signal(SIGABRT, &OnAbort);
  std::set_terminate(&OnTerminate);
}

void PrepareThreadForCrashCapture() {
  if (t_prepared) return;
  ULONG guarantee = kStackGuarantee;
  SetThreadStackGuarantee(&guarantee);
  // The first use of a thread's own variables allocates their block: here, not in a crash.
  t_thread_name[sizeof(t_thread_name) - 1] = '\0';
  t_prepared = true;
}

void SetCrashThreadName(const char16_t* name, size_t length) {
  ToUtf8Buffer(std::u16string_view(name, length), t_thread_name, sizeof(t_thread_name));
}

const char* CrashThreadName() { return t_thread_name[0] ? t_thread_name : "Main"; }

bool BuildCrashDumpPath(char* out, size_t cap, int64_t seconds) {
  FixedText b(out, cap);
  b.Str(g_temp_folder);
  b.Str("/");
  b.Str(g_program_name);
  b.Signed(seconds);
  b.Str(".dmp");
  return b.fits();
}

size_t WriteCrashDump(const char* path, const CrashInfo& info, const char* thread_name,
                      uint32_t thread_id) {
  static DumpJob job;
  job = {path, &info, thread_name, thread_id, 0};
  return RunOnHelper(&WriteDumpJob, &job, kDumpTimeoutMs) ? job.size : 0;
}

bool WriteEventRecordNoAlloc(const char* source, uint16_t type, uint32_t code, const char* text) {
  static EventJob job;
  job = {source, type, code, text, false};
  return RunOnHelper(&WriteEventJob, &job, kEventTimeoutMs) && job.ok;
}

int64_t CrashWallSeconds() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100-ns intervals since 1601-01-01 to seconds since 1970-01-01.
  return static_cast<int64_t>(t / 10000000) - 11644473600LL;
}

// The system carries the whole 32-bit exit code.
void TerminateProcessNow(uint32_t exit_code) {
  TerminateProcess(GetCurrentProcess(), exit_code);
  for (;;) Sleep(INFINITE);
}

}  // namespace vorla::platform
