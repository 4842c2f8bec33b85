#include "common/logging.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/debug_output.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/memory_event_log.h"
#include "platform/threads.h"

namespace vorla {
namespace {

using platform::MemoryEventLog;

constexpr Status kCode = 0xC0000FA1;
// 2023-11-14 12:00:00 UTC.
constexpr int64_t kNoon = 1699963200;

class LoggingTest : public ::testing::Test {
 protected:
  LoggingTest() : clock_(kNoon * 1000), clock_override_(clock_), log_override_(log_) {
    ResetLoggingForTesting();
    platform::SetConsoleSinkForTesting([this](std::u16string_view t) { console_.emplace_back(t); });
    platform::SetDebugOutputSink([this](std::u16string_view t) { debug_.emplace_back(t); });
  }
  ~LoggingTest() override {
    platform::SetConsoleSinkForTesting({});
    platform::SetDebugOutputSink({});
    ResetLoggingForTesting();
  }
  size_t DebugRecords() const { return log_.from(u"Debug").size(); }

  platform::FakeClock clock_;
  platform::ScopedClockOverride clock_override_;
  MemoryEventLog log_;
  platform::ScopedEventLogOverride log_override_;
  std::vector<std::u16string> console_;
  std::vector<std::u16string> debug_;
};

TEST_F(LoggingTest, TwelveCallsInOneSecondWriteElevenRecordsButTwelveLines) {
  for (int i = 0; i < 12; ++i) LogStatus(kCode, u"link down", EVENTLOG_ERROR_TYPE, 3);
  EXPECT_EQ(DebugRecords(), 11u);
  ASSERT_EQ(console_.size(), 12u);
  EXPECT_EQ(console_[0], u"Err: 0xC0000FA1: link down\n");
  ASSERT_EQ(debug_.size(), 12u);
  EXPECT_EQ(debug_[11], u"link down");
  const auto r = log_.records().front();
  EXPECT_EQ(r.source, u"Debug");
  EXPECT_EQ(r.code, kCode);
  EXPECT_EQ(r.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(r.text, u"Error sending TCP message to host: link down");
}

TEST_F(LoggingTest, AfterTheEleventhRecordTheGapMustExceedCountSquared) {
  struct Row {
    const char* name;
    int64_t after_eleventh;
    bool written;
  } rows[] = {{"121 s is not enough", 121, false}, {"122 s is", 122, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ResetLoggingForTesting();
    log_.clear();
    clock_.SetSeconds(kNoon);
    for (int i = 0; i < 12; ++i) LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);  // twelfth dropped
    ASSERT_EQ(DebugRecords(), 11u);
    clock_.SetSeconds(kNoon + row.after_eleventh);
    LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(DebugRecords(), row.written ? 12u : 11u);
  }
  // The next one then needs more than 12 * 12 s.
  clock_.AdvanceSeconds(144);
  LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(DebugRecords(), 12u);
  clock_.AdvanceSeconds(1);
  LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(DebugRecords(), 13u);
}

TEST_F(LoggingTest, NewDayResetsTheCountAfterTheDecision) {
  // Late in the day, build a count of 30 with records just far enough apart.
  clock_.SetSeconds(kNoon);
  for (uint32_t count = 0; count < 30; ++count) {
    if (count > 10) clock_.AdvanceSeconds(count * count + 1);
    LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
  }
  ASSERT_EQ(DebugRecords(), 30u);
  // 23:59 -> 00:01: 120 s is far from 30 * 30, so this one is dropped, but the count restarts.
  const int64_t midnight = kNoon + 12 * 3600;
  clock_.SetSeconds(midnight - 60);
  LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);  // needs > 900 s since the last: dropped or not
  const size_t before = DebugRecords();
  clock_.SetSeconds(midnight + 60);
  LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(DebugRecords(), before) << "the decision uses the old count";
  clock_.AdvanceSeconds(1);
  LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(DebugRecords(), before + 1) << "the count was reset by the new day";
}

TEST_F(LoggingTest, CodesAreThrottledIndependently) {
  for (int i = 0; i < 12; ++i) LogEvent(kCode, u"a", EVENTLOG_ERROR_TYPE);
  LogEvent(0xC0000FA2, u"b", EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(DebugRecords(), 12u);
}

TEST_F(LoggingTest, LevelAgainstThreshold) {
  struct Row {
    int32_t threshold;
    int32_t level;
    bool logged;
  } rows[] = {{2, 1, false}, {2, 2, true}, {0, 1, true}, {1, 1, true}, {5, 4, false}, {5, 5, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "threshold " << row.threshold << " level " << row.level);
    ResetLoggingForTesting();
    log_.clear();
    console_.clear();
    SetLogThreshold(row.threshold);
    LogStatus(kCode, u"t", EVENTLOG_WARNING_TYPE, row.level);
    LogOperation(0x4000100B, u"op", EVENTLOG_INFORMATION_TYPE, row.level);
    EXPECT_EQ(log_.records().size(), row.logged ? 2u : 0u);
    EXPECT_EQ(console_.size(), row.logged ? 1u : 0u);
  }
}

TEST_F(LoggingTest, TagEndsEveryEventLogTextButNeverTheConsoleOrDebugText) {
  LogStatus(kCode, u"plain", EVENTLOG_ERROR_TYPE, 4);
  SetLogTag(u"WS-7");
  LogStatus(kCode, u"tagged", EVENTLOG_ERROR_TYPE, 4);
  LogOperation(0x4000100B, u"op", EVENTLOG_INFORMATION_TYPE, 4);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].text, u"Error sending TCP message to host: plain");
  EXPECT_EQ(records[1].text, u"Error sending TCP message to host: tagged[WS-7] ");
  EXPECT_EQ(records[2].source, u"App");
  EXPECT_EQ(records[2].text, u"Audit msg: op[WS-7] ");
  EXPECT_EQ(console_[1], u"Err: 0xC0000FA1: tagged\n");
  EXPECT_EQ(debug_[1], u"tagged");
}

TEST_F(LoggingTest, LogIfFailedLogsOnlyFailuresAndReturnsTheFlag) {
  EXPECT_TRUE(LogIfFailed(true, kCode, u"fine", 4, EVENTLOG_ERROR_TYPE));
  EXPECT_TRUE(log_.records().empty());
  EXPECT_TRUE(console_.empty());
  EXPECT_FALSE(LogIfFailed(false, kCode, u"broken", 4, EVENTLOG_ERROR_TYPE));
  EXPECT_EQ(DebugRecords(), 1u);
  EXPECT_EQ(console_.size(), 1u);
}

TEST_F(LoggingTest, DirectWritesUseTheBaseNameAndSkipThrottleAndTag) {
  SetLogTag(u"T");
  auto& logger = WindowsEventLogger::Instance();
  logger.WriteAppEvent(EVENTLOG_INFORMATION_TYPE, 0x40000F02, u"VorlaWS");
  logger.SetSourceName(u"VorlaWS");
  for (int i = 0; i < 15; ++i) logger.WriteDebugEvent(EVENTLOG_ERROR_TYPE, 0xC0000FA0, u"x");
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 16u);
  EXPECT_EQ(records[0].source, u"App");
  EXPECT_EQ(records[0].text, u"The service was started successfully. VorlaWS");
  EXPECT_EQ(records[1].source, u"VorlaWSDebug");
  EXPECT_EQ(records[1].text, u"Internal error: x");
  char app[64], dbg[64];
  logger.CopySourceNameNoAlloc(true, app, sizeof(app));
  logger.CopySourceNameNoAlloc(false, dbg, sizeof(dbg));
  EXPECT_STREQ(app, "VorlaWSApp");
  EXPECT_STREQ(dbg, "VorlaWSDebug");
}

TEST_F(LoggingTest, DebugTraceLineAndItsLimit) {
  DebugTrace(u"VorlaWS", u"CNTService::SetStatus(%lu, %lu)", 0u, 4u);
  ASSERT_EQ(debug_.size(), 1u);
  const std::u16string prefix = FormatString(u"[VorlaWS](%lu): ", platform::CurrentThreadId());
  EXPECT_EQ(debug_[0], prefix + u"CNTService::SetStatus(0, 4)\n");

  DebugTrace(u"VorlaWS", u"%s", std::u16string(5000, u'a'));
  ASSERT_EQ(debug_.size(), 2u);
  EXPECT_EQ(debug_[1].size(), 1024u);
  EXPECT_EQ(debug_[1].back(), u'\n');
  EXPECT_EQ(debug_[1].substr(0, prefix.size()), prefix);
}

TEST_F(LoggingTest, ThrottleIsSharedSafelyBetweenThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) LogEvent(kCode, u"x", EVENTLOG_ERROR_TYPE);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(DebugRecords(), 11u);
}

}  // namespace
}  // namespace vorla
