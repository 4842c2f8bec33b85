// The real VorlaDiag program, run in temporary data, log and temp folders with fixture files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using test::BuiltProgram;
using test::ChildProgram;
using test::ScopedTempDir;

void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The entry names that `unzip -l` lists (the lines between the two dashed rules).
std::vector<std::string> UnzipNames(const std::string& archive) {
  std::istringstream in(RunCommand("unzip -l '" + archive + "' 2>&1"));
  std::vector<std::string> names;
  int rules = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("---------", 0) == 0) {
      ++rules;
      continue;
    }
    if (rules != 1) continue;
    std::istringstream fields(line);
    std::string size, date, time, name;
    fields >> size >> date >> time;
    std::getline(fields, name);
    names.push_back(name.substr(name.find_first_not_of(' ')));
  }
  std::sort(names.begin(), names.end());
  return names;
}

class VorlaDiagProgram : public ::testing::Test {
 protected:
  VorlaDiagProgram() {
    data_ = dir_.Sub("appdata/Vorla");
    std::filesystem::create_directories(data_);
    std::filesystem::create_directories(dir_.Sub("log"));
    std::filesystem::create_directories(dir_.Sub("tmp"));
  }
  std::map<std::string, std::optional<std::string>> Env() {
    return {{"VORLA_COMMON_APPDATA", dir_.Sub("appdata")},
            {"VORLA_LOG_DIR", dir_.Sub("log")},
            {"VORLA_TEMP_DIR", dir_.Sub("tmp")},
            {"VORLA_SYSTEM_LOG", dir_.Sub("syslog")},
            {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt}};
  }
  // Runs the program to its end; its standard output.
  std::string Run(const std::vector<std::string>& args,
                  std::map<std::string, std::optional<std::string>> env = {}) {
    std::vector<std::string> argv = {BuiltProgram("VorlaDiag")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto all = Env();
    for (auto& [k, v] : env) all[k] = v;
    std::filesystem::create_directories(dir_.Sub("out"));
    ChildProgram p(argv, all, dir_.Sub("out"));
    EXPECT_TRUE(p.started());
    EXPECT_EQ(p.Wait(60000), 0);
    EXPECT_EQ(p.Stderr(), "");
    return p.Stdout();
  }
  std::string Archive() const { return data_ + "/VorlaDiag.zip"; }
  std::vector<std::string> OutputFolderFiles() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(data_))
      if (!e.is_directory()) out.push_back(e.path().filename().string());
    return out;
  }
  void WriteFixtures() {
    WriteText(dir_.Sub("log/VorlaRuntime.log"),
              "2026-01-01T00:00:00Z\tVorlaWSDebug\tINFORMATION\t0x40000F02\tx\n");
    WriteText(dir_.Sub("log/VorlaOperations.log"), "ops\n");
    WriteText(dir_.Sub("syslog"), "system log line\n");
    WriteText(data_ + "/Workstation/Workstation.ini", "[Config]\nConfigIP=10.0.0.1\n");
    WriteText(data_ + "/Workstation/Workstation_RD_0000000042.ini", "[Config]\n");
    WriteText(data_ + "/Workstation/Workstation.ts.ini", "[Config]\nConfigPort=4488\n");
    WriteText(data_ + "/Workstation/DefRules.dat", "rules");
    WriteText(data_ + "/Configurator/ConfiguratorService.INI",
              "[Config]\nDataPath=" + dir_.Sub("cfgdata") + "\n");
    WriteText(dir_.Sub("cfgdata/db/store.dat"), "store");
    WriteText(dir_.Sub("tmp/VorlaWS1700000000.dmp"), "dump");
  }

  ScopedTempDir dir_;
  std::string data_;
};

TEST_F(VorlaDiagProgram, CollectsEverythingIntoAnArchiveThatUnzipLists) {
  WriteFixtures();
  const std::string out = Run({});
  EXPECT_EQ(
      out,
      "\nVorla Diagnostic Manager, version 1.0.0.1\n\n"
      "Extracting Event logs...Done.\n"
      "Extracting system information...Done.\n"
      "Extracting ini information...Done.\n"
      "Extracting Configurator data...Done.\n"
      "Extracting any possible crash dump data...Done.\n"
      "\nThe extracted information needs to be sent to your support contacts. Please forward " +
          Archive() + " as required.\n");
  EXPECT_EQ(UnzipNames(Archive()),
            (std::vector<std::string>{
                "Computer.nfo", "VorlaOperations.evt", "VorlaRuntime.evt", "VorlaWS1700000000.dmp",
                "Workstation.ini", "Workstation.ts.ini", "Workstation_RD_0000000042.ini",
                "cfgdata/", "cfgdata/db/", "cfgdata/db/store.dat", "cfgsrv.ini", "system.evt"}))
      << "no entries for the server files that do not exist";
  EXPECT_NE(RunCommand("unzip -tq '" + Archive() + "'").find("No errors detected"),
            std::string::npos);
  EXPECT_NE(RunCommand("unzip -p '" + Archive() + "' Computer.nfo").find("[System Summary]"),
            std::string::npos);
  EXPECT_EQ(RunCommand("unzip -p '" + Archive() + "' Workstation.ts.ini"),
            "[Config]\nConfigPort=4488\n");
  EXPECT_EQ(OutputFolderFiles(), std::vector<std::string>{"VorlaDiag.zip"})
      << "no temporary file is left behind";
  EXPECT_TRUE(test::FileExists(dir_.Sub("tmp/VorlaWS1700000000.dmp")));

  // A second run replaces the archive and backs up the logs again.
  std::filesystem::remove(dir_.Sub("tmp/VorlaWS1700000000.dmp"));
  WriteText(dir_.Sub("log/VorlaOperations.log"), "ops\nops again\n");
  const std::string second = Run({"-s"});
  EXPECT_NE(second.find("Extracting Event logs...Done.\n"), std::string::npos) << second;
  const auto names = UnzipNames(Archive());
  EXPECT_EQ(std::count(names.begin(), names.end(), "VorlaWS1700000000.dmp"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Computer.nfo"), 0);
  EXPECT_EQ(RunCommand("unzip -p '" + Archive() + "' VorlaOperations.evt"), "ops\nops again\n");
  EXPECT_EQ(OutputFolderFiles(), std::vector<std::string>{"VorlaDiag.zip"});
}

TEST_F(VorlaDiagProgram, DashSInFirstOrSecondPlaceSkipsTheSystemReport) {
  const std::string skip = "Skip system information as requested via cmnd line.\n";
  struct Case {
    std::vector<std::string> args;
    bool skips;
  } cases[] = {{{"-s"}, true}, {{"x", "-s"}, true}, {{"-s", "x"}, true}, {{"-S"}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back() + " of " + std::to_string(c.args.size()));
    const std::string out = Run(c.args);
    EXPECT_EQ(out.find(skip) != std::string::npos, c.skips) << out;
    EXPECT_EQ(out.find("Extracting system information...Done.\n") != std::string::npos, !c.skips)
        << out;
    const auto names = UnzipNames(Archive());
    EXPECT_EQ(std::count(names.begin(), names.end(), "Computer.nfo"), c.skips ? 0 : 1);
  }
}

TEST_F(VorlaDiagProgram, MissingOrBrokenInputsStillEndWithZeroAndNoTemporaryFiles) {
  WriteText(dir_.Sub("log/VorlaRuntime.log"), "rt\n");
  {
    SCOPED_TRACE("ConfiguratorService.INI without DataPath");
    WriteText(data_ + "/Configurator/ConfiguratorService.INI", "[Config]\nOther=1\n");
    EXPECT_NE(Run({"-s"}).find("Extracting Configurator data...Failed to extract info.\n"),
              std::string::npos);
  }
  {
    SCOPED_TRACE("ConfiguratorService.INI that is not an INI file");
    WriteText(data_ + "/Configurator/ConfiguratorService.INI", std::string("\0\1\2PK\3\4", 8));
    EXPECT_NE(Run({"-s"}).find("Extracting Configurator data...Failed to extract info.\n"),
              std::string::npos);
  }
  {
    SCOPED_TRACE("DataPath that names nothing");
    WriteText(data_ + "/Configurator/ConfiguratorService.INI",
              "[Config]\nDataPath=" + dir_.Sub("gone") + "\n");
    EXPECT_NE(Run({"-s"}).find("Extracting Configurator data...Done.\n"), std::string::npos);
    EXPECT_EQ(UnzipNames(Archive()), (std::vector<std::string>{"VorlaRuntime.evt", "cfgsrv.ini"}));
  }
  EXPECT_EQ(OutputFolderFiles(), std::vector<std::string>{"VorlaDiag.zip"});

  for (const char* what : {"missing", "unwritable"}) {
    SCOPED_TRACE(std::string("data folder ") + what);
    std::filesystem::remove_all(data_);
    if (std::string(what) == "unwritable") {
      // A folder in the archive's place cannot be replaced by a file, even by root.
      std::filesystem::create_directories(data_ + "/VorlaDiag.zip");
    }
    const std::string out = Run({});
    EXPECT_EQ(out.substr(out.find("\n\n") + 2), "FATAL ERRROR: Unable to initiate archive.\n");
  }
  EXPECT_EQ(OutputFolderFiles(), std::vector<std::string>{});
}

TEST_F(VorlaDiagProgram, OpensTheOutputFolderOnlyInsideADesktopSession) {
  std::filesystem::create_directories(dir_.Sub("bin"));
  const std::string tool = dir_.Sub("bin/xdg-open");
  WriteText(tool, "#!/bin/sh\nprintf '%s' \"$*\" > \"" + dir_.Sub("opened") + "\"\n");
  chmod(tool.c_str(), 0755);
  const std::string path =
      dir_.Sub("bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");

  Run({"-s"}, {{"PATH", path}});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(test::FileExists(dir_.Sub("opened")));

  Run({"-s"}, {{"PATH", path}, {"DISPLAY", ":57"}});
  std::string opened;
  for (int i = 0; i < 500 && opened.empty(); ++i) {
    opened = test::ReadFile(dir_.Sub("opened"));
    if (opened.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(opened, data_ + "/");
}

}  // namespace
}  // namespace vorla
