// The tray icon and the session notices of the controller, on the fake tray and the fake notice
// source that Initialize finds in place of the system's.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "controller/controller_fixture.h"
#include "controller/tray_icons.h"

namespace vorla {
namespace {

using test::MakeRule;
using test::RecordAction;
using Op = platform::FakeTray::Op;

class ControllerTrayTest : public test::ControllerTest {
 protected:
  // Initialize over saved settings with `flags` (only EnableDesktopIcon is kept by the INI file).
  void InitializeWith(uint32_t flags) {
    std::filesystem::create_directories(temp_.Sub("run"));
    StartServer();
    WorkstationConfig saved;
    saved.SCServerIP = u"127.0.0.1";
    saved.RecordingPort = server_->port();
    saved.ConfigIP = u"127.0.0.1";
    saved.ConfigPort = 1;
    saved.BroadcastPort = 0;
    saved.SeatingType = 2;
    saved.AssignedFCC = kFccJpeg;
    saved.Flags = flags;
    ASSERT_TRUE(SaveSettings(saved, u"ws-1.example", false));
    ASSERT_EQ(ws().Initialize(), 0u);
    ASSERT_EQ(ws().tray_icon_enabled(), (flags & kFlagDesktopIcon) != 0);
  }

  // The last add or modify.
  platform::FakeTray::Call LastShow() {
    const auto calls = tray_.calls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
      if (it->op != Op::kDelete) return *it;
    ADD_FAILURE() << "no add or modify";
    return {};
  }
};

TEST_F(ControllerTrayTest, TheIconAndItsTipFollowOfflineIdleRecordingAndIdleAgain) {
  InitializeWith(kFlagDesktopIcon);
  const platform::TrayImage offline = LoadTrayIcon(kIconOffline);
  const platform::TrayImage idle = LoadTrayIcon(kIconIdle);
  const platform::TrayImage recording = LoadTrayIcon(kIconRecording);
  ASSERT_TRUE(offline.valid() && idle.valid() && recording.valid());
  ASSERT_NE(offline.argb, idle.argb);
  ASSERT_NE(idle.argb, recording.argb);
  EXPECT_FALSE(LoadTrayIcon(104).valid());

  // Nobody logged on: offline, added once, then changed on every pass.
  LogOn(u"");
  ws().PeriodicTasks();
  ws().PeriodicTasks();
  auto calls = tray_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].op, Op::kAdd);
  EXPECT_EQ(calls[1].op, Op::kModify);
  for (const auto& c : calls) {
    EXPECT_EQ(c.tip, u"Screen recording offline");
    EXPECT_EQ(c.image.argb, offline.argb);
  }
  EXPECT_TRUE(ws().tray_icon_added());

  // A session, not recording: idle.
  LogOn(u"alice");
  ConnectServer();
  const test::ScriptedRule slow = MakeRule({RecordAction(1)}, {test::StopAction()});
  const test::ScriptedRule fast = MakeRule({RecordAction(5)}, {test::StopAction()});
  ws().settings().rules = {slow.rule, fast.rule};
  ws().PeriodicTasks();
  ASSERT_EQ(ws().session_user(), u"alice");
  EXPECT_EQ(LastShow().op, Op::kModify);
  EXPECT_EQ(LastShow().tip, u"Screen recording idle");
  EXPECT_EQ(LastShow().image.argb, idle.argb);

  // Recording: the seconds since the capture began, across a new segment of the same capture.
  slow.input->value = true;
  ws().PeriodicTasks();
  EXPECT_EQ(LastShow().tip, u"Screen recording in progress: 0 sec");
  EXPECT_EQ(LastShow().image.argb, recording.argb);
  clock_.AdvanceSeconds(7);
  ws().PeriodicTasks();
  EXPECT_EQ(LastShow().tip, u"Screen recording in progress: 7 sec");
  const std::u16string first_segment = ws().segment_record().segment_id;
  fast.input->value = true;
  clock_.AdvanceSeconds(5);
  ws().PeriodicTasks();
  ASSERT_NE(ws().segment_record().segment_id, first_segment) << "a new segment";
  EXPECT_EQ(LastShow().tip, u"Screen recording in progress: 12 sec");

  // Stopped: idle again, and a new capture counts from 0.
  slow.input->value = false;
  fast.input->value = false;
  ws().PeriodicTasks();
  ASSERT_FALSE(IsCaptureRunning());
  EXPECT_EQ(LastShow().tip, u"Screen recording idle");
  EXPECT_EQ(LastShow().image.argb, idle.argb);
  slow.input->value = true;
  ws().PeriodicTasks();
  clock_.AdvanceSeconds(2);
  ws().PeriodicTasks();
  EXPECT_EQ(LastShow().tip, u"Screen recording in progress: 2 sec");
  for (const auto& c : tray_.calls()) EXPECT_TRUE(c.result);
  EXPECT_EQ(tray_.icons_created(), 1);
}

TEST_F(ControllerTrayTest, AFailedAddIsRetriedAndAFailedChangeRepeatedAsAChange) {
  InitializeWith(kFlagDesktopIcon);
  LogOn(u"");
  tray_.FailNextAdds(2);
  ws().PeriodicTasks();
  ws().PeriodicTasks();
  EXPECT_FALSE(ws().tray_icon_added());
  EXPECT_FALSE(tray_.shown());
  ws().PeriodicTasks();
  EXPECT_TRUE(ws().tray_icon_added());
  EXPECT_TRUE(tray_.shown());

  // The tray goes away: the changes fail, the icon stays added and is changed again each pass,
  // which shows it once a tray runs again.
  tray_.SetRunning(false);
  ws().PeriodicTasks();
  ws().PeriodicTasks();
  tray_.SetRunning(true);
  ws().PeriodicTasks();
  const auto calls = tray_.calls();
  std::vector<std::pair<Op, bool>> seen;
  for (const auto& c : calls) seen.emplace_back(c.op, c.result);
  const std::vector<std::pair<Op, bool>> expected = {
      {Op::kAdd, false},    {Op::kAdd, false},    {Op::kAdd, true},
      {Op::kModify, false}, {Op::kModify, false}, {Op::kModify, true}};
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(tray_.shown());
  EXPECT_EQ(tray_.shown_tip(), u"Screen recording offline");
}

TEST_F(ControllerTrayTest, ShutdownRemovesTheIconAndWithoutTheSettingThereIsNone) {
  {
    SCOPED_TRACE("EnableDesktopIcon 1");
    InitializeWith(kFlagDesktopIcon);
    ws().PeriodicTasks();
    ASSERT_TRUE(tray_.shown());
    ws().Shutdown();
    EXPECT_FALSE(tray_.shown());
    EXPECT_FALSE(ws().tray_icon_added());
    EXPECT_EQ(tray_.calls().back().op, Op::kDelete);
    EXPECT_EQ(tray_.icons_alive(), 0) << "the display connection goes with the stand-in";
    // As at the end of the hidden window: the request is left set, and a pass clears it.
    EXPECT_TRUE(ws().external_shutdown_requested());
    EXPECT_FALSE(notices_.registered());
  }
  tray_.ClearCalls();
  {
    SCOPED_TRACE("EnableDesktopIcon 0");
    InitializeWith(0);
    ws().PeriodicTasks();
    ws().PeriodicTasks();
    ws().UpdateTrayIcon(true, false, false, 0);  // no icon object: nothing
    ws().Shutdown();
    EXPECT_TRUE(tray_.calls().empty());
    EXPECT_EQ(tray_.icons_created(), 1) << "only the first start made one";
  }
}

TEST_F(ControllerTrayTest, NoticesAreLoggedAndEndTheSessionAtTheNextPass) {
  struct Row {
    platform::SessionNotice notice;
    const char16_t* line;
  };
  const Row rows[] = {
      {platform::SessionNotice::kSuspend, u"Windows Power notification: 4"},
      {platform::SessionNotice::kSessionEnd, u"Windows Session notification: 22"},
  };
  InitializeWith(0);
  ASSERT_TRUE(notices_.registered());
  ConnectServer();
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  ws().settings().rules = {ext.rule};
  ws().PeriodicTasks();
  ASSERT_EQ(ws().session_user(), u"alice");
  for (const Row& row : rows) {
    SCOPED_TRACE(ToUtf8(row.line));
    log_.Clear();
    ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
    const std::u16string session = ws().session_record().session_id;
    // The system delivers on a thread of its own.
    std::thread source([&] { EXPECT_TRUE(notices_.Notify(row.notice)); });
    source.join();
    EXPECT_TRUE(Logged(row.line));
    EXPECT_TRUE(ws().external_shutdown_requested());
    EXPECT_EQ(ws().session_user(), u"alice") << "nothing happens before the pass";

    ws().PeriodicTasks();
    EXPECT_TRUE(Logged(u"Session shutdown request due to external factors"));
    EXPECT_TRUE(ws().session_user().empty());
    EXPECT_FALSE(IsCaptureRunning());
    ASSERT_TRUE(test::WaitFor([&] {
      const recsrv::IndexData d = Index();
      auto it = d.sessions.find(ToUtf8(session));
      return it != d.sessions.end() && !it->second.open && !it->second.segments.empty() &&
             !it->second.segments.back().open;
    })) << "segment and session closed at the server";

    ws().PeriodicTasks();
    EXPECT_EQ(ws().session_user(), u"alice") << "a new session for the same user";
    EXPECT_NE(ws().session_record().session_id, session);
  }

  // A source that cannot be reached is logged and changes nothing.
  log_.Clear();
  EXPECT_TRUE(notices_.Notify(platform::SessionNotice::kUnavailable));
  EXPECT_EQ(CountCode(kStatusAuditMsg), 1u);
  EXPECT_FALSE(ws().external_shutdown_requested());
}

}  // namespace
}  // namespace vorla
