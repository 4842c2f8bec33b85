// Running as a system service, and managing the service's registration.
//
// On Linux the service manager is systemd (a unit of Type=notify): the dispatcher runs the
// service's main function on a service thread, reports its states through the notify socket
// named by NOTIFY_SOCKET, and turns SIGTERM into the stop control (1) and SIGINT into the shutdown
// control (5). Without NOTIFY_SOCKET the dispatcher fails at once with error 1063, like a program
// started outside the service manager.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vorla::platform {

struct ServiceStatus {
  uint32_t service_type = 0;
  uint32_t current_state = 0;  // 1 stopped, 2 start pending, 3 stop pending, 4 running
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;

inline constexpr uint32_t kControlStop = 1;
inline constexpr uint32_t kControlPause = 2;
inline constexpr uint32_t kControlContinue = 3;
inline constexpr uint32_t kControlInterrogate = 4;
inline constexpr uint32_t kControlShutdown = 5;

using ServiceMainFunction = void (*)(uint32_t argc, char16_t** argv);
using ServiceHandlerFunction = void (*)(uint32_t control);
using ServiceStatusHandle = uintptr_t;  // 0: none

// Runs the service: blocks the calling thread, delivering controls to the registered handler on
// it, until the service thread has ended. False (and the last error) when the process was not
// started by the service manager.
bool RunServiceDispatcher(std::u16string_view service_name, ServiceMainFunction service_main);

// Runs `body` on a thread of its own and blocks until it has ended; meanwhile SIGTERM and SIGINT
// reach `deliver` on the calling thread as the stop (1) and shutdown (5) controls. For running
// the service body without the service manager. False (body not run) when the signals cannot be
// taken over.
bool RunWithControlSignals(const std::function<void()>& body,
                           const std::function<void(uint32_t)>& deliver);

// Called on the service thread: registers the control handler. 0 when no dispatcher runs.
ServiceStatusHandle RegisterServiceControlHandler(std::u16string_view service_name,
                                                  ServiceHandlerFunction handler);

// Reports the status to the service manager; false when it could not be delivered.
bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Registration with the service manager (install, remove, query). Each returns 0 on success or
// an error value (last_error.h). The unit folder is VORLA_SYSTEMD_DIR, else /etc/systemd/system;
// it must exist (it belongs to the service manager).
struct ServiceRegistration {
  std::u16string name;
  std::u16string display_name;
  std::u16string binary_path;
};
bool ServiceIsInstalled(std::u16string_view name);
uint32_t InstallService(const ServiceRegistration& registration);
uint32_t SendServiceStop(std::u16string_view name);
uint32_t QueryServiceState(std::u16string_view name, uint32_t& state);
uint32_t DeleteService(std::u16string_view name);

// The network socket layer (nothing to start on Linux).
bool StartSocketLayer();
void StopSocketLayer();

}  // namespace vorla::platform
