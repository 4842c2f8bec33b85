// The controller's sessions, segments, frames, events and rules step, driven through its public
// operations on the fakes, against the reference recording server in this process.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "controller/controller_fixture.h"
#include "platform/sockets.h"

namespace vorla {
namespace {

using test::MakeRule;
using test::RecordAction;
using test::StopAction;
using test::WaitFor;

using ControllerSessionTest = test::ControllerTest;

TEST_F(ControllerSessionTest, StatusWordFollowsSessionRecordingBlankingAndFailures) {
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  const test::ScriptedRule rule = MakeRule({RecordAction()}, {});
  EXPECT_EQ(ws().StatusWord(), 0x1u) << "no session";
  OpenSession({ext.rule, rule.rule});
  EXPECT_EQ(ws().recording_state(), 3u);
  EXPECT_EQ(ws().StatusWord(), 0x3u) << "session open, idle";

  ASSERT_EQ(ws().ExternalTrigger(0x3, nullptr, u""), 0u) << "start, blanked";
  EXPECT_EQ(ws().recording_state(), 7u);
  EXPECT_EQ(ws().blank_count(), 1);
  EXPECT_EQ(ws().StatusWord(), 0x207u) << "7 | requests 4 | blanked 0x200 | session 2";
  ASSERT_EQ(ws().ExternalTrigger(0x0, nullptr, u""), 0u);
  EXPECT_EQ(ws().blank_count(), 0) << "a stop takes one blank request back";
  EXPECT_EQ(ws().StatusWord(), 0x3u);

  // Starts that fail on the codec: state 35; an external start is not retried, a rule's is.
  ws().settings().AssignedFCC = kNoCodec;
  EXPECT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0xC0000FD2u);
  EXPECT_EQ(ws().recording_state(), 35u);
  EXPECT_EQ(ws().last_status(), 0xC0000FD2u);
  EXPECT_EQ(ws().pending_record_count(), 0u);
  EXPECT_EQ(ws().StatusWord(), 0x23u);
  rule.input->value = true;
  EXPECT_EQ(ws().ProcessRules(false), 0xC0000FD2u);
  EXPECT_EQ(ws().pending_record_count(), 1u);
  EXPECT_EQ(ws().StatusWord(), 0x33u) << "35 | pending 0x10 | session 2";

  // The status goes to the recording server as well, word and code as they are.
  ws().NotifyStatusIfDue(true);
  ASSERT_TRUE(WaitFor([&] {
    const recsrv::IndexData d = Index();
    return !d.workstations.empty() && d.workstations.back().last_status_word == 0x33u;
  }));
  EXPECT_EQ(Index().workstations.back().last_status_code, 0xC0000FD2u);

  ws().CloseSession();
  EXPECT_EQ(ws().StatusWord(), 0x1u);
  EXPECT_EQ(ws().pending_record_count(), 0u);
}

TEST_F(ControllerSessionTest, TheLoggedOnUserDecidesTheSession) {
  ConnectServer();
  struct Step {
    const char* name;
    const char16_t* shell_owner;  // nullptr: the shell runs but its owner cannot be named
    const char16_t* session_user;
    bool new_session;
  };
  const Step steps[] = {
      {"alice logs on", u"alice", u"alice", true},
      {"the same user", u"alice", u"alice", false},
      {"letter case counts", u"Alice", u"Alice", true},
      {"no name to be had: the session stays", nullptr, u"Alice", false},
      {"nobody logged on", u"", u"", false},
      {"bob logs on", u"bob", u"bob", true},
  };
  std::u16string id;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.shell_owner != nullptr) {
      LogOn(step.shell_owner);
    } else {
      host_.accounts.clear();
    }
    log_.Clear();
    ws().PeriodicTasks();
    EXPECT_EQ(ws().session_user(), step.session_user);
    EXPECT_EQ(ws().session_record().session_id != id && !ws().session_user().empty(),
              step.new_session);
    EXPECT_EQ(Logged(u"WorkstationController: Failed to get current logged on user."),
              step.shell_owner == nullptr);
    id = ws().session_record().session_id;
  }
}

TEST_F(ControllerSessionTest, ExternalTriggerRefusals) {
  ws().settings().Flags = kFlagRulesDisabled;
  EXPECT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0xC0000FC0u) << "rules disabled";
  ws().settings().Flags = 0;
  EXPECT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0xC0000FE9u) << "no session";
  EXPECT_EQ(ws().ExternalTrigger(0x0, nullptr, u""), 0xC0000FE9u) << "no session, stop";

  // No rule with an external input and a record action.
  const test::ScriptedRule plain = MakeRule({RecordAction()}, {});
  const test::ScriptedRule ext_without_record =
      MakeRule({std::make_shared<ActionBlank>()}, {}, kTriggerInputTypeExt);
  OpenSession({plain.rule, ext_without_record.rule});
  EXPECT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0xC0000FA3u);
  EXPECT_EQ(ws().recording_request_count(), 0);

  const test::ScriptedRule ext = MakeRule({RecordAction(2)}, {}, kTriggerInputTypeExt);
  OpenSession({plain.rule, ext.rule});
  ws().settings().Flags = kFlagRulesDisabled;
  EXPECT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0xC0000FC0u) << "rules disabled, session";
  ws().settings().Flags = 0;
  EventRecord first;
  ASSERT_EQ(ws().ExternalTrigger(0x1, &first, u""), 0u);
  EXPECT_EQ(first.rule_reference, 1u) << "the external rule's number";
  EXPECT_EQ(ws().current_capture_format().frame_rate, 2u);
  EXPECT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0xC0000FE8u) << "second start, bit 9 clear";
  EXPECT_EQ(ws().ExternalTrigger(0x3, nullptr, u""), 0xC0000FE8u) << "blanked, bit 9 clear";
  EXPECT_EQ(ws().blank_count(), 0) << "a refused start leaves no blanking behind";
  EXPECT_EQ(ws().recording_request_count(), 1);
  EXPECT_EQ(ws().external_trigger_count(), 1);
  EXPECT_EQ(ws().active_events().size(), 1u);

  ws().settings().Flags = kFlagParallelExternalStart;
  EventRecord second;
  ASSERT_EQ(ws().ExternalTrigger(0x1, &second, u""), 0u) << "second start, bit 9 set";
  EXPECT_EQ(ws().recording_request_count(), 2);
  EXPECT_EQ(ws().external_trigger_count(), 2);
  EXPECT_EQ(ws().active_events().size(), 2u);
  EXPECT_NE(first.event_id, second.event_id);
}

TEST_F(ControllerSessionTest, ExternalStopEndsItsEventOrEveryEventOfTheExternalRule) {
  ws().settings().Flags = kFlagParallelExternalStart;
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);  // rule 0
  const test::ScriptedRule rule = MakeRule({RecordAction()}, {StopAction()});           // rule 1
  OpenSession({ext.rule, rule.rule});
  const uint64_t t0 = static_cast<uint64_t>(clock_.WallSeconds()) * 1000;
  EventRecord a, b, c;
  ASSERT_EQ(ws().ExternalTrigger(0x1, &a, u""), 0u);
  ASSERT_EQ(ws().ExternalTrigger(0x1, &b, u""), 0u);
  ASSERT_EQ(ws().ExternalTrigger(0x1, &c, u""), 0u);
  EXPECT_EQ(a.start_time, t0);
  EXPECT_EQ(a.end_time, 0u);
  rule.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  ASSERT_EQ(ws().active_events().size(), 4u);
  ASSERT_EQ(ws().recording_request_count(), 4);

  // A stop naming an event ends that one.
  clock_.AdvanceSeconds(3);
  EventRecord ended;
  ASSERT_EQ(ws().ExternalTrigger(0x0, &ended, c.event_id), 0u);
  EXPECT_EQ(ended.event_id, c.event_id);
  EXPECT_EQ(ended.start_time, t0);
  EXPECT_EQ(ended.end_time, t0 + 3000);
  EXPECT_EQ(ws().active_events().count(c.event_id), 0u);
  EXPECT_EQ(ws().active_events().size(), 3u);

  // An unknown id ends every event of the external rule, and only those.
  clock_.AdvanceSeconds(2);
  ASSERT_EQ(ws().ExternalTrigger(0x0, &ended, u"EVT_unknown"), 0u);
  ASSERT_EQ(ws().active_events().size(), 1u);
  EXPECT_EQ(ws().active_events().begin()->second.rule_reference, 1u);
  EXPECT_EQ(ended.rule_reference, 0u);
  EXPECT_EQ(ended.end_time, t0 + 5000);
  EXPECT_TRUE(ended.event_id == a.event_id || ended.event_id == b.event_id);
  EXPECT_EQ(ws().recording_request_count(), 2) << "each stop releases one request";
  EXPECT_EQ(ws().external_trigger_count(), 1);

  // The server saw the three external events end at the stop times.
  ASSERT_TRUE(WaitFor([&] {
    const recsrv::IndexData d = Index();
    size_t closed = 0;
    for (const auto& e : d.sessions.rbegin()->second.events) closed += e.open ? 0 : 1;
    return closed == 3;
  }));
  const recsrv::IndexData index = Index();
  for (const auto& e : index.sessions.rbegin()->second.events) {
    SCOPED_TRACE(ToUtf8(e.id));
    if (e.id == c.event_id) {
      EXPECT_EQ(e.end_time, t0 + 3000);
    } else if (e.id == a.event_id || e.id == b.event_id) {
      EXPECT_FALSE(e.open);
      EXPECT_EQ(e.end_time, t0 + 5000);
    } else {
      EXPECT_TRUE(e.open) << "the other rule's event";
    }
  }
}

// Records are counted before stops within one pass: a stop that comes first in the action queue
// (rule 0 falls) does not close the segment that the record of the same pass (rule 1 rises)
// keeps open.
TEST_F(ControllerSessionTest, OnePassCountsItsRecordsBeforeItsStops) {
  const test::ScriptedRule a = MakeRule({RecordAction()}, {StopAction()});
  const test::ScriptedRule b = MakeRule({RecordAction()}, {StopAction()});
  OpenSession({a.rule, b.rule});

  a.input->value = true;
  b.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_EQ(ws().recording_request_count(), 2) << "two record actions, one request each";
  EXPECT_EQ(Segments().size(), 1u) << "one segment for both";
  const std::u16string segment = ws().segment_record().segment_id;
  ASSERT_FALSE(segment.empty());

  b.input->value = false;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_EQ(ws().recording_request_count(), 1);
  EXPECT_EQ(ws().segment_record().segment_id, segment);

  a.input->value = false;  // its stop is queued first
  b.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_EQ(ws().recording_request_count(), 1);
  EXPECT_EQ(ws().recording_state(), 7u);
  EXPECT_EQ(ws().segment_record().segment_id, segment) << "the segment stayed open";
  EXPECT_TRUE(IsCaptureRunning());
  ASSERT_EQ(ws().active_events().size(), 1u) << "a's event ended, b's began";

  b.input->value = false;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_EQ(ws().recording_request_count(), 0);
  EXPECT_EQ(ws().recording_state(), 3u);
  EXPECT_FALSE(IsCaptureRunning());
  ASSERT_TRUE(WaitFor([&] { return !Segments().empty() && !Segments()[0].open; }));
  EXPECT_EQ(Segments().size(), 1u) << "the server saw one segment in all";
}

TEST_F(ControllerSessionTest, AHigherFrameRateClosesTheSegmentAndOpensOneWithTheMergedFormat) {
  const test::ScriptedRule slow = MakeRule({RecordAction(1, -1, 50)}, {});
  const test::ScriptedRule fast = MakeRule({RecordAction(5, -1, 40)}, {});
  const test::ScriptedRule same = MakeRule({RecordAction(5, -1, 90)}, {});
  OpenSession({slow.rule, fast.rule, same.rule});
  slow.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_EQ(ws().segment_record().frame_rate, 1u);
  EXPECT_EQ(ws().segment_record().width, 64);
  EXPECT_EQ(ws().segment_record().height, 32);
  EXPECT_EQ(ws().current_capture_format().max_queued_frames, 60u);
  const std::u16string first = ws().segment_record().segment_id;

  // What is still queued goes out in the old segment before the capture changes.
  ws().recording_queue().Push(Frame(50, 0, 12345));
  fast.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_NE(ws().segment_record().segment_id, first);
  EXPECT_EQ(ws().segment_record().frame_rate, 5u);
  EXPECT_EQ(ws().current_capture_format().frame_rate, 5u);
  EXPECT_EQ(ws().current_capture_format().quality, 50u) << "the larger of the two qualities";
  EXPECT_TRUE(IsCaptureRunning());
  EXPECT_EQ(ws().recording_queue().Size(), 0u);
  ASSERT_TRUE(WaitFor([&] { return Segments().size() == 2 && !Segments()[0].open; }));
  const std::vector<recsrv::SegmentEntry> segments = Segments();
  EXPECT_GE(segments[0].frames, 1u);
  EXPECT_EQ(segments[0].first_capture_time, 12345u) << "the queued frame went to the old segment";
  EXPECT_EQ(segments[1].frames, 0u);
  EXPECT_EQ(segments[1].frame_rate, 5u);
  EXPECT_TRUE(segments[1].open);

  // The same rate again only joins the running segment.
  const std::u16string second = ws().segment_record().segment_id;
  same.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  EXPECT_EQ(ws().segment_record().segment_id, second);
  EXPECT_EQ(Segments().size(), 2u);
}

TEST_F(ControllerSessionTest, ARecordActionOf30SecondsEnds30To31SecondsLater) {
  const test::ScriptedRule timed = MakeRule({RecordAction(1, 30)}, {});
  const test::ScriptedRule held = MakeRule({RecordAction()}, {StopAction()});
  OpenSession({timed.rule, held.rule});
  timed.input->value = true;
  const int64_t t0 = Tick();
  ws().PeriodicTasks();
  ASSERT_EQ(ws().recording_state(), 7u);
  EXPECT_EQ(ws().scheduled_stops(), std::vector<int64_t>{t0 + 30});

  AdvanceToTick(t0 + 30);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().recording_request_count(), 1) << "still recording 30 s after the start";
  clock_.AdvanceSeconds(1);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().recording_request_count(), 0);
  EXPECT_EQ(ws().recording_state(), 3u);
  EXPECT_TRUE(ws().scheduled_stops().empty());
  EXPECT_FALSE(IsCaptureRunning());
  ASSERT_TRUE(WaitFor([&] { return !Segments().empty() && !Segments()[0].open; }));
  EXPECT_EQ(Segments()[0].end_time, static_cast<uint64_t>(clock_.WallSeconds()) * 1000);

  // With another request holding the segment, the timed one ends and the segment goes on.
  held.input->value = true;
  ws().PeriodicTasks();
  const std::u16string segment = ws().segment_record().segment_id;
  timed.input->value = false;
  ws().PeriodicTasks();
  clock_.AdvanceSeconds(1);
  timed.input->value = true;
  const int64_t t1 = Tick();
  ws().PeriodicTasks();
  EXPECT_EQ(ws().recording_request_count(), 2);
  EXPECT_EQ(ws().scheduled_stops(), std::vector<int64_t>{t1 + 30})
      << "a timed request that joins a running capture is scheduled too";
  AdvanceToTick(t1 + 31);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().recording_request_count(), 1);
  EXPECT_EQ(ws().recording_state(), 7u);
  EXPECT_EQ(ws().segment_record().segment_id, segment);
  EXPECT_TRUE(IsCaptureRunning());
}

TEST_F(ControllerSessionTest, AFailedStartIsRetriedAfter10SecondsThenEvery60WithTheCurrentFormat) {
  const test::ScriptedRule rule = MakeRule({RecordAction(5, -1, 80)}, {});
  OpenSession({rule.rule});
  ws().settings().AssignedFCC = kNoCodec;
  rule.input->value = true;
  EXPECT_EQ(ws().ProcessRules(false), 0xC0000FD2u);
  // Read at once: the failed capture start has slept, and only the tick moves in sleeps.
  int64_t next = Tick() + 10;
  EXPECT_EQ(ws().recording_state(), 35u);
  EXPECT_EQ(ws().last_status(), 0xC0000FD2u);
  EXPECT_EQ(ws().pending_record_count(), 1u);
  EXPECT_EQ(ws().next_retry_time(), next);
  EXPECT_EQ(ws().recording_request_count(), 0);
  EXPECT_FALSE(IsCaptureRunning());

  AdvanceToTick(next);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().retry_attempts(), 0u) << "not before the retry time has passed";

  for (uint32_t attempt = 1; attempt <= 12; ++attempt) {
    SCOPED_TRACE(attempt);
    AdvanceToTick(next + 1);
    ws().PeriodicTasks();
    EXPECT_EQ(ws().retry_attempts(), attempt);
    EXPECT_EQ(ws().next_retry_time(), next + 1 + (attempt > 10 ? 60 : 10));
    next = ws().next_retry_time();
    EXPECT_EQ(ws().pending_record_count(), 1u);
    EXPECT_EQ(ws().recording_state(), 35u);
  }

  // The codec is back: the retry starts with the current capture format (the idle one, 1 frame a
  // second), not with the failed request's 5.
  ws().settings().AssignedFCC = kFccJpeg;
  AdvanceToTick(next);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().pending_record_count(), 1u) << "not at the retry time itself";
  clock_.AdvanceSeconds(1);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().pending_record_count(), 0u);
  EXPECT_EQ(ws().retry_attempts(), 0u);
  EXPECT_EQ(ws().recording_request_count(), 1);
  EXPECT_EQ(ws().recording_state(), 7u);
  EXPECT_EQ(ws().segment_record().frame_rate, 1u);
  EXPECT_EQ(ws().current_capture_format().frame_rate, 1u);
  EXPECT_TRUE(Logged(u"Recording re-started successfuly after previous Rec/Trigger failure"));
}

TEST_F(ControllerSessionTest, DailyRestartAtTheChangeOfTheLocalDay) {
  // Local midnight between the 15th and the 16th of November 2023.
  const int64_t first_midnight = kStartSeconds + kUtcOffset - (13 * 60 + 20) + 86400;
  std::srand(1);
  const int32_t drawn = ws().DailyRestartSecond();
  ASSERT_GE(drawn, 0);
  ASSERT_LT(drawn, 59) << "a drawn second of 59 would never be exceeded";
  EXPECT_EQ(ws().DailyRestartSecond(), drawn) << "drawn once";

  struct Step {
    int64_t after_midnight;
    bool open;
  };
  struct Row {
    const char* name;
    bool external;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"idle: within the first minute, past the drawn second",
       false,
       {{-1, true}, {0, true}, {drawn, true}, {drawn + 1, false}}},
      {"external recording: from 02:00",
       true,
       {{-1, true}, {59, true}, {3600, true}, {2 * 3600 - 1, true}, {2 * 3600, false}}},
  };
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  int64_t midnight = first_midnight;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    clock_.SetLocal(midnight - 30);
    OpenSession({ext.rule});
    const std::u16string id = ws().session_record().session_id;
    if (row.external) {
      ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
    }
    log_.Clear();
    for (const Step& step : row.steps) {
      SCOPED_TRACE(step.after_midnight);
      clock_.SetLocal(midnight + step.after_midnight);
      ws().PeriodicTasks();
      EXPECT_EQ(!ws().session_user().empty(), step.open);
      if (step.open) {
        EXPECT_EQ(ws().session_record().session_id, id);
      }
    }
    EXPECT_TRUE(Logged(u"VorlaWorkstation version: 1.2.3.4"));
    EXPECT_FALSE(IsCaptureRunning());
    // The next pass opens a new session for the same user.
    ws().PeriodicTasks();
    EXPECT_EQ(ws().session_user(), u"alice");
    EXPECT_NE(ws().session_record().session_id, id);
    EXPECT_EQ(ws().session_start_time(), clock_.WallSeconds());
    ws().CloseSession();
    midnight += 86400;
  }
}

// The wall clock set back or on by an hour during a session (at midday, so that the local date
// stays): the status period, the timed stop and the start retry each still come after their own
// time on the tick count, neither an hour early nor an hour late. (A failed capture start sleeps,
// which moves the tick, so a time set after one may fall a second later.)
TEST_F(ControllerSessionTest, AWallClockStepOfAnHourMovesNoTimedStopStatusOrRetry) {
  const int64_t midday = kStartSeconds + kUtcOffset - (13 * 60 + 20) + 12 * 3600;
  const test::ScriptedRule timed = MakeRule({RecordAction(1, 30)}, {});
  for (const int64_t step : {int64_t{-3600}, int64_t{3600}}) {
    SCOPED_TRACE(step);
    clock_.SetLocal(midday);
    OpenSession({timed.rule});
    timed.input->value = true;
    const int64_t t0 = Tick();
    ws().PeriodicTasks();
    ASSERT_EQ(ws().recording_state(), 7u);
    const int64_t status_time = ws().next_status_time();

    clock_.StepWallSeconds(step);
    AdvanceToTick(t0 + 19);
    ws().PeriodicTasks();
    EXPECT_EQ(ws().next_status_time(), status_time) << "no status within 19 s";
    AdvanceToTick(t0 + 21);
    ws().PeriodicTasks();
    EXPECT_NE(ws().next_status_time(), status_time) << "the status went out within 21 s";

    AdvanceToTick(t0 + 30);
    ws().PeriodicTasks();
    EXPECT_EQ(ws().recording_request_count(), 1) << "still recording 30 s after the start";
    AdvanceToTick(t0 + 31);
    ws().PeriodicTasks();
    EXPECT_EQ(ws().recording_request_count(), 0) << "stopped 31 s after the start";

    // A start that fails, with the wall clock stepped once more before its retry.
    timed.input->value = false;
    ws().PeriodicTasks();
    ws().settings().AssignedFCC = kNoCodec;
    timed.input->value = true;
    const int64_t r0 = Tick();
    ws().PeriodicTasks();
    ASSERT_EQ(ws().pending_record_count(), 1u);
    clock_.StepWallSeconds(step);
    AdvanceToTick(r0 + 10);
    ws().PeriodicTasks();
    EXPECT_EQ(ws().retry_attempts(), 0u) << "no retry within 10 s";
    AdvanceToTick(r0 + 12);
    ws().PeriodicTasks();
    EXPECT_EQ(ws().retry_attempts(), 1u) << "retried within 12 s";

    EXPECT_FALSE(ws().session_user().empty()) << "no daily restart at midday";
    ws().settings().AssignedFCC = kFccJpeg;
    timed.input->value = false;
    ws().CloseSession();
  }
}

// The wall clock set back over midnight: the earlier date is no new day, and the session restarts
// only once the local date passes the one it began on.
TEST_F(ControllerSessionTest, AWallClockSetBackOverMidnightIsNoDailyRestart) {
  // The session begins at 00:13:20 on the 15th; the clock goes back to 23:13:20 on the 14th.
  const int64_t midnight_15th = kStartSeconds + kUtcOffset - (13 * 60 + 20);
  std::srand(1);
  const int32_t drawn = ws().DailyRestartSecond();
  OpenSession();
  const std::u16string id = ws().session_record().session_id;
  clock_.StepWallSeconds(-3600);
  for (int i = 0; i < 61; ++i) {
    clock_.AdvanceSeconds(1);
    ws().PeriodicTasks();
  }
  EXPECT_EQ(ws().session_record().session_id, id) << "no restart on the 14th";
  clock_.SetLocal(midnight_15th + drawn + 1);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().session_record().session_id, id) << "the 15th is the session's own day";
  clock_.SetLocal(midnight_15th + 86400 + drawn + 1);
  ws().PeriodicTasks();
  EXPECT_TRUE(ws().session_user().empty()) << "the restart on the 16th";
}

TEST_F(ControllerSessionTest, ExternalShutdownRequestClosesTheSessionAtTheNextPass) {
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  const std::u16string first = ws().session_record().session_id;

  ws().RequestExternalShutdown();
  ws().PeriodicTasks();
  EXPECT_TRUE(Logged(u"Session shutdown request due to external factors"));
  EXPECT_TRUE(ws().session_user().empty());
  EXPECT_EQ(ws().recording_state(), 1u);
  EXPECT_FALSE(IsCaptureRunning());
  ASSERT_TRUE(WaitFor([&] {
    const recsrv::IndexData d = Index();
    return d.sessions.size() == 1 && !d.sessions.begin()->second.open;
  }));
  EXPECT_FALSE(Index().sessions.begin()->second.segments.at(0).open);

  // The request was consumed: the same user gets a new session, which stays.
  ws().PeriodicTasks();
  EXPECT_EQ(ws().session_user(), u"alice");
  EXPECT_NE(ws().session_record().session_id, first);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().session_user(), u"alice");

  // A request while nobody is logged on is dropped by that pass.
  LogOn(u"");
  ws().PeriodicTasks();
  EXPECT_TRUE(ws().session_user().empty());
  ws().RequestExternalShutdown();
  ws().PeriodicTasks();
  LogOn(u"alice");
  ws().PeriodicTasks();
  ws().PeriodicTasks();
  EXPECT_EQ(ws().session_user(), u"alice");
  EXPECT_EQ(CountLogged(u"Session shutdown request due to external factors"), 1u);
}

TEST_F(ControllerSessionTest, AnEventCountsTheBytesOfTheFramesSentWhileItWasActive) {
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  ws().recording_queue().Push(Frame(70));
  SendQueued();  // sent before any event began: counted for none
  EventRecord begun;
  ASSERT_EQ(ws().ExternalTrigger(0x1, &begun, u""), 0u);
  EXPECT_EQ(begun.recorded_bytes, 0u);
  auto bytes = [&] { return ws().active_events().at(begun.event_id).recorded_bytes; };
  EXPECT_EQ(bytes(), 0u);
  ws().recording_queue().Push(Frame(0));  // no data
  ws().recording_queue().Push(Frame(100));
  SendQueued();
  EXPECT_EQ(bytes(), 100u);

  // A server that resets the link: the frame whose send fails stays queued and is not counted,
  // however often it is tried.
  auto listener = platform::TcpListener::Listen(platform::LoopbackAddress(), 0);
  ASSERT_TRUE(listener);
  ASSERT_EQ(ws().current_server().Connect(u"127.0.0.1", listener->port(), u"ws", 1), 0u);
  std::unique_ptr<platform::TcpSocket> accepted = listener->Accept(5000);
  ASSERT_TRUE(accepted);
  const linger reset{1, 0};
  ASSERT_EQ(setsockopt(static_cast<int>(accepted->handle_number()), SOL_SOCKET, SO_LINGER, &reset,
                       sizeof reset),
            0);
  accepted->Close();
  netw_message_t notice;
  ASSERT_TRUE(ws().current_server().Incoming()->PopWithin(notice, 5000));
  ASSERT_EQ(notice.header.type, nwmt_connection_error) << "the link is known to be reset";
  ws().recording_queue().Push(Frame(30));
  SendQueued();
  SendQueued();
  EXPECT_EQ(ws().recording_queue().Size(), 1u) << "the frame waits for the next call";
  EXPECT_EQ(bytes(), 100u);

  // On a working link the same frame goes out and counts once.
  ConnectServer();
  SendQueued();
  EXPECT_EQ(ws().recording_queue().Size(), 0u);
  EXPECT_EQ(bytes(), 130u);
  EventRecord ended;
  ASSERT_EQ(ws().ExternalTrigger(0x0, &ended, begun.event_id), 0u);
  EXPECT_EQ(ended.event_id, begun.event_id);
  EXPECT_EQ(ended.recorded_bytes, 130u);
  EXPECT_TRUE(ws().active_events().empty());
}

TEST_F(ControllerSessionTest, FramesGoOutWithDigestKeyFlagAndEnciphered) {
  server_options_.password = u"open sesame";
  ws().settings().EncryptionPassword = u"open sesame";
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  EXPECT_TRUE(ws().has_image_key());
  EXPECT_EQ(ws().session_record().session_flags & kSessionFlagFramesEnciphered,
            kSessionFlagFramesEnciphered);
  EXPECT_TRUE(Logged(u"Encryption = ON"));
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  ws().recording_queue().Push(Frame(200, kImageFlagKeyFrame));
  ws().recording_queue().Push(Frame(120));
  SendQueued();
  ASSERT_TRUE(WaitFor([&] { return !Segments().empty() && Segments()[0].frames == 2; }));
  const recsrv::SegmentEntry g = Segments()[0];
  EXPECT_EQ(g.bytes, 320u);
  EXPECT_EQ(g.key_frames, 1u);
  EXPECT_EQ(g.enciphered_frames, 2u);
  EXPECT_EQ(g.undeciphered_frames, 0u);
  EXPECT_EQ(g.digests_checked, 2u);
  EXPECT_EQ(g.digest_failures, 0u) << "deciphered with the password, the digests match";
}

// A session with a frame key never sends a picture in the clear: a frame whose enciphered copy
// cannot be allocated is dropped with a report, and the next one goes out enciphered.
TEST_F(ControllerSessionTest, AFrameThatCannotBeEncipheredIsDroppedNotSentInTheClear) {
  server_options_.password = u"open sesame";
  ws().settings().EncryptionPassword = u"open sesame";
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  ws().recording_queue().Push(Frame(50000, kImageFlagKeyFrame));
  PayloadBuffer::RefuseAllocationsFromForTesting(40000);
  SendQueued();
  PayloadBuffer::RefuseAllocationsFromForTesting(0);
  EXPECT_EQ(ws().recording_queue().Size(), 0u);
  EXPECT_TRUE(Logged(u"WorkstationController: Frame could not be enciphered. Dropped."));
  ws().recording_queue().Push(Frame(120));
  SendQueued();
  ASSERT_TRUE(WaitFor([&] { return !Segments().empty() && Segments()[0].frames == 1; }));
  const recsrv::SegmentEntry g = Segments()[0];
  EXPECT_EQ(g.bytes, 120u);
  EXPECT_EQ(g.enciphered_frames, 1u);
  EXPECT_EQ(g.undeciphered_frames, 0u);
}

TEST_F(ControllerSessionTest, DesktopLostFramesSetState67UntilANormalFrame) {
  OpenSession();
  auto& queue = ws().recording_queue();
  queue.Push(Frame(0, kFrameFlagDesktopLost));
  ws().ProcessFrameQueue(queue, WorkstationController::FrameMode::kRecording, false);
  EXPECT_EQ(ws().recording_state(), 67u);
  EXPECT_EQ(ws().last_status(), 0xC0000FD3u);
  EXPECT_EQ(ws().StatusWord(), 0x43u);
  EXPECT_EQ(CountCode(kStatusDesktopLost), 1u);

  queue.Push(Frame(40, kFrameFlagDesktopLost));
  ws().ProcessFrameQueue(queue, WorkstationController::FrameMode::kRecording, false);
  EXPECT_EQ(ws().recording_state(), 67u) << "a lost frame with data keeps the state";
  EXPECT_EQ(ws().last_status(), 0u) << "but a frame with data clears the status";
  EXPECT_FALSE(Logged(u"ScreenSaver/Lockout canceled."));

  queue.Push(Frame(40));
  ws().ProcessFrameQueue(queue, WorkstationController::FrameMode::kRecording, false);
  EXPECT_EQ(ws().recording_state(), 3u);
  EXPECT_TRUE(Logged(u"ScreenSaver/Lockout canceled."));
  EXPECT_EQ(queue.Size(), 0u);
}

TEST_F(ControllerSessionTest, TheDesktopComingBackDuringARecordingIsRecordingAgain) {
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  auto& queue = ws().recording_queue();
  queue.Clear();
  queue.Push(Frame(0, kFrameFlagDesktopLost));
  SendQueued();
  EXPECT_EQ(ws().recording_state(), 67u);
  queue.Push(Frame(40));
  SendQueued();
  EXPECT_EQ(ws().recording_state(), 7u) << "the recording runs on";
  EXPECT_TRUE(Logged(u"ScreenSaver/Lockout canceled."));
}

// The display server goes away while recording: the capture ends itself, the segment closes, and
// the request waits as after a failed start until a server is back, then records in a new one.
TEST_F(ControllerSessionTest, ALostDisplayServerEndsTheSegmentAndTheRetryRecordsInANewOne) {
  const test::ScriptedRule rule = MakeRule({RecordAction()}, {});
  OpenSession({rule.rule});
  rule.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  ASSERT_TRUE(IsCaptureRunning());
  ASSERT_TRUE(WaitFor([&] { return Segments().size() == 1; }));

  desk_->LoseConnection();
  RequestKeyFrame();  // a tick by hand: its grab finds the connection gone
  ASSERT_TRUE(WaitFor([] { return !IsCaptureRunning(); }));
  ws().PeriodicTasks();
  EXPECT_TRUE(Logged(u"Capture: The connection to the display server is lost. Capture stopped."));
  EXPECT_EQ(ws().recording_request_count(), 0);
  EXPECT_EQ(ws().pending_record_count(), 1u);
  EXPECT_EQ(ws().recording_state(), 67u);
  EXPECT_EQ(ws().next_retry_time(), Tick() + 10);
  EXPECT_TRUE(WaitFor([&] { return !Segments().empty() && !Segments().back().open; }));

  // No server yet: the retry fails as a lost desktop.
  AdvanceToTick(ws().next_retry_time() + 1);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().pending_record_count(), 1u);
  EXPECT_EQ(ws().recording_state(), 67u);
  EXPECT_FALSE(IsCaptureRunning());

  desk_->RestoreConnection();
  AdvanceToTick(ws().next_retry_time() + 1);
  ws().PeriodicTasks();
  EXPECT_EQ(ws().pending_record_count(), 0u);
  EXPECT_EQ(ws().recording_request_count(), 1);
  EXPECT_EQ(ws().recording_state(), 7u);
  EXPECT_TRUE(IsCaptureRunning());
  EXPECT_TRUE(WaitFor([&] { return Segments().size() == 2 && Segments().back().open; }));
}

TEST_F(ControllerSessionTest, ClosingTheSessionEndsEveryRequestAndTheCapture) {
  ws().settings().Flags = kFlagParallelExternalStart;
  const test::ScriptedRule ext = MakeRule({RecordAction()}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  ASSERT_EQ(ws().ExternalTrigger(0x1, nullptr, u""), 0u);
  ASSERT_EQ(ws().recording_request_count(), 2);
  ASSERT_TRUE(IsCaptureRunning());
  ws().CloseSession();
  EXPECT_FALSE(IsCaptureRunning()) << "no capture without a segment";
  EXPECT_TRUE(WaitFor([&] { return !Segments().empty() && !Segments().back().open; }));
}

// Another thread (the HTTP interface's) starts and stops external recordings while the loop's
// thread sends frames and runs its periodic tasks; the two meet only through the lock pair.
TEST_F(ControllerSessionTest, ExternalTriggersFromAnotherThreadAreSerialisedWithTheLoop) {
  const test::ScriptedRule ext = MakeRule({RecordAction(5)}, {}, kTriggerInputTypeExt);
  OpenSession({ext.rule});
  std::atomic<bool> done{false};
  std::thread loop([&] {
    while (!done.load()) {
      {
        WorkstationController::Serialised hold(ws());
        RequestKeyFrame();  // a frame at once when a capture runs
        ws().ProcessFrameQueue(ws().recording_queue(),
                               WorkstationController::FrameMode::kRecording,
                               ws().recording_request_count() != 0);
        ws().PeriodicTasks();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  constexpr int kRounds = 25;
  int started = 0, stopped = 0;
  for (int i = 0; i < kRounds; ++i) {
    EventRecord r;
    if (ws().ExternalTrigger(0x1, &r, u"") == 0) ++started;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (ws().ExternalTrigger(0x0, nullptr, r.event_id) == 0) ++stopped;
  }
  done.store(true);
  loop.join();
  EXPECT_EQ(started, kRounds);
  EXPECT_EQ(stopped, kRounds);
  EXPECT_EQ(ws().recording_request_count(), 0);
  EXPECT_EQ(ws().external_trigger_count(), 0);
  EXPECT_TRUE(ws().active_events().empty());
  EXPECT_FALSE(IsCaptureRunning());
  EXPECT_TRUE(WaitFor([&] {
    const recsrv::IndexData d = Index();
    if (d.sessions.empty()) return false;
    size_t closed = 0;
    for (const auto& e : d.sessions.rbegin()->second.events) closed += e.open ? 0 : 1;
    return closed == static_cast<size_t>(kRounds);
  }));
}

TEST_F(ControllerSessionTest, AtMostTenFramesWithDataPerCallAndNoneSentWithoutAServer) {
  auto& queue = ws().recording_queue();
  queue.Push(Frame(0));
  for (int i = 0; i < 5; ++i) queue.Push(Frame(10));
  queue.Push(Frame(0));
  for (int i = 0; i < 7; ++i) queue.Push(Frame(10));
  SendQueued();
  EXPECT_EQ(queue.Size(), 2u) << "ten frames with data, the frames without data on the way";
  SendQueued();
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_FALSE(ws().current_server().IsConnected());
}

TEST_F(ControllerSessionTest, CloseSessionForcesTheRulesDownAndResetsTheSession) {
  const test::ScriptedRule rule =
      MakeRule({RecordAction(), std::make_shared<ActionBlank>()}, {StopAction()});
  OpenSession({rule.rule});
  rule.input->value = true;
  ASSERT_EQ(ws().ProcessRules(false), 0u);
  ASSERT_EQ(ws().blank_count(), 1);
  ASSERT_EQ(ws().active_events().size(), 1u);
  ws().CloseSession();
  EXPECT_TRUE(ws().active_events().empty()) << "its event ended with the forced fall";
  EXPECT_EQ(ws().recording_request_count(), 0);
  EXPECT_EQ(ws().blank_count(), 0);
  EXPECT_FALSE(IsCaptureRunning());
  EXPECT_EQ(ws().recording_state(), 1u);
  EXPECT_EQ(ws().current_capture_format().frame_rate, 1u);
  EXPECT_EQ(ws().current_capture_format().quality, 60u);
  EXPECT_EQ(CountCode(kStatusSessionTerminated), 1u);
  ASSERT_TRUE(WaitFor([&] {
    const recsrv::IndexData d = Index();
    return !d.sessions.empty() && !d.sessions.begin()->second.open;
  }));
  const recsrv::SessionEntry s = Index().sessions.begin()->second;
  ASSERT_EQ(s.events.size(), 1u);
  EXPECT_FALSE(s.events[0].open);
  EXPECT_FALSE(s.segments.at(0).open);
}

}  // namespace
}  // namespace vorla
