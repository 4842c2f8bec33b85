#include "support/x_server.h"

// GoogleTest (through x_server.h) comes before X11: Xlib's macros None, Bool and Status break it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vorla::test {
namespace {

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

constexpr std::chrono::milliseconds kTerminateGrace{3000};

int RemainingMs(Deadline deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

std::optional<std::string> FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// An unlinked temporary file for a child's stdout and stderr: readable for error reports and
// gone with the last descriptor, so nothing is left on disk.
UniqueFd OpenLogFile() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return UniqueFd(fd);
  std::string pattern = dir + "/vorla-x-server-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return UniqueFd(fd);
}

std::string LogTail(int fd) {
  if (fd < 0) return {};
  off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return {};
  constexpr off_t kTail = 2000;
  off_t from = size > kTail ? size - kTail : 0;
  std::string text(static_cast<size_t>(size - from), '\0');
  ssize_t got = ::pread(fd, text.data(), text.size(), from);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? std::string() : "; its output ends with:\n" + text;
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

struct Spawned {
  pid_t pid = -1;
  UniqueFd log;
};

// fork + execve of an absolute path. Everything the child needs is prepared before fork, so the
// child calls only async-signal-safe functions (the test process may have threads).
// keep_fd stays open in the child under the same number; every other descriptor above 2 is closed.
// The child gets SIGTERM when the calling thread dies, so a crashed test leaves no server behind.
std::optional<Spawned> SpawnChild(const std::string& path, const std::vector<std::string>& args,
                                  const std::optional<std::string>& display, int keep_fd,
                                  std::string* error) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> env_storage;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (display && std::strncmp(*entry, "DISPLAY=", 8) == 0) continue;
    env_storage.emplace_back(*entry);
  }
  if (display) env_storage.push_back("DISPLAY=" + *display);
  std::vector<char*> envp;
  for (auto& entry : env_storage) envp.push_back(entry.data());
  envp.push_back(nullptr);

  UniqueFd log = OpenLogFile();
  UniqueFd dev_null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (log.get() < 0 || dev_null.get() < 0) {
    *error = "cannot open the output file for " + args[0] + ": " + std::strerror(errno);
    return std::nullopt;
  }

  // Signals stay blocked across fork so the child never runs one of the parent's handlers.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    if (::dup2(dev_null.get(), 0) < 0 || ::dup2(log.get(), 1) < 0 || ::dup2(log.get(), 2) < 0) {
      ::_exit(127);
    }
    if (keep_fd > 2) {
      ::fcntl(keep_fd, F_SETFD, 0);
      if (keep_fd > 3) ::close_range(3, static_cast<unsigned>(keep_fd - 1), 0);
      ::close_range(static_cast<unsigned>(keep_fd + 1), ~0U, 0);
    } else {
      ::close_range(3, ~0U, 0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  const int fork_errno = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) {
    *error = "cannot start " + args[0] + ": fork failed: " + std::strerror(fork_errno);
    return std::nullopt;
  }
  return Spawned{pid, std::move(log)};
}

// Waits until the child has exited and reaps it. False if it is still running at the deadline.
// A pidfd makes this a real wait; kernels without one get short polls.
bool WaitForExit(pid_t pid, Deadline deadline, int* status_out = nullptr) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (status_out) *status_out = status;
      return true;
    }
    if (r < 0 && errno != EINTR) return true;  // not our child (any more): nothing to wait for
    int left = RemainingMs(deadline);
    if (left == 0) return false;
    if (pidfd.get() >= 0) {
      pollfd p{pidfd.get(), POLLIN, 0};
      ::poll(&p, 1, left);
    } else {
      ::poll(nullptr, 0, left < 5 ? left : 5);
    }
  }
}

bool HasExited(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT leaves the child to be reaped by Terminate, which also reports its status.
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// SIGTERM, a bounded wait, then SIGKILL; always reaps.
void Terminate(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (WaitForExit(pid, SteadyClock::now() + kTerminateGrace)) return;
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Millimetres at 96 dpi, as a physical size for RandR (1920 px -> 508 mm).
int Millimetres(int pixels) { return static_cast<int>(std::lround(pixels * 25.4 / 96.0)); }

// --- window manager readiness (Xlib) ---

int g_x_errors = 0;
int CountXError(Display*, XErrorEvent*) {
  ++g_x_errors;
  return 0;
}
bool g_x_connection_lost = false;
void NoteConnectionLost(Display*, void*) { g_x_connection_lost = true; }
// libX11's default I/O error handler calls exit() itself, before the exit handler is consulted,
// so a returning one is needed as well.
int IgnoreIoError(Display*) { return 0; }

std::optional<Window> ReadWindowProperty(Display* display, Window window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  int rc = XGetWindowProperty(display, window, property, 0, 1, False, XA_WINDOW, &type, &format,
                              &count, &after, &data);
  std::optional<Window> result;
  if (rc == Success && type == XA_WINDOW && format == 32 && count == 1 && data != nullptr) {
    result = static_cast<Window>(reinterpret_cast<unsigned long*>(data)[0]);
  }
  if (data != nullptr) XFree(data);
  return result;
}

// The root's _NET_SUPPORTING_WM_CHECK must name a live window whose own property names itself;
// anything less is a window manager still starting up (or stale state left by one that exited).
bool WindowManagerPublished(Display* display, Atom check) {
  Window root = DefaultRootWindow(display);
  std::optional<Window> child = ReadWindowProperty(display, root, check);
  if (!child || *child == 0) return false;
  std::optional<Window> self = ReadWindowProperty(display, *child, check);
  return self && *self == *child;
}

bool WaitForWindowManager(const std::string& display_name, pid_t wm_pid, Deadline deadline,
                          std::string* error) {
  Display* display = XOpenDisplay(display_name.c_str());
  if (display == nullptr) {
    *error = "cannot open display " + display_name + " to wait for the window manager";
    return false;
  }
  // The server is our child and should outlive this, but if it dies Xlib must not exit the tests.
  g_x_connection_lost = false;
  XIOErrorHandler previous_io_handler = XSetIOErrorHandler(IgnoreIoError);
  XSetIOErrorExitHandler(display, NoteConnectionLost, nullptr);
  XErrorHandler previous_handler = XSetErrorHandler(CountXError);
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  // Select before the first look, so a change in between still wakes us.
  XSelectInput(display, DefaultRootWindow(display), PropertyChangeMask);
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, wm_pid, 0)));

  bool ready = false;
  for (;;) {
    ready = WindowManagerPublished(display, check);
    if (ready || g_x_connection_lost) break;
    if (HasExited(wm_pid)) {
      *error = "the window manager exited while starting";
      break;
    }
    int left = RemainingMs(deadline);
    if (left == 0) {
      *error = "the window manager did not publish _NET_SUPPORTING_WM_CHECK in time";
      break;
    }
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
    }
    if (g_x_connection_lost) break;
    // Root property changes wake us; the short slice also catches a change on the check window
    // itself, which we do not watch.
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {pidfd.get(), POLLIN, 0}};
    ::poll(fds, pidfd.get() >= 0 ? 2 : 1, left < 20 ? left : 20);
  }
  if (g_x_connection_lost) {
    *error = "lost the connection to " + display_name + " while waiting for the window manager";
    // Xlib forbids further use of this Display; its memory is left behind on purpose.
  } else {
    XCloseDisplay(display);
  }
  XSetErrorHandler(previous_handler);
  XSetIOErrorHandler(previous_io_handler);
  return ready;
}

}  // namespace

std::vector<XMonitor> TwoSideBySideMonitors() {
  return {{"LEFT", 0, 0, 1920, 1080}, {"RIGHT", 1920, 0, 1920, 1080}};
}

bool PrivateXServer::XvfbInstalled() { return FindOnPath("Xvfb").has_value(); }

std::unique_ptr<PrivateXServer> PrivateXServer::Start(const Options& options, std::string* error) {
  std::string scratch;
  std::string& err = error != nullptr ? *error : scratch;
  err.clear();
  std::unique_ptr<PrivateXServer> server(new PrivateXServer());
  server->options_ = options;

  const auto xvfb = FindOnPath("Xvfb");
  if (!xvfb) {
    err = "Xvfb is not installed";
    return nullptr;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    err = std::string("pipe failed: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);
  const std::string geometry = std::to_string(options.width) + "x" +
                               std::to_string(options.height) + "x" + std::to_string(options.depth);
  // -noreset: otherwise the server resets when its last client leaves, dropping the monitors.
  std::vector<std::string> xvfb_args = {"Xvfb"};
  if (options.display_number) xvfb_args.push_back(":" + std::to_string(*options.display_number));
  xvfb_args.insert(xvfb_args.end(), {"-displayfd", std::to_string(write_end.get()), "-nolisten",
                                     "tcp", "-noreset", "-screen", "0", geometry});
  auto xvfb_child = SpawnChild(*xvfb, xvfb_args, std::nullopt, write_end.get(), &err);
  if (!xvfb_child) return nullptr;
  server->server_pid_ = xvfb_child->pid;
  write_end.reset();  // so the read sees end-of-file if the server dies before it is ready

  // From here on the destructor stops whatever has been started.
  const Deadline display_deadline = SteadyClock::now() + options.step_timeout;
  std::string text;
  for (;;) {
    if (text.find('\n') != std::string::npos) break;
    int left = RemainingMs(display_deadline);
    if (left == 0) {
      err = "Xvfb did not report its display number within " +
            std::to_string(options.step_timeout.count()) + " ms" + LogTail(xvfb_child->log.get());
      return nullptr;
    }
    pollfd p{read_end.get(), POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buffer[32];
    ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  int number = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || number < 0 || end == text.data()) {
    int status = 0;
    std::string how = "closed its display pipe without a display number";
    if (WaitForExit(server->server_pid_, SteadyClock::now() + kTerminateGrace, &status)) {
      server->server_pid_ = -1;  // reaped: its number may be reused, so never signal it again
      how = DescribeStatus(status);
    }
    err = "Xvfb " + how + LogTail(xvfb_child->log.get());
    return nullptr;
  }
  server->display_number_ = number;
  server->display_name_ = ":" + std::to_string(number);

  if (!options.monitors.empty()) {
    const auto xrandr = FindOnPath("xrandr");
    if (!xrandr) {
      err = "xrandr is not installed (package x11-xserver-utils)";
      return nullptr;
    }
    for (size_t i = 0; i < options.monitors.size(); ++i) {
      const XMonitor& m = options.monitors[i];
      const std::string geometry_arg =
          std::to_string(m.width) + "/" + std::to_string(Millimetres(m.width)) + "x" +
          std::to_string(m.height) + "/" + std::to_string(Millimetres(m.height)) + "+" +
          std::to_string(m.x) + "+" + std::to_string(m.y);
      // The first monitor takes over the output "screen"; left unbound, the automatic monitor
      // would stay and the server would report one monitor too many.
      auto child = SpawnChild(
          *xrandr, {"xrandr", "--setmonitor", m.name, geometry_arg, i == 0 ? "screen" : "none"},
          server->display_name_, -1, &err);
      if (!child) return nullptr;
      int status = 0;
      if (!WaitForExit(child->pid, SteadyClock::now() + options.step_timeout, &status)) {
        Terminate(child->pid);
        err =
            "xrandr --setmonitor " + m.name + " did not finish in time" + LogTail(child->log.get());
        return nullptr;
      }
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        err = "xrandr --setmonitor " + m.name + " " + geometry_arg + " " + DescribeStatus(status) +
              LogTail(child->log.get());
        return nullptr;
      }
    }
  }

  if (options.window_manager) {
    const auto openbox = FindOnPath("openbox");
    if (!openbox) {
      err = "openbox is not installed";
      return nullptr;
    }
    auto wm = SpawnChild(*openbox, {"openbox", "--sm-disable"}, server->display_name_, -1, &err);
    if (!wm) return nullptr;
    server->window_manager_pid_ = wm->pid;
    if (!WaitForWindowManager(server->display_name_, wm->pid,
                              SteadyClock::now() + options.step_timeout, &err)) {
      err += LogTail(wm->log.get());
      return nullptr;
    }
  }
  return server;
}

PrivateXServer::~PrivateXServer() { Stop(); }

void PrivateXServer::Stop() {
  // The window manager first: it would otherwise die of a lost connection, noisily.
  Terminate(window_manager_pid_);
  window_manager_pid_ = -1;
  Terminate(server_pid_);
  server_pid_ = -1;
}

ScopedDisplayEnvironment::ScopedDisplayEnvironment(const std::string& display_name) {
  if (const char* old = std::getenv("DISPLAY")) previous_ = old;
  ::setenv("DISPLAY", display_name.c_str(), 1);
}

ScopedDisplayEnvironment::~ScopedDisplayEnvironment() {
  if (previous_) {
    ::setenv("DISPLAY", previous_->c_str(), 1);
  } else {
    ::unsetenv("DISPLAY");
  }
}

void XServerTest::SetUp() {
  VORLA_SKIP_WITHOUT_XVFB();
  std::string error;
  server_ = PrivateXServer::Start(ServerOptions(), &error);
  ASSERT_NE(server_, nullptr) << "could not start the private X server: " << error;
}

void XServerTest::PressKeys(const std::string& keys) {
  const std::string command = "DISPLAY=" + display_name() + " xdotool key " + keys;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace vorla::test
