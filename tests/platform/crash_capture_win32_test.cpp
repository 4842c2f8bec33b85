// Crash capture on Windows: a child process (a death test) crashes in one of several ways and
// must leave a minidump that the debug-help library reads back with the right exception, the
// crashing thread and the handler's view of the crash.
#include <gtest/gtest.h>

#include <windows.h>
// dbghelp.h needs windows.h before it.
#include <dbghelp.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/fixed_text.h"
#include "platform/crash_capture.h"
#include "platform/folders.h"
#include "platform/threads.h"
#include "support/temp_dir.h"

namespace vorla::platform {
namespace {

namespace fs = std::filesystem;

// A death test's child runs the test body again up to its own statement. The folders are named
// by the parent (in an environment variable the child inherits), so that the child's crash lands
// in the folder the parent looks into and the child removes nothing.
class CrashFolders {
 public:
  CrashFolders() {
    wchar_t root[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableW(kRootVariable, root, MAX_PATH * 2);
    child_ = n > 0 && n < MAX_PATH * 2;
    if (child_) {
      root_ = root;
    } else {
      root_ = fs::temp_directory_path() / ("vorla-crash-" + std::to_string(GetCurrentProcessId()));
      SetEnvironmentVariableW(kRootVariable, root_.wstring().c_str());
    }
  }
  ~CrashFolders() {
    if (child_) return;
    SetEnvironmentVariableW(kRootVariable, nullptr);
    SetEnvironmentVariableW(L"VORLA_TEMP_DIR", nullptr);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // Creates folder `i` and names it in VORLA_TEMP_DIR.
  fs::path Use(size_t i) const {
    const fs::path dir = root_ / std::to_string(i);
    fs::create_directories(dir);
    SetEnvironmentVariableW(L"VORLA_TEMP_DIR", dir.wstring().c_str());
    return dir;
  }

 private:
  static constexpr const wchar_t* kRootVariable = L"VORLA_CRASH_TEST_ROOT";
  bool child_ = false;
  fs::path root_;
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ProgramFileName() {
  char exe[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
  return fs::path(std::string(exe, n)).filename().string();
}

std::vector<fs::path> Dumps(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".dmp") out.push_back(e.path());
  return out;
}

// handler.txt in the child's temp folder, opened before the crash: a thread whose stack has
// overflowed has too little left to open a file.
HANDLE g_report = INVALID_HANDLE_VALUE;

// The child's handler does what the system's crash handler does with the capability (dump path,
// dump, end with 998) and leaves what it was told in handler.txt beside the dump.
void OnCrash(const CrashInfo& info) {
  static char path[4608];
  if (!BuildCrashDumpPath(path, sizeof(path), CrashWallSeconds())) path[0] = '\0';
  const size_t size =
      path[0] ? WriteCrashDump(path, info, CrashThreadName(), CurrentThreadId()) : 0;
  static char report[2048];
  FixedText t(report, sizeof(report));
  t.Str("signal=").Signed(info.signal);
  t.Str("\nfault=").Hex64(info.fault_address);
  t.Str("\nexception=").Str(info.exception ? info.exception : "");
  t.Str("\nthread=").Str(CrashThreadName());
  t.Str("\ntid=").Unsigned(CurrentThreadId());
  t.Str("\nsize=").Unsigned(size);
  t.Str("\n");
  DWORD written = 0;
  WriteFile(g_report, report, static_cast<DWORD>(t.size()), &written, nullptr);
  TerminateProcessNow(998);
}

enum class Fault { kAccessViolation, kThrow, kAbort, kDivideByZero, kStackOverflow };

// A page without access, so that the write faults whatever the compiler knows.
volatile int* NoAccessPage() {
  return static_cast<volatile int*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
}

volatile int* g_page = nullptr;
volatile int g_zero = 0;
volatile bool g_deep_enough = false;  // never set: the recursion ends only in the overflow

int Recurse(int depth) {
  volatile char pad[512];
  pad[depth % 512] = static_cast<char>(depth);
  if (g_deep_enough) return pad[0];
  return Recurse(depth + 1) + pad[0];
}

[[noreturn]] void CrashOnAWorkerThread(Fault fault) {
  InstallCrashCapture(&OnCrash);
  const fs::path report = fs::path(TempFolder()) / "handler.txt";
  g_report = CreateFileW(report.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  g_page = NoAccessPage();
  std::thread worker([fault] {
    PrepareThreadForCrashCapture();
    static constexpr char16_t kName[] = u"CaptureThread";
    SetCrashThreadName(kName, std::size(kName) - 1);
    switch (fault) {
      case Fault::kAccessViolation: *g_page = 1; break;
      case Fault::kThrow: throw std::runtime_error("escaped Run");
      case Fault::kAbort: std::abort();
      case Fault::kDivideByZero: g_zero = 10 / g_zero; break;
      case Fault::kStackOverflow: Recurse(0); break;
    }
  });
  worker.join();
  std::exit(0);  // not reached when the crash was captured
}

struct DumpStreams {
  std::string bytes;
  template <class T>
  const T* Stream(ULONG type, ULONG* size = nullptr) {
    MINIDUMP_DIRECTORY* dir = nullptr;
    void* stream = nullptr;
    ULONG stream_size = 0;
    if (!MiniDumpReadDumpStream(bytes.data(), type, &dir, &stream, &stream_size)) return nullptr;
    if (size) *size = stream_size;
    return static_cast<const T*>(stream);
  }
};

std::map<std::string, std::string> ReadReport(const fs::path& path) {
  std::map<std::string, std::string> out;
  std::istringstream in(ReadBytes(path));
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

TEST(CrashCaptureWin32, ACrashOnAWorkerThreadLeavesAMinidumpOfThatThread) {
  struct Row {
    const char* name;
    Fault fault;
    DWORD code;
    int signal;
    const char* exception;
  } rows[] = {
      {"access violation", Fault::kAccessViolation, EXCEPTION_ACCESS_VIOLATION, SIGSEGV, ""},
      {"escaping exception", Fault::kThrow, 0x20474343, 0, "escaped Run"},
      {"abort", Fault::kAbort, 0x40000015, SIGABRT, ""},
      {"divide by zero", Fault::kDivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, SIGFPE, ""},
      {"stack overflow", Fault::kStackOverflow, EXCEPTION_STACK_OVERFLOW, SIGSEGV, ""},
  };
  // All children first: a child runs this loop again from the top, and whatever followed an
  // earlier row's statement would run in the child before its own crash.
  CrashFolders folders;
  // Wine accepts SetThreadStackGuarantee but keeps no stack in reserve: after an overflow the
  // dump cannot be written there (it comes out empty), so that row needs a real system.
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  auto skipped = [&](const Row& row) { return wine && row.fault == Fault::kStackOverflow; };
  for (size_t i = 0; i < std::size(rows); ++i) {
    if (skipped(rows[i])) continue;
    folders.Use(i);
    EXPECT_EXIT(CrashOnAWorkerThread(rows[i].fault), ::testing::ExitedWithCode(998), "")
        << rows[i].name;
  }
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    if (skipped(row)) continue;
    SCOPED_TRACE(row.name);
    const auto dumps = Dumps(folders.Use(i));
    ASSERT_EQ(dumps.size(), 1u);
    const std::string file = dumps[0].filename().string();
    EXPECT_EQ(file.rfind(ProgramFileName(), 0), 0u) << file;  // <program name><seconds>.dmp
    auto report = ReadReport(dumps[0].parent_path() / "handler.txt");
    EXPECT_EQ(report["signal"], std::to_string(row.signal));
    EXPECT_EQ(report["exception"], row.exception);
    EXPECT_EQ(report["thread"], "CaptureThread");
    EXPECT_EQ(report["size"], std::to_string(fs::file_size(dumps[0])));

    DumpStreams dump{ReadBytes(dumps[0])};
    const auto* exception = dump.Stream<MINIDUMP_EXCEPTION_STREAM>(ExceptionStream);
    ASSERT_NE(exception, nullptr);
    EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, row.code);
    EXPECT_EQ(std::to_string(exception->ThreadId), report["tid"]);
    EXPECT_GT(exception->ThreadContext.DataSize, 0u);
    if (row.fault == Fault::kAccessViolation) {
      // The faulting address is the page written to, in the dump and in what the handler got.
      ASSERT_GE(exception->ExceptionRecord.NumberParameters, 2u);
      char fault[19];
      FixedText(fault, sizeof(fault)).Hex64(exception->ExceptionRecord.ExceptionInformation[1]);
      EXPECT_EQ(report["fault"], fault);
    }

    // The crashing thread is among the dump's threads, with its stack.
    const auto* threads = dump.Stream<MINIDUMP_THREAD_LIST>(ThreadListStream);
    ASSERT_NE(threads, nullptr);
    bool found = false;
    for (ULONG i = 0; i < threads->NumberOfThreads; ++i) {
      if (threads->Threads[i].ThreadId != exception->ThreadId) continue;
      found = true;
      EXPECT_GT(threads->Threads[i].Stack.Memory.DataSize, 0u);
    }
    EXPECT_TRUE(found);
    EXPECT_GE(threads->NumberOfThreads, 2u);  // the main thread is in it too

    ULONG comment_size = 0;
    const char* comment = dump.Stream<char>(CommentStreamA, &comment_size);
    ASSERT_NE(comment, nullptr);
    const std::string text(comment, strnlen(comment, comment_size));
    EXPECT_NE(text.find("Thread: CaptureThread (id " + report["tid"] + ")"), std::string::npos)
        << text;
  }
}

// Outside a crash: a dump of the calling thread without an exception, and a path that cannot be
// written gives 0 bytes.
TEST(CrashCaptureWin32, WriteCrashDumpWithoutAnException) {
  test::ScopedTempDir temp;
  test::ScopedEnv env("VORLA_TEMP_DIR", temp.path());
  RefreshCrashCapturePaths();
  char path[4608];
  ASSERT_TRUE(BuildCrashDumpPath(path, sizeof(path), 1700000000));
  EXPECT_EQ(std::string(path), temp.path() + "/" + ProgramFileName() + "1700000000.dmp");

  CrashInfo info;
  info.exception = "none";
  const size_t size = WriteCrashDump(path, info, "Main", CurrentThreadId());
  ASSERT_GT(size, 0u);
  EXPECT_EQ(size, fs::file_size(path));
  DumpStreams dump{ReadBytes(path)};
  EXPECT_EQ(dump.Stream<MINIDUMP_EXCEPTION_STREAM>(ExceptionStream), nullptr);
  const auto* threads = dump.Stream<MINIDUMP_THREAD_LIST>(ThreadListStream);
  ASSERT_NE(threads, nullptr);
  bool found = false;
  for (ULONG i = 0; i < threads->NumberOfThreads; ++i)
    found = found || threads->Threads[i].ThreadId == CurrentThreadId();
  EXPECT_TRUE(found);

  const std::string missing = temp.Sub("no/such/x.dmp");
  EXPECT_EQ(WriteCrashDump(missing.c_str(), info, "Main", CurrentThreadId()), 0u);
  char small[8];
  EXPECT_FALSE(BuildCrashDumpPath(small, sizeof(small), 1700000000));
}

}  // namespace
}  // namespace vorla::platform
