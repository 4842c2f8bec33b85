// The running service on the desktop: its icon in a real system tray (trayer, XEmbed) on a private
// X server, and the login manager's notices and lock state on a private system bus (dbus-daemon
// with our stand-in owning org.freedesktop.login1).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "controller/tray_icons.h"
#include "integration/workstation_harness.h"
#include "support/x_probe.h"

namespace vorla::integration {
namespace {

std::string OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

constexpr const char* kTip = "Screen recording";

// The icon's windows inside a tray (not top-level) and the tips (top-level, override-redirect).
std::vector<test::XWindowSeen> Docked(const std::string& display) {
  std::vector<test::XWindowSeen> out;
  for (const auto& w : test::FindWindowsNamed(display, kTip))
    if (!w.top_level && w.viewable) out.push_back(w);
  return out;
}
std::vector<test::XWindowSeen> Tips(const std::string& display) {
  std::vector<test::XWindowSeen> out;
  for (const auto& w : test::FindWindowsNamed(display, kTip))
    if (w.top_level && w.viewable && w.override_redirect) out.push_back(w);
  return out;
}

// Whether `rgb` (0x00RRGGBB) appears among the pixels.
bool Has(const std::vector<uint32_t>& pixels, uint32_t argb) {
  for (uint32_t p : pixels)
    if (p == (argb & 0xFFFFFF)) return true;
  return false;
}

class VorlaWSDesktop : public WorkstationTest {
 protected:
  static void SetUpTestSuite() {
    if (!test::PrivateXServer::XvfbInstalled()) return;
    auto options = test::PrivateXServer::Options::Small();
    options.window_manager = true;
    x_server_ = test::PrivateXServer::Start(options, &x_error_);
  }
  static void TearDownTestSuite() { x_server_.reset(); }
  void SetUp() override {
    VORLA_SKIP_WITHOUT_XVFB();
    ASSERT_NE(x_server_, nullptr) << "no private X server: " << x_error_;
    display_ = x_server_->display_name();
  }

  std::unique_ptr<ChildProgram> StartTray(const std::string& name) {
    std::filesystem::create_directories(Sub(name));
    return std::make_unique<ChildProgram>(
        std::vector<std::string>{OnPath("trayer"), "--edge", "top", "--align", "right",
                                 "--widthtype", "request", "--height", "32", "--SetDockType",
                                 "true"},
        Env{{"DISPLAY", *display_}}, Sub(name));
  }

  // Writes the INI of `w` with EnableDesktopIcon.
  static void WriteIni(const Workstation& ws, const Wiring& w, bool icon) {
    WriteTextFile(ws.ini_path(),
                  IniText(w) + "EnableDesktopIcon=" + std::string(icon ? "1" : "0") + "\n");
  }

  inline static std::unique_ptr<test::PrivateXServer> x_server_;
  inline static std::string x_error_;
};

// ---- The tray icon

TEST_F(VorlaWSDesktop, TheIconDocksFollowsTheStateDocksAgainAfterATrayRestartAndGoesAtTheEnd) {
  if (OnPath("trayer").empty()) GTEST_SKIP() << "trayer is not installed";
  if (OnPath("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
  StayClearOfMidnight(40);
  auto tray = StartTray("tray");
  // The recording server comes later: until then the workstation is offline, and its next
  // attempt to connect comes 10 s after the first.
  const uint16_t server_port = FreePort(SOCK_STREAM);
  const std::string rules = File(
      "rules.json", RuleFile({ScheduleRule("window", LocalTimeIn(13), LocalTimeIn(16))}));
  auto cfgsim = Cfgsim("cfgsim", "127.0.0.1", 0, {"-c", "wait 1", "-c", "config rules=" + rules});
  ASSERT_TRUE(cfgsim->ok()) << cfgsim->Describe();
  Wiring w;
  w.recording_port = server_port;
  w.config_port = cfgsim->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  auto ws = NewWorkstation("ws");
  WriteIni(*ws, w, true);
  ws->Start(display_);
  const std::string& d = *display_;
  auto describe = [&] { return ws->Describe() + cfgsim->Describe(); };

  // Offline, in the tray, with the offline picture.
  ASSERT_TRUE(WaitUntil([&] { return Docked(d).size() == 1; }, 8000)) << describe();
  test::XWindowSeen icon = Docked(d)[0];
  EXPECT_EQ(icon.name, "Screen recording offline");
  EXPECT_EQ(icon.top_level_class, "trayer") << "inside the tray's panel";
  EXPECT_GE(icon.width, 16);
  // The picture is drawn when the tray has mapped the window (its first Expose).
  std::vector<uint32_t> pixels;
  EXPECT_TRUE(WaitUntil(
      [&] {
        pixels = test::ScreenPixels(d, icon.x, icon.y, icon.width, icon.height);
        return Has(pixels, kIconDotOffline);
      },
      3000));
  EXPECT_FALSE(Has(pixels, kIconDotIdle) || Has(pixels, kIconDotRecording));
  if (const char* keep = std::getenv("VORLA_TRAY_SCREENSHOT")) {
    const int top = std::max(0, icon.y - 8);
    test::WritePng(keep, 640, 64, test::ScreenPixels(d, 0, top, 640, 64));
  }

  // The tip shows while the pointer rests on the icon, and goes when it leaves.
  const std::string move = "DISPLAY=" + d + " xdotool mousemove ";
  ASSERT_EQ(std::system((move + std::to_string(icon.x + icon.width / 2) + " " +
                         std::to_string(icon.y + icon.height / 2))
                            .c_str()),
            0);
  ASSERT_TRUE(WaitUntil([&] { return Tips(d).size() == 1; }, 3000));
  EXPECT_EQ(Tips(d)[0].name, "Screen recording offline");
  ASSERT_EQ(std::system((move + "20 400").c_str()), 0);
  EXPECT_TRUE(WaitUntil([&] { return Tips(d).empty(); }, 3000));

  // Idle once the session is open, recording in the schedule's window, idle after it.
  auto recsrv = Recsrv("recsrv", "127.0.0.1", server_port);
  ASSERT_TRUE(recsrv->ok()) << recsrv->Describe();
  auto name_is = [&](const std::string& prefix) {
    const auto icons = Docked(d);
    return icons.size() == 1 && icons[0].name.rfind(prefix, 0) == 0;
  };
  ASSERT_TRUE(WaitUntil([&] { return name_is("Screen recording idle"); }, 14000))
      << describe() << recsrv->Describe();
  icon = Docked(d)[0];
  auto shows = [&](uint32_t dot) {
    return WaitUntil(
        [&] {
          pixels = test::ScreenPixels(d, icon.x, icon.y, icon.width, icon.height);
          return Has(pixels, dot);
        },
        3000);
  };
  EXPECT_TRUE(shows(kIconDotIdle));
  EXPECT_FALSE(Has(pixels, kIconDotRecording) || Has(pixels, kIconDotOffline));
  ASSERT_TRUE(WaitUntil([&] { return name_is("Screen recording in progress: "); }, 12000))
      << describe();
  ASSERT_TRUE(recsrv->WaitFor(" opened, writing ", 3000)) << recsrv->Describe();
  const auto recording_since = SteadyClock::now();
  ASSERT_TRUE(WaitUntil([&] { return name_is("Screen recording in progress: 2 sec"); }, 5000))
      << Docked(d)[0].name;
  EXPECT_GE(MsSince(recording_since), 900) << "the seconds count from the capture's start";
  icon = Docked(d)[0];
  EXPECT_TRUE(shows(kIconDotRecording));
  EXPECT_FALSE(Has(pixels, kIconDotIdle));
  ASSERT_TRUE(WaitUntil([&] { return name_is("Screen recording idle"); }, 8000)) << describe();

  // The tray goes: nothing of the icon is left on the screen; a new tray gets it again.
  tray.reset();
  ASSERT_TRUE(WaitUntil([&] { return test::FindWindowsNamed(d, kTip).empty(); }, 5000));
  tray = StartTray("tray2");
  ASSERT_TRUE(WaitUntil([&] { return Docked(d).size() == 1; }, 8000)) << describe();
  EXPECT_EQ(Docked(d)[0].name, "Screen recording idle");

  // The end of the service removes it.
  EXPECT_EQ(ws->Stop(), 0) << describe();
  EXPECT_TRUE(WaitUntil([&] { return test::FindWindowsNamed(d, kTip).empty(); }, 3000));
  EXPECT_TRUE(ws->Dumps().empty());
}

TEST_F(VorlaWSDesktop, WithoutEnableDesktopIconNothingDocks) {
  if (OnPath("trayer").empty()) GTEST_SKIP() << "trayer is not installed";
  auto tray = StartTray("tray");
  auto recsrv = Recsrv("recsrv", "127.0.0.1", 0);
  ASSERT_TRUE(recsrv->ok()) << recsrv->Describe();
  Wiring w;
  w.recording_port = recsrv->port();
  w.config_port = FreePort(SOCK_STREAM);
  w.broadcast_port = FreePort(SOCK_DGRAM);
  auto ws = NewWorkstation("ws");
  WriteIni(*ws, w, false);
  ws->Start(display_);
  ASSERT_TRUE(recsrv->WaitFor("new session for user ", 8000)) << recsrv->Describe() << ws->Describe();
  // Two more passes of the loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(test::FindWindowsNamed(*display_, kTip).empty());
  EXPECT_EQ(ws->Stop(), 0) << ws->Describe();
}

// ---- The login manager on a private system bus

// dbus-daemon with a configuration of its own (our stand-in may own org.freedesktop.login1) and
// the stand-in, which takes commands through a FIFO.
class PrivateSystemBus {
 public:
  PrivateSystemBus(const std::string& dir, const std::string& display) {
    for (const char* sub : {"/daemon", "/stand-in"}) std::filesystem::create_directories(dir + sub);
    const std::string config = dir + "/bus.conf";
    WriteTextFile(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                  "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig>\n  <listen>unix:path=" +
                      dir +
                      "/system_bus_socket</listen>\n  <auth>EXTERNAL</auth>\n"
                      "  <policy context=\"default\">\n"
                      "    <allow user=\"*\"/>\n    <allow own=\"org.freedesktop.login1\"/>\n"
                      "    <allow send_destination=\"*\"/>\n    <allow receive_sender=\"*\"/>\n"
                      "    <allow send_type=\"signal\"/>\n  </policy>\n</busconfig>\n");
    daemon_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{OnPath("dbus-daemon"), "--config-file=" + config, "--nofork",
                                 "--print-address=1"},
        Env{}, dir + "/daemon");
    if (!WaitUntil([&] { return Contains(daemon_->Stdout(), "\n"); }, 5000)) return;
    address_ = daemon_->Stdout().substr(0, daemon_->Stdout().find('\n'));
    fifo_ = dir + "/commands";
    if (mkfifo(fifo_.c_str(), 0600) != 0) return;
    stand_in_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{test::BuiltProgram("vorla-login1-stand-in"), "--commands", fifo_,
                                 "--display", display},
        Env{{"DBUS_SYSTEM_BUS_ADDRESS", address_}}, dir + "/stand-in");
    ready_ = stand_in_->WaitForStdout("ready\n", 5000);
  }

  bool ready() const { return ready_; }
  const std::string& address() const { return address_; }
  // Runs one command of the stand-in and waits until it is done.
  bool Command(const std::string& command) {
    const size_t before = Occurrences(stand_in_->Stdout(), "done " + command + "\n");
    std::ofstream(fifo_) << command << "\n";
    return WaitUntil(
        [&] { return Occurrences(stand_in_->Stdout(), "done " + command + "\n") > before; },
        3000);
  }
  std::string Describe() const {
    return "--- dbus-daemon:\n" + daemon_->Stderr() + "--- stand-in:\n" +
           (stand_in_ ? stand_in_->Stdout() + stand_in_->Stderr() : std::string());
  }

 private:
  std::unique_ptr<ChildProgram> daemon_;
  std::unique_ptr<ChildProgram> stand_in_;
  std::string address_;
  std::string fifo_;
  bool ready_ = false;
};

class VorlaWSLoginManager : public VorlaWSDesktop {
 protected:
  void SetUp() override {
    VorlaWSDesktop::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (OnPath("dbus-daemon").empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    bus_ = std::make_unique<PrivateSystemBus>(Sub("bus"), *display_);
    ASSERT_TRUE(bus_->ready()) << bus_->Describe();
  }

  // A workstation recording all day (rules from the Configurator) on the private bus.
  void StartRecording(uint32_t flags = 0) {
    recsrv_ = Recsrv("recsrv", "127.0.0.1", 0, {"--frame-lines"});
    const std::string rules = File("allday.json", RuleFile({AllDayRule("always")}));
    Wiring w;
    w.recording_port = recsrv_->port();
    w.broadcast_port = FreePort(SOCK_DGRAM);
    w.lost_text = "Locked";
    const std::string settings = Sub("settings.json");
    cfgsim_ = Cfgsim("cfgsim", "127.0.0.1", 0,
                     {"-c", "wait 1", "-c", "config settings=" + settings + " rules=" + rules});
    ASSERT_TRUE(recsrv_->ok() && cfgsim_->ok()) << recsrv_->Describe() << cfgsim_->Describe();
    w.config_port = cfgsim_->port();
    Wiring pushed = w;
    pushed.flags = flags;
    WriteTextFile(settings, SettingsJson(pushed));
    ws_ = NewWorkstation("ws");
    ws_->WriteIni(w);
    ws_->Start(display_, {{"DBUS_SYSTEM_BUS_ADDRESS", bus_->address()}});
    ASSERT_TRUE(recsrv_->WaitFor(" opened, writing ", 12000, 1)) << Describe();
  }
  std::string Describe() const {
    return ws_->Describe() + recsrv_->Describe() + (cfgsim_ ? cfgsim_->Describe() : "") +
           bus_->Describe();
  }

  std::unique_ptr<PrivateSystemBus> bus_;
  std::unique_ptr<Tool> recsrv_;
  std::unique_ptr<Tool> cfgsim_;
  std::unique_ptr<Workstation> ws_;
};

TEST_F(VorlaWSLoginManager, SuspendShutdownAndSessionEndCloseTheSessionAndANewOneOpens) {
  StayClearOfMidnight(30);
  StartRecording();
  // Signals of the wrong types and from a client that does not own the name change nothing.
  ASSERT_TRUE(bus_->Command("bad-types")) << Describe();
  ASSERT_TRUE(bus_->Command("rogue")) << Describe();
  ASSERT_TRUE(bus_->Command("sleep 0")) << Describe();  // resume: nothing to do
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(ws_->Count("notification: "), 0u) << ws_->Out();
  EXPECT_EQ(ws_->Count("Session shutdown request due to external factors"), 0u);

  struct Row {
    const char* command;
    const char* line;
  };
  const Row rows[] = {
      {"sleep 1", "Windows Power notification: 4"},
      {"shutdown 1", "Windows Session notification: 22"},
      {"remove", "Windows Session notification: 22"},
  };
  size_t ends = 0;
  size_t openings = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    const size_t lines_before = ws_->Count(row.line);
    const size_t sessions_before = recsrv_->Count("new session for user ");
    const size_t closed_before = recsrv_->Count(" closed\n");
    ASSERT_TRUE(bus_->Command(row.command)) << Describe();
    ASSERT_TRUE(ws_->WaitFor(LogLine(0x4000100B, row.line), 3000, lines_before + 1)) << Describe();
    ++ends;
    ASSERT_TRUE(ws_->WaitFor("Session shutdown request due to external factors", 3000, ends))
        << Describe();
    // The segment, event and session closed at the server, then a new session for the same user
    // that records again.
    ASSERT_TRUE(recsrv_->WaitFor(" closed: ", 3000, ends)) << Describe();
    ASSERT_TRUE(recsrv_->WaitFor("\" ends, rule 0, ", 3000, ends)) << Describe();
    ++openings;
    ASSERT_TRUE(recsrv_->WaitFor(" opened, writing ", 8000, openings)) << Describe();
    EXPECT_GT(recsrv_->Count("new session for user "), sessions_before) << recsrv_->Out();
    EXPECT_GT(recsrv_->Count(" closed\n"), closed_before) << "the session closed";
    EXPECT_EQ(ws_->Count(row.line), lines_before + 1);
  }
  // Each session belongs to this user.
  EXPECT_EQ(Occurrences(recsrv_->Out(), "new session for user \"" + user_ + "\""),
            Occurrences(recsrv_->Out(), "new session for user "))
      << recsrv_->Out();
  // After the removal the session coming back is followed again.
  ASSERT_TRUE(bus_->Command("add")) << Describe();
  ASSERT_TRUE(bus_->Command("closing")) << Describe();
  ASSERT_TRUE(ws_->WaitFor("Windows Session notification: 22", 3000, 3)) << Describe();
  EXPECT_EQ(ws_->Stop(), 0) << Describe();
}

TEST_F(VorlaWSLoginManager, ALockedSessionIsALostDesktopUntilItIsUnlocked) {
  StayClearOfMidnight(30);
  StartRecording();
  const std::string lost = LogLine(0xC0000FD3, "");
  const std::string back = LogLine(0x4000100B, "ScreenSaver/Lockout canceled.");
  ASSERT_TRUE(recsrv_->WaitFor("frame ", 5000, 2)) << Describe();
  EXPECT_EQ(ws_->Count(lost), 0u);

  ASSERT_TRUE(bus_->Command("lock 1")) << Describe();
  ASSERT_TRUE(ws_->WaitFor(lost, 4000)) << Describe();
  // The Configurator learns the state at once: 67 with the lost status.
  ASSERT_TRUE(cfgsim_->WaitFor("code 0xC0000FD3", 4000)) << Describe();
  // Lost frames carry no data (compression while lost is off): none reach the server.
  const size_t frames_locked = recsrv_->Count("frame ");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_LE(recsrv_->Count("frame "), frames_locked + 1);

  ASSERT_TRUE(bus_->Command("lock 0")) << Describe();
  ASSERT_TRUE(ws_->WaitFor(back, 4000)) << Describe();
  ASSERT_TRUE(recsrv_->WaitFor("frame ", 4000, frames_locked + 3)) << Describe();
  EXPECT_EQ(ws_->Count(lost), 1u);
  EXPECT_EQ(ws_->Count(back), 1u);
  EXPECT_EQ(ws_->Stop(), 0) << Describe();
}

TEST_F(VorlaWSLoginManager, WithoutASystemBusOneLineAndTheRecordingGoesOn) {
  StayClearOfMidnight(20);
  // No bus at this address.
  bus_.reset();
  recsrv_ = Recsrv("recsrv", "127.0.0.1", 0, {"--frame-lines"});
  const std::string rules = File("allday.json", RuleFile({AllDayRule("always")}));
  cfgsim_ = Cfgsim("cfgsim", "127.0.0.1", 0, {"-c", "wait 1", "-c", "config rules=" + rules});
  ASSERT_TRUE(recsrv_->ok() && cfgsim_->ok());
  Wiring w;
  w.recording_port = recsrv_->port();
  w.config_port = cfgsim_->port();
  w.broadcast_port = FreePort(SOCK_DGRAM);
  ws_ = NewWorkstation("ws");
  ws_->WriteIni(w);
  ws_->Start(display_, {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + Sub("no-bus-here")}});
  ASSERT_TRUE(recsrv_->WaitFor("frame ", 12000, 3)) << ws_->Describe() << recsrv_->Describe();
  EXPECT_EQ(ws_->Count("the login manager cannot be reached on the system bus"), 1u)
      << ws_->Out();
  EXPECT_EQ(ws_->Stop(), 0) << ws_->Describe();
}

}  // namespace
}  // namespace vorla::integration
