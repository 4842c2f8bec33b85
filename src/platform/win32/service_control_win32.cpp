// The Windows side of the service layer: the service control manager's dispatcher, control
// handler and status reports, the registration calls, the console's control events for a direct
// run, and Windows Sockets.

// winsock2.h first: it must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/crash_capture.h"
#include "platform/service_control.h"

namespace vorla::platform {
namespace {

const wchar_t* Wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::atomic<ServiceMainFunction> g_service_main{nullptr};
std::atomic<ServiceHandlerFunction> g_handler{nullptr};

// The manager starts the service's main function on a thread of its own, which is one of ours for
// the crash handler like every other.
void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv) {
  PrepareThreadForCrashCapture();
  if (ServiceMainFunction main = g_service_main.load())
    main(static_cast<uint32_t>(argc), reinterpret_cast<char16_t**>(argv));
}

// Runs on the dispatcher's thread (the one inside StartServiceCtrlDispatcherW).
void WINAPI ControlEntry(DWORD control) {
  if (ServiceHandlerFunction handler = g_handler.load()) handler(static_cast<uint32_t>(control));
}

// Closes a service-manager handle at the end of its scope.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() {
    if (h_) CloseServiceHandle(h_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

// Opens the service `name` with `access`; on failure the last error says why (1060 when there is
// no such service).
SC_HANDLE OpenNamedService(std::u16string_view name, DWORD access) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return nullptr;
  const std::u16string n(name);
  return OpenServiceW(manager.get(), Wide(n), access);
}

// The console's control events of a direct run. The system calls the handler on a thread of its
// own; the controls are queued for the thread inside RunWithControlSignals, which delivers them.
// The state lives as long as the process: a handler call may still be on its way in when a run
// ends.
struct ControlRun {
  std::atomic<bool> active{false};
  std::mutex mutex;
  std::deque<uint32_t> pending;
  HANDLE wake = nullptr;  // auto-reset: a control was queued
  HANDLE done = nullptr;  // manual-reset: the body has ended
};
ControlRun g_control_run;

BOOL WINAPI ConsoleControlEntry(DWORD event) {
  ControlRun& run = g_control_run;
  if (!run.active.load()) return FALSE;
  const bool ends_process =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  const uint32_t control =
      (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT)
          ? kControlStop
          : kControlShutdown;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.pending.push_back(control);
  }
  SetEvent(run.wake);
  // For close, logoff and shutdown the system ends the process as soon as this returns (or when
  // its own time is up): hold it until the body has stopped in order.
  if (ends_process) WaitForSingleObject(run.done, INFINITE);
  return TRUE;
}

}  // namespace

bool RunWithControlSignals(const std::function<void()>& body,
                           const std::function<void(uint32_t)>& deliver) {
  ControlRun& run = g_control_run;
  bool expected = false;
  if (!run.active.compare_exchange_strong(expected, true)) return false;  // one run at a time
  if (run.wake == nullptr) run.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (run.done == nullptr) run.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (run.wake == nullptr || run.done == nullptr ||
      !SetConsoleCtrlHandler(&ConsoleControlEntry, TRUE)) {
    run.active.store(false);
    return false;
  }
  ResetEvent(run.done);
  std::thread worker([&] {
    PrepareThreadForCrashCapture();
    body();
    SetEvent(run.done);
  });
  const HANDLE waits[2] = {run.done, run.wake};
  for (;;) {
    const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    std::deque<uint32_t> controls;
    {
      std::lock_guard<std::mutex> lock(run.mutex);
      controls.swap(run.pending);
    }
    for (uint32_t control : controls) deliver(control);
    if (which != WAIT_OBJECT_0 + 1) break;  // the body ended (or the wait failed)
  }
  worker.join();
  SetConsoleCtrlHandler(&ConsoleControlEntry, FALSE);
  run.active.store(false);
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.pending.clear();
  }
  return true;
}

bool RunServiceDispatcher(std::u16string_view service_name, ServiceMainFunction service_main) {
  std::u16string name(service_name);
  g_service_main.store(service_main);
  SERVICE_TABLE_ENTRYW table[2] = {};
  table[0].lpServiceName = reinterpret_cast<LPWSTR>(name.data());
  table[0].lpServiceProc = &ServiceMainEntry;
  // Without the service manager this fails at once with 1063, which the caller reports.
  const bool ran = StartServiceCtrlDispatcherW(table) != FALSE;
  const DWORD error = ::GetLastError();
  g_service_main.store(nullptr);
  g_handler.store(nullptr);
  ::SetLastError(error);
  return ran;
}

ServiceStatusHandle RegisterServiceControlHandler(std::u16string_view service_name,
                                                  ServiceHandlerFunction handler) {
  const std::u16string name(service_name);
  g_handler.store(handler);
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerW(Wide(name), &ControlEntry);
  if (h == nullptr) {
    const DWORD error = ::GetLastError();
    g_handler.store(nullptr);
    ::SetLastError(error);
    return 0;
  }
  return reinterpret_cast<ServiceStatusHandle>(h);
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == 0) return false;
  SERVICE_STATUS s{};
  s.dwServiceType = status.service_type;
  s.dwCurrentState = status.current_state;
  s.dwControlsAccepted = status.controls_accepted;
  s.dwWin32ExitCode = status.win32_exit_code;
  s.dwServiceSpecificExitCode = status.service_specific_exit_code;
  s.dwCheckPoint = status.check_point;
  s.dwWaitHint = status.wait_hint;
  return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != FALSE;
}

bool ServiceIsInstalled(std::u16string_view name) {
  ScHandle service(OpenNamedService(name, SERVICE_QUERY_STATUS));
  return static_cast<bool>(service);
}

uint32_t InstallService(const ServiceRegistration& r) {
  ScHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return ::GetLastError();
  // The image path is a command line: quoted, so that a folder with blanks stays one word, and
  // with the system's own separators.
  std::u16string command = u"\"" + r.binary_path + u"\"";
  for (char16_t& c : command)
    if (c == u'/') c = u'\\';
  ScHandle service(CreateServiceW(manager.get(), Wide(r.name), Wide(r.display_name),
                                  SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, Wide(command), nullptr,
                                  nullptr, nullptr, nullptr, nullptr));
  return service ? 0 : ::GetLastError();
}

uint32_t SendServiceStop(std::u16string_view name) {
  ScHandle service(OpenNamedService(name, SERVICE_STOP));
  if (!service) return ::GetLastError();
  SERVICE_STATUS s{};
  return ControlService(service.get(), SERVICE_CONTROL_STOP, &s) ? 0 : ::GetLastError();
}

uint32_t QueryServiceState(std::u16string_view name, uint32_t& state) {
  ScHandle service(OpenNamedService(name, SERVICE_QUERY_STATUS));
  if (!service) return ::GetLastError();
  SERVICE_STATUS s{};
  if (!QueryServiceStatus(service.get(), &s)) return ::GetLastError();
  state = s.dwCurrentState;
  return 0;
}

uint32_t DeleteService(std::u16string_view name) {
  ScHandle service(OpenNamedService(name, DELETE));
  if (!service) return ::GetLastError();
  return ::DeleteService(service.get()) ? 0 : ::GetLastError();
}

bool StartSocketLayer() {
  WSADATA data{};
  const int error = WSAStartup(MAKEWORD(2, 2), &data);
  if (error != 0) ::SetLastError(static_cast<DWORD>(error));
  return error == 0;
}

void StopSocketLayer() { WSACleanup(); }

}  // namespace vorla::platform
