#include "config/settings_store.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/status_codes.h"
#include "common/text.h"
#include "config/ini_file.h"
#include "config/log_capture.h"
#include "security/security_server.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using test::ReadFile;

// One rule, written out from the rule layout: external input "EXT" (516), no second input,
// operator 4 (single), TRUE actions: one stop (258), FALSE actions: none.
const Bytes kOneRuleFile = {
    0x01, 0x00, 0x00, 0x00,                          // rule count 1
    0x04, 0x02, 0x00, 0x00,                          // first input type 516
    0x52, 0x00, 0x00, 0x00,                          // rule name "R"
    0x45, 0x00, 0x58, 0x00, 0x54, 0x00, 0x00, 0x00,  // input name "EXT"
    0x00, 0x00, 0x00, 0x00,                          // no second input
    0x04, 0x00, 0x00, 0x00,                          // operator 4
    0x01, 0x00, 0x00, 0x00,                          // one TRUE action
    0x02, 0x01, 0x00, 0x00,                          // stop recording (258)
    0x00, 0x00, 0x00, 0x00,                          // no FALSE action
};
const Bytes kEmptyRuleFile = {0x00, 0x00, 0x00, 0x00};

Bytes FileBytes(const std::string& path) {
  const std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

void WriteBytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::u16string Lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  return s;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStoreTest()
      : env_("VORLA_COMMON_APPDATA", dir_.path()),
        folder_(dir_.Sub("Vorla/Workstation")),
        ini_(folder_ + "/Workstation.ini"),
        rules_(folder_ + "/DefRules.dat") {
    SecurityServer::ResetForTesting();
  }
  ~SettingsStoreTest() override { SecurityServer::ResetForTesting(); }

  void MakeFolder() { fs::create_directories(folder_); }

  std::u16string IniValue(const std::string& path, std::u16string_view key) {
    CIniFile ini;
    ini.SetFileName(Widen(path));
    return ini.ReadString(u"Config", key, u"<missing>");
  }

  std::vector<std::string> IniKeys(const std::string& path) {
    std::vector<std::string> keys;
    for (const auto& line : test::ReadLines(path))
      if (auto eq = line.find('='); eq != std::string::npos) keys.push_back(line.substr(0, eq));
    return keys;
  }

  std::vector<std::string> FolderEntries() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::ScopedTempDir dir_;
  test::ScopedEnv env_;
  std::string folder_, ini_, rules_;
  test::LogCapture logs_;
};

TEST_F(SettingsStoreTest, FirstStartReadsDefaultsThenSavingCreatesFolderIniAndEmptyRules) {
  WorkstationConfig cfg;
  cfg.SCServerIP = cfg.ConfigIP = u"NotSet";
  EXPECT_FALSE(LoadSettings(cfg, u"", false));
  EXPECT_FALSE(fs::exists(dir_.Sub("Vorla")));  // loading creates nothing

  WorkstationConfig expected;
  expected.ConfigIP = expected.SCServerIP = u"NO_SET";
  expected.ErrLogLevel = 2;
  EXPECT_EQ(static_cast<WorkstationSettings&>(cfg), static_cast<WorkstationSettings&>(expected));
  EXPECT_EQ(cfg.AssignedFCC, 808996950u);
  EXPECT_TRUE(cfg.rules.empty());
  EXPECT_TRUE(cfg.screen_list.empty());
  ASSERT_EQ(logs_.console().size(), 1u);
  EXPECT_EQ(logs_.console()[0],
            u"Err: 0xC0000FA0: Failed to open rules data file. Path: " + Widen(rules_) + u"\n");
  ASSERT_EQ(logs_.records().size(), 1u);
  EXPECT_EQ(logs_.records()[0].code, kStatusInternalError);
  EXPECT_EQ(logs_.records()[0].type, EVENTLOG_WARNING_TYPE);

  EXPECT_TRUE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"DefRules.dat", "Workstation.ini"}));
  EXPECT_EQ(FileBytes(rules_), kEmptyRuleFile);
  EXPECT_EQ(IniKeys(ini_), (std::vector<std::string>{
                               "EncryptionPassword", "ConfigIP", "SecConfigIP", "SCServerIP",
                               "LostText", "BlankingText", "RecordingPort", "ConfigPort",
                               "ErrLogLevel", "BroadcastPort", "BroadcastTakesPref", "AssignedFCC",
                               "SeatingType", "EnableDesktopIcon", "HTTPPort", "HTTPSSLCert"}));
  EXPECT_EQ(test::ReadLines(ini_)[0], "[Config]");
  EXPECT_EQ(IniValue(ini_, u"AssignedFCC"), u"808996950");
  EXPECT_EQ(IniValue(ini_, u"EncryptionPassword"), u"");

  // The next start finds what was saved.
  WorkstationConfig next;
  EXPECT_TRUE(LoadSettings(next, u"", false));
  EXPECT_EQ(static_cast<WorkstationSettings&>(next), static_cast<WorkstationSettings&>(cfg));
}

TEST_F(SettingsStoreTest, SavedValuesLoadBackWithHostNamesInCapitals) {
  ASSERT_TRUE(SecurityServer::Instance().Initialize());
  WorkstationConfig cfg;
  cfg.SCServerIP = u"rec.example.local";
  cfg.RecordingPort = 5001;
  cfg.ConfigIP = u"cfg.example.local";
  cfg.ConfigPort = 5002;
  cfg.BroadcastPort = 5003;
  cfg.BroadcastTakesPref = 0;
  cfg.SeatingType = 4;
  cfg.AssignedFCC = 0x47504A4D;
  cfg.ErrLogLevel = 3;
  cfg.Flags = kFlagDesktopIcon | kFlagHighAvailability;
  cfg.EncryptionPassword = u"Geheim ß";
  cfg.BlankingText = u"Recording paused";
  cfg.LostText = u"Desktop locked";
  cfg.SecConfigIP = u"cfg2.example.local";
  cfg.HTTPPort = 8443;
  cfg.HTTPSSLCert = u"cn=workstation";
  cfg.screen_list = {u"DP-1", u"HDMI-2"};
  ASSERT_TRUE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(IniValue(ini_, u"ConfigIP"), u"CFG.EXAMPLE.LOCAL");
  EXPECT_EQ(IniValue(ini_, u"SCServerIP"), u"REC.EXAMPLE.LOCAL");
  EXPECT_EQ(IniValue(ini_, u"SecConfigIP"), u"CFG2.EXAMPLE.LOCAL");
  EXPECT_EQ(IniValue(ini_, u"HTTPSSLCert"), u"CN=WORKSTATION");
  EXPECT_EQ(IniValue(ini_, u"BlankingText"), u"Recording paused");
  EXPECT_EQ(IniValue(ini_, u"AssignedFCC"), u"1196444237");
  EXPECT_EQ(IniValue(ini_, u"EnableDesktopIcon"), u"1");
  EXPECT_EQ(IniValue(ini_, u"ScreenList"), u"DP-1:HDMI-2");

  // Fields that the INI file does not hold stay as the loading record has them.
  WorkstationConfig loaded;
  loaded.Carried16 = 9;
  loaded.GuidText = u"{mine}";
  ASSERT_TRUE(LoadSettings(loaded, u"", false));
  WorkstationConfig expected = cfg;
  expected.SCServerIP = u"REC.EXAMPLE.LOCAL";
  expected.ConfigIP = u"CFG.EXAMPLE.LOCAL";
  expected.SecConfigIP = u"CFG2.EXAMPLE.LOCAL";
  expected.HTTPSSLCert = u"CN=WORKSTATION";
  expected.Flags = kFlagDesktopIcon;  // only bit 6 is stored
  expected.Carried16 = 9;
  expected.GuidText = u"{mine}";
  EXPECT_EQ(static_cast<WorkstationSettings&>(loaded), static_cast<WorkstationSettings&>(expected));
  EXPECT_EQ(loaded.screen_list, cfg.screen_list);
}

TEST_F(SettingsStoreTest, PasswordIsStoredEncipheredAsHexAndReadBack) {
  // Without the provider the bytes are only hex-encoded.
  EXPECT_EQ(EncodePassword(u"ab"), u"61006200");
  EXPECT_EQ(DecodePassword(u"61006200"), u"ab");

  ASSERT_TRUE(SecurityServer::Instance().Initialize());
  WorkstationConfig cfg;
  cfg.EncryptionPassword = u"ab";
  ASSERT_TRUE(SaveSettings(cfg, u"", false));
  const std::u16string stored = IniValue(ini_, u"EncryptionPassword");
  ASSERT_EQ(stored.size(), 8u);
  EXPECT_NE(stored, u"61006200");
  EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
  }));
  // It is RC4 key 1 of the provider that enciphered the bytes.
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<uint8_t>(std::stoi(ToUtf8(stored.substr(2 * i, 2)), nullptr, 16));
  ASSERT_TRUE(SecurityServer::Instance().Decrypt(1, bytes, 4));
  EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{0x61, 0x00, 0x62, 0x00}));

  WorkstationConfig loaded;
  ASSERT_TRUE(LoadSettings(loaded, u"", false));
  EXPECT_EQ(loaded.EncryptionPassword, u"ab");

  struct Row {
    const char* name;
    std::u16string text;
    std::u16string result;
  };
  const Row rows[] = {
      {"odd length ignores the last digit", stored + u"F", u"ab"},
      {"lower-case digits", Lower(stored), u"ab"},
      {"three bytes give one character", stored.substr(0, 6), u"a"},
      {"not hex keeps the password", u"ZZ00", u"previous"},
      {"empty keeps the password", u"", u"previous"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CIniFile ini;
    ini.SetFileName(Widen(ini_));
    ini.WriteString(u"Config", u"EncryptionPassword", row.text);
    WorkstationConfig c;
    c.EncryptionPassword = u"previous";
    LoadSettings(c, u"", false);
    EXPECT_EQ(c.EncryptionPassword, row.result);
  }
}

TEST_F(SettingsStoreTest, ScreenListSplitsOnColonsAndLineFeedsAndIsWrittenWithOneColon) {
  EXPECT_EQ(SplitScreenList(u"DP-1::HDMI-2"), (std::vector<std::u16string>{u"DP-1", u"HDMI-2"}));
  EXPECT_EQ(SplitScreenList(u"DP-1\nHDMI-2"), (std::vector<std::u16string>{u"DP-1", u"HDMI-2"}));
  EXPECT_EQ(SplitScreenList(u":\n:A:"), (std::vector<std::u16string>{u"A"}));
  EXPECT_TRUE(SplitScreenList(u"::").empty());

  MakeFolder();
  WriteText(ini_, "[Config]\nScreenList=DP-1::HDMI-2\n");
  WorkstationConfig cfg;
  cfg.screen_list = {u"old"};
  LoadSettings(cfg, u"", false);
  EXPECT_EQ(cfg.screen_list, (std::vector<std::u16string>{u"DP-1", u"HDMI-2"}));
  ASSERT_TRUE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(IniValue(ini_, u"ScreenList"), u"DP-1:HDMI-2");

  // An empty list leaves the file's value alone, and an empty value leaves the list alone.
  cfg.screen_list.clear();
  ASSERT_TRUE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(IniValue(ini_, u"ScreenList"), u"DP-1:HDMI-2");
  WriteText(ini_, "[Config]\nScreenList=\n");
  cfg.screen_list = {u"kept"};
  LoadSettings(cfg, u"", false);
  EXPECT_EQ(cfg.screen_list, (std::vector<std::u16string>{u"kept"}));
}

TEST_F(SettingsStoreTest, IniNumbersAreReadAsTheKeyTableSays) {
  MakeFolder();
  WriteText(ini_,
            "[Config]\nRecordingPort=70000\nBroadcastTakesPref=65536\nAssignedFCC=-1\n"
            "EnableDesktopIcon=7\nErrLogLevel=4\n");
  WorkstationConfig cfg;
  cfg.Flags = kFlagRulesDisabled;
  LoadSettings(cfg, u"", false);
  EXPECT_EQ(cfg.RecordingPort, 70000 & 0xFFFF);
  EXPECT_EQ(cfg.BroadcastTakesPref, 0);
  EXPECT_EQ(cfg.AssignedFCC, 0xFFFFFFFFu);
  EXPECT_EQ(cfg.Flags, kFlagRulesDisabled | kFlagDesktopIcon);
  EXPECT_EQ(cfg.ErrLogLevel, 4u);
  EXPECT_EQ(cfg.ConfigPort, 4489);

  WriteText(ini_, "[Config]\nEnableDesktopIcon=0\n");
  LoadSettings(cfg, u"", false);
  EXPECT_EQ(cfg.Flags, kFlagRulesDisabled);
}

TEST_F(SettingsStoreTest, RemoteSessionUsesItsOwnFilesAndTheSharedOverrides) {
  MakeFolder();
  WriteText(ini_, "[Config]\nConfigIP=console-cfg\n");
  const std::string remote_ini = folder_ + "/Workstation_CLIENT7.ini";
  WriteText(remote_ini, "[Config]\nConfigIP=remote-cfg\nConfigPort=6000\nAssignedFCC=5\n");
  const std::string overrides = folder_ + "/Workstation.ts.ini";

  struct Row {
    const char* name;
    const char* overrides;  // nullptr: no overrides file
    std::u16string ip;
    uint16_t port;
    uint32_t fcc;
  };
  const Row rows[] = {
      {"no overrides file", nullptr, u"remote-cfg", 6000, 5},
      {"port 0 and code -1 change nothing", "[Config]\nConfigPort=0\nAssignedFCC=-1\n",
       u"remote-cfg", 6000, 5},
      {"every override applies",
       "[config]\nconfigip=ts-cfg\nConfigPort=7000\nAssignedFCC=808996950\n", u"ts-cfg", 7000,
       808996950},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(overrides);
    if (row.overrides) WriteText(overrides, row.overrides);
    WorkstationConfig cfg;
    EXPECT_FALSE(LoadSettings(cfg, u"CLIENT7", true));  // no rules file yet: overrides still apply
    EXPECT_EQ(cfg.ConfigIP, row.ip);
    EXPECT_EQ(cfg.ConfigPort, row.port);
    EXPECT_EQ(cfg.AssignedFCC, row.fcc);
  }

  // The console instance never reads the overrides.
  WorkstationConfig console;
  LoadSettings(console, u"", false);
  EXPECT_EQ(console.ConfigIP, u"console-cfg");

  WorkstationConfig cfg;
  ASSERT_TRUE(SaveSettings(cfg, u"CLIENT7", true));
  EXPECT_EQ(FileBytes(folder_ + "/DefRules_CLIENT7.dat"), kEmptyRuleFile);
  EXPECT_FALSE(fs::exists(rules_));
  EXPECT_EQ(IniValue(ini_, u"ConfigIP"), u"console-cfg");
  EXPECT_EQ(ReadFile(overrides),
            "[config]\nconfigip=ts-cfg\nConfigPort=7000\nAssignedFCC=808996950\n");

  // A client name cannot lead the files out of the folder.
  ASSERT_TRUE(SaveSettings(cfg, u"../evil", true));
  EXPECT_TRUE(fs::exists(folder_ + "/Workstation_.._evil.ini"));
  EXPECT_FALSE(fs::exists(dir_.Sub("Vorla/evil.ini")));
}

TEST_F(SettingsStoreTest, RulesFileIsLoadedAndAFaultyOneLeavesTheCurrentRules) {
  MakeFolder();
  WriteBytes(rules_, kOneRuleFile);
  WorkstationConfig cfg;
  ASSERT_TRUE(LoadSettings(cfg, u"", false));
  ASSERT_EQ(cfg.rules.size(), 1u);
  EXPECT_EQ(cfg.rules[0]->name, u"R");
  EXPECT_TRUE(cfg.rules[0]->HasInputOfType(516));

  // Saved again, the rules file holds the same bytes.
  ASSERT_TRUE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(FileBytes(rules_), kOneRuleFile);

  const auto current = cfg.rules[0];
  for (size_t n = 0; n < kOneRuleFile.size(); ++n) {
    SCOPED_TRACE(testing::Message() << n << " bytes");
    WriteBytes(rules_,
               Bytes(kOneRuleFile.begin(), kOneRuleFile.begin() + static_cast<std::ptrdiff_t>(n)));
    cfg.ConfigIP.clear();
    EXPECT_FALSE(LoadSettings(cfg, u"", false));
    ASSERT_EQ(cfg.rules.size(), 1u);
    EXPECT_EQ(cfg.rules[0], current);
    EXPECT_EQ(cfg.ConfigIP, u"NO_SET");  // the INI values are applied all the same
  }
  Bytes unknown_type = kOneRuleFile;
  unknown_type[4] = 0x05;  // first input type 517 does not exist
  WriteBytes(rules_, unknown_type);
  EXPECT_FALSE(LoadSettings(cfg, u"", false));
  EXPECT_EQ(cfg.rules[0], current);

  // An empty rule list is a valid file and replaces the rules.
  WriteBytes(rules_, kEmptyRuleFile);
  EXPECT_TRUE(LoadSettings(cfg, u"", false));
  EXPECT_TRUE(cfg.rules.empty());
}

TEST_F(SettingsStoreTest, ARuleThatCannotBeSavedLeavesThePreviousRulesFile) {
  MakeFolder();
  WriteBytes(rules_, kOneRuleFile);
  WorkstationConfig cfg;
  ASSERT_TRUE(LoadSettings(cfg, u"", false));
  cfg.rules.push_back(std::make_shared<TriggerRule>());  // no first input: cannot be written
  cfg.ConfigIP = u"changed";
  EXPECT_FALSE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(FileBytes(rules_), kOneRuleFile);
  EXPECT_EQ(IniValue(ini_, u"ConfigIP"), u"CHANGED");  // the INI file is written first
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"DefRules.dat", "Workstation.ini"}));

  // The next start still has its rules.
  WorkstationConfig next;
  EXPECT_TRUE(LoadSettings(next, u"", false));
  EXPECT_EQ(next.rules.size(), 1u);
}

TEST_F(SettingsStoreTest, RulesFileProblemsAreReported) {
  MakeFolder();
  // A folder where the rules file should be: it can be neither opened nor replaced.
  fs::create_directory(rules_);
  WorkstationConfig cfg;
  EXPECT_FALSE(SaveSettings(cfg, u"", false));
  EXPECT_EQ(IniValue(ini_, u"ConfigIP"), u"");
  ASSERT_EQ(logs_.console().size(), 1u);
  EXPECT_EQ(logs_.console()[0],
            u"Err: 0xC0000FA0: Faile to create/save default rules. Path: " + Widen(rules_) + u"\n");
  EXPECT_FALSE(LoadSettings(cfg, u"", false));
  ASSERT_EQ(logs_.console().size(), 2u);
  EXPECT_EQ(logs_.console()[1],
            u"Err: 0xC0000FA0: Failed to open rules data file. Path: " + Widen(rules_) + u"\n");
  fs::remove(rules_);

  // A file too large to be a rule list is not read into memory (sparse: costs no disk).
  const int fd = open(rules_.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100 * 1024 * 1024), 0);
  close(fd);
  EXPECT_FALSE(LoadSettings(cfg, u"", false));
  ASSERT_EQ(logs_.console().size(), 3u);
  EXPECT_EQ(logs_.console()[2], u"Err: 0xC0000FA0: Failed to read configurator data file [" +
                                    Widen(rules_) + u"], size = 104857600.\n");
  for (const auto& r : logs_.records()) {
    EXPECT_EQ(r.code, kStatusInternalError);
    EXPECT_EQ(r.type, EVENTLOG_WARNING_TYPE);
  }

  // Level 3: nothing is reported above that threshold.
  logs_.Clear();
  SetLogThreshold(4);
  EXPECT_FALSE(LoadSettings(cfg, u"", false));
  EXPECT_TRUE(logs_.console().empty());
}

}  // namespace
}  // namespace vorla
