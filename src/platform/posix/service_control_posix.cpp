// The systemd side of the service layer: the notify protocol (a datagram to the socket that
// NOTIFY_SOCKET names; no libsystemd needed) and the unit file that registers the service.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "platform/crash_capture.h"
#include "platform/last_error.h"
#include "platform/service_control.h"

extern char** environ;

namespace vorla::platform {
namespace {

struct Dispatcher {
  std::mutex mutex;
  bool active = false;
  std::u16string name;
  std::atomic<ServiceHandlerFunction> handler{nullptr};
};
Dispatcher g_dispatcher;

bool SendNotify(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(path);
  if (len >= sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract socket
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&addr), addr_len);
  close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

std::string UnitFolder() {
  const char* dir = std::getenv("VORLA_SYSTEMD_DIR");
  return (dir && *dir) ? dir : "/etc/systemd/system";
}

std::string UnitPath(std::u16string_view name) {
  return UnitFolder() + "/" + ToUtf8(name) + ".service";
}
std::string WantsLink(std::u16string_view name) {
  return UnitFolder() + "/multi-user.target.wants/" + ToUtf8(name) + ".service";
}

// systemctl is used only for the real unit folder under a running systemd; a folder named by
// VORLA_SYSTEMD_DIR is just files (tests never touch the system's manager).
bool ManagedBySystemd() {
  const char* dir = std::getenv("VORLA_SYSTEMD_DIR");
  struct stat st {};
  return !(dir && *dir) && stat("/run/systemd/system", &st) == 0;
}

// Runs systemctl with `args`; returns its exit code (-1 when it cannot run) and its output.
int Systemctl(std::initializer_list<const char*> args, std::string* output = nullptr) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
  std::vector<char*> argv{const_cast<char*>("systemctl")};
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Error values as the service manager's callers know them: access denied (5), path not found (3),
// function failed (1627).
uint32_t ErrnoToError(int e) {
  if (e == EACCES || e == EPERM || e == EROFS) return kErrorAccessDenied;
  if (e == ENOENT || e == ENOTDIR) return 3;
  return 1627;
}

}  // namespace

bool RunWithControlSignals(const std::function<void()>& body,
                           const std::function<void(uint32_t)>& deliver) {
  // The controls arrive as signals; block them here so that the body's thread (and every thread
  // it starts, which inherit the mask) never takes them, and read them from a signalfd here.
  sigset_t controls;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  sigaddset(&controls, SIGINT);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &controls, &previous);
  const int sigfd = signalfd(-1, &controls, SFD_CLOEXEC | SFD_NONBLOCK);
  const int donefd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (sigfd < 0 || donefd < 0) {
    if (sigfd >= 0) close(sigfd);
    if (donefd >= 0) close(donefd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  std::thread worker([&] {
    PrepareThreadForCrashCapture();
    body();
    const uint64_t one = 1;
    while (write(donefd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  });
  for (;;) {
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {donefd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) break;
    signalfd_siginfo info{};
    while (read(sigfd, &info, sizeof(info)) == sizeof(info))
      deliver(info.ssi_signo == SIGTERM ? kControlStop : kControlShutdown);
  }
  worker.join();
  close(sigfd);
  close(donefd);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

bool RunServiceDispatcher(std::u16string_view service_name, ServiceMainFunction service_main) {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  if (!notify || !*notify) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
    g_dispatcher.active = true;
    g_dispatcher.name = service_name;
    g_dispatcher.handler = nullptr;
  }
  std::u16string name_buffer(service_name);
  const bool ran = RunWithControlSignals(
      [&] {
        char16_t* argv[2] = {name_buffer.data(), nullptr};
        service_main(1, argv);
      },
      [](uint32_t control) {
        if (auto handler = g_dispatcher.handler.load()) handler(control);
      });
  {
    std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
    g_dispatcher.active = false;
    g_dispatcher.handler = nullptr;
  }
  if (!ran) SetLastError(kErrorFailedServiceControllerConnect);
  return ran;
}

ServiceStatusHandle RegisterServiceControlHandler(std::u16string_view service_name,
                                                  ServiceHandlerFunction handler) {
  std::lock_guard<std::mutex> lock(g_dispatcher.mutex);
  if (!g_dispatcher.active) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return 0;
  }
  if (g_dispatcher.name != service_name) {
    SetLastError(kErrorServiceDoesNotExist);
    return 0;
  }
  g_dispatcher.handler = handler;
  return 1;
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == 0) return false;
  std::string message;
  switch (status.current_state) {
    case kServiceStartPending: message = "STATUS=Start pending"; break;
    case kServiceRunning: message = "READY=1\nSTATUS=Running"; break;
    case kServiceStopPending: message = "STOPPING=1\nSTATUS=Stop pending"; break;
    case kServiceStopped: message = "STATUS=Stopped"; break;
    default: message = "STATUS=State " + std::to_string(status.current_state); break;
  }
  return SendNotify(message);
}

bool ServiceIsInstalled(std::u16string_view name) {
  struct stat st {};
  return stat(UnitPath(name).c_str(), &st) == 0;
}

uint32_t InstallService(const ServiceRegistration& r) {
  if (ServiceIsInstalled(r.name)) return kErrorServiceExists;
  const std::string path = UnitPath(r.name);
  {
    std::ofstream unit(path, std::ios::trunc);
    if (!unit) return ErrnoToError(errno);
    unit << "[Unit]\n"
         << "Description=" << ToUtf8(r.display_name) << "\n"
         << "After=network-online.target\nWants=network-online.target\n\n"
         << "[Service]\nType=notify\n"
         << "ExecStart=\"" << ToUtf8(r.binary_path) << "\"\n"
         << "TimeoutStopSec=30\n\n"
         << "[Install]\nWantedBy=multi-user.target\n";
    if (!unit.flush()) return ErrnoToError(errno);
  }
  // Enabled for automatic start, as systemctl enable would do it.
  const std::string wants = UnitFolder() + "/multi-user.target.wants";
  mkdir(wants.c_str(), 0755);
  unlink(WantsLink(r.name).c_str());
  if (symlink(path.c_str(), WantsLink(r.name).c_str()) != 0) {
    const int e = errno;
    unlink(path.c_str());
    return ErrnoToError(e);
  }
  if (ManagedBySystemd()) Systemctl({"daemon-reload"});
  return 0;
}

uint32_t SendServiceStop(std::u16string_view name) {
  if (!ServiceIsInstalled(name)) return kErrorServiceDoesNotExist;
  if (!ManagedBySystemd()) return kErrorServiceNotActive;
  const std::string unit = ToUtf8(name) + ".service";
  return Systemctl({"stop", "--no-block", unit.c_str()}) == 0 ? 0 : kErrorServiceNotActive;
}

uint32_t QueryServiceState(std::u16string_view name, uint32_t& state) {
  if (!ServiceIsInstalled(name)) return kErrorServiceDoesNotExist;
  state = kServiceStopped;
  if (!ManagedBySystemd()) return 0;
  std::string out;
  const std::string unit = ToUtf8(name) + ".service";
  Systemctl({"is-active", unit.c_str()}, &out);
  if (out.rfind("active", 0) == 0 || out.rfind("reloading", 0) == 0)
    state = kServiceRunning;
  else if (out.rfind("deactivating", 0) == 0)
    state = kServiceStopPending;
  else if (out.rfind("activating", 0) == 0)
    state = kServiceStartPending;
  return 0;
}

uint32_t DeleteService(std::u16string_view name) {
  if (!ServiceIsInstalled(name)) return kErrorServiceDoesNotExist;
  unlink(WantsLink(name).c_str());
  if (unlink(UnitPath(name).c_str()) != 0) return ErrnoToError(errno);
  if (ManagedBySystemd()) Systemctl({"daemon-reload"});
  return 0;
}

bool StartSocketLayer() { return true; }
void StopSocketLayer() {}

}  // namespace vorla::platform
