#include "service/nt_service.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/logging.h"
#include "common/text.h"
#include "platform/debug_output.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/memory_event_log.h"
#include "platform/last_error.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

class TestService : public CNTService {
 public:
  TestService() : CNTService(u"VorlaWS", u"Vorla Workstation", 1, 0) {}
  void Run() override {
    ++runs;
    stop_seen_at_run = stop_requested_;
  }
  bool OnInit() override {
    CNTService::OnInit();
    if (stop_during_init) RequestStop();
    if (init_error != 0) platform::SetLastError(init_error);
    return init_error == 0;
  }
  void SetRunning(int32_t v) { is_running_ = v; }
  int runs = 0;
  uint32_t init_error = 0;
  bool stop_during_init = false;
  int32_t stop_seen_at_run = -1;
};

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() : log_override_(log_) {
    ResetLoggingForTesting();
    platform::SetDebugOutputSink([this](std::u16string_view t) {
      // Strip "[VorlaWS](tid): " and the line break.
      std::u16string s(t);
      const auto p = s.find(u"): ");
      traces_.push_back(s.substr(p + 3, s.size() - p - 4));
    });
    platform::SetConsoleSinkForTesting([this](std::u16string_view t) { console_ += t; });
  }
  ~ServiceTest() override {
    platform::SetDebugOutputSink({});
    platform::SetConsoleSinkForTesting({});
    ResetLoggingForTesting();
  }
  bool Traced(std::u16string_view line) const {
    return std::find(traces_.begin(), traces_.end(), line) != traces_.end();
  }

  platform::MemoryEventLog log_;
  platform::ScopedEventLogOverride log_override_;
  std::vector<std::u16string> traces_;
  std::u16string console_;
};

TEST_F(ServiceTest, DirectRunInitialisesRunsStopsAndReportsNothing) {
  TestService s;
  CNTService::ServiceMain(CNTService::kDirectRun, nullptr);
  EXPECT_EQ(s.runs, 1);
  const std::vector<std::u16string> expected = {u"Entering CNTService::ServiceMain()",
                                                u"Entering CNTService::Initialize()",
                                                u"CNTService::SetStatus(0, 2)",
                                                u"CNTService::OnInit()",
                                                u"CNTService::SetStatus(0, 4)",
                                                u"Leaving CNTService::Initialize()",
                                                u"CNTService::OnStop()",
                                                u"CNTService::SetStatus(0, 1)",
                                                u"Leaving CNTService::ServiceMain()"};
  EXPECT_EQ(traces_, expected);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source, u"VorlaWSApp");
  EXPECT_EQ(records[0].code, 0x40000F02u);
  EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(records[0].text, u"The service was started successfully. VorlaWS");
  EXPECT_EQ(s.status().current_state, platform::kServiceStopped);
  EXPECT_EQ(s.status().win32_exit_code, 0u);
  EXPECT_EQ(s.is_running(), 0);
}

TEST_F(ServiceTest, AStopDuringStartUpIsNotLost) {
  TestService s;
  s.stop_during_init = true;
  CNTService::ServiceMain(CNTService::kDirectRun, nullptr);
  EXPECT_EQ(s.runs, 1);
  EXPECT_EQ(s.stop_seen_at_run, 1) << "Run must see the stop that arrived while starting";
}

TEST_F(ServiceTest, FailedInitKeepsTheLastErrorAsExitCode) {
  TestService s;
  s.init_error = 1234;
  CNTService::ServiceMain(CNTService::kDirectRun, nullptr);
  EXPECT_EQ(s.runs, 0);
  EXPECT_EQ(s.status().win32_exit_code, 1234u);
  EXPECT_EQ(s.status().current_state, platform::kServiceStopped);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].code, 0xC0000FA5u);
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].text, u"Failed to init the service: VorlaWS");
  EXPECT_FALSE(Traced(u"Leaving CNTService::Initialize()"));
}

TEST_F(ServiceTest, WithoutADispatcherHandlerRegistrationFails) {
  TestService s;
  CNTService::ServiceMain(1, nullptr);
  EXPECT_EQ(s.runs, 0);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].code, 0xC0000FA5u);
  EXPECT_EQ(records[0].text,
            u"Failed to init the service: No service control handler could be found");
  EXPECT_FALSE(Traced(u"Leaving CNTService::ServiceMain()"));
}

TEST_F(ServiceTest, HandlerDispatchesControls) {
  TestService s;
  struct Row {
    uint32_t control;
    const char16_t* trace;  // nullptr: nothing but the status update
  } rows[] = {{2, u"CNTService::OnPause()"},
              {3, u"CNTService::OnContinue()"},
              {4, u"CNTService::OnInterrogate()"},
              {128, nullptr}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.control);
    traces_.clear();
    CNTService::Handler(row.control);
    std::vector<std::u16string> expected = {FormatString(u"CNTService::Handler(%lu)", row.control)};
    if (row.trace) expected.emplace_back(row.trace);
    expected.emplace_back(u"Updating status (0, 1)");
    EXPECT_EQ(traces_, expected);
  }
}

TEST_F(ServiceTest, RequestStopWaitsTwentySecondsAtMost) {
  platform::FakeClock clock;
  platform::ScopedClockOverride use(clock);
  TestService s;
  s.SetRunning(1);
  const int64_t start = clock.WallMillis();
  EXPECT_EQ(s.RequestStop(), 1);
  EXPECT_EQ(clock.WallMillis() - start, 20000);
  EXPECT_EQ(s.status().current_state, platform::kServiceStopPending);
  EXPECT_EQ(s.stop_requested(), 1);
  ASSERT_EQ(log_.records().size(), 1u);
  EXPECT_EQ(log_.records()[0].code, 0xC0000FA0u);
  EXPECT_EQ(log_.records()[0].text, u"Internal error: VorlaWS FAILED to [STOP]");

  log_.clear();
  s.SetRunning(0);
  EXPECT_EQ(s.RequestStop(), 0);
  ASSERT_EQ(log_.records().size(), 1u);
  EXPECT_EQ(log_.records()[0].code, 0x40000F03u);
  EXPECT_EQ(log_.records()[0].text, u"The service was stopped successfully. VorlaWS due to [STOP]");
}

TEST_F(ServiceTest, InstallArgs) {
  test::ScopedTempDir dir;
  test::ScopedEnv env("VORLA_SYSTEMD_DIR", dir.path());
  TestService s;
  auto run = [&](std::vector<std::u16string> args) {
    console_.clear();
    std::vector<char16_t*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return s.ProcessInstallArgs(static_cast<int>(args.size()), argv.data());
  };
  EXPECT_FALSE(run({u"VorlaWS"}));
  EXPECT_FALSE(run({u"VorlaWS", u"-x"}));
  EXPECT_EQ(console_, u"");

  EXPECT_TRUE(run({u"VorlaWS", u"-v"}));
  EXPECT_EQ(console_, u"VorlaWS Version 1.0\nThe service is not installed\n");
  EXPECT_TRUE(run({u"VorlaWS", u"-u"}));
  EXPECT_EQ(console_, u"VorlaWS is not installed\n");

  EXPECT_TRUE(run({u"VorlaWS", u"-I", u"ignored"}));
  EXPECT_EQ(console_, u"VorlaWS installed\n");
#ifndef _WIN32
  // The systemd unit; on Windows the service manager itself holds the registration.
  const std::string unit = test::ReadFile(dir.Sub("VorlaWS.service"));
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("Description=Vorla Workstation\n"), std::string::npos);
  EXPECT_TRUE(test::FileExists(dir.Sub("multi-user.target.wants/VorlaWS.service")));
#endif
  ASSERT_FALSE(log_.records().empty());
  EXPECT_EQ(log_.records().back().source, u"VorlaWSApp");
  EXPECT_EQ(log_.records().back().code, 0x40000F01u);

  EXPECT_TRUE(run({u"VorlaWS", u"-i"}));
  EXPECT_EQ(console_, u"VorlaWS is already installed\n");
  EXPECT_TRUE(run({u"VorlaWS", u"-V"}));
  EXPECT_EQ(console_, u"VorlaWS Version 1.0\nThe service is currently installed\n");

  WindowsEventLogger::Instance().SetSourceName(u"");
  EXPECT_TRUE(run({u"VorlaWS", u"-u"}));
  EXPECT_EQ(console_.rfind(u"VorlaWS removed. (You must delete the file (", 0), 0u)
      << ToUtf8(console_);
  EXPECT_EQ(console_.substr(console_.size() - 13), u") yourself.)\n");
#ifndef _WIN32
  EXPECT_FALSE(test::FileExists(dir.Sub("VorlaWS.service")));
#endif
  EXPECT_EQ(log_.records().back().source, u"App") << "removal does not set the source name";
  EXPECT_EQ(log_.records().back().code, 0x40000F04u);
}

TEST_F(ServiceTest, InstallIntoAnUnwritableFolderReportsTheError) {
#ifdef _WIN32
  GTEST_SKIP() << "the unit folder is systemd's";
#endif
  test::ScopedTempDir dir;
  test::ScopedEnv env("VORLA_SYSTEMD_DIR", dir.Sub("missing/deeper"));
  TestService s;
  std::u16string a0 = u"VorlaWS", a1 = u"-i";
  char16_t* argv[] = {a0.data(), a1.data(), nullptr};
  EXPECT_TRUE(s.ProcessInstallArgs(2, argv));
  EXPECT_EQ(console_, u"VorlaWS failed to install. Error 3\n");
}

}  // namespace
}  // namespace vorla
