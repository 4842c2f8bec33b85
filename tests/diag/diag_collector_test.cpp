// The collector's run with a data folder, log folder and temp folder of its own, the console
// captured and the system report program replaced by a scripted stand-in.
#include "diag/diag_collector.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "diag/zip_listing.h"
#include "platform/debug_output.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using test::ScopedEnv;
using test::ZipNames;

void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// What the stand-in for the report program does when asked for one mode.
struct ReportScript {
  bool starts = true;
  bool writes = true;
};

class DiagCollectorTest : public ::testing::Test {
 protected:
  DiagCollectorTest()
      : app_data_("VORLA_COMMON_APPDATA", dir_.Sub("appdata")),
        log_dir_("VORLA_LOG_DIR", dir_.Sub("log")),
        temp_dir_("VORLA_TEMP_DIR", dir_.Sub("tmp")),
        system_log_("VORLA_SYSTEM_LOG", dir_.Sub("syslog")),
        display_("DISPLAY", std::nullopt),
        wayland_("WAYLAND_DISPLAY", std::nullopt) {
    data_ = dir_.Sub("appdata/Vorla");
    std::filesystem::create_directories(data_);
    std::filesystem::create_directories(dir_.Sub("tmp"));
    platform::SetConsoleSinkForTesting([this](std::u16string_view t) { console_ += ToUtf8(t); });
  }
  ~DiagCollectorTest() override { platform::SetConsoleSinkForTesting({}); }

  // Runs the whole sequence; the report stand-in follows nfo_ and report_.
  int Run(const std::vector<std::u16string>& args) {
    console_.clear();
    calls_.clear();
    DiagCollector collector([this](const std::vector<std::u16string>& argv, uint32_t timeout) {
      calls_.push_back(argv);
      EXPECT_EQ(timeout, 30000u);
      const bool report = argv.size() >= 4 && argv[argv.size() - 4] == u"/report";
      const ReportScript& s = report ? report_ : nfo_;
      platform::ProcessRunOutcome r;
      r.started = s.starts;
      r.exited = s.starts;
      r.exit_code = 0;
      if (s.starts && s.writes) WriteText(ToUtf8(argv[argv.size() - 3]), "report");
      return r;
    });
    return RunDiag(collector, args);
  }
  std::string Archive() const { return data_ + "/VorlaDiag.zip"; }
  std::vector<std::string> Names() const {
    auto n = ZipNames(Archive());
    std::sort(n.begin(), n.end());
    return n;
  }
  // Everything in the output folder besides the archive and the components' folders.
  std::vector<std::string> LeftOver() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(data_)) {
      const std::string name = e.path().filename().string();
      if (name != "VorlaDiag.zip" && !e.is_directory()) out.push_back(name);
    }
    return out;
  }
  // The console text after the banner.
  std::string Body() const {
    const size_t at = console_.find("\n\n");
    return at == std::string::npos ? console_ : console_.substr(at + 2);
  }

  test::ScopedTempDir dir_;
  ScopedEnv app_data_, log_dir_, temp_dir_, system_log_, display_, wayland_;
  std::string data_;
  std::string console_;
  std::vector<std::vector<std::u16string>> calls_;
  ReportScript nfo_, report_;
};

TEST_F(DiagCollectorTest, FullRunPrintsEveryStepAndArchivesEverythingFound) {
  WriteText(dir_.Sub("log/VorlaRuntime.log"), "rt\n");
  WriteText(dir_.Sub("log/VorlaOperations.log"), "ops\n");
  WriteText(dir_.Sub("syslog"), "sys\n");
  WriteText(data_ + "/Server/Server.INI", "[S]\n");
  WriteText(data_ + "/Configurator/ConfiguratorGUI.INI", "[G]\n");
  WriteText(data_ + "/Configurator/ConfiguratorService.INI",
            "[Config]\nDataPath=" + dir_.Sub("cfgdata") + "\n");
  WriteText(dir_.Sub("cfgdata/store.db"), "db");
  for (const char* name :
       {"Workstation.ini", "Workstation_RD_0000000042.ini", "Workstation.ts.ini",
        "workstation_lower.INI", "Workstation.bak", "MyWorkstation.ini", "DefRules.dat"})
    WriteText(data_ + "/Workstation/" + name, name);
  WriteText(dir_.Sub("tmp/VorlaWS1700000000.dmp"), "dump");
  WriteText(dir_.Sub("tmp/other.dmp"), "not ours");

  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(console_.substr(0, 25), "\nVorla Diagnostic Manager");
  EXPECT_EQ(
      Body(),
      "Extracting Event logs...Done.\n"
      "Extracting system information...Done.\n"
      "Extracting ini information...Done.\n"
      "Extracting Configurator data...Done.\n"
      "Extracting any possible crash dump data...Done.\n"
      "\nThe extracted information needs to be sent to your support contacts. Please forward " +
          Archive() + " as required.\n");
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"Computer.nfo", "VorlaOperations.evt", "VorlaRuntime.evt",
                                      "VorlaWS1700000000.dmp", "Workstation.ini",
                                      "Workstation.ts.ini", "Workstation_RD_0000000042.ini",
                                      "cfgdata/", "cfgdata/store.db", "cfggui.ini", "cfgsrv.ini",
                                      "server.ini", "system.evt", "workstation_lower.INI"}));
  EXPECT_EQ(test::ZipEntryText(Archive(), "Workstation_RD_0000000042.ini"),
            "Workstation_RD_0000000042.ini");
  EXPECT_EQ(test::ZipEntryText(Archive(), "system.evt"), "sys\n");
  EXPECT_TRUE(LeftOver().empty());
  EXPECT_TRUE(test::FileExists(dir_.Sub("tmp/VorlaWS1700000000.dmp"))) << "dumps stay in place";

  ASSERT_EQ(calls_.size(), 1u);
  const auto& argv = calls_[0];
  ASSERT_GE(argv.size(), 5u);
  EXPECT_EQ(std::vector<std::u16string>(argv.end() - 4, argv.end()),
            (std::vector<std::u16string>{u"/nfo", FromUtf8(data_ + "/Computer.nfo"), u"/categories",
                                         u"+componentsmultimedia+componentsnetwork+componentsdispla"
                                         u"y+componentsstorage+swenvservices"}));
}

TEST_F(DiagCollectorTest, SystemInformationFallsBackToTheTextReport) {
  struct Case {
    const char* name;
    ReportScript nfo, report;
    const char* console;  // of the system-information step
    size_t calls;
    const char* entry;  // in the archive, or ""
  } cases[] = {
      {"nfo written",
       {true, true},
       {true, true},
       "Extracting system information...Done.\n",
       1,
       "Computer.nfo"},
      {"nfo cannot start",
       {false, false},
       {true, true},
       "Extracting system information...Failed to extract info.\n",
       1,
       ""},
      {"nfo not written",
       {true, false},
       {true, true},
       "Extracting system information...Done.\n",
       2,
       "Computer.txt"},
      // Neither report: the step ends without a line of its own.
      {"text report cannot start",
       {true, false},
       {false, false},
       "Extracting system information...Extracting ini",
       2,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nfo_ = c.nfo;
    report_ = c.report;
    Run({});
    EXPECT_NE(console_.find(c.console), std::string::npos) << console_;
    EXPECT_EQ(calls_.size(), c.calls);
    const auto names = Names();
    for (const char* n : {"Computer.nfo", "Computer.txt"})
      EXPECT_EQ(std::count(names.begin(), names.end(), n), std::string(c.entry) == n ? 1 : 0) << n;
    EXPECT_TRUE(LeftOver().empty());
  }
}

TEST_F(DiagCollectorTest, OnlyAnExactDashSInFirstOrSecondPlaceSkipsTheSystemInformation) {
  struct Case {
    std::vector<std::u16string> args;
    bool skips;
  } cases[] = {{{u"-s"}, true},
               {{u"x", u"-s"}, true},
               {{u"-s", u"x"}, true},
               {{u"-S"}, false},
               {{u"x", u"y", u"-s"}, false},
               {{u"--s"}, false},
               {{u"-s "}, false},
               {{}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? ""
                                : ToUtf8(c.args.back()) + " of " + std::to_string(c.args.size()));
    EXPECT_EQ(Run(c.args), 0);
    const bool skipped =
        console_.find("Skip system information as requested via cmnd line.\n") != std::string::npos;
    EXPECT_EQ(skipped, c.skips);
    EXPECT_EQ(calls_.empty(), c.skips);
    EXPECT_EQ(console_.find("Extracting system information...") == std::string::npos, c.skips);
  }
}

TEST_F(DiagCollectorTest, NothingToFindGivesTheMissingLinesAndAnEmptyArchive) {
  EXPECT_EQ(Run({u"-s"}), 0);
  EXPECT_EQ(
      Body(),
      "Extracting Event logs...No logs found.\n"
      "Skip system information as requested via cmnd line.\n"
      "Extracting ini information...Done.\n"
      "Extracting Configurator data...Failed to extract info.\n"
      "Extracting any possible crash dump data...No crash dumps added.\n"
      "\nThe extracted information needs to be sent to your support contacts. Please forward " +
          Archive() + " as required.\n");
  EXPECT_EQ(test::ReadFile(Archive()), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(DiagCollectorTest, ConfiguratorDataPathCases) {
  WriteText(dir_.Sub("cfgfile.txt"), "data");
  struct Case {
    const char* name;
    std::string ini;  // ConfiguratorService.INI; empty: no file
    const char* line;
    const char* entry;
  } cases[] = {
      {"no file", "", "Failed to extract info.\n", ""},
      {"no key", "[Config]\nOther=1\n", "Failed to extract info.\n", ""},
      {"key in another section", "[Other]\nDataPath=" + dir_.Sub("cfgfile.txt") + "\n",
       "Failed to extract info.\n", ""},
      {"not an INI file",
       std::string("\x7f"
                   "ELF\0\1\2\3 DataPath",
                   16),
       "Failed to extract info.\n", ""},
      {"names nothing", "[Config]\nDataPath=" + dir_.Sub("nothing") + "\n", "Done.\n", ""},
      {"names a file", "[config]\ndatapath = " + dir_.Sub("cfgfile.txt") + "\n", "Done.\n",
       "cfgfile.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(data_ + "/Configurator");
    if (!c.ini.empty()) WriteText(data_ + "/Configurator/ConfiguratorService.INI", c.ini);
    Run({u"-s"});
    EXPECT_NE(console_.find(std::string("Extracting Configurator data...") + c.line),
              std::string::npos)
        << console_;
    auto names = Names();
    names.erase(std::remove(names.begin(), names.end(), "cfgsrv.ini"), names.end());
    EXPECT_EQ(names, *c.entry ? std::vector<std::string>{c.entry} : std::vector<std::string>{});
  }
}

TEST_F(DiagCollectorTest, SecondRunReplacesTheArchiveAndBacksUpTheLogsAgain) {
  WriteText(dir_.Sub("log/VorlaRuntime.log"), "rt\n");
  WriteText(dir_.Sub("tmp/VorlaWS1.dmp"), "dump");
  Run({u"-s"});
  EXPECT_EQ(Names(), (std::vector<std::string>{"VorlaRuntime.evt", "VorlaWS1.dmp"}));

  std::filesystem::remove(dir_.Sub("tmp/VorlaWS1.dmp"));
  WriteText(dir_.Sub("log/VorlaRuntime.log"), "rt\nrt2\n");
  Run({u"-s"});
  EXPECT_NE(console_.find("Extracting Event logs...Done.\n"), std::string::npos);
  EXPECT_NE(console_.find("crash dump data...No crash dumps added.\n"), std::string::npos);
  EXPECT_EQ(Names(), std::vector<std::string>{"VorlaRuntime.evt"});
  EXPECT_EQ(test::ZipEntryText(Archive(), "VorlaRuntime.evt"), "rt\nrt2\n");
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(DiagCollectorTest, BackupsThatExistAlreadyFailButAreStillRemoved) {
  // Left from a run that was cut short: the log backups fail, the clean-up still removes them.
  WriteText(dir_.Sub("log/VorlaRuntime.log"), "rt\n");
  WriteText(data_ + "/VorlaRuntime.evt", "stale");
  Run({u"-s"});
  EXPECT_NE(console_.find("Extracting Event logs...No logs found.\n"), std::string::npos);
  EXPECT_TRUE(Names().empty());
  EXPECT_TRUE(LeftOver().empty());
}

TEST_F(DiagCollectorTest, CrashDumpSearchTakesOnlyRegularFilesOfTheTempFolder) {
  std::filesystem::create_directories(dir_.Sub("tmp/VorlaFolder"));
  ASSERT_EQ(mkfifo(dir_.Sub("tmp/VorlaPipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/etc/hostname", dir_.Sub("tmp/VorlaLink").c_str()), 0);
  WriteText(dir_.Sub("tmp/vorlaws2.dmp"), "lower-case name");
  Run({u"-s"});
  EXPECT_NE(console_.find("crash dump data...Done.\n"), std::string::npos);
  EXPECT_EQ(Names(), std::vector<std::string>{"vorlaws2.dmp"});

  // Entries of the name that are no files still count as found.
  std::filesystem::remove(dir_.Sub("tmp/vorlaws2.dmp"));
  Run({u"-s"});
  EXPECT_NE(console_.find("crash dump data...Done.\n"), std::string::npos);
  EXPECT_TRUE(Names().empty());
}

TEST_F(DiagCollectorTest, ArchiveThatCannotBeWrittenEndsTheRunAtOnce) {
  WriteText(dir_.Sub("log/VorlaRuntime.log"), "rt\n");
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool folder_after;
  } cases[] = {
      {"data folder missing", [&] { std::filesystem::remove_all(data_); }, false},
      {"archive name taken by a folder",
       [&] { std::filesystem::create_directories(data_ + "/VorlaDiag.zip"); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(data_);
    std::filesystem::create_directories(data_);
    c.prepare();
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(Body(), "FATAL ERRROR: Unable to initiate archive.\n");
    EXPECT_TRUE(calls_.empty());
    ASSERT_EQ(std::filesystem::exists(data_), c.folder_after) << "no folder is made";
    if (c.folder_after) {
      EXPECT_TRUE(LeftOver().empty());
    }
  }
}

}  // namespace
}  // namespace vorla
