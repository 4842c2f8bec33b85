#include "config/ini_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class IniFileTest : public ::testing::Test {
 protected:
  IniFileTest() : path_(dir_.Sub("settings.ini")) { ini_.SetFileName(Widen(path_)); }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      names.push_back(e.path().filename().string());
    return names;
  }

  test::ScopedTempDir dir_;
  std::string path_;
  CIniFile ini_;
};

TEST_F(IniFileTest, MissingFileOrKeyGivesTheDefaultAndCreatesNothing) {
  EXPECT_EQ(ini_.ReadInt(u"Config", u"RecordingPort", 4488), 4488);
  EXPECT_EQ(ini_.ReadString(u"Config", u"ConfigIP", u"NO_SET"), u"NO_SET");
  ini_.Flush();
  EXPECT_FALSE(test::FileExists(path_));

  WriteText(path_, "[Config]\nOther=1\n[Else]\nConfigIP=elsewhere\n");
  EXPECT_EQ(ini_.ReadString(u"Config", u"ConfigIP", u"NO_SET"), u"NO_SET");
  EXPECT_EQ(ini_.ReadInt(u"Missing", u"Other", -5), -5);
}

TEST_F(IniFileTest, WriteCreatesFileSectionAndKeyAndNumbersAreDecimalText) {
  struct Row {
    int32_t value;
    const char* text;
  };
  const Row rows[] = {{4488, "4488"},
                      {-1, "-1"},
                      {0, "0"},
                      {808996950, "808996950"},
                      {INT32_MIN, "-2147483648"},
                      {INT32_MAX, "2147483647"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    ini_.WriteInt(u"Config", u"Number", row.value);
    EXPECT_EQ(ReadFile(path_), std::string("[Config]\nNumber=") + row.text + "\n");
    EXPECT_EQ(ini_.ReadInt(u"Config", u"Number", 7), row.value);
  }
  ini_.WriteString(u"Config", u"Text", u"Grüße");
  ini_.WriteString(u"Second", u"Key", u"v");
  EXPECT_EQ(ReadFile(path_),
            "[Config]\nNumber=2147483647\nText=Gr\xC3\xBC\xC3\x9F"
            "e\n\n[Second]\nKey=v\n");
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u""), u"Grüße");
}

TEST_F(IniFileTest, NamesMatchWithoutRegardToCaseAndOtherLinesSurviveAWrite) {
  WriteText(path_,
            "\xEF\xBB\xBF; kept comment\r\n[config]\r\n  configip = cfg.local  \r\nPort=1\r\n\r\n"
            "[Other]\r\nConfigIP=other\r\n");
  EXPECT_EQ(ini_.ReadString(u"Config", u"ConfigIP", u""), u"cfg.local");
  EXPECT_EQ(ini_.ReadString(u"CONFIG", u"CONFIGIP", u""), u"cfg.local");

  ini_.WriteString(u"CONFIG", u"ConfigIP", u"NEW");  // replaces the line, adds no second key
  ini_.WriteInt(u"Config", u"Added", 5);             // goes into the section, before the blank
  EXPECT_EQ(ReadFile(path_),
            "; kept comment\n[config]\nConfigIP=NEW\nPort=1\nAdded=5\n\n[Other]\nConfigIP=other\n");
  EXPECT_EQ(ini_.ReadString(u"Other", u"configip", u""), u"other");
}

TEST_F(IniFileTest, StringsAreCutTo1023UnitsOnReading) {
  const std::u16string long_text(2000, u'x');
  ini_.WriteString(u"Config", u"Long", long_text);
  EXPECT_EQ(ini_.ReadString(u"Config", u"Long", u""), long_text.substr(0, 1023));
  EXPECT_EQ(ini_.ReadString(u"Config", u"Missing", long_text), long_text.substr(0, 1023));
}

TEST_F(IniFileTest, IntegersReadLikeThePlatform) {
  struct Row {
    const char* stored;
    int32_t expected;
  };
  const Row rows[] = {{"  42", 42}, {"-7", -7}, {"+9", 9},         {"12abc", 12},
                      {"abc", 0},   {"", 99},   {"4294967295", -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.stored);
    WriteText(path_, std::string("[Config]\nN=") + row.stored + "\n");
    EXPECT_EQ(ini_.ReadInt(u"Config", u"N", 99), row.expected);
  }
}

TEST_F(IniFileTest, AWriteReplacesTheFileWholeAndLeavesNothingBehind) {
  ini_.WriteString(u"Config", u"A", u"old");
  // A hard link keeps the old file's inode: an in-place write would change it too.
  fs::create_hard_link(path_, dir_.Sub("before.ini"));
  ini_.WriteString(u"Config", u"A", u"new");
  EXPECT_EQ(ReadFile(dir_.Sub("before.ini")), "[Config]\nA=old\n");
  EXPECT_EQ(ReadFile(path_), "[Config]\nA=new\n");
  auto names = Entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"before.ini", "settings.ini"}));
}

TEST_F(IniFileTest, SetFileNameMakesAReadOnlyFileWritableAgain) {
  WriteText(path_, "[Config]\nA=1\n");
  chmod(path_.c_str(), 0444);
  CIniFile other;
  other.SetFileName(Widen(path_));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  other.WriteInt(u"Config", u"A", 2);
  EXPECT_EQ(other.ReadInt(u"Config", u"A", 0), 2);

  // Without SetFileName a read-only file is left as it is.
  chmod(path_.c_str(), 0444);
  other.WriteInt(u"Config", u"A", 3);
  EXPECT_EQ(ReadFile(path_), "[Config]\nA=2\n");
}

TEST_F(IniFileTest, WritingIntoAMissingFolderCreatesNothing) {
  CIniFile ini;
  ini.SetFileName(Widen(dir_.Sub("missing/settings.ini")));
  ini.WriteString(u"Config", u"A", u"1");
  EXPECT_FALSE(test::FileExists(dir_.Sub("missing")));
  EXPECT_EQ(ini.ReadString(u"Config", u"A", u"default"), u"default");
}

// Found by tests/fuzz/ini_file_fuzz.cpp: a line ending in "\r\r\n" read as a value with a
// trailing "\r", which the write of another key (every line then ends in "\n") took away.
TEST_F(IniFileTest, EveryCarriageReturnBeforeTheLineEndBelongsToTheLineEnd) {
  WriteText(path_, "[Config]\r\nText=v\r\r\nOther=1\r\r\r\n[Next]\r\nLast=x\r\r");
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u""), u"v");
  EXPECT_EQ(ini_.ReadInt(u"Config", u"Other", 0), 1);
  EXPECT_EQ(ini_.ReadString(u"Next", u"Last", u""), u"x");

  ini_.WriteInt(u"Config", u"Other", 2);  // another key of the same section
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u""), u"v");
  EXPECT_EQ(ini_.ReadString(u"Next", u"Last", u""), u"x");
  EXPECT_EQ(ReadFile(path_), "[Config]\nText=v\nOther=2\n[Next]\nLast=x\n");
  // A "\r" inside a line is part of it, and a write keeps it.
  WriteText(path_, "[Config]\nText=a\rb\n");
  ini_.WriteInt(u"Config", u"Other", 3);
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u""), u"a\rb");
}

// A file that starts with two byte-order marks: the second is text, so the first line is no
// section header, and a write elsewhere in the file must not make it one.
TEST_F(IniFileTest, ASecondByteOrderMarkStaysTextThroughAWrite) {
  WriteText(path_, "\xEF\xBB\xBF\xEF\xBB\xBF[Config]\nText=v\n");
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u"none"), u"none");
  ini_.WriteInt(u"Config", u"Other", 2);
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u"none"), u"none");
  EXPECT_EQ(ini_.ReadInt(u"Config", u"Other", 0), 2);
}

TEST_F(IniFileTest, LineBreaksInAValueCannotAddKeysOrSections) {
  ini_.WriteString(u"Config", u"Text", u"a\n[Evil]\r\nB=1");
  EXPECT_EQ(ini_.ReadString(u"Evil", u"B", u"none"), u"none");
  EXPECT_EQ(ini_.ReadString(u"Config", u"B", u"none"), u"none");
  EXPECT_EQ(ini_.ReadString(u"Config", u"Text", u""), u"a [Evil]  B=1");
}

}  // namespace
}  // namespace vorla
