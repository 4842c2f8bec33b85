// The real VorlaWS program: started outside the service manager, in direct-run mode, and under a
// notify socket that plays systemd.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using test::BuiltProgram;
using test::ChildProgram;
using test::ScopedTempDir;

class VorlaWSProgram : public ::testing::Test {
 protected:
  std::map<std::string, std::optional<std::string>> Env() {
    return {{"VORLA_LOG_DIR", dir_.Sub("log")},
            {"VORLA_TEMP_DIR", dir_.path()},
            {"VORLA_COMMON_APPDATA", dir_.Sub("data")},
            {"VORLA_RUNTIME_DIR", dir_.Sub("run")},
            {"VORLA_SYSTEMD_DIR", dir_.Sub("units")},
            {"VORLA_DEBUG_OUTPUT", "1"},
            {"NOTIFY_SOCKET", std::nullopt}};
  }
  ScopedTempDir dir_;
};

TEST_F(VorlaWSProgram, OutsideTheServiceManagerItEndsAtOnceWithZero) {
  for (const char* arg : {"", "cmdln", "CMDL"}) {
    SCOPED_TRACE(arg);
    std::vector<std::string> argv = {BuiltProgram("VorlaWS")};
    if (*arg) argv.push_back(arg);
    ChildProgram p(argv, Env(), dir_.path());
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.Wait(10000), 0);
    const std::string err = p.Stderr();
    EXPECT_NE(err.find("[VorlaWS]("), std::string::npos);
    EXPECT_NE(err.find("): Calling StartServiceCtrlDispatcher()\n"), std::string::npos) << err;
    EXPECT_NE(err.find("): Returned from StartServiceCtrlDispatcher(), GetLastErr=1063\n"),
              std::string::npos)
        << err;
  }
}

TEST_F(VorlaWSProgram, DirectRunKeepsRunningAndTraces) {
  // "CMDLN" inside a longer word counts, as it would in the program's own path. With no
  // settings yet the controller starts on the defaults, writes them, and its first pass tries
  // the Configurator that the defaults name.
  ChildProgram p({BuiltProgram("VorlaWS"), "xCMDLNx"}, Env(), dir_.path());
  ASSERT_TRUE(p.started());
  ASSERT_TRUE(
      p.WaitForStdout("Err: 0xC0000FA2: WorkstationController: Failed to open Cfg "
                      "connection NO_SET.\n",
                      10000))
      << p.Stdout() << p.Stderr();
  EXPECT_FALSE(p.Wait(300).has_value()) << "it must not stop by itself";
  const std::string out = p.Stdout();
  EXPECT_NE(out.find("Err: 0x40000F05: \n"), std::string::npos) << out;
  EXPECT_NE(out.find("Err: 0x4000100B: VorlaWorkstation version: 1.0."), std::string::npos) << out;
  EXPECT_LT(out.find("VorlaWorkstation version: "), out.find("Failed to open Cfg connection"));
  const std::string err = p.Stderr();
  for (const char* line : {"Entering CNTService::ServiceMain()", "CNTService::SetStatus(0, 2)",
                           "CNTService::SetStatus(0, 4)"})
    EXPECT_NE(err.find(line), std::string::npos) << line;
  EXPECT_EQ(err.find("Sleeping..."), std::string::npos) << "the framework's own body ran";
  EXPECT_EQ(err.find("StartServiceCtrlDispatcher"), std::string::npos);
  const auto ini = test::ReadLines(dir_.Sub("data/Vorla/Workstation/Workstation.ini"));
  for (const char* line : {"[Config]", "ConfigIP=NO_SET", "SCServerIP=NO_SET", "ConfigPort=4489",
                           "RecordingPort=4488", "SeatingType=2"})
    EXPECT_NE(std::find(ini.begin(), ini.end(), line), ini.end()) << line;
  const auto ops = test::ReadLines(dir_.Sub("log/VorlaOperations.log"));
  ASSERT_EQ(ops.size(), 1u);
  EXPECT_NE(
      ops[0].find(
          "\tVorlaWSApp\tINFORMATION\t0x40000F02\tThe service was started successfully. VorlaWS"),
      std::string::npos);
}

// A datagram socket that plays the service manager's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  // Collects messages until one contains `text` or the time is up; returns all seen.
  bool WaitFor(const std::string& text, int timeout_ms, std::string* seen) {
    timeval tv{0, 50000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    for (int waited = 0; waited < timeout_ms; waited += 50) {
      char buf[512];
      const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n > 0) {
        const std::string msg(buf, static_cast<size_t>(n));
        *seen += msg + "|";
        if (msg.find(text) != std::string::npos) return true;
      }
    }
    return false;
  }

 private:
  std::string path_;
  int fd_;
  bool bound_ = false;
};

TEST_F(VorlaWSProgram, UnderSystemdItReportsReadyAndStopsOnSigterm) {
  NotifySocket notify(dir_.Sub("notify.sock"));
  ASSERT_TRUE(notify.bound());
  auto env = Env();
  env["NOTIFY_SOCKET"] = dir_.Sub("notify.sock");
  ChildProgram p({BuiltProgram("VorlaWS")}, env, dir_.path());
  ASSERT_TRUE(p.started());
  std::string seen;
  ASSERT_TRUE(notify.WaitFor("READY=1", 10000, &seen)) << seen << p.Stderr();
  EXPECT_NE(seen.find("STATUS=Start pending"), std::string::npos) << seen;
  p.Signal(SIGTERM);
  ASSERT_TRUE(notify.WaitFor("STOPPING=1", 10000, &seen)) << seen;
  EXPECT_EQ(p.Wait(30000), 0) << p.Stderr();
  notify.WaitFor("STATUS=Stopped", 1000, &seen);
  EXPECT_NE(seen.find("STATUS=Stopped"), std::string::npos) << seen;

  const auto ops = test::ReadLines(dir_.Sub("log/VorlaOperations.log"));
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_NE(ops[0].find("\t0x40000F02\tThe service was started successfully. VorlaWS"),
            std::string::npos);
  EXPECT_NE(
      ops[1].find("\tVorlaWSApp\tINFORMATION\t0x40000F03\tThe service was stopped successfully. "
                  "VorlaWS due to [STOP]"),
      std::string::npos)
      << ops[1];
  const std::string err = p.Stderr();
  EXPECT_NE(err.find("CNTService::Handler(1)"), std::string::npos);
  EXPECT_NE(err.find("Returned from StartServiceCtrlDispatcher(), GetLastErr=0"), std::string::npos)
      << err;
}

TEST_F(VorlaWSProgram, SigintIsTheShutdownControl) {
  NotifySocket notify(dir_.Sub("notify.sock"));
  auto env = Env();
  env["NOTIFY_SOCKET"] = dir_.Sub("notify.sock");
  ChildProgram p({BuiltProgram("VorlaWS")}, env, dir_.path());
  std::string seen;
  ASSERT_TRUE(notify.WaitFor("READY=1", 10000, &seen));
  p.Signal(SIGINT);
  EXPECT_EQ(p.Wait(30000), 0);
  EXPECT_NE(p.Stderr().find("CNTService::Handler(5)"), std::string::npos);
}

TEST_F(VorlaWSProgram, InstallWordsManageTheUnit) {
  std::filesystem::create_directory(dir_.Sub("units"));
  {
    ChildProgram p({BuiltProgram("VorlaWS"), "-i"}, Env(), dir_.path());
    EXPECT_EQ(p.Wait(10000), 0);
    EXPECT_EQ(p.Stdout(), "VorlaWS installed\n");
  }
  const std::string unit = test::ReadFile(dir_.Sub("units/VorlaWS.service"));
  EXPECT_NE(unit.find("ExecStart=\"" +
                      std::filesystem::canonical(BuiltProgram("VorlaWS")).string() + "\""),
            std::string::npos)
      << unit;
  ChildProgram v({BuiltProgram("VorlaWS"), "-v"}, Env(), dir_.path());
  EXPECT_EQ(v.Wait(10000), 0);
  EXPECT_EQ(v.Stdout(), "VorlaWS Version 1.0\nThe service is currently installed\n");
}

}  // namespace
}  // namespace vorla
