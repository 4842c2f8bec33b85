#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/display_ctrl.h"
#include "capture_test_support.h"
#include "common/text.h"
#include "compression/compressor.h"
#include "platform/fake/fake_displays.h"

namespace vorla {
namespace {

constexpr uint32_t kFccMjpg = 0x47504A4D;  // an installed codec's code: blue first

class DisplayCtrlTest : public test::CaptureLogTest {
 protected:
  std::shared_ptr<platform::FakeDesk> desk_ = platform::FakeDesk::Create();
  std::unique_ptr<platform::Displays> displays_ = desk_->MakeDisplays();

  // Grabs `ctrl` into a buffer of its aligned size (no padding).
  std::vector<uint8_t> GrabAll(DisplayCtrl& ctrl, bool blank = false, bool lost = false,
                               bool cursor = false, bool* ok = nullptr) {
    std::vector<uint8_t> out(static_cast<size_t>(ctrl.aligned_width()) * ctrl.aligned_height() *
                                 3,
                             0xEE);
    const bool result = ctrl.Grab(out.data(), 0, blank, lost, cursor, false);
    if (ok != nullptr) *ok = result;
    return out;
  }
  // The output pixel of image (top-down) row y, column x.
  static const uint8_t* At(const std::vector<uint8_t>& frame, const DisplayCtrl& ctrl, int x,
                           int y) {
    const int memory_row = ctrl.aligned_height() - 1 - y;
    return frame.data() + (static_cast<size_t>(memory_row) * ctrl.aligned_width() + x) * 3;
  }
};

TEST_F(DisplayCtrlTest, AlignedSizesAndBlackBorders) {
  struct Row {
    int w, h, aw, ah;
  } rows[] = {{1366, 768, 1376, 768}, {1920, 1079, 1920, 1080}, {1920, 1080, 1920, 1080},
              {33, 3, 64, 4}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.w << "x" << row.h);
    const std::u16string name = FromUtf8("D" + std::to_string(row.w) + "x" + std::to_string(row.h));
    const int index = desk_->AddDisplay(name, 0, 0, row.w, row.h);
    desk_->Fill(index, 10, 20, 30);
    DisplayCtrl ctrl;
    ASSERT_EQ(ctrl.Init(*displays_, name, kFccVp80, u"", u"LOST"), 0u);
    EXPECT_EQ(ctrl.aligned_width(), row.aw);
    EXPECT_EQ(ctrl.aligned_height(), row.ah);
    const std::vector<uint8_t> frame = GrabAll(ctrl);
    EXPECT_EQ(std::vector<uint8_t>(At(frame, ctrl, row.w - 1, row.h - 1),
                                   At(frame, ctrl, row.w - 1, row.h - 1) + 3),
              (std::vector<uint8_t>{10, 20, 30}));
    // Columns right of the mode and rows below it are black.
    if (row.aw > row.w) {
      EXPECT_EQ(At(frame, ctrl, row.w, 0)[0], 0);
      EXPECT_EQ(At(frame, ctrl, row.aw - 1, row.h - 1)[1], 0);
    }
    if (row.ah > row.h) {
      EXPECT_EQ(At(frame, ctrl, 0, row.ah - 1)[0], 0);
      // Bottom-up: the extra row is the first in memory.
      EXPECT_EQ(frame[0], 0);
    }
  }
}

TEST_F(DisplayCtrlTest, ChannelOrderByCodecAndDepth) {
  struct Row {
    const char* name;
    int bits;
    uint32_t fcc;
    uint8_t expect[3];
  } rows[] = {
      {"32 VP80", 32, kFccVp80, {255, 0, 0}}, {"32 jpeg", 32, kFccJpeg, {255, 0, 0}},
      {"32 MJPG", 32, kFccMjpg, {0, 0, 255}}, {"24 VP80", 24, kFccVp80, {255, 0, 0}},
      {"24 MJPG", 24, kFccMjpg, {0, 0, 255}}, {"16 VP80", 16, kFccVp80, {248, 0, 0}},
      {"16 MJPG", 16, kFccMjpg, {0, 0, 248}}, {"565 VP80", 565, kFccVp80, {248, 0, 0}},
      {"565 MJPG", 565, kFccMjpg, {0, 0, 248}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto desk = platform::FakeDesk::Create();
    const int index = desk->AddDisplay(u"ONE", 0, 0, 64, 2, row.bits);
    desk->Fill(index, 255, 0, 0);
    auto displays = desk->MakeDisplays();
    DisplayCtrl ctrl;
    ASSERT_EQ(ctrl.Init(*displays, u"ONE", row.fcc, u"", u""), 0u);
    const std::vector<uint8_t> frame = GrabAll(ctrl);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(At(frame, ctrl, 5, 1)[i], row.expect[i]) << i;
  }
}

TEST_F(DisplayCtrlTest, SixteenBitChannelsKeepTheirFiveBits) {
  const int index = desk_->AddDisplay(u"ONE", 0, 0, 32, 2, 16);
  // 5-5-5: red 31, green 1, blue 16; bit 15 set must be ignored.
  desk_->SetPixel16(index, 0, 0, 0x8000 | (31 << 10) | (1 << 5) | 16);
  const int wide = desk_->AddDisplay(u"TWO", 32, 0, 32, 2, 565);
  // 5-6-5: red 31, green 63 (5-bit value 31), blue 1.
  desk_->SetPixel16(wide, 0, 0, (31 << 11) | (63 << 5) | 1);
  for (const auto& [name, expect] : {std::pair{u"ONE", std::vector<uint8_t>{248, 8, 128}},
                                     std::pair{u"TWO", std::vector<uint8_t>{248, 248, 8}}}) {
    DisplayCtrl ctrl;
    ASSERT_EQ(ctrl.Init(*displays_, name, kFccVp80, u"", u""), 0u);
    EXPECT_EQ(ctrl.pixel_format(), kPixelFormat16);
    const std::vector<uint8_t> frame = GrabAll(ctrl);
    EXPECT_EQ(std::vector<uint8_t>(At(frame, ctrl, 0, 0), At(frame, ctrl, 0, 0) + 3), expect);
  }
}

TEST_F(DisplayCtrlTest, PaddingIsSkippedAfterEachRow) {
  const int index = desk_->AddDisplay(u"ONE", 0, 0, 32, 2);
  desk_->Fill(index, 1, 2, 3);
  DisplayCtrl ctrl;
  ASSERT_EQ(ctrl.Init(*displays_, u"ONE", kFccVp80, u"", u""), 0u);
  const int padding = 9;
  std::vector<uint8_t> out(2 * (32 * 3 + padding), 0xEE);
  ASSERT_TRUE(ctrl.Grab(out.data(), padding, false, false, false, false));
  for (int row = 0; row < 2; ++row) {
    const uint8_t* r = out.data() + row * (32 * 3 + padding);
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(r[32 * 3 - 1], 3);
    for (int i = 0; i < padding; ++i) EXPECT_EQ(r[32 * 3 + i], 0xEE) << "padding touched";
  }
}

TEST_F(DisplayCtrlTest, BlankingTextIsCutTo20AndCentredOnBlack) {
  desk_->Fill(desk_->AddDisplay(u"ONE", 0, 0, 640, 100), 200, 200, 200);
  const std::u16string long_text = u"ABCDEFGHIJKLMNOPQRSTUVWXY";  // 25 characters
  DisplayCtrl ctrl;
  ASSERT_EQ(ctrl.Init(*displays_, u"ONE", kFccVp80, long_text, u"LOST"), 0u);
  bool ok = false;
  const std::vector<uint8_t> frame = GrabAll(ctrl, /*blank=*/true, false, false, &ok);
  EXPECT_TRUE(ok);
  // The white text box spans exactly 20 cells, centred.
  int first = -1, last = -1;
  const int mid_row = 50 - 8;  // the box's top row
  for (int x = 0; x < 640; ++x) {
    if (At(frame, ctrl, x, mid_row)[0] == 255) {
      if (first < 0) first = x;
      last = x;
    }
  }
  EXPECT_EQ(last - first + 1, 20 * 12);
  EXPECT_EQ(first, (640 - 240) / 2);
  // Outside the box all is black; inside there is black ink on white.
  EXPECT_EQ(At(frame, ctrl, 0, 0)[0], 0);
  EXPECT_EQ(At(frame, ctrl, first - 1, 50)[0], 0);
  int ink = 0;
  for (int x = first; x <= last; ++x) ink += At(frame, ctrl, x, 50)[0] == 0;
  EXPECT_GT(ink, 20);

  DisplayCtrl empty;
  ASSERT_EQ(empty.Init(*displays_, u"ONE", kFccVp80, u"", u"LOST"), 0u);
  const std::vector<uint8_t> black = GrabAll(empty, true);
  EXPECT_TRUE(std::all_of(black.begin(), black.end(), [](uint8_t v) { return v == 0; }));
}

TEST_F(DisplayCtrlTest, LostFlagAndFailedCopyDeliverTheLostImage) {
  const int index = desk_->AddDisplay(u"ONE", 0, 0, 320, 64);
  desk_->Fill(index, 9, 9, 9);
  DisplayCtrl ctrl;
  ASSERT_EQ(ctrl.Init(*displays_, u"ONE", kFccVp80, u"", u"LOCKED"), 0u);
  ASSERT_TRUE(ctrl.has_lost_image());
  bool ok = false;
  const std::vector<uint8_t> lost = GrabAll(ctrl, false, /*lost=*/true, false, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(At(lost, ctrl, 160, 32 - 8)[0], 255);  // the text box
  EXPECT_EQ(At(lost, ctrl, 0, 0)[0], 0);
  EXPECT_EQ(desk_->grabs(index), 0) << "a lost display is not read";

  desk_->FailNextGrabs(index, 1);
  const std::vector<uint8_t> failed = GrabAll(ctrl, false, false, false, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(failed, lost);
  // The next grab works again.
  EXPECT_EQ(At(GrabAll(ctrl), ctrl, 0, 0)[0], 9);
}

TEST_F(DisplayCtrlTest, CursorIsDrawnAtThePointerWhenAsked) {
  const int index = desk_->AddDisplay(u"ONE", 100, 0, 64, 32);
  platform::CursorImage cursor;
  cursor.x = 110;  // desktop coordinates: column 10 of this display
  cursor.y = 5;
  cursor.width = 2;
  cursor.height = 1;
  cursor.argb = {0xFFFFFFFF, 0x80800000};  // opaque white; half-transparent premultiplied red
  desk_->Fill(index, 0, 0, 200);
  DisplayCtrl ctrl;
  ASSERT_EQ(ctrl.Init(*displays_, u"ONE", kFccVp80, u"", u""), 0u);

  desk_->SetCursor(std::nullopt);
  std::vector<uint8_t> frame = GrabAll(ctrl, false, false, true);
  EXPECT_EQ(At(frame, ctrl, 10, 5)[2], 200) << "hidden cursor: nothing drawn";

  desk_->SetCursor(cursor);
  frame = GrabAll(ctrl, false, false, false);
  EXPECT_EQ(At(frame, ctrl, 10, 5)[2], 200) << "cursor flag clear";
  frame = GrabAll(ctrl, false, false, true);
  EXPECT_EQ(std::vector<uint8_t>(At(frame, ctrl, 10, 5), At(frame, ctrl, 10, 5) + 3),
            (std::vector<uint8_t>{255, 255, 255}));
  // 0x80 red over blue 200: red 128, blue 200 * 127 / 255 = 99.
  EXPECT_EQ(std::vector<uint8_t>(At(frame, ctrl, 11, 5), At(frame, ctrl, 11, 5) + 3),
            (std::vector<uint8_t>{128, 0, 99}));
}

TEST_F(DisplayCtrlTest, InitFailuresReportAndRelease) {
  const int unsupported = desk_->AddDisplay(u"EIGHT", 0, 0, 64, 64, 8);
  const int no_copy = desk_->AddDisplay(u"NOCOPY", 0, 0, 64, 64);
  desk_->SetCanCopy(no_copy, false);
  const int no_buffer = desk_->AddDisplay(u"NOBUF", 0, 0, 64, 64);
  desk_->SetPrepareFails(no_buffer, true);
  const int no_dc = desk_->AddDisplay(u"NODC", 0, 0, 64, 64);
  desk_->SetOpenFails(no_dc, true);
  (void)unsupported;
  struct Row {
    const char16_t* name;
    const char16_t* report;
  } rows[] = {
      {u"EIGHT", u"Unsupported pixel depth: 8"},
      {u"NOCOPY", u"Driver can't do GDI ops!"},
      {u"NOBUF", u"Capture [NOBUF]: Failed to create capture DIBSection. Capture Failed."},
      {u"NODC", nullptr},
      {u"MISSING", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << ToUtf8(row.name));
    log_.clear();
    ResetLoggingForTesting();
    DisplayCtrl ctrl;
    EXPECT_EQ(ctrl.Init(*displays_, row.name, kFccVp80, u"", u""), 0xC0000FD4u);
    if (row.report != nullptr) {
      EXPECT_TRUE(Logged(row.report));
    } else {
      EXPECT_TRUE(log_.records().empty());
    }
    std::vector<uint8_t> out(64 * 64 * 3);
    EXPECT_FALSE(ctrl.Grab(out.data(), 0, false, false, false, false));
  }
}

TEST_F(DisplayCtrlTest, InitReportsTheModeAndScaling) {
  const int index = desk_->AddDisplay(u"ONE", 0, 0, 1366, 768);
  desk_->SetHorizontalResolution(index, 1708);
  DisplayCtrl ctrl;
  ASSERT_EQ(ctrl.Init(*displays_, u"ONE", kFccVp80, u"", u""), 0u);
  EXPECT_EQ(ctrl.scaled(), 1);
  EXPECT_TRUE(Logged(u"Capture: Init display ONE: 1366x768 (hres=1708) - align 1376x768, "
                     u"bitdepth=32"));
  EXPECT_EQ(ctrl.image_size(), 1376u * 768 * 4);
}

}  // namespace
}  // namespace vorla

namespace vorla {
namespace {

// Grabbing over the previous frame gives the same bytes as grabbing into fresh memory, and
// changed() tells exactly whether the display's part of the frame changed.
TEST_F(DisplayCtrlTest, GrabOverThePreviousFrameReportsChanges) {
  const int index = desk_->AddDisplay(u"ONE", 0, 0, 1366, 11);  // aligned 1376 x 12
  desk_->Fill(index, 10, 20, 30);
  platform::CursorImage cursor;
  cursor.x = 40;
  cursor.y = 2;
  cursor.width = 1;
  cursor.height = 1;
  cursor.argb = {0xFFFFFFFF};
  desk_->SetCursor(cursor);
  DisplayCtrl ctrl;
  ASSERT_EQ(ctrl.Init(*displays_, u"ONE", kFccVp80, u"BLANK", u"LOST"), 0u);
  std::vector<uint8_t> frame(static_cast<size_t>(ctrl.aligned_width()) * ctrl.aligned_height() * 3,
                             0xEE);
  struct Step {
    const char* what;
    bool blank, lost, cursor;
    bool changed;
    std::function<void()> before;
  };
  const std::vector<Step> steps = {
      {"first grab", false, false, false, true, [] {}},
      {"same screen", false, false, false, false, [] {}},
      {"last column", false, false, false, true,
       [&] { desk_->SetPixel(index, 1365, 10, 1, 2, 3); }},
      {"same again", false, false, false, false, [] {}},
      {"first pixel", false, false, false, true, [&] { desk_->SetPixel(index, 0, 0, 1, 2, 3); }},
      {"cursor drawn", false, false, true, true, [] {}},
      {"cursor still", false, false, true, false, [] {}},
      {"cursor moved", false, false, true, true, [&] { cursor.x = 41, desk_->SetCursor(cursor); }},
      {"blank", true, false, false, true, [] {}},
      {"blank again", true, false, false, false, [] {}},
      {"lost", false, true, false, true, [] {}},
      {"lost again", false, true, false, false, [] {}},
      {"back to the screen", false, false, false, true, [] {}},
      {"failed copy", false, false, false, true, [&] { desk_->FailNextGrabs(index, 1); }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    ASSERT_TRUE(ctrl.Grab(frame.data(), 0, step.blank, step.lost, step.cursor, false));
    EXPECT_EQ(ctrl.changed(), step.changed);
    if (std::string(step.what) == "failed copy") continue;  // not repeatable on a fresh buffer
    EXPECT_EQ(frame, GrabAll(ctrl, step.blank, step.lost, step.cursor));
  }
}

}  // namespace
}  // namespace vorla
