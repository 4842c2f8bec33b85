#include "service/nt_service.h"

#include "common/host_identity.h"
#include "common/logging.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/crash_capture.h"
#include "platform/debug_output.h"
#include "platform/last_error.h"

namespace vorla {

CNTService* CNTService::instance_ = nullptr;

template <class... Args>
void CNTService::Trace(std::u16string_view format, const Args&... args) const {
  DebugTrace(service_name_, format, args...);
}

CNTService::CNTService(std::u16string service_name, std::u16string display_name,
                       int32_t major_version, int32_t minor_version)
    : service_name_(std::move(service_name)),
      display_name_(std::move(display_name)),
      major_version_(major_version),
      minor_version_(minor_version) {
  status_.service_type = 0x10;
  status_.current_state = platform::kServiceStopped;
  status_.controls_accepted = 5;
  status_.wait_hint = 30000;
  instance_ = this;
}

CNTService::~CNTService() {
  Trace(u"CNTService::~CNTService()");
  if (instance_ == this) instance_ = nullptr;
}

void CNTService::SetStatus(uint32_t state) {
  Trace(u"CNTService::SetStatus(%lu, %lu)", status_handle_.load(), state);
  std::lock_guard<std::mutex> lock(status_mutex_);
  status_.current_state = state;
  if (status_handle_ != 0) platform::ReportServiceStatus(status_handle_, status_);
}

void CNTService::SetExitCodeAndCheckpoint(uint32_t win32_exit_code) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  status_.win32_exit_code = win32_exit_code;
  status_.check_point = 0;
}

void CNTService::ServiceMain(uint32_t argc, char16_t** /*argv*/) {
  CNTService* self = instance_;
  if (self == nullptr) return;
  // The body runs as "ServiceMain" for the crash handler; an exception escaping it ends the
  // process there (ServiceBody is reached only through this noexcept frame).
  static constexpr char16_t kName[] = u"ServiceMain";
  platform::SetCrashThreadName(kName, sizeof(kName) / sizeof(kName[0]) - 1);
  [self, argc]() noexcept { self->ServiceBody(argc); }();
  platform::SetCrashThreadName(u"", 0);
}

void CNTService::ServiceBody(uint32_t argc) {
  WindowsEventLogger::Instance().SetSourceName(service_name_);
  Trace(u"Entering CNTService::ServiceMain()");
  if (argc != kDirectRun) {
    {
      std::lock_guard<std::mutex> lock(status_mutex_);
      status_.current_state = platform::kServiceStartPending;
    }
    status_handle_ = platform::RegisterServiceControlHandler(service_name_, &CNTService::Handler);
    if (status_handle_ == 0) {
      WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_ERROR_TYPE, kStatusServiceInitFailed,
                                                   u"No service control handler could be found");
      return;
    }
  }
  // The stop flag is cleared before start-up, not after it: the running state is reported during
  // Initialize, so a stop request can arrive before Run begins, and it must not be lost.
  stop_requested_ = 0;
  if (Initialize()) {
    is_running_ = 1;
    SetExitCodeAndCheckpoint(0);
    Run();
    OnStop();
    is_running_ = 0;
  }
  SetStatus(platform::kServiceStopped);
  Trace(u"Leaving CNTService::ServiceMain()");
}

bool CNTService::Initialize() {
  Trace(u"Entering CNTService::Initialize()");
  SetStatus(platform::kServiceStartPending);
  const bool ok = OnInit();
  SetExitCodeAndCheckpoint(platform::GetLastError());
  if (!ok) {
    WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_ERROR_TYPE, kStatusServiceInitFailed,
                                                 service_name_);
    SetStatus(platform::kServiceStopped);
    return false;
  }
  WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_INFORMATION_TYPE, kStatusServiceStarted,
                                               service_name_);
  SetStatus(platform::kServiceRunning);
  Trace(u"Leaving CNTService::Initialize()");
  return true;
}

void CNTService::Handler(uint32_t control) {
  CNTService* self = instance_;
  if (self == nullptr) return;
  self->Trace(u"CNTService::Handler(%lu)", control);
  switch (control) {
    case platform::kControlStop:
    case platform::kControlShutdown: self->RequestStop(); break;
    case platform::kControlPause: self->OnPause(); break;
    case platform::kControlContinue: self->OnContinue(); break;
    case platform::kControlInterrogate: self->OnInterrogate(); break;
    default: break;
  }
  std::lock_guard<std::mutex> lock(self->status_mutex_);
  self->Trace(u"Updating status (%lu, %lu)", self->status_handle_.load(),
              self->status_.current_state);
  platform::ReportServiceStatus(self->status_handle_, self->status_);
}

int32_t CNTService::RequestStop() {
  SetStatus(platform::kServiceStopPending);
  stop_requested_ = 1;
  auto& clock = platform::GetClock();
  for (int i = 0; i < 20 && is_running_ != 0; ++i) clock.SleepMs(1000);
  if (is_running_ != 0) {
    WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_ERROR_TYPE, kStatusInternalError,
                                                 service_name_ + u" FAILED to [STOP]");
  } else {
    WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_INFORMATION_TYPE, kStatusServiceStopped,
                                                 service_name_ + u" due to [STOP]");
  }
  return is_running_;
}

void CNTService::Run() {
  Trace(u"Entering CNTService::Run()");
  auto& clock = platform::GetClock();
  while (stop_requested_ == 0) {
    Trace(u"Sleeping...");
    clock.SleepMs(5000);
  }
  Trace(u"Leaving CNTService::Run()");
}

bool CNTService::OnInit() {
  Trace(u"CNTService::OnInit()");
  return true;
}
void CNTService::OnStop() { Trace(u"CNTService::OnStop()"); }
void CNTService::OnInterrogate() { Trace(u"CNTService::OnInterrogate()"); }
void CNTService::OnPause() { Trace(u"CNTService::OnPause()"); }
void CNTService::OnContinue() { Trace(u"CNTService::OnContinue()"); }
void CNTService::OnShutdown() { Trace(u"CNTService::OnShutdown()"); }
bool CNTService::OnUserControl(uint32_t control) {
  Trace(u"CNTService::OnUserControl(%8.8lXH)", control);
  return false;
}

bool CNTService::ProcessInstallArgs(int argc, char16_t** argv) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return false;
  const std::u16string word = AsciiUpper(argv[1]);
  auto print = [](const std::u16string& text) { platform::ConsoleOutput(text); };
  if (word == u"-V") {
    print(FormatString(u"%s Version %d.%d\n", service_name_, major_version_, minor_version_));
    print(FormatString(u"The service is %s installed\n",
                       platform::ServiceIsInstalled(service_name_) ? u"currently" : u"not"));
    return true;
  }
  if (word == u"-I") {
    if (platform::ServiceIsInstalled(service_name_)) {
      print(FormatString(u"%s is already installed\n", service_name_));
      return true;
    }
    const std::u16string path = GetModuleFilePath();
    const uint32_t error = path.empty()
                               ? platform::kErrorAccessDenied
                               : platform::InstallService({service_name_, display_name_, path});
    if (error == 0) {
      WindowsEventLogger::Instance().SetSourceName(service_name_);
      WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_INFORMATION_TYPE,
                                                   kStatusServiceInstalled, service_name_);
      print(FormatString(u"%s installed\n", service_name_));
    } else {
      platform::SetLastError(error);
      print(FormatString(u"%s failed to install. Error %d\n", service_name_, error));
    }
    return true;
  }
  if (word == u"-U") {
    if (!platform::ServiceIsInstalled(service_name_)) {
      print(FormatString(u"%s is not installed\n", service_name_));
      return true;
    }
    // Stop it, then wait (20 ms polls, at most 5 s on the monotonic tick) until it has stopped.
    auto& clock = platform::GetClock();
    platform::SendServiceStop(service_name_);
    uint32_t state = platform::kServiceStopped;
    uint32_t error = platform::QueryServiceState(service_name_, state);
    const uint64_t sent = clock.TickMs();
    while (error == 0 && state != platform::kServiceStopped) {
      if (clock.TickMs() - sent >= 5000) break;
      clock.SleepMs(20);
      error = platform::QueryServiceState(service_name_, state);
    }
    if (error == 0 && state != platform::kServiceStopped)
      error = platform::kErrorServiceRequestTimeout;
    if (error == 0) error = platform::DeleteService(service_name_);
    if (error == 0) {
      WindowsEventLogger::Instance().WriteAppEvent(EVENTLOG_INFORMATION_TYPE,
                                                   kStatusServiceUninstalled, service_name_);
      print(FormatString(u"%s removed. (You must delete the file (%s) yourself.)\n", service_name_,
                         GetModuleFilePath()));
    } else {
      platform::SetLastError(error);
      print(FormatString(u"Could not remove %s. Error %d\n", service_name_, error));
    }
    return true;
  }
  return false;
}

}  // namespace vorla
