#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/win32/handle.h"

namespace vorla::platform {
namespace {

using win32::Handle;

// The thread-attribute list that names the only handles a child inherits.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    list_ = list;
    // The list must stay alive, unchanged, until the process is created.
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~InheritList() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

std::wstring Wide(std::u16string_view s) {
  return std::wstring(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

bool EndsWithNoCase(std::u16string_view s, std::u16string_view suffix) {
  return s.size() >= suffix.size() &&
         AsciiUpper(s.substr(s.size() - suffix.size())) == AsciiUpper(suffix);
}

// Appends one argument so that CommandLineToArgvW and the C runtime's parser both give it back
// unchanged: quoted when it is empty or holds white space or quotes; inside the quotes,
// backslashes are doubled where a quote follows them and each quote is escaped.
void AppendArgument(std::wstring& line, std::u16string_view arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) {
    line += Wide(arg);
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (const char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == u'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += static_cast<wchar_t>(c);
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// The program name is split off by other rules (up to the closing quote, no escapes), so it is
// always quoted and may not hold a quote itself. False for what no command line can carry.
bool BuildCommandLine(const std::vector<std::u16string>& argv, std::wstring& line) {
  for (const auto& a : argv)
    if (a.find(u'\0') != std::u16string::npos) return false;
  if (argv[0].find(u'"') != std::u16string::npos) return false;
  line = L"\"" + Wide(argv[0]) + L"\"";
  for (size_t i = 1; i < argv.size(); ++i) {
    line += L' ';
    AppendArgument(line, argv[i]);
  }
  return true;
}

// A name with a folder part is run as it stands; a bare name is looked up in the folders of
// PATH only (not the current folder), with ".exe" added when it has no extension.
bool ResolveProgram(const std::u16string& name, std::wstring& program) {
  if (name.find_first_of(u"/\\:") != std::u16string::npos) {
    program = Wide(name);
  } else {
    const DWORD path_len = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (path_len == 0) return false;
    std::wstring path(path_len, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), path_len));
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = SearchPathW(path.c_str(), Wide(name).c_str(), L".exe",
                                  static_cast<DWORD>(found.size()), found.data(), nullptr);
      if (n == 0) return false;
      if (n < found.size()) {
        found.resize(n);
        break;
      }
      found.resize(n);
    }
    program = std::move(found);
  }
  // A batch file would run under the command interpreter, which splits its arguments by other
  // rules than the quoting above.
  const std::u16string as_text(program.begin(), program.end());
  return !EndsWithNoCase(as_text, u".bat") && !EndsWithNoCase(as_text, u".cmd");
}

// Starts the program with standard input, output and error on the null device (or output to a
// fresh file) and nothing else inherited. On success the caller owns pi's handles; on failure
// `error` (when given) receives the system's reason for a refused creation, else 0.
bool Start(const std::vector<std::u16string>& argv, DWORD flags, const std::u16string& stdout_path,
           PROCESS_INFORMATION& pi, DWORD* error = nullptr) {
  if (error) *error = 0;
  if (argv.empty() || argv[0].empty()) return false;
  std::wstring program, line;
  if (!ResolveProgram(argv[0], program) || !BuildCommandLine(argv, line)) return false;

  // Inheritable because the child needs them as its standard handles; the attribute list keeps
  // every other inheritable handle of this process out of the child.
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  Handle null_device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                                 nullptr));
  if (!null_device.valid()) return false;
  const std::wstring out_path = Wide(stdout_path);
  Handle out_file;
  if (!out_path.empty()) {
    out_file.Adopt(CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out_file.valid()) return false;
  }
  std::vector<HANDLE> handles{null_device.get()};
  if (out_file.valid()) handles.push_back(out_file.get());
  InheritList inherit(handles);

  bool started = false;
  if (inherit.get()) {
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof(si);
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = null_device.get();
    si.StartupInfo.hStdOutput = out_file.valid() ? out_file.get() : null_device.get();
    si.StartupInfo.hStdError = null_device.get();
    si.lpAttributeList = inherit.get();
    started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                             flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                             &si.StartupInfo, &pi) != FALSE;
    if (!started && error) *error = ::GetLastError();
  }
  // The output file was made for this child alone.
  if (!started && out_file.valid()) {
    out_file.Adopt(nullptr);
    DeleteFileW(out_path.c_str());
  }
  return started;
}

// A job that ends every process in it when its last handle closes, so the program's own
// children go with it and none outlives this process either.
HANDLE CreateKillJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Waits until the process ends or timeout_ms of the platform clock have passed. Polls in short
// sleeps of that clock, so that a test clock drives the time limit too.
bool WaitForExit(HANDLE process, uint32_t timeout_ms, int& code) {
  constexpr uint64_t kPollMs = 10;
  Clock& clock = GetClock();
  const uint64_t deadline = clock.TickMs() + timeout_ms;
  for (;;) {
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      DWORD exit_code = 0;
      code = GetExitCodeProcess(process, &exit_code) ? static_cast<int>(exit_code) : -1;
      return true;
    }
    const uint64_t now = clock.TickMs();
    if (now >= deadline) return false;
    const uint64_t left = deadline - now;
    clock.SleepMs(static_cast<uint32_t>(left < kPollMs ? left : kPollMs));
  }
}

}  // namespace

ProcessRunOutcome RunProcess(const std::vector<std::u16string>& argv, uint32_t timeout_ms,
                             const std::u16string& stdout_path) {
  ProcessRunOutcome outcome;
  Handle job(CreateKillJob());
  PROCESS_INFORMATION pi{};
  // Suspended until it is in the job, so that nothing it starts can escape the job.
  if (!Start(argv, CREATE_SUSPENDED | CREATE_NO_WINDOW, stdout_path, pi)) return outcome;
  Handle process(pi.hProcess);
  Handle thread(pi.hThread);
  // Where the job cannot be had, the time limit still ends the program itself.
  const bool in_job = job.valid() && AssignProcessToJobObject(job.get(), process.get());
  ResumeThread(thread.get());
  outcome.started = true;
  int code = -1;
  if (WaitForExit(process.get(), timeout_ms, code)) {
    outcome.exited = true;
    outcome.exit_code = code;
    return outcome;
  }
  constexpr UINT kKilledExitCode = 1;
  if (in_job)
    TerminateJobObject(job.get(), kKilledExitCode);
  else
    TerminateProcess(process.get(), kKilledExitCode);
  // Termination completes asynchronously; the bound only guards against a process the system
  // cannot end.
  WaitForSingleObject(process.get(), 5000);
  return outcome;
}

bool StartDetachedProcess(const std::vector<std::u16string>& argv) {
  constexpr DWORD kDetached = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  PROCESS_INFORMATION pi{};
  // Out of any job this process runs in, where the job allows it, so that the program is not
  // ended together with us.
  DWORD error = 0;
  bool started = Start(argv, kDetached | CREATE_BREAKAWAY_FROM_JOB, {}, pi, &error);
  if (!started && error == ERROR_ACCESS_DENIED) started = Start(argv, kDetached, {}, pi);
  if (!started) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

}  // namespace vorla::platform
