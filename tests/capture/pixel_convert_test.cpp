#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "capture/pixel_convert.h"

namespace vorla {
namespace {

std::vector<uint8_t> Reference(const std::vector<uint8_t>& in, int32_t count, bool red_first) {
  std::vector<uint8_t> out(static_cast<size_t>(count) * 3);
  for (int32_t i = 0; i < count; ++i) {
    out[3 * i + 0] = in[4 * i + (red_first ? 2 : 0)];
    out[3 * i + 1] = in[4 * i + 1];
    out[3 * i + 2] = in[4 * i + (red_first ? 0 : 2)];
  }
  return out;
}

// Every code path of the 32-bit row conversion gives the plain result for row lengths around the
// vector widths, writes nothing past the row, and tells exactly whether the row changed.
TEST(PixelConvertTest, Bgrx32PathsAgreeAndReportChanges) {
  constexpr size_t kGuard = 64;
  std::mt19937 random(7);
  for (int path : {0, 1, 2}) {
    for (bool red_first : {false, true}) {
      for (int32_t count : {0, 1, 4, 5, 8, 11, 31, 32, 33, 63, 64, 65, 95, 96, 1366, 1927}) {
        SCOPED_TRACE(testing::Message()
                     << "path " << path << " red_first " << red_first << " count " << count);
        std::vector<uint8_t> in(static_cast<size_t>(count) * 4);
        for (uint8_t& b : in) b = static_cast<uint8_t>(random());
        const std::vector<uint8_t> want = Reference(in, count, red_first);
        const size_t n = want.size();
        std::vector<uint8_t> out(n + kGuard, 0xA5);
        // Into stale bytes: a change (unless there is nothing to write).
        const bool first =
            ConvertBgrx32RowForTesting(path, in.data(), out.data(), count, red_first);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
        for (size_t i = n; i < out.size(); ++i) {
          ASSERT_EQ(out[i], 0xA5) << "written past at " << i;
        }
        if (count > 0) {
          EXPECT_TRUE(first);
        }
        if (path == 1) continue;  // the SSSE3 path does not compare
        // Over its own result: no change.
        EXPECT_FALSE(ConvertBgrx32RowForTesting(path, in.data(), out.data(), count, red_first));
        // One byte different at the start, inside, or at the very end of the row.
        for (size_t at : {size_t{0}, n / 2, n - 1}) {
          if (count == 0) break;
          out[at] ^= 0x01;
          EXPECT_TRUE(ConvertBgrx32RowForTesting(path, in.data(), out.data(), count, red_first))
              << "byte " << at;
          EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
        }
        // The public entry gives the same bytes.
        std::vector<uint8_t> via(n + kGuard, 0xA5);
        ConvertRowTo24(platform::PixelFormat::kBgrx32, in.data(), via.data(), count, red_first);
        EXPECT_EQ(via, out);
      }
    }
  }
}

}  // namespace
}  // namespace vorla
