// The service framework: the service's names and status, the two entry points the service
// manager calls (ServiceMain and Handler), state reports, the orderly stop, and the virtual
// operations a concrete service overrides.
//
// Exactly one object exists per process; the static entry points reach it through instance().
// Handler and RequestStop run on the dispatcher thread, ServiceMain and everything it calls on
// the service thread (in direct-run mode, the main thread). The two flags have one writer each:
// RequestStop writes stop_requested_, ServiceMain writes is_running_.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/service_control.h"

namespace vorla {

class CNTService {
 public:
  // Argument count with which the entry runs the service body directly, without the manager.
  static constexpr uint32_t kDirectRun = 0xFFFFFFFF;

  CNTService(std::u16string service_name, std::u16string display_name, int32_t major_version,
             int32_t minor_version);
  virtual ~CNTService();
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  // Install ("-i"), remove ("-u") or report ("-v") the service from argv[1], compared without
  // regard to case; prints the result. False when there is no such word (nothing printed).
  virtual bool ProcessInstallArgs(int argc, char16_t** argv);
  // The service's work; returns when stop_requested_ is set. The base version waits in 5 s naps.
  virtual void Run();
  virtual bool OnInit();
  virtual void OnStop();
  virtual void OnInterrogate();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual bool OnUserControl(uint32_t control);

  static void ServiceMain(uint32_t argc, char16_t** argv);
  static void Handler(uint32_t control);
  static CNTService* instance() { return instance_; }

  bool Initialize();
  void SetStatus(uint32_t state);
  // Asks the service to stop and waits up to 20 s; returns the is-running flag.
  int32_t RequestStop();

  const std::u16string& service_name() const { return service_name_; }
  platform::ServiceStatus status() const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    return status_;
  }
  int32_t is_running() const { return is_running_; }
  int32_t stop_requested() const { return stop_requested_; }

 protected:
  // Traces with the service's name and the thread identifier.
  template <class... Args>
  void Trace(std::u16string_view format, const Args&... args) const;

  std::u16string service_name_;
  std::u16string display_name_;
  int32_t major_version_;
  int32_t minor_version_;
  std::atomic<platform::ServiceStatusHandle> status_handle_{0};
  // The status record is shared by the service thread and the dispatcher thread: each access,
  // and each report of it, is one short critical section.
  mutable std::mutex status_mutex_;
  platform::ServiceStatus status_;
  std::atomic<int32_t> is_running_{0};
  std::atomic<int32_t> stop_requested_{0};

 private:
  void ServiceBody(uint32_t argc);
  void SetExitCodeAndCheckpoint(uint32_t win32_exit_code);

  static CNTService* instance_;
};

}  // namespace vorla
