#include "diag/zip_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "diag/zip_listing.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using test::ReadFile;
using test::ZipEntryText;
using test::ZipNames;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class ZipArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive_ = dir_.Sub("out.zip");
    std::ofstream(archive_, std::ios::binary)
        .write(reinterpret_cast<const char*>(kEmptyZipArchive), sizeof kEmptyZipArchive);
  }
  bool Add(const std::string& path) {
    return AddPathToZipArchive(FromUtf8(archive_), FromUtf8(path));
  }
  std::vector<std::string> Names() {
    auto n = ZipNames(archive_);
    std::sort(n.begin(), n.end());
    return n;
  }

  test::ScopedTempDir dir_;
  std::string archive_;
};

TEST_F(ZipArchiveTest, EmptyArchiveIsTheBareEndRecord) {
  const std::string expected = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  EXPECT_EQ(ReadFile(archive_), expected);
  auto entries = test::ListZip(archive_);
  ASSERT_TRUE(entries.has_value());
  EXPECT_TRUE(entries->empty());
}

TEST_F(ZipArchiveTest, FileGoesToTheTopLevelUnderItsNameAndReplacesAnEarlierEntry) {
  std::filesystem::create_directories(dir_.Sub("a/b"));
  WriteText(dir_.Sub("a/b/report.txt"), "first");
  ASSERT_TRUE(Add(dir_.Sub("a/b/report.txt")));
  EXPECT_EQ(Names(), std::vector<std::string>{"report.txt"});
  EXPECT_EQ(ZipEntryText(archive_, "report.txt"), "first");

  WriteText(dir_.Sub("a/b/report.txt"), "second, longer");
  WriteText(dir_.Sub("other.ini"), "x");
  ASSERT_TRUE(Add(dir_.Sub("a/b/report.txt")));
  ASSERT_TRUE(Add(dir_.Sub("other.ini")));
  EXPECT_EQ(Names(), (std::vector<std::string>{"other.ini", "report.txt"}));
  EXPECT_EQ(ZipEntryText(archive_, "report.txt"), "second, longer");
}

TEST_F(ZipArchiveTest, FolderComesWithItsContentsButWithoutLinksFifosOrTheArchiveItself) {
  const std::string data = dir_.Sub("data");
  std::filesystem::create_directories(data + "/sub/deeper");
  std::filesystem::create_directories(data + "/empty");
  WriteText(data + "/top.txt", "top");
  WriteText(data + "/sub/deeper/leaf.bin", std::string("\0\1\2", 3));
  ASSERT_EQ(symlink("/etc/hostname", (data + "/link").c_str()), 0);
  ASSERT_EQ(symlink(data.c_str(), (data + "/sub/loop").c_str()), 0);
  ASSERT_EQ(mkfifo((data + "/fifo").c_str(), 0600), 0);
  // The archive inside the folder it collects.
  const std::string inner = data + "/inner.zip";
  std::filesystem::copy_file(archive_, inner);
  archive_ = inner;

  ASSERT_TRUE(Add(data + "/"));  // a trailing slash names the same folder
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"data/", "data/empty/", "data/sub/", "data/sub/deeper/",
                                      "data/sub/deeper/leaf.bin", "data/top.txt"}));
  EXPECT_EQ(ZipEntryText(archive_, "data/sub/deeper/leaf.bin"), std::string("\0\1\2", 3));
  // The same folder once more: entries are replaced, none doubled.
  ASSERT_TRUE(Add(data));
  EXPECT_EQ(Names().size(), 6u);
}

TEST_F(ZipArchiveTest, WhatCannotBeAddedLeavesTheArchiveUntouched) {
  const std::string before = ReadFile(archive_);
  ASSERT_EQ(mkfifo(dir_.Sub("fifo").c_str(), 0600), 0);
  WriteText(dir_.Sub("locked.txt"), "secret");
  chmod(dir_.Sub("locked.txt").c_str(), 0);
  const bool root = geteuid() == 0;
  for (const std::string& path :
       {dir_.Sub("missing.txt"), dir_.Sub("fifo"), std::string("/"), std::string(""), archive_}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(Add(path));
  }
  if (!root) {  // root reads every file
    EXPECT_FALSE(Add(dir_.Sub("locked.txt")));
  }
  EXPECT_EQ(ReadFile(archive_), before);

  // An archive that is not a ZIP file.
  WriteText(archive_, "not a zip file at all, not at all");
  WriteText(dir_.Sub("ok.txt"), "ok");
  EXPECT_FALSE(Add(dir_.Sub("ok.txt")));
  EXPECT_EQ(ReadFile(archive_), "not a zip file at all, not at all");
}

}  // namespace
}  // namespace vorla
