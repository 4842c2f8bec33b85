#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <string>

#include "common/fixed_text.h"
#include "common/text.h"
#include "platform/crash_capture.h"
#include "platform/folders.h"
#include "platform/posix/event_log_posix.h"
#include "platform/posix/fd_io.h"
#include "platform/threads.h"

namespace vorla::platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kAltStackSize = 64 * 1024;

std::atomic<CrashHandler> g_handler{nullptr};
std::atomic<uint32_t> g_crashing_thread{0};
char g_temp_folder[4096];
char g_program_name[260];

thread_local char t_thread_name[1040] = "";
thread_local bool t_alt_stack_ready = false;

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

void Dispatch(const CrashInfo& info) {
  const uint32_t self = CurrentThreadId();
  uint32_t expected = 0;
  if (!g_crashing_thread.compare_exchange_strong(expected, self)) {
    // A fault inside the handler itself ends the process; another thread's crash waits for
    // the first one, which ends the process.
    if (expected == self) TerminateProcessNow(998);
    for (;;) pause();
  }
  if (CrashHandler h = g_handler.load()) h(info);
  TerminateProcessNow(998);
}

void OnSignal(int sig, siginfo_t* si, void*) {
  CrashInfo info;
  info.signal = sig;
  if (si && (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE))
    info.fault_address = reinterpret_cast<uintptr_t>(si->si_addr);
  Dispatch(info);
}

void OnTerminate() {
  CrashInfo info;
  static char what[512];
  what[0] = '\0';
  if (auto e = std::current_exception()) {
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
  Dispatch(info);
}

void CopyInto(char* out, size_t cap, const std::string& s) {
  const size_t n = std::min(s.size(), cap - 1);
  std::memcpy(out, s.data(), n);
  out[n] = '\0';
}

}  // namespace

void RefreshCrashCapturePaths() {
  CopyInto(g_temp_folder, sizeof(g_temp_folder), ToUtf8(TempFolder()));
  posix::SnapshotEventLogFolder();
}

void InstallCrashCapture(CrashHandler handler) {
  RefreshCrashCapturePaths();
  char exe[4096];
  const ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  std::string name = len > 0 ? std::string(exe, static_cast<size_t>(len)) : std::string("VorlaWS");
  name = name.substr(name.find_last_of('/') + 1);
  CopyInto(g_program_name, sizeof(g_program_name), name);
  // backtrace() loads its unwinder on first use, which allocates: do that now, not in a crash.
  void* frames[4];
  backtrace(frames, 4);
  g_handler.store(handler);
  PrepareThreadForCrashCapture();
  struct sigaction sa {};
  sa.sa_sigaction = &OnSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kFatalSignals) sigaction(sig, &sa, nullptr);
  std::set_terminate(&OnTerminate);
}

void PrepareThreadForCrashCapture() {
  if (t_alt_stack_ready) return;
  // The stack is released by the kernel when the process ends; a thread that ends leaves its
  // 64 KiB mapping behind, which is cheaper than tracking it for the few threads the system has.
  void* mem =
      mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) return;
  stack_t ss{};
  ss.ss_sp = mem;
  ss.ss_size = kAltStackSize;
  if (sigaltstack(&ss, nullptr) == 0)
    t_alt_stack_ready = true;
  else
    munmap(mem, kAltStackSize);
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
  const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  static char head[2048];
  FixedText b(head, sizeof(head));
  b.Str("Crash dump\nProgram: ");
  b.Str(g_program_name);
  b.Str("\nProcess: ");
  b.Unsigned(static_cast<uint64_t>(getpid()));
  b.Str("\nThread: ");
  b.Str(thread_name);
  b.Str(" (id ");
  b.Unsigned(thread_id);
  b.Str(")\n");
  if (info.signal != 0) {
    b.Str("Signal: ");
    b.Unsigned(static_cast<uint64_t>(info.signal));
    b.Str(" (");
    b.Str(SignalName(info.signal));
    b.Str(")\nFault address: ");
    b.Hex64(info.fault_address);
    b.Str("\n");
  } else {
    b.Str("Uncaught exception: ");
    b.Str(info.exception ? info.exception : "unknown");
    b.Str("\n");
  }
  b.Str("\nBacktrace of the faulting thread:\n");
  posix::WriteAll(fd, head, b.size());
  void* frames[128];
  const int depth = backtrace(frames, 128);
  backtrace_symbols_fd(frames, depth, fd);
  static const char kMaps[] = "\nMemory map:\n";
  posix::WriteAll(fd, kMaps, sizeof(kMaps) - 1);
  const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps >= 0) {
    static char chunk[8192];
    ssize_t n;
    while ((n = read(maps, chunk, sizeof(chunk))) > 0 || (n < 0 && errno == EINTR))
      if (n > 0) posix::WriteAll(fd, chunk, static_cast<size_t>(n));
    close(maps);
  }
  fsync(fd);
  struct stat st {};
  const size_t size = fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
  close(fd);
  return size;
}

bool WriteEventRecordNoAlloc(const char* source, uint16_t type, uint32_t code, const char* text) {
  return posix::WriteEventRecordNoAlloc(source, type, code, text, CrashWallSeconds());
}

int64_t CrashWallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

void TerminateProcessNow(uint32_t exit_code) { _exit(static_cast<int>(exit_code & 0xFF)); }

}  // namespace vorla::platform
