// The platform capabilities the collector uses: starting programs, the desktop's file browser,
// folder listings and copies, event-log backups and the system report program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/text.h"
#include "platform/desktop.h"
#include "platform/event_log_backup.h"
#include "platform/fake/fake_clock.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/system_report.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using platform::CopyMode;
using platform::EntryKind;
using test::ReadFile;
using test::ScopedEnv;
using test::ScopedTempDir;

std::u16string U(const std::string& s) { return FromUtf8(s); }

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool WaitForFile(const std::string& path, int timeout_ms) {
  for (int i = 0; i < timeout_ms / 10; ++i) {
    if (test::FileExists(path) && !ReadFile(path).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A process that is gone or only a zombie waiting for its new parent.
bool ProcessGone(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

TEST(RunProcessTest, ReportsExitCodesAndProgramsThatCannotStart) {
  struct Case {
    std::vector<std::u16string> argv;
    bool started;
    int code;
  } cases[] = {
      {{u"/bin/sh", u"-c", u"exit 3"}, true, 3},
      {{u"sh", u"-c", u"kill -TERM $$"}, true, 128 + SIGTERM},  // found through PATH
      {{u"/nonexistent/program"}, false, -1},
      {{u"no-such-program-here"}, false, -1},
      {{}, false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.empty() ? "(empty)" : ToUtf8(c.argv[0]));
    const auto r = platform::RunProcess(c.argv, 10000);
    EXPECT_EQ(r.started, c.started);
    EXPECT_EQ(r.exited, c.started);
    EXPECT_EQ(r.exit_code, c.code);
  }
}

TEST(RunProcessTest, StdoutGoesToAFreshFileAndNoDescriptorIsInherited) {
  ScopedTempDir dir;
  const int fd = open(dir.Sub("held").c_str(), O_WRONLY | O_CREAT, 0600);  // no close-on-exec
  ASSERT_GE(fd, 0);
  const std::string script =
      "echo out; echo err >&2; [ -e /proc/self/fd/" + std::to_string(fd) + " ] && echo leaked; :";
  const auto r = platform::RunProcess({u"/bin/sh", u"-c", U(script)}, 10000, U(dir.Sub("out")));
  close(fd);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(ReadFile(dir.Sub("out")), "out\n");

  // A file in the way: nothing starts and the file stays as it was.
  const auto again =
      platform::RunProcess({u"/bin/sh", u"-c", u"echo new"}, 10000, U(dir.Sub("out")));
  EXPECT_FALSE(again.started);
  EXPECT_EQ(ReadFile(dir.Sub("out")), "out\n");
}

TEST(RunProcessTest, TimeLimitKillsTheProgramAndWhatItStarted) {
  ScopedTempDir dir;
  const auto start = std::chrono::steady_clock::now();
  const auto r = platform::RunProcess(
      {u"/bin/sh", u"-c", U("sleep 30 & echo $! > " + dir.Sub("child") + "; wait")}, 300);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.exited);
  EXPECT_LT(took, std::chrono::seconds(5));
  const std::string child = ReadFile(dir.Sub("child"));
  ASSERT_FALSE(child.empty());
  const pid_t pid = std::stoi(child);
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = ProcessGone(pid);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "the program's own child must not outlive the time limit";
}

TEST(RunProcessTest, TimeLimitRunsOnThePlatformClock) {
  platform::FakeClock clock;
  platform::SetClockForTesting(&clock);
  const auto start = std::chrono::steady_clock::now();
  const auto r = platform::RunProcess({u"/bin/sh", u"-c", u"sleep 30"}, 30000);
  const auto took = std::chrono::steady_clock::now() - start;
  platform::SetClockForTesting(nullptr);
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.exited);
  EXPECT_GE(clock.TickMs(), 30000u);
  EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(DesktopTest, FileBrowserIsStartedOnlyInsideADesktopSession) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.Sub("bin"));
  const std::string tool = dir.Sub("bin/xdg-open");
  WriteText(tool, "#!/bin/sh\nprintf '%s' \"$*\" > \"" + dir.Sub("opened") + "\"\n");
  chmod(tool.c_str(), 0755);
  const char* path = getenv("PATH");
  ScopedEnv env_path("PATH", dir.Sub("bin") + ":" + (path ? path : "/usr/bin:/bin"));

  {
    ScopedEnv display("DISPLAY", std::nullopt);
    ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    EXPECT_FALSE(platform::DesktopSessionPresent());
    EXPECT_FALSE(platform::OpenFolderInFileBrowser(u"/some/folder/"));
  }
  {
    ScopedEnv display("DISPLAY", std::nullopt);
    ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_TRUE(platform::DesktopSessionPresent());
  }
  ScopedEnv display("DISPLAY", ":57");
  EXPECT_TRUE(platform::OpenFolderInFileBrowser(u"/some/folder/"));
  ASSERT_TRUE(WaitForFile(dir.Sub("opened"), 5000));
  EXPECT_EQ(ReadFile(dir.Sub("opened")), "/some/folder/");
}

TEST(FileSystemTest, ListsEntriesWithTheirKindsWithoutFollowingLinks) {
  ScopedTempDir dir;
  WriteText(dir.Sub("file"), "x");
  std::filesystem::create_directories(dir.Sub("folder"));
  ASSERT_EQ(symlink(dir.Sub("folder").c_str(), dir.Sub("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolder(U(dir.path()), entries));
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, u"fifo");
  EXPECT_EQ(entries[0].kind, EntryKind::kOther);
  EXPECT_EQ(entries[1].kind, EntryKind::kRegularFile);
  EXPECT_EQ(entries[2].kind, EntryKind::kFolder);
  EXPECT_EQ(entries[3].kind, EntryKind::kSymlink);
  EXPECT_EQ(platform::GetEntryKind(U(dir.Sub("link"))), EntryKind::kFolder);
  EXPECT_EQ(platform::GetEntryKind(U(dir.Sub("none"))), EntryKind::kMissing);
  EXPECT_FALSE(platform::ListFolder(U(dir.Sub("none")), entries));
  EXPECT_TRUE(entries.empty());
}

TEST(FileSystemTest, CopiesReplaceOrRefuseAndNeverWriteThroughALink) {
  ScopedTempDir dir;
  WriteText(dir.Sub("src"), "new contents");
  WriteText(dir.Sub("victim"), "keep me");

  WriteText(dir.Sub("dst"), "old");
  EXPECT_FALSE(
      platform::CopyRegularFile(U(dir.Sub("src")), U(dir.Sub("dst")), CopyMode::kFailIfExists));
  EXPECT_EQ(ReadFile(dir.Sub("dst")), "old");
  EXPECT_TRUE(platform::CopyRegularFile(U(dir.Sub("src")), U(dir.Sub("dst")), CopyMode::kReplace));
  EXPECT_EQ(ReadFile(dir.Sub("dst")), "new contents");

  ASSERT_EQ(symlink(dir.Sub("victim").c_str(), dir.Sub("dst-link").c_str()), 0);
  EXPECT_FALSE(platform::CopyRegularFile(U(dir.Sub("src")), U(dir.Sub("dst-link")),
                                         CopyMode::kFailIfExists));
  EXPECT_TRUE(
      platform::CopyRegularFile(U(dir.Sub("src")), U(dir.Sub("dst-link")), CopyMode::kReplace));
  EXPECT_EQ(ReadFile(dir.Sub("victim")), "keep me");
  EXPECT_EQ(platform::GetEntryKind(U(dir.Sub("dst-link"))), EntryKind::kRegularFile);

  // Sources that are not regular files fail at once (a FIFO would otherwise block) and leave no
  // target.
  ASSERT_EQ(mkfifo(dir.Sub("fifo").c_str(), 0600), 0);
  std::filesystem::create_directories(dir.Sub("folder"));
  for (const char* src : {"fifo", "folder", "missing"}) {
    SCOPED_TRACE(src);
    EXPECT_FALSE(platform::CopyRegularFile(U(dir.Sub(src)), U(dir.Sub("t")), CopyMode::kReplace));
    EXPECT_FALSE(test::FileExists(dir.Sub("t")));
  }

  EXPECT_FALSE(platform::RemoveFile(U(dir.Sub("folder"))));
  EXPECT_TRUE(test::FileExists(dir.Sub("folder")));
  EXPECT_TRUE(platform::RemoveFile(U(dir.Sub("dst"))));
  EXPECT_FALSE(platform::RemoveFile(U(dir.Sub("dst"))));
}

TEST(EventLogBackupTest, CopiesTheLogFilesOnceAndTheSystemLogFromItsOverride) {
  ScopedTempDir dir;
  std::filesystem::create_directories(dir.Sub("log"));
  ScopedEnv log_dir("VORLA_LOG_DIR", dir.Sub("log"));
  ScopedEnv system_log("VORLA_SYSTEM_LOG", dir.Sub("syslog"));
  WriteText(dir.Sub("log/VorlaRuntime.log"), "runtime line\n");
  WriteText(dir.Sub("syslog"), "system line\n");

  EXPECT_TRUE(platform::BackupEventLog(u"VorlaRuntime", U(dir.Sub("rt.evt"))));
  EXPECT_EQ(ReadFile(dir.Sub("rt.evt")), "runtime line\n");
  WriteText(dir.Sub("log/VorlaRuntime.log"), "changed\n");
  EXPECT_FALSE(platform::BackupEventLog(u"VorlaRuntime", U(dir.Sub("rt.evt"))));
  EXPECT_EQ(ReadFile(dir.Sub("rt.evt")), "runtime line\n");

  EXPECT_FALSE(platform::BackupEventLog(u"VorlaOperations", U(dir.Sub("ops.evt"))));
  EXPECT_FALSE(test::FileExists(dir.Sub("ops.evt")));
  EXPECT_FALSE(platform::BackupEventLog(u"../log/VorlaRuntime", U(dir.Sub("x.evt"))));

  EXPECT_TRUE(platform::BackupEventLog(u"System", U(dir.Sub("sys.evt"))));
  EXPECT_EQ(ReadFile(dir.Sub("sys.evt")), "system line\n");
  ScopedEnv no_system_log("VORLA_SYSTEM_LOG", dir.Sub("none"));
  EXPECT_FALSE(platform::BackupEventLog(u"System", U(dir.Sub("sys2.evt"))));
  EXPECT_FALSE(test::FileExists(dir.Sub("sys2.evt")));
}

TEST(SystemReportTest, WritesTheChosenSectionsInBothModes) {
  ScopedTempDir dir;
  for (const char* mode : {"/nfo", "/report"}) {
    SCOPED_TRACE(mode);
    const std::string out = dir.Sub(std::string("report") + (mode + 1));
    WriteText(out, "stale contents");
    auto argv = platform::SystemReportProgram();
    for (const char* a : {mode, out.c_str(), "/categories", "+componentsstorage+swenvservices"})
      argv.push_back(U(a));
    const auto r = platform::RunProcess(argv, 30000);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    const std::string text = ReadFile(out);
    EXPECT_NE(text.find(std::string("System information report (") + mode + ")"),
              std::string::npos);
    EXPECT_EQ(text.find("stale contents"), std::string::npos);
    for (const char* section :
         {"[System Summary]", "[Components/Storage]", "[Software Environment/Services]"})
      EXPECT_NE(text.find(section), std::string::npos) << section;
    for (const char* section :
         {"[Components/Network]", "[Components/Display]", "[Components/Multimedia]"})
      EXPECT_EQ(text.find(section), std::string::npos) << section;
  }
  // The full report carries more than the text report.
  EXPECT_GT(ReadFile(dir.Sub("reportnfo")).size(), ReadFile(dir.Sub("reportreport")).size());
}

}  // namespace
}  // namespace vorla
