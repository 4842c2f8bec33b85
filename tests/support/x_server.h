#pragma once
// A private X server for tests: Xvfb on a display number of its own, optionally with RandR
// monitors and a window manager, torn down by process id when the object goes away.
//
// No X11 types here on purpose: this header is included by tests that also include GoogleTest,
// and Xlib's macros (None, Bool, Status) break it. Xlib lives in x_server.cpp only.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vorla::test {

// One RandR monitor of the virtual screen, in pixels.
struct XMonitor {
  std::string name;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// LEFT 1920x1080+0+0 and RIGHT 1920x1080+1920+0: the usual two-monitor desk on a 3840x1080 screen.
std::vector<XMonitor> TwoSideBySideMonitors();

class PrivateXServer {
 public:
  struct Options {
    int width = 3840;
    int height = 1080;
    int depth = 24;
    // Empty: the server keeps its single automatic monitor. Otherwise the first monitor is bound
    // to the output "screen" (which retires the automatic one) and the rest to no output.
    std::vector<XMonitor> monitors;
    // Starts "openbox --sm-disable" and waits until it has published _NET_SUPPORTING_WM_CHECK.
    bool window_manager = false;
    // Limit for each step of the start (display number, each xrandr run, window manager ready).
    std::chrono::milliseconds step_timeout{5000};
    // Unset: the server picks a free display number. Set: that number, for a server that comes
    // back where a previous one was (the start fails while another server holds it).
    std::optional<int> display_number;

    // A 640 x 480 screen, enough for tests of windows and keys.
    static Options Small() {
      Options o;
      o.width = 640;
      o.height = 480;
      return o;
    }
  };

  // Whether an Xvfb executable is on PATH. Tests skip without it (see XServerTest).
  static bool XvfbInstalled();

  // Starts the server and waits until everything asked for is ready. Blocks for about 0.2-0.5 s.
  // On failure returns nullptr, leaves no process behind and, if error is given, describes what
  // went wrong (including the tail of the failing program's output).
  // The children are bound to the calling thread: if that thread dies without destroying the
  // object (a crash, SIGKILL from a test runner), the kernel sends them SIGTERM.
  static std::unique_ptr<PrivateXServer> Start(const Options& options,
                                               std::string* error = nullptr);

  // Stops the window manager, then the server: SIGTERM, a bounded wait, then SIGKILL, and reaps
  // both. Never throws; blocks for at most a few seconds (normally a few milliseconds).
  ~PrivateXServer();

  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  // ":N", for XOpenDisplay or the DISPLAY variable. The process environment is left alone;
  // use ScopedDisplayEnvironment to point DISPLAY at this server.
  const std::string& display_name() const { return display_name_; }
  int display_number() const { return display_number_; }
  const Options& options() const { return options_; }

  pid_t server_pid() const { return server_pid_; }
  // -1 when no window manager was asked for.
  pid_t window_manager_pid() const { return window_manager_pid_; }

 private:
  PrivateXServer() = default;
  void Stop();

  Options options_;
  std::string display_name_;
  int display_number_ = -1;
  pid_t server_pid_ = -1;
  pid_t window_manager_pid_ = -1;
};

// Sets DISPLAY for its lifetime and restores the previous value (or its absence) afterwards.
// setenv is not thread-safe: create and destroy it while no other thread reads the environment.
class ScopedDisplayEnvironment {
 public:
  explicit ScopedDisplayEnvironment(const std::string& display_name);
  ~ScopedDisplayEnvironment();
  ScopedDisplayEnvironment(const ScopedDisplayEnvironment&) = delete;
  ScopedDisplayEnvironment& operator=(const ScopedDisplayEnvironment&) = delete;

 private:
  std::optional<std::string> previous_;
};

// For tests that start their own servers (several, or with options per table row): skips the
// test when Xvfb is not installed. Use it as a statement at the top of the test body.
#define VORLA_SKIP_WITHOUT_XVFB()                           \
  do {                                                      \
    if (!::vorla::test::PrivateXServer::XvfbInstalled()) {  \
      GTEST_SKIP() << "no X server: Xvfb is not installed"; \
    }                                                       \
  } while (false)

// Fixture base: each test gets its own server, stopped after the test whatever its outcome.
// Without Xvfb on PATH the test is skipped. Override ServerOptions() for another screen, monitors
// or a window manager. A derived SetUp() must call XServerTest::SetUp() first and return if
// IsSkipped() or HasFatalFailure().
// The server is stopped in the destructor, after the derived fixture's members are gone, so those
// may hold X connections to it (closing a connection to a dead server makes Xlib exit).
class XServerTest : public ::testing::Test {
 protected:
  virtual PrivateXServer::Options ServerOptions() const { return {}; }

  void SetUp() override;

  PrivateXServer& server() { return *server_; }
  const std::string& display_name() const { return server_->display_name(); }
  // Presses and releases `keys` (xdotool key names) on the server through XTEST.
  void PressKeys(const std::string& keys);

 private:
  std::unique_ptr<PrivateXServer> server_;
};

}  // namespace vorla::test
