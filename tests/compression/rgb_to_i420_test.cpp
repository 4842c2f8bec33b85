#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "compression/rgb_to_i420.h"

namespace vorla {
namespace {

// The formulas computed the straightforward way, in double precision.
uint8_t RefLuma(int r, int g, int b) {
  const int y = static_cast<int>(std::trunc(0.257 * r)) + static_cast<int>(std::trunc(0.504 * g)) +
                static_cast<int>(std::trunc(0.098 * b)) + 16;
  return static_cast<uint8_t>(std::min(y, 235));
}
uint8_t RefCb(int r, int g, int b) {
  const int v = static_cast<int>(std::trunc(-0.148 * r)) -
                static_cast<int>(std::trunc(-0.439 * b)) -
                static_cast<int>(std::trunc(0.291 * g)) + 128;
  return static_cast<uint8_t>(std::clamp(v, 16, 235));
}
uint8_t RefCr(int r, int g, int b) {
  const int v = static_cast<int>(std::trunc(-0.071 * b)) -
                static_cast<int>(std::trunc(-0.439 * r)) -
                static_cast<int>(std::trunc(0.368 * g)) + 128;
  return static_cast<uint8_t>(std::clamp(v, 16, 235));
}

using Converter = void (*)(const uint8_t*, uint8_t*, uint8_t*, uint8_t*, int, int);

struct Planes {
  std::vector<uint8_t> y, cb, cr;
  Planes(int w, int h)
      : y(static_cast<size_t>(w) * h, 0xAA),
        cb(static_cast<size_t>(w / 2) * (h / 2), 0xAA),
        cr(static_cast<size_t>(w / 2) * (h / 2), 0xAA) {}
};

class RgbToI420Test : public ::testing::TestWithParam<Converter> {};

// Every value the formulas see: for each red value, an image of 512 x 512 whose 2 x 2 blocks are
// uniform and take every (green, blue) pair once. Luma sees every (R, G, B) and chroma every
// block average (R, G, B). The width (512) also runs the vector path's whole blocks; the odd
// widths below run its tail.
TEST_P(RgbToI420Test, EqualsTheDoubleFormulasForEveryInput) {
  const Converter convert = GetParam();
  const int w = 512, h = 512;
  std::vector<uint8_t> input(static_cast<size_t>(w) * h * 3);
  Planes out(w, h);
  int luma_errors = 0, chroma_errors = 0;
  for (int r = 0; r < 256; ++r) {
    // Image (top-down) row t is input row h - 1 - t.
    for (int t = 0; t < h; ++t) {
      uint8_t* row = input.data() + static_cast<size_t>(h - 1 - t) * w * 3;
      for (int x = 0; x < w; ++x) {
        row[3 * x] = static_cast<uint8_t>(r);
        row[3 * x + 1] = static_cast<uint8_t>(t / 2);  // green by block row
        row[3 * x + 2] = static_cast<uint8_t>(x / 2);  // blue by block column
      }
    }
    convert(input.data(), out.y.data(), out.cb.data(), out.cr.data(), w, h);
    for (int t = 0; t < h; ++t) {
      for (int x = 0; x < w; ++x) {
        luma_errors += out.y[static_cast<size_t>(t) * w + x] != RefLuma(r, t / 2, x / 2);
      }
    }
    for (int g = 0; g < 256; ++g) {
      for (int b = 0; b < 256; ++b) {
        const size_t at = static_cast<size_t>(g) * (w / 2) + b;
        chroma_errors += out.cb[at] != RefCb(r, g, b);
        chroma_errors += out.cr[at] != RefCr(r, g, b);
      }
    }
  }
  EXPECT_EQ(luma_errors, 0);
  EXPECT_EQ(chroma_errors, 0);
}

// The block average: every channel sum 0..1020 of a 2 x 2 block, with unequal pixels, at several
// positions of a row (vector blocks and the tail).
TEST_P(RgbToI420Test, AveragesEachBlockBeforeTheFormulas) {
  const Converter convert = GetParam();
  for (int w : {2, 30, 34, 64, 70}) {
    SCOPED_TRACE(w);
    const int h = 2;
    std::vector<uint8_t> input(static_cast<size_t>(w) * h * 3);
    Planes out(w, h);
    for (int s = 0; s <= 1020; ++s) {
      const int block = s % (w / 2);
      // Split s over four pixels unevenly: a, b, c, d.
      const int a = std::min(s, 255), b = std::min(s - a, 255), c = std::min(s - a - b, 255),
                d = s - a - b - c;
      const int vals[4] = {a, b, c, d};
      for (int p = 0; p < 4; ++p) {
        uint8_t* px = input.data() + (static_cast<size_t>(p / 2) * w + 2 * block + p % 2) * 3;
        px[0] = static_cast<uint8_t>(vals[p]);               // red: the sum under test
        px[1] = static_cast<uint8_t>(vals[(p + 1) % 4]);     // green: the same sum, rotated
        px[2] = static_cast<uint8_t>(vals[(p + 2) % 4]);     // blue likewise
      }
      convert(input.data(), out.y.data(), out.cb.data(), out.cr.data(), w, h);
      const int avg = s / 4;
      ASSERT_EQ(out.cb[block], RefCb(avg, avg, avg)) << s;
      ASSERT_EQ(out.cr[block], RefCr(avg, avg, avg)) << s;
    }
  }
}

TEST_P(RgbToI420Test, KnownColoursAndRowOrder) {
  const Converter convert = GetParam();
  const int w = 64, h = 4;
  std::vector<uint8_t> input(static_cast<size_t>(w) * h * 3, 255);
  // The last input row is the top image row: make it black.
  std::fill(input.end() - w * 3, input.end(), 0);
  Planes out(w, h);
  convert(input.data(), out.y.data(), out.cb.data(), out.cr.data(), w, h);
  EXPECT_EQ(out.y[0], 16);        // black
  EXPECT_EQ(out.y[w * 3], 233);   // white: 65 + 128 + 24 + 16
  EXPECT_EQ(out.cb[w / 2], 128);  // the white block row
  EXPECT_EQ(out.cr[w / 2], 128);
  EXPECT_EQ(out.cb[0], RefCb(127, 127, 127));  // black over white averages to 127
}

TEST_P(RgbToI420Test, OddHeightLeavesTheLastRow) {
  const Converter convert = GetParam();
  const int w = 32, h = 3;
  std::vector<uint8_t> input(static_cast<size_t>(w) * h * 3, 0);
  Planes out(w, h);
  convert(input.data(), out.y.data(), out.cb.data(), out.cr.data(), w, h);
  EXPECT_EQ(out.y[w], 16);
  EXPECT_EQ(out.y[2 * w], 0xAA);
}

INSTANTIATE_TEST_SUITE_P(Paths, RgbToI420Test,
                         ::testing::Values(&RgbToI420, &RgbToI420Portable),
                         [](const auto& info) {
                           return info.index == 0 ? std::string(RgbToI420UsesAvx2() ? "Dispatched"
                                                                                   : "Dispatched_NoAvx2")
                                                  : std::string("Portable");
                         });

}  // namespace
}  // namespace vorla
