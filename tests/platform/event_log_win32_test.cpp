// The system event log on Windows, seen through the report observer (the arguments each
// ReportEventW call got and its result) and the echo file that other processes' records reach.
#include "platform/win32/event_log_win32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/event_log.h"
#include "support/temp_dir.h"

namespace vorla::platform {
namespace {

class EventLogWin32 : public ::testing::Test {
 protected:
  EventLogWin32() {
    win32::SetReportObserverForTesting(
        [this](const win32::ReportedEvent& e) { seen_.push_back(e); });
  }
  ~EventLogWin32() override { win32::SetReportObserverForTesting({}); }
  std::vector<win32::ReportedEvent> seen_;
};

TEST_F(EventLogWin32, EachRecordIsOneReportWithTheTextAndTwoEmptyStrings) {
  const struct {
    const char* name;
    EventLogRecord record;
    std::vector<std::u16string> strings;
  } rows[] = {
      {"information",
       {u"VorlaWSApp", 4, 0x40000F02, u"The service was started successfully. VorlaWS"},
       {u"The service was started successfully. VorlaWS", u"", u""}},
      {"error, text with line breaks and accents",
       {u"VorlaWSDebug", 1, 0xC0000FA0, u"Internal error: \u00e9t\u00e9\r\nsecond"},
       {u"Internal error: \u00e9t\u00e9\r\nsecond", u"", u""}},
      {"empty text", {u"App", 2, 0x40000F05, u""}, {u"", u"", u""}},
      {"no text at all", {u"Debug", 8, 0x4000100B, std::u16string_view()}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    seen_.clear();
    const bool ok = GetEventLog().Write(row.record);
    ASSERT_EQ(seen_.size(), 1u);
    const win32::ReportedEvent& e = seen_[0];
    EXPECT_EQ(e.source, row.record.source);
    EXPECT_TRUE(e.source_opened);
    EXPECT_EQ(e.type, row.record.type);
    EXPECT_EQ(e.category, 0);
    EXPECT_EQ(e.event_id, row.record.code);
    EXPECT_EQ(e.strings, row.strings);
    // Write answers with ReportEventW's result; the system takes records of any source.
    EXPECT_EQ(ok, e.reported);
    EXPECT_TRUE(ok) << "error " << e.error;
  }
}

TEST_F(EventLogWin32, TheEchoFileHasOneLinePerRecordTheCrashPathsIncluded) {
  test::ScopedTempDir dir;
  test::ScopedEnv echo("VORLA_EVENT_LOG_ECHO", dir.Sub("echo.txt"));
  ASSERT_TRUE(GetEventLog().Write(
      {u"VorlaWSApp", 4, 0x40000F02, u"The service was started successfully. VorlaWS"}));
  ASSERT_TRUE(GetEventLog().Write({u"VorlaWSDebug", 1, 0xC0000FA0, u"a\r\nb\nc \u00e9"}));
  ASSERT_TRUE(GetEventLog().Write({u"App", 32, 1, std::u16string_view()}));
  // The crash path's writer, which allocates nothing and tells no observer.
  ASSERT_TRUE(win32::ReportToEventLog(u"VorlaWSApp", 1, 0xC0000E00, u"Runtime Exception. x"));
  EXPECT_EQ(seen_.size(), 3u);
  EXPECT_EQ(test::ReadFile(dir.Sub("echo.txt")),
            "VorlaWSApp\tINFORMATION\t0x40000F02\treported\tThe service was started "
            "successfully. VorlaWS\n"
            "VorlaWSDebug\tERROR\t0xC0000FA0\treported\ta\\nb\\nc \xc3\xa9\n"
            "App\t32\t0x00000001\treported\t\n"
            "VorlaWSApp\tERROR\t0xC0000E00\treported\tRuntime Exception. x\n");
}

}  // namespace
}  // namespace vorla::platform
