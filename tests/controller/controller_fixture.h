// The controller on fakes: a clock the test moves, a scripted host (a logged-on user through the
// desktop shell's owner), a fake desk for the capture thread (ticked by hand only), the event log
// in memory, and the reference recording server running in this process on a free port.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_interface.h"
#include "common/logging.h"
#include "common/text.h"
#include "compression/compressor.h"
#include "controller/workstation_controller.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_displays.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_session_notifications.h"
#include "platform/fake/fake_tray_icon.h"
#include "platform/fake/memory_event_log.h"
#include "recording_server.h"
#include "rules/rule_actions.h"
#include "rules/rules_engine.h"
#include "security/security_server.h"
#include "support/temp_dir.h"

namespace vorla::test {

// Wall time moves only when the test moves it. A sleep takes a little real time (at most 20 ms)
// and moves only the tick count, so waits that poll with sleeps (the capture start, a failed
// link's receive thread) still end, in real time, without moving the wall clock under the test.
class SteppedClock final : public platform::Clock {
 public:
  SteppedClock(int64_t start_seconds, int64_t utc_offset_seconds)
      : wall_ms_(start_seconds * 1000), offset_(utc_offset_seconds) {}

  int64_t WallSeconds() override { return platform::FakeClock::FloorDiv(wall_ms_.load(), 1000); }
  int64_t WallMillis() override { return wall_ms_.load(); }
  uint64_t TickMs() override { return tick_ms_.load(); }
  platform::CalendarTime LocalTime(int64_t seconds) override {
    return platform::UtcCalendar(seconds + offset_);
  }
  void SleepMs(uint32_t ms) override {
    tick_ms_.fetch_add(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 20)));
  }

  void AdvanceSeconds(int64_t s) {
    wall_ms_.fetch_add(s * 1000);
    tick_ms_.fetch_add(static_cast<uint64_t>(s) * 1000);
  }
  // Sets the wall clock to a local calendar second (the tick moves on by the same amount when
  // that is later).
  void SetLocal(int64_t local_seconds) {
    const int64_t target = (local_seconds - offset_) * 1000;
    const int64_t step = target - wall_ms_.load();
    wall_ms_.store(target);
    if (step > 0) tick_ms_.fetch_add(static_cast<uint64_t>(step));
  }
  // Sets the wall clock on (or back, for s < 0) by `s` seconds alone, as a clock set by hand:
  // the tick count stays where it is.
  void StepWallSeconds(int64_t s) { wall_ms_.fetch_add(s * 1000); }
  int64_t offset() const { return offset_; }

 private:
  std::atomic<int64_t> wall_ms_;
  std::atomic<uint64_t> tick_ms_{1000000};
  const int64_t offset_;
};

// The event log in memory. Worker threads (capture, links, the server) log as well, so the
// console lines go nowhere rather than into an unguarded list, and Clear keeps the logging state.
class ControllerLog {
 public:
  ControllerLog() : override_(log_) {
    ResetLoggingForTesting();
    platform::SetConsoleSinkForTesting([](std::u16string_view) {});
  }
  ~ControllerLog() {
    platform::SetConsoleSinkForTesting({});
    ResetLoggingForTesting();
  }
  ControllerLog(const ControllerLog&) = delete;
  ControllerLog& operator=(const ControllerLog&) = delete;

  std::vector<platform::MemoryEventLog::Record> records() const { return log_.records(); }
  void Clear() { log_.clear(); }

 private:
  platform::MemoryEventLog log_;
  platform::ScopedEventLogOverride override_;
};

// A trigger input whose value the test sets; of any input type (516 makes an external rule).
class ScriptedInput final : public TriggerInputBase {
 public:
  explicit ScriptedInput(int32_t type) : TriggerInputBase(type, u"SCRIPTED") {}
  bool Write(ByteWriter* out, size_t& size) const override {
    if (out) out->Utf16z(name);
    size = 2 * name.size() + 2;
    return true;
  }
  bool Read(ByteReader& in) override { return in.Utf16z(name); }
  std::u16string Describe() const override { return name; }
  bool Evaluate() override { return value.load(); }

  std::atomic<bool> value{false};
};

struct ScriptedRule {
  std::shared_ptr<TriggerRule> rule;
  std::shared_ptr<ScriptedInput> input;
};

inline ScriptedRule MakeRule(ActionList on_true, ActionList on_false,
                             int32_t input_type = kTriggerInputTypeApp) {
  ScriptedRule r{std::make_shared<TriggerRule>(), std::make_shared<ScriptedInput>(input_type)};
  r.rule->name = u"rule";
  r.rule->first_input = r.input;
  r.rule->rule_operator = kRuleOperatorSingle;
  r.rule->true_actions = std::move(on_true);
  r.rule->false_actions = std::move(on_false);
  return r;
}

inline std::shared_ptr<ActionRecord> RecordAction(uint32_t ips = 1, int32_t duration = -1,
                                                  uint32_t quality = 60) {
  auto a = std::make_shared<ActionRecord>();
  a->images_per_second = ips;
  a->duration_seconds = duration;
  a->quality = quality;
  return a;
}
inline std::shared_ptr<ActionBase> StopAction() { return std::make_shared<ActionStopRecord>(); }

// Polls `done` in real time, up to `ms`.
template <class F>
bool WaitFor(F done, int ms = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ControllerTest : public ::testing::Test {
 protected:
  // 2023-11-14 22:13:20 UTC; local time runs two hours ahead, so it is 00:13:20 on the 15th.
  static constexpr int64_t kStartSeconds = 1700000000;
  static constexpr int64_t kUtcOffset = 7200;
  static constexpr uint32_t kNoCodec = 0x47504A4D;  // "MJPG": no such codec is installed

  ControllerTest()
      : appdata_("VORLA_COMMON_APPDATA", temp_.Sub("appdata")),
        runtime_("VORLA_RUNTIME_DIR", temp_.Sub("run")),
        clock_(kStartSeconds, kUtcOffset),
        clock_override_(clock_),
        host_override_(host_, sessions_) {
    host_.module_path = u"/opt/vorla/VorlaWS";
    host_.versions[u"/opt/vorla/VorlaWS"] = {1, 2, 3, 4};
    host_.fqdn = u"ws-1.example";
    host_.resolutions["ws-1.example"] = {{true, 0x0A00A8C0}};
    host_.resolutions["127.0.0.1"] = {{true, platform::LoopbackAddress()}};
    host_.resources.physical_total = 8ull << 30;
    LogOn(u"alice");

    desk_->Fill(desk_->AddDisplay(u"A", 0, 0, 64, 32), 20, 40, 60);
    capture_env_.make_displays = [desk = desk_] { return desk->MakeDisplays(); };
    capture_env_.make_input_desktop = [desk = desk_] { return desk->MakeInputDesktop(); };
    capture_env_.timer = CaptureEnvironment::Timer::kManual;
    SetCaptureEnvironmentForTesting(&capture_env_);

    server_options_.port = 0;
    server_options_.output = temp_.Sub("recordings");
  }

  void SetUp() override {
    ASSERT_TRUE(SecurityServer::Instance().Initialize());
    controller_ = std::make_unique<WorkstationController>();
    WorkstationConfig& s = ws().settings();
    s.SeatingType = 2;
    s.AssignedFCC = kFccJpeg;
    s.SCServerIP = u"127.0.0.1";
    s.ConfigIP = u"127.0.0.1";
  }

  ~ControllerTest() override {
    // The capture thread fills the controller's queues: it stops first.
    StopCapture();
    controller_.reset();
    if (server_) server_->Stop();
    if (server_lines_ != nullptr) {
      if (HasFailure()) {
        std::rewind(server_lines_);
        char line[512];
        std::fprintf(stderr, "--- recording server:\n");
        while (std::fgets(line, sizeof line, server_lines_)) std::fputs(line, stderr);
      }
      std::fclose(server_lines_);
    }
    server_.reset();
    ResetRulesEngineForTesting();
    SetCaptureEnvironmentForTesting(nullptr);
  }

  WorkstationController& ws() { return *controller_; }

  // The tick count in whole seconds. Sleeps move the tick alone, so the tick and the wall clock
  // drift apart over a test.
  int64_t Tick() { return static_cast<int64_t>(clock_.TickMs() / 1000); }
  // Moves both clocks on in whole seconds until Tick() is `tick_seconds`.
  void AdvanceToTick(int64_t tick_seconds) { clock_.AdvanceSeconds(tick_seconds - Tick()); }

  // The desktop shell runs as `user`; an empty name: nobody is logged on.
  void LogOn(const std::u16string& user) {
    host_.processes.clear();
    host_.process_uids.clear();
    host_.accounts.clear();
    if (user.empty()) return;
    host_.processes.push_back({100, u"openbox"});
    host_.process_uids[100] = 1000;
    host_.accounts[1000] = user;
  }

  // Starts the recording server (with server_options_) unless it runs.
  void StartServer() {
    if (server_) return;
    server_lines_ = std::tmpfile();
    ASSERT_NE(server_lines_, nullptr);
    server_ = std::make_unique<recsrv::RecordingServer>(server_options_, server_lines_);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
    ws().settings().RecordingPort = server_->port();
  }

  // The current server API to the recording server.
  void ConnectServer() {
    StartServer();
    ASSERT_EQ(
        ws().current_server().Connect(u"127.0.0.1", server_->port(), u"ws-1.example", 0x0A00A8C0),
        0u);
  }

  // A session for `user` on the recording server (connected first when it is not), with `rules`
  // as the settings' rules.
  void OpenSession(RuleList rules = {}, const std::u16string& user = u"alice") {
    ws().settings().rules = std::move(rules);
    if (!ws().current_server().IsConnected()) ConnectServer();
    ASSERT_EQ(ws().OpenSession(user), 0u);
    ASSERT_EQ(ws().session_user(), user);
  }

  // What the recording server has seen so far.
  recsrv::IndexData Index() {
    return server_->index().Update([](recsrv::IndexData& d) { return d; });
  }
  // The segments of the one session the server knows.
  std::vector<recsrv::SegmentEntry> Segments() {
    const recsrv::IndexData d = Index();
    if (d.sessions.empty()) return {};
    return d.sessions.rbegin()->second.segments;
  }

  size_t CountLogged(std::u16string_view text) const {
    size_t n = 0;
    for (const auto& r : log_.records())
      if (r.text.find(text) != std::u16string::npos) ++n;
    return n;
  }
  bool Logged(std::u16string_view text) const { return CountLogged(text) > 0; }
  size_t CountCode(Status code) const {
    size_t n = 0;
    for (const auto& r : log_.records()) n += r.code == code ? 1 : 0;
    return n;
  }

  // A captured frame with `length` bytes of data (0: a frame without data).
  static screen_image Frame(uint32_t length, uint32_t flags = 0,
                            int64_t capture_time = kStartSeconds * 1000) {
    screen_image f;
    f.capture_time = capture_time;
    f.width = 64;
    f.height = 32;
    f.flags = flags;
    f.data_length = length;
    if (length != 0) {
      f.data = PayloadBuffer::Allocate(length);
      for (uint32_t i = 0; i < length; ++i) f.data.data()[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return f;
  }
  void SendQueued() {
    ws().ProcessFrameQueue(ws().recording_queue(), WorkstationController::FrameMode::kRecording,
                           true);
  }

  ScopedTempDir temp_;
  ScopedEnv appdata_;
  ScopedEnv runtime_;
  SteppedClock clock_;
  platform::ScopedClockOverride clock_override_;
  platform::FakeHost host_;
  platform::FakeSessionQueries sessions_;
  platform::ScopedHostOverride host_override_;
  ControllerLog log_;
  std::shared_ptr<platform::FakeDesk> desk_ = platform::FakeDesk::Create();
  // The system's notices and its tray, as Initialize registers and makes them.
  platform::FakeSessionNotifications notices_;
  platform::FakeTray tray_;
  CaptureEnvironment capture_env_;
  recsrv::ServerOptions server_options_;
  std::FILE* server_lines_ = nullptr;
  std::unique_ptr<recsrv::RecordingServer> server_;
  std::unique_ptr<WorkstationController> controller_;
};

}  // namespace vorla::test
