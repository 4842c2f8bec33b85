#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/crash_capture.h"
#include "platform/fake/fake_clock.h"
#include "support/temp_dir.h"

namespace vorla::platform {
namespace {

using test::ReadFile;
using test::ScopedEnv;
using test::ScopedTempDir;

TEST(EventLogFile, OneLinePerRecordInTheLogOfItsSource) {
  ScopedTempDir dir;
  ScopedEnv env("VORLA_LOG_DIR", dir.path());
  FakeClock clock(1699963200123);  // 2023-11-14T12:00:00Z
  ScopedClockOverride use(clock);
  EventLog& log = GetEventLog();
  ASSERT_TRUE(
      log.Write({u"VorlaWSApp", 4, 0x40000F02, u"The service was started successfully. VorlaWS"}));
  ASSERT_TRUE(log.Write({u"VorlaWSDebug", 1, 0xC0000FA0, u"Internal error: two\r\nlines\nhere"}));
  ASSERT_TRUE(log.Write({u"App", 8, 0x4000100B, u"\u00e9t\u00e9"}));
  ASSERT_TRUE(log.Write({u"VorlaWSApp", 2, 0x40000F03, u"VorlaWS due to [STOP]"}));

  EXPECT_EQ(ReadFile(dir.Sub("VorlaOperations.log")),
            "2023-11-14T12:00:00Z\tVorlaWSApp\tINFORMATION\t0x40000F02\tThe service was started "
            "successfully. VorlaWS\n"
            "2023-11-14T12:00:00Z\tVorlaWSApp\tWARNING\t0x40000F03\tVorlaWS due to [STOP]\n");
  EXPECT_EQ(ReadFile(dir.Sub("VorlaRuntime.log")),
            "2023-11-14T12:00:00Z\tVorlaWSDebug\tERROR\t0xC0000FA0\tInternal error: "
            "two\\nlines\\nhere\n");
  EXPECT_EQ(ReadFile(dir.Sub("App.log")),
            "2023-11-14T12:00:00Z\tApp\tAUDIT_SUCCESS\t0x4000100B\t\xc3\xa9t\xc3\xa9\n");
}

TEST(EventLogFile, MissingFolderIsCreatedAndUnwritableOneDropsTheRecord) {
  ScopedTempDir dir;
  {
    ScopedEnv env("VORLA_LOG_DIR", dir.Sub("new/logs"));
    EXPECT_TRUE(GetEventLog().Write({u"VorlaWSApp", 4, 1, u"x"}));
    EXPECT_TRUE(test::FileExists(dir.Sub("new/logs/VorlaOperations.log")));
  }
  std::ofstream(dir.Sub("plainfile")) << "x";
  ScopedEnv env("VORLA_LOG_DIR", dir.Sub("plainfile"));
  EXPECT_FALSE(GetEventLog().Write({u"VorlaWSApp", 4, 1, u"x"}));
}

TEST(EventLogFile, SourceNamesCannotLeaveTheFolder) {
  EXPECT_EQ(EventLogNameForSource(u"VorlaWSApp"), u"VorlaOperations");
  EXPECT_EQ(EventLogNameForSource(u"VorlaWSDebug"), u"VorlaRuntime");
  EXPECT_EQ(EventLogNameForSource(u"Debug"), u"Debug");
  ScopedTempDir dir;
  ScopedEnv env("VORLA_LOG_DIR", dir.path());
  ASSERT_TRUE(GetEventLog().Write({u"../evil", 4, 1, u"x"}));
  EXPECT_TRUE(test::FileExists(dir.Sub(".._evil.log")));
}

TEST(EventLogFile, AllocationFreeWriterWritesTheSameLine) {
  ScopedTempDir dir;
  ScopedEnv env("VORLA_LOG_DIR", dir.path());
  RefreshCrashCapturePaths();
  ASSERT_TRUE(WriteEventRecordNoAlloc("VorlaWSDebug", 1, 0xC0000E00, "Runtime Exception. boom"));
  const std::string line = ReadFile(dir.Sub("VorlaRuntime.log"));
  EXPECT_EQ(line.substr(20), "\tVorlaWSDebug\tERROR\t0xC0000E00\tRuntime Exception. boom\n");
}

TEST(UtcTimestamp, CalendarEdges) {
  struct Row {
    int64_t seconds;
    const char* text;
  } rows[] = {{0, "1970-01-01T00:00:00Z"},
              {951782400, "2000-02-29T00:00:00Z"},
              {1704067199, "2023-12-31T23:59:59Z"},
              {4102444800, "2100-01-01T00:00:00Z"},
              {-1, "1969-12-31T23:59:59Z"}};
  for (const auto& row : rows) {
    char out[21];
    FormatUtcTimestamp(row.seconds, out);
    EXPECT_STREQ(out, row.text);
  }
  EXPECT_EQ(UtcCalendar(1704067199).day_of_week, 0);  // a Sunday
}

}  // namespace
}  // namespace vorla::platform
