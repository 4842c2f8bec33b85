#include "support/x_server.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros break it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace vorla::test {
namespace {

class XConnection {
 public:
  explicit XConnection(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
  ~XConnection() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;
  Display* get() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

 private:
  Display* display_;
};

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// A text property on the root window tells one server from another that took the same number.
void SetRootMark(const XConnection& x, const std::string& mark) {
  Atom atom = XInternAtom(x.get(), "VORLA_TEST_MARK", False);
  XChangeProperty(x.get(), x.root(), atom, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(mark.data()),
                  static_cast<int>(mark.size()));
  XSync(x.get(), False);
}

std::string RootMark(const XConnection& x) {
  Atom atom = XInternAtom(x.get(), "VORLA_TEST_MARK", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string mark;
  if (XGetWindowProperty(x.get(), x.root(), atom, 0, 256, False, XA_STRING, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr) {
    mark.assign(reinterpret_cast<const char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  return mark;
}

std::optional<Window> WindowProperty(const XConnection& x, Window window, const char* name) {
  Atom atom = XInternAtom(x.get(), name, False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<Window> result;
  if (XGetWindowProperty(x.get(), window, atom, 0, 1, False, XA_WINDOW, &type, &format, &count,
                         &after, &data) == Success &&
      type == XA_WINDOW && count == 1 && data != nullptr) {
    result = static_cast<Window>(reinterpret_cast<unsigned long*>(data)[0]);
  }
  if (data != nullptr) XFree(data);
  return result;
}

// Children of this process whose command name is `comm`, from /proc.
std::vector<pid_t> ChildrenNamed(const std::string& comm) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    // Plain read: processes of other test programs come and go while we look.
    const std::string path = "/proc/" + std::string(entry->d_name) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buffer[512];
    ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    if (got <= 0) continue;
    std::string stat(buffer, static_cast<size_t>(got));
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == getpid() && stat.substr(open + 1, close - open - 1) == comm) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return found;
}

bool Reaped(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

bool Gone(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

TEST(PrivateXServerTest, StartsScreenOfRequestedGeometryWithoutTouchingDisplayVariable) {
  VORLA_SKIP_WITHOUT_XVFB();
  struct Row {
    int width, height, depth;
  };
  const std::optional<std::string> display_before = Environment("DISPLAY");
  for (const Row& row : {Row{3840, 1080, 24}, Row{1280, 720, 16}}) {
    SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height) + "x" +
                 std::to_string(row.depth));
    PrivateXServer::Options options;
    options.width = row.width;
    options.height = row.height;
    options.depth = row.depth;
    std::string error;
    auto server = PrivateXServer::Start(options, &error);
    ASSERT_NE(server, nullptr) << error;
    EXPECT_EQ(server->display_name(), ":" + std::to_string(server->display_number()));
    EXPECT_GT(server->server_pid(), 0);
    EXPECT_EQ(server->window_manager_pid(), -1);

    XConnection x(server->display_name());
    ASSERT_NE(x.get(), nullptr) << "cannot open " << server->display_name();
    EXPECT_EQ(DisplayWidth(x.get(), DefaultScreen(x.get())), row.width);
    EXPECT_EQ(DisplayHeight(x.get(), DefaultScreen(x.get())), row.height);
    EXPECT_EQ(DefaultDepth(x.get(), DefaultScreen(x.get())), row.depth);
    EXPECT_EQ(Environment("DISPLAY"), display_before);
  }
}

TEST(PrivateXServerTest, DefinesExactlyTheRequestedMonitors) {
  VORLA_SKIP_WITHOUT_XVFB();
  using Monitors = std::vector<XMonitor>;
  struct Row {
    const char* name;
    int width, height;
    Monitors monitors;
    Monitors expected;
  };
  const Row rows[] = {
      {"automatic", 3840, 1080, {}, {{"screen", 0, 0, 3840, 1080}}},
      {"side by side",
       3840,
       1080,
       TwoSideBySideMonitors(),
       {{"LEFT", 0, 0, 1920, 1080}, {"RIGHT", 1920, 0, 1920, 1080}}},
      {"stacked",
       1920,
       2160,
       {{"TOP", 0, 0, 1920, 1080}, {"BOTTOM", 0, 1080, 1920, 1080}},
       {{"BOTTOM", 0, 1080, 1920, 1080}, {"TOP", 0, 0, 1920, 1080}}},
      {"three mixed",
       5120,
       1440,
       {{"A", 0, 0, 2560, 1440}, {"B", 2560, 0, 1280, 1024}, {"C", 3840, 0, 1280, 720}},
       {{"A", 0, 0, 2560, 1440}, {"B", 2560, 0, 1280, 1024}, {"C", 3840, 0, 1280, 720}}},
  };
  auto key = [](const XMonitor& m) { return std::tie(m.name, m.x, m.y, m.width, m.height); };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PrivateXServer::Options options;
    options.width = row.width;
    options.height = row.height;
    options.monitors = row.monitors;
    std::string error;
    auto server = PrivateXServer::Start(options, &error);
    ASSERT_NE(server, nullptr) << error;
    XConnection x(server->display_name());
    ASSERT_NE(x.get(), nullptr);

    int count = 0;
    XRRMonitorInfo* info = XRRGetMonitors(x.get(), x.root(), True, &count);
    Monitors actual;
    for (int i = 0; i < count; ++i) {
      char* name = XGetAtomName(x.get(), info[i].name);
      actual.push_back(
          {name != nullptr ? name : "", info[i].x, info[i].y, info[i].width, info[i].height});
      if (name != nullptr) XFree(name);
    }
    if (info != nullptr) XRRFreeMonitors(info);
    std::sort(actual.begin(), actual.end(), [&](auto& a, auto& b) { return key(a) < key(b); });
    ASSERT_EQ(actual.size(), row.expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
      SCOPED_TRACE(row.expected[i].name);
      EXPECT_EQ(key(actual[i]), key(row.expected[i]));
    }
  }
}

class XServerWithWindowManagerTest : public XServerTest {
 protected:
  PrivateXServer::Options ServerOptions() const override {
    PrivateXServer::Options options;
    options.monitors = TwoSideBySideMonitors();
    options.window_manager = true;
    return options;
  }
};

TEST_F(XServerWithWindowManagerTest, WindowManagerHasPublishedItsCheckWindow) {
  ASSERT_GT(server().window_manager_pid(), 0);
  EXPECT_EQ(kill(server().window_manager_pid(), 0), 0);
  XConnection x(display_name());
  ASSERT_NE(x.get(), nullptr);
  std::optional<Window> check = WindowProperty(x, x.root(), "_NET_SUPPORTING_WM_CHECK");
  ASSERT_TRUE(check.has_value());
  EXPECT_NE(*check, 0u);
  EXPECT_EQ(WindowProperty(x, *check, "_NET_SUPPORTING_WM_CHECK"), check);
}

TEST(PrivateXServerTest, DestructionStopsAndReapsEverything) {
  VORLA_SKIP_WITHOUT_XVFB();
  PrivateXServer::Options options;
  options.monitors = TwoSideBySideMonitors();
  options.window_manager = true;
  std::string error;
  auto server = PrivateXServer::Start(options, &error);
  ASSERT_NE(server, nullptr) << error;
  const std::string name = server->display_name();
  const pid_t xvfb = server->server_pid();
  const pid_t wm = server->window_manager_pid();
  const std::string mark = "stop-" + std::to_string(getpid()) + "-" + name;
  {
    XConnection x(name);
    ASSERT_NE(x.get(), nullptr);
    SetRootMark(x, mark);
    ASSERT_EQ(RootMark(x), mark);
  }

  server.reset();

  for (pid_t pid : {xvfb, wm}) {
    SCOPED_TRACE(pid);
    EXPECT_TRUE(Reaped(pid));
    EXPECT_TRUE(Gone(pid));
  }
  // Another test process may already have been given the freed number: then it must be a
  // different server, without our mark.
  XConnection after(name);
  if (after.get() != nullptr) {
    EXPECT_NE(RootMark(after), mark);
  }
}

TEST(PrivateXServerTest, TwoServersAtOnceAreSeparate) {
  VORLA_SKIP_WITHOUT_XVFB();
  std::string error;
  auto first = PrivateXServer::Start({}, &error);
  ASSERT_NE(first, nullptr) << error;
  auto second = PrivateXServer::Start({}, &error);
  ASSERT_NE(second, nullptr) << error;
  EXPECT_NE(first->display_number(), second->display_number());
  EXPECT_NE(first->server_pid(), second->server_pid());

  XConnection x1(first->display_name());
  XConnection x2(second->display_name());
  ASSERT_NE(x1.get(), nullptr);
  ASSERT_NE(x2.get(), nullptr);
  SetRootMark(x1, "first");
  EXPECT_EQ(RootMark(x1), "first");
  EXPECT_EQ(RootMark(x2), "");
}

TEST(PrivateXServerTest, FailedStartReportsWhyAndLeavesNoServer) {
  VORLA_SKIP_WITHOUT_XVFB();
  const size_t before = ChildrenNamed("Xvfb").size();
  PrivateXServer::Options options;
  options.depth = 7;  // Xvfb refuses the screen and exits
  std::string error;
  auto server = PrivateXServer::Start(options, &error);
  EXPECT_EQ(server, nullptr);
  EXPECT_NE(error.find("Xvfb exited with status"), std::string::npos) << error;
  EXPECT_EQ(ChildrenNamed("Xvfb").size(), before);
}

TEST(PrivateXServerTest, XvfbIsLookedUpOnPath) {
  const std::optional<std::string> path = Environment("PATH");
  ASSERT_TRUE(path.has_value());
  const bool installed = PrivateXServer::XvfbInstalled();
  setenv("PATH", "/nonexistent-vorla-dir", 1);
  const bool without_path = PrivateXServer::XvfbInstalled();
  setenv("PATH", path->c_str(), 1);
  EXPECT_FALSE(without_path);
  EXPECT_EQ(PrivateXServer::XvfbInstalled(), installed);
}

TEST(PrivateXServerTest, ScopedDisplayEnvironmentRestoresPreviousState) {
  const std::optional<std::string> original = Environment("DISPLAY");
  for (const std::optional<std::string>& previous :
       {std::optional<std::string>(":77"), std::optional<std::string>()}) {
    SCOPED_TRACE(previous.value_or("(unset)"));
    if (previous) {
      setenv("DISPLAY", previous->c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
    {
      ScopedDisplayEnvironment scoped(":5");
      EXPECT_EQ(Environment("DISPLAY"), std::optional<std::string>(":5"));
    }
    EXPECT_EQ(Environment("DISPLAY"), previous);
  }
  if (original) {
    setenv("DISPLAY", original->c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

}  // namespace
}  // namespace vorla::test
