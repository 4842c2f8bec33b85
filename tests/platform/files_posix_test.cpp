#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using platform::FileReadResult;

TEST(ReadWholeFile, ReadsRegularFilesAndRefusesEverythingElse) {
  test::ScopedTempDir dir;
  std::ofstream(dir.Sub("settings.ini"), std::ios::binary) << "[A]\r\nB=1\r\n";
  std::ofstream(dir.Sub("big"), std::ios::binary) << std::string(100, 'x');
  struct Row {
    const char* name;
    uint64_t max_size;
    FileReadResult result;
    uint64_t size;
  } rows[] = {
      {"settings.ini", 1024, FileReadResult::kOk, 10},
      {"big", 99, FileReadResult::kReadFailed, 100},
      {"missing", 1024, FileReadResult::kCannotOpen, 0},
      {"", 1024, FileReadResult::kCannotOpen, 0},  // the folder itself
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> bytes = {1, 2, 3};
    uint64_t size = 7;
    EXPECT_EQ(platform::ReadWholeFile(FromUtf8(dir.Sub(row.name)), bytes, size, row.max_size),
              row.result);
    EXPECT_EQ(size, row.size);
    EXPECT_EQ(bytes.size(), row.result == FileReadResult::kOk ? row.size : 0u);
  }
}

// A FIFO at a settings path must not hold the reader until some writer appears.
TEST(ReadWholeFile, AFifoIsRefusedWithoutWaitingForAWriter) {
  test::ScopedTempDir dir;
  const std::string fifo = dir.Sub("rules.dat");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto read = std::async(std::launch::async, [&] {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    return platform::ReadWholeFile(FromUtf8(fifo), bytes, size, 1024);
  });
  const bool finished = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!finished) {
    // Release the blocked reader so that the test ends with a failure instead of hanging.
    const int writer = open(fifo.c_str(), O_WRONLY);
    if (writer >= 0) close(writer);
  }
  ASSERT_TRUE(finished) << "the read blocked on the FIFO";
  EXPECT_EQ(read.get(), FileReadResult::kCannotOpen);
}

}  // namespace
}  // namespace vorla
