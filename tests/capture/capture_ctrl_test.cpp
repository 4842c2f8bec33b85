#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <functional>
#include <memory>
#include <vector>

#include "capture/capture_ctrl.h"
#include "capture/capture_interface.h"
#include "capture_test_support.h"
#include "support/ivf_decoder.h"
#include "common/text.h"
#include "compression/compressor.h"
#include "compression/jpeg_encode.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_displays.h"

namespace vorla {
namespace {

CaptureEnvironment FakeEnvironment(const std::shared_ptr<platform::FakeDesk>& desk,
                                   CaptureEnvironment::Timer timer =
                                       CaptureEnvironment::Timer::kManual) {
  CaptureEnvironment e;
  e.make_displays = [desk] { return desk->MakeDisplays(); };
  e.make_input_desktop = [desk] { return desk->MakeInputDesktop(); };
  e.timer = timer;
  return e;
}

CaptureFormat Format(uint32_t fcc, uint32_t rate = 5, uint32_t max_queued = 60) {
  CaptureFormat f;
  f.frame_rate = rate;
  f.max_queued_frames = max_queued;
  f.codec_fcc = fcc;
  return f;
}

std::vector<screen_image> Drain(FrameQueue& q) {
  std::vector<screen_image> out;
  screen_image f;
  while (q.TryPop(f)) out.push_back(f);
  return out;
}

class CaptureCtrlTest : public test::CaptureLogTest {
 protected:
  CaptureCtrlTest() : clock_override_(clock_) {}
  ~CaptureCtrlTest() override { CMP_Release(); }

  std::unique_ptr<CaptureCtrl> Make(const CaptureFormat& format, int32_t options = 0,
                                    std::vector<std::u16string> screens = {}) {
    return std::make_unique<CaptureCtrl>(format, options, &recording_, &live_, u"BLANKED",
                                         u"LOST", std::move(screens), FakeEnvironment(desk_));
  }

  // The composite frame's pixel at image (top-down) row y, column x.
  static std::vector<uint8_t> Pixel(const CaptureCtrl& c, int x, int y) {
    const int w = static_cast<int>(c.format().width), h = static_cast<int>(c.format().height);
    const uint8_t* p = c.frame_buffer() + (static_cast<size_t>(h - 1 - y) * w + x) * 3;
    return {p[0], p[1], p[2]};
  }

  platform::FakeClock clock_;
  platform::ScopedClockOverride clock_override_;
  std::shared_ptr<platform::FakeDesk> desk_ = platform::FakeDesk::Create();
  FrameQueue recording_;
  FrameQueue live_;
};

TEST_F(CaptureCtrlTest, LayoutTable) {
  struct Display {
    int x, y, w, h;
  };
  struct Row {
    const char* name;
    std::vector<Display> displays;
    int32_t options;
    std::vector<std::u16string> screens;
    uint32_t frame_w, frame_h;
    size_t taken;
  } rows[] = {
      {"side by side", {{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}}, 0, {}, 3840, 1080, 2},
      {"2x2 grid", {{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}, {0, 1080, 1920, 1080}}, 2, {},
       3840, 2160, 3},
      {"mixed sizes", {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}}, 0, {}, 3840, 1080, 2},
      {"aligned 1366", {{0, 0, 1366, 768}}, 0, {}, 1376, 768, 1},
      {"aligned 1079", {{0, 0, 1920, 1079}}, 0, {}, 1920, 1080, 1},
      {"three without bit 1", {{0, 0, 640, 480}, {640, 0, 640, 480}, {1280, 0, 640, 480}}, 0,
       {}, 1280, 480, 2},
      {"one-entry screen list", {{0, 0, 640, 480}, {640, 0, 640, 480}, {1280, 0, 640, 480}}, 2,
       {u"D"}, 640, 480, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    desk_ = platform::FakeDesk::Create();
    for (size_t i = 0; i < row.displays.size(); ++i) {
      const Display& d = row.displays[i];
      const int index =
          desk_->AddDisplay(FromUtf8("D" + std::to_string(i)), d.x, d.y, d.w, d.h);
      desk_->Fill(index, static_cast<uint8_t>(10 * (i + 1)), 0, 0);
    }
    auto ctrl = Make(Format(kFccJpeg), row.options, row.screens);
    ASSERT_EQ(ctrl->InitCapture(), 0u);
    EXPECT_EQ(ctrl->format().width, row.frame_w);
    EXPECT_EQ(ctrl->format().height, row.frame_h);
    ASSERT_EQ(ctrl->displays().size(), row.taken);
    const std::string name = row.name;
    if (name == "side by side") {
      // Second display 1920 pixels into the row; no cursor with two displays.
      EXPECT_EQ(ctrl->displays()[1]->frame_offset, 1920 * 3);
      EXPECT_EQ(ctrl->displays()[0]->row_padding, 1920 * 3);
      EXPECT_EQ(Pixel(*ctrl, 1919, 0), (std::vector<uint8_t>{10, 0, 0}));
      EXPECT_EQ(Pixel(*ctrl, 1920, 0), (std::vector<uint8_t>{20, 0, 0}));
      EXPECT_EQ(desk_->cursor_queries(), 0);
    } else if (name == "2x2 grid") {
      EXPECT_EQ(Pixel(*ctrl, 0, 0), (std::vector<uint8_t>{10, 0, 0}));        // top left
      EXPECT_EQ(Pixel(*ctrl, 3839, 0), (std::vector<uint8_t>{20, 0, 0}));     // top right
      EXPECT_EQ(Pixel(*ctrl, 0, 2159), (std::vector<uint8_t>{30, 0, 0}));     // bottom left
      EXPECT_EQ(Pixel(*ctrl, 1920, 1080), (std::vector<uint8_t>{0, 0, 0}));   // the black cell
      EXPECT_EQ(Pixel(*ctrl, 3839, 2159), (std::vector<uint8_t>{0, 0, 0}));
    } else if (name == "mixed sizes") {
      // 1280x1024 centred in a 1920x1080 cell: 28 rows, 320 columns of black around it.
      EXPECT_EQ(Pixel(*ctrl, 1920 + 320, 28), (std::vector<uint8_t>{20, 0, 0}));
      EXPECT_EQ(Pixel(*ctrl, 1920 + 319, 28), (std::vector<uint8_t>{0, 0, 0}));
      EXPECT_EQ(Pixel(*ctrl, 1920 + 320, 27), (std::vector<uint8_t>{0, 0, 0}));
      EXPECT_EQ(Pixel(*ctrl, 1920 + 320 + 1279, 28 + 1023), (std::vector<uint8_t>{20, 0, 0}));
      EXPECT_EQ(Pixel(*ctrl, 1920 + 320 + 1280, 28 + 1023), (std::vector<uint8_t>{0, 0, 0}));
      EXPECT_EQ(Pixel(*ctrl, 1920 + 320, 28 + 1024), (std::vector<uint8_t>{0, 0, 0}));
    } else if (row.taken == 1 && row.screens.empty()) {
      EXPECT_GT(desk_->cursor_queries(), 0) << "one display: the cursor is drawn";
    }
    ctrl->ReleaseCapture();
  }
}

TEST_F(CaptureCtrlTest, RepeatOnlyWhenEveryOneOfSeveralDisplaysIsScaled) {
  const int a = desk_->AddDisplay(u"A", 0, 0, 64, 32);
  const int b = desk_->AddDisplay(u"B", 64, 0, 64, 32);
  desk_->SetHorizontalResolution(a, 80);
  {
    auto ctrl = Make(Format(kFccJpeg));
    ASSERT_EQ(ctrl->InitCapture(), 0u);
    EXPECT_FALSE(ctrl->repeat());
  }
  desk_->SetHorizontalResolution(b, 80);
  const int before = desk_->grabs(a);
  auto ctrl = Make(Format(kFccJpeg));
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  EXPECT_TRUE(ctrl->repeat());
  EXPECT_EQ(desk_->grabs(a) - before, 3);  // the first frame, three copies
}

TEST_F(CaptureCtrlTest, HoldBackAtFiveFramesPerSecond) {
  desk_->AddDisplay(u"A", 0, 0, 64, 32);
  auto ctrl = Make(Format(kFccJpeg, 5));
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  EXPECT_EQ(ctrl->pending_count(), 1u);
  for (int tick = 1; tick <= 9; ++tick) ctrl->OnTick();
  EXPECT_EQ(recording_.Size(), 0u);
  ctrl->OnTick();  // the tenth tick
  ASSERT_EQ(recording_.Size(), 1u);
  EXPECT_EQ(ctrl->pending_count(), 10u);
  // Stopping delivers the held-back frames unchanged.
  const int64_t first_time = Drain(recording_)[0].capture_time;
  ctrl->ReleaseCapture();
  const std::vector<screen_image> rest = Drain(recording_);
  ASSERT_EQ(rest.size(), 10u);
  for (const screen_image& f : rest) {
    EXPECT_EQ(f.flags, 0x10u);
    EXPECT_EQ(f.width, 64);
    EXPECT_FALSE(f.data.empty());
    EXPECT_GE(f.capture_time, first_time);
  }
}

TEST_F(CaptureCtrlTest, BlankingFlushesTheHeldBackFramesAsBlack) {
  const int a = desk_->AddDisplay(u"A", 0, 0, 64, 32);
  desk_->Fill(a, 250, 250, 250);
  auto ctrl = Make(Format(kFccVp80, 5));
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  for (int tick = 1; tick <= 9; ++tick) {
    clock_.AdvanceMs(200);
    ctrl->OnTick();
  }
  ASSERT_EQ(ctrl->pending_count(), 10u);
  std::vector<int64_t> times;
  ctrl->SetBlank(true);
  clock_.AdvanceMs(200);
  ctrl->OnTick();
  std::vector<screen_image> flushed = Drain(recording_);
  ASSERT_EQ(flushed.size(), 10u);
  for (size_t i = 0; i < flushed.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ((flushed[i].flags & 0x10) != 0, i == 0) << "only the oldest is a key frame";
    EXPECT_FALSE(flushed[i].data.empty());
    if (i > 0) {
      EXPECT_EQ(flushed[i].capture_time, flushed[i - 1].capture_time + 200);
    }
  }
  // The frame of this tick was taken blanked: its composite frame is the black blanking image.
  EXPECT_EQ(Pixel(*ctrl, 0, 0), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(ctrl->pending_count(), 1u);
  ctrl->ReleaseCapture();

  // Every flushed frame shows what a compression of an all-black frame shows (the screen was
  // almost white), as a player decodes it.
  std::vector<std::vector<uint8_t>> stream;
  for (const screen_image& f : flushed) stream.emplace_back(f.data.data(), f.data.data() + f.data.size());
  std::vector<test::DecodedFrame> pictures;
  std::string error;
  ASSERT_TRUE(test::DecodeVp8Frames(stream, pictures, &error)) << error;
  CompressorParams params{kFccVp80, 64, 32, 5, 60, 0};
  ASSERT_EQ(CMP_Initiate(params), 0u);
  const std::vector<uint8_t> black(64 * 32 * 3, 0);
  PayloadBuffer reference;
  uint32_t flags = 0;
  bool key = true;
  ASSERT_EQ(CMP_Compress(black.data(), static_cast<uint32_t>(black.size()), reference, flags, key),
            0u);
  std::vector<test::DecodedFrame> black_picture;
  ASSERT_TRUE(test::DecodeVp8Frames({{reference.data(), reference.data() + reference.size()}},
                                    black_picture, &error))
      << error;
  for (size_t i = 0; i < pictures.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(pictures[i].luma.size(), black_picture[0].luma.size());
    int worst = 0;
    for (size_t p = 0; p < pictures[i].luma.size(); ++p) {
      worst = std::max(worst, std::abs(pictures[i].luma[p] - black_picture[0].luma[p]));
    }
    EXPECT_LE(worst, 2);
  }
}

// The key frame request makes the very next frame a key frame; the frames around it are not.
TEST_F(CaptureCtrlTest, AKeyFrameRequestMakesTheNextFrameAKeyFrame) {
  const int a = desk_->AddDisplay(u"A", 0, 0, 64, 32);
  auto ctrl = Make(Format(kFccVp80, 5));
  ASSERT_EQ(ctrl->InitCapture(), 0u);  // frame 0, the stream's first: a key frame
  for (int tick = 1; tick <= 6; ++tick) {
    desk_->SetPixel(a, tick, 0, 200, 10, 10);
    if (tick == 4) ctrl->RequestKeyFrame();
    clock_.AdvanceMs(200);
    ctrl->OnTick();
  }
  ctrl->ReleaseCapture();
  const std::vector<screen_image> frames = Drain(recording_);
  ASSERT_EQ(frames.size(), 7u);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ((frames[i].flags & kImageFlagKeyFrame) != 0, i == 0 || i == 4);
  }
}

// A layout whose frame would not fit a 32-bit size is refused, and nothing is left allocated.
TEST_F(CaptureCtrlTest, AFrameBeyondFourGigabytesIsRefused) {
  // Six small displays on a diagonal, wide and tall in turn: a 6 x 6 grid of 8192 x 8192 cells,
  // 7 GB of frame for 6 MB of displays.
  for (int i = 0; i < 6; ++i) {
    const bool wide = i % 2 == 0;
    desk_->AddDisplay(u"D" + FromUtf8(std::to_string(i)), i * 8192, i * 8192, wide ? 8192 : 32,
                      wide ? 32 : 8192);
  }
  auto ctrl = Make(Format(kFccJpeg), kCaptureOptionManyDisplays);
  EXPECT_NE(ctrl->InitCapture(), 0u);
  EXPECT_EQ(ctrl->frame_buffer(), nullptr);
  EXPECT_EQ(ctrl->frame_buffer_size(), 0u);
}

// Blanking switched on at any point inside a tick: a tick that grabs the screen blanked has
// first turned every held-back frame black, so no frame from before the blank goes out with
// its picture once the blank is seen.
TEST_F(CaptureCtrlTest, BlankingSwitchedOnInsideATickNeverReleasesAnOlderPicture) {
  // The switch lands at the n-th clock read after being armed: each run picks another point.
  class SwitchingClock final : public platform::Clock {
   public:
    int64_t WallSeconds() override { return inner.WallSeconds(); }
    int64_t WallMillis() override { return inner.WallMillis(); }
    uint64_t TickMs() override {
      if (countdown > 0 && --countdown == 0) on_read();
      return inner.TickMs();
    }
    platform::CalendarTime LocalTime(int64_t seconds) override { return inner.LocalTime(seconds); }
    void SleepMs(uint32_t ms) override { inner.SleepMs(ms); }
    platform::FakeClock inner;
    std::function<void()> on_read;
    int countdown = 0;
  };
  SwitchingClock clock;
  platform::ScopedClockOverride use(clock);
  const int a = desk_->AddDisplay(u"A", 0, 0, 64, 32);
  desk_->Fill(a, 250, 250, 250);
  const CaptureFormat format = Format(kFccJpeg, 2);  // a hold-back of 4 frames
  for (int point = 1; point <= 8; ++point) {
    SCOPED_TRACE(point);
    auto ctrl = Make(format);
    ASSERT_EQ(ctrl->InitCapture(), 0u);
    for (int tick = 0; tick < 3; ++tick) ctrl->OnTick();  // the hold-back is full
    ASSERT_TRUE(Drain(recording_).empty());
    // The screen's picture as every frame so far carries it.
    PayloadBuffer picture;
    ASSERT_TRUE(JpegEncode(picture, ctrl->frame_buffer(), 64, 32, JpegPixelKind::kRgb, 70));
    auto shows_picture = [&](const screen_image& f) {
      return f.data.size() == picture.size() &&
             std::equal(picture.data(), picture.data() + picture.size(), f.data.data());
    };
    clock.on_read = [&] { ctrl->SetBlank(true); };
    clock.countdown = point;
    bool blank_seen = false;
    for (int tick = 0; tick < 12; ++tick) {
      ctrl->OnTick();
      const bool grabbed_blanked = Pixel(*ctrl, 0, 0) == std::vector<uint8_t>{0, 0, 0};
      blank_seen |= grabbed_blanked;
      for (const screen_image& f : Drain(recording_)) {
        EXPECT_FALSE(blank_seen && shows_picture(f)) << "tick " << tick;
      }
    }
    EXPECT_TRUE(blank_seen);
    clock.countdown = 0;
    ctrl->ReleaseCapture();
    Drain(recording_);
  }
}

TEST_F(CaptureCtrlTest, ThrottleTakesEverySecondTickBetweenTwoThirdsAndTheLimit) {
  desk_->AddDisplay(u"A", 0, 0, 32, 2);
  auto ctrl = Make(Format(kFccJpeg, 1));  // hold-back 2
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  auto taken_in = [&](int ticks) {
    const int grabs_before = desk_->grabs(0);
    for (int i = 0; i < ticks; ++i) ctrl->OnTick();
    return desk_->grabs(0) - grabs_before;
  };
  // Below two thirds of the limit (40 of 60) every tick takes a frame.
  screen_image filler;
  for (int i = 0; i < 30; ++i) recording_.Push(filler);
  EXPECT_EQ(taken_in(4), 4);  // queue 30 -> 34 (frames flow through the hold-back)
  while (recording_.Size() < 45) recording_.Push(filler);
  // 45 queued: every second tick (each taken frame adds one to the queue).
  std::vector<int> pattern;
  for (int i = 0; i < 6; ++i) pattern.push_back(taken_in(1));
  EXPECT_EQ(pattern, (std::vector<int>{0, 1, 0, 1, 0, 1}));
  while (recording_.Size() < 60) recording_.Push(filler);
  EXPECT_EQ(taken_in(5), 0);  // at the limit: none
  // Below the limit again, the five skipped ticks are paid back first: the fifth tick after
  // brings the counter back to 0 and takes a frame.
  screen_image out;
  recording_.TryPop(out);  // 59
  EXPECT_EQ(taken_in(4), 0);
  EXPECT_EQ(taken_in(1), 1);
}

TEST_F(CaptureCtrlTest, LostDesktopFramesCarryTheFlag) {
  desk_->AddDisplay(u"A", 0, 0, 320, 32);
  for (int32_t options : {0, 1}) {
    SCOPED_TRACE(options);
    desk_->SetDesktopLost(false);
    auto ctrl = Make(Format(kFccJpeg, 1), options);
    ASSERT_EQ(ctrl->InitCapture(), 0u);
    desk_->SetDesktopLost(true);
    for (int i = 0; i < 3; ++i) ctrl->OnTick();
    std::vector<screen_image> frames = Drain(recording_);
    ctrl->ReleaseCapture();
    for (const screen_image& f : Drain(recording_)) frames.push_back(f);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_FALSE(frames[0].data.empty());
    for (size_t i = 1; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].flags & 0x20000000, 0x20000000u);
      EXPECT_EQ(frames[i].data.empty(), options == 0);
    }
  }
}

TEST_F(CaptureCtrlTest, LiveCopyOnlyWhenSwitchedOnAndAtMostThreeWaiting) {
  const int a = desk_->AddDisplay(u"A", 0, 0, 64, 32);
  desk_->Fill(a, 255, 0, 0);
  for (uint32_t fcc : {kFccJpeg, kFccVp80}) {
    SCOPED_TRACE(fcc);
    live_.Clear();
    auto ctrl = Make(Format(fcc, 5));
    ASSERT_EQ(ctrl->InitCapture(), 0u);
    EXPECT_EQ(live_.Size(), 0u) << "off by default";
    ctrl->SetLiveCopy(true);
    for (int i = 0; i < 5; ++i) ctrl->OnTick();
    EXPECT_EQ(live_.Size(), 3u);
    screen_image live;
    ASSERT_TRUE(live_.TryPop(live));
    EXPECT_EQ(live.codec_fcc, 0u);
    EXPECT_EQ(live.quality, 70u);
    EXPECT_EQ(live.flags, 0x10u);
    EXPECT_EQ(live.width, 64);
    EXPECT_EQ(live.data.data()[0], 0xFF);
    EXPECT_EQ(live.data.data()[1], 0xD8);
    if (fcc == kFccJpeg) {
      // Recording at quality 70 with the JPEG engine: the live frame shares the recorded bytes.
      ctrl->ReleaseCapture();
      const std::vector<screen_image> recorded = Drain(recording_);
      ASSERT_FALSE(recorded.empty());
      EXPECT_EQ(recorded[1].data.data(), live.data.data());
    }
    ctrl->ReleaseCapture();
    Drain(recording_);
  }
}

TEST_F(CaptureCtrlTest, FullRecordingQueueDropsTheOldestHeldBackFrame) {
  desk_->AddDisplay(u"A", 0, 0, 32, 2);
  auto ctrl = Make(Format(kFccJpeg, 1, 3));  // hold-back 2, limit 3
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  screen_image filler;
  for (int i = 0; i < 3; ++i) recording_.Push(filler);
  ctrl->CaptureFrame();
  EXPECT_FALSE(ctrl->CaptureFrame());
  EXPECT_TRUE(Logged(u"CaptureThread: Data queue to big. Dropping captured frame."));
  EXPECT_EQ(ctrl->pending_count(), 2u);
}

TEST_F(CaptureCtrlTest, StartFailures) {
  struct Row {
    const char* name;
    bool add_display;
    bool lost;
    uint32_t fcc;
    CaptureEnvironment::Timer timer;
    Status expect;
    const char16_t* report;
  } rows[] = {
      {"no display", false, false, kFccJpeg, CaptureEnvironment::Timer::kManual, 0xC0000FD4,
       u"Capture: Failed to extract display information (settings we don't know how to "
       u"handle). StartCapture Failed."},
      {"no display, lost", false, true, kFccJpeg, CaptureEnvironment::Timer::kManual, 0xC0000FD3,
       u"StartCapture Failed."},
      {"no codec", true, false, 0x47504A4D, CaptureEnvironment::Timer::kManual, 0xC0000FD2,
       u"CMP_Initiate: ICInfo failed. FCC = 0x47504a4d"},
      {"no timer", true, false, kFccJpeg, CaptureEnvironment::Timer::kFails, 0xC0000FD2,
       u"Capture: Failed to create capture timer. StartCapture Failed."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ResetLoggingForTesting();
    desk_ = platform::FakeDesk::Create();
    if (row.add_display) desk_->AddDisplay(u"A", 0, 0, 32, 2);
    desk_->SetDesktopLost(row.lost);
    CaptureCtrl ctrl(Format(row.fcc), 0, &recording_, &live_, u"", u"", {},
                     FakeEnvironment(desk_, row.timer));
    EXPECT_EQ(ctrl.InitCapture(), row.expect);
    EXPECT_TRUE(Logged(row.report));
    EXPECT_EQ(ctrl.frame_buffer(), nullptr);
    EXPECT_EQ(CMP_CurrentParams().width, 0u) << "the compressor is shut down";
  }
  // A display that fails Init is dropped with a report, the others go on.
  desk_ = platform::FakeDesk::Create();
  desk_->AddDisplay(u"A", 0, 0, 32, 2, 8);
  desk_->AddDisplay(u"B", 32, 0, 32, 2);
  auto ctrl = Make(Format(kFccJpeg));
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  EXPECT_EQ(ctrl->displays().size(), 1u);
  EXPECT_TRUE(Logged(u"Display A failed init with err 0xc0000fd4, and will be dropped."));
  EXPECT_TRUE(Logged(u"Capture: Valid displays: A B "));
}

TEST_F(CaptureCtrlTest, ADisplayThatVanishesDeliversItsLostImage) {
  const int a = desk_->AddDisplay(u"A", 0, 0, 320, 32);
  desk_->Fill(a, 0, 255, 0);
  auto ctrl = Make(Format(kFccJpeg));
  ASSERT_EQ(ctrl->InitCapture(), 0u);
  EXPECT_EQ(Pixel(*ctrl, 0, 0), (std::vector<uint8_t>{0, 255, 0}));
  desk_->Remove(a);
  EXPECT_TRUE(ctrl->CaptureFrame());
  EXPECT_EQ(Pixel(*ctrl, 0, 0), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(Pixel(*ctrl, 160, 16 - 8), (std::vector<uint8_t>{255, 255, 255}));  // the lost text
}

TEST_F(CaptureCtrlTest, FrameDescriptionLayout) {
  screen_image f;
  f.capture_time = 0x0102030405060708;
  f.codec_fcc = 0x30385056;
  f.quality = 70;
  f.data_length = 0x1234;
  f.x = -1;
  f.y = 2;
  f.width = 3840;
  f.height = 1080;
  f.flags = 0x20000010;
  std::array<uint8_t, 48> bytes{};
  WriteFrameDescription(f, bytes);
  const std::array<uint8_t, 48> expect = {
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x56, 0x50, 0x38, 0x30, 70, 0, 0, 0,
      0x34, 0x12, 0,    0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 2,  0, 0, 0,
      0x00, 0x0F, 0,    0,    0x38, 0x04, 0,    0,    0x10, 0,    0,    0x20, 0,  0, 0, 0};
  EXPECT_EQ(bytes, expect);
  auto back = ReadFrameDescription(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->capture_time, f.capture_time);
  EXPECT_EQ(back->x, -1);
  EXPECT_EQ(back->flags, f.flags);
  for (size_t n = 0; n < 48; ++n) EXPECT_FALSE(ReadFrameDescription({bytes.data(), n}));
}

// The whole thread on the system clock: start, frames, key frame request, stop.
class CaptureThreadTest : public test::CaptureLogTest {};

TEST_F(CaptureThreadTest, StartCaptureRunsTheThreadAndStopDeliversEverything) {
  auto desk = platform::FakeDesk::Create();
  desk->Fill(desk->AddDisplay(u"A", 0, 0, 64, 32), 0, 0, 255);
  CaptureEnvironment env = FakeEnvironment(desk, CaptureEnvironment::Timer::kPeriodic);
  SetCaptureEnvironmentForTesting(&env);
  FrameQueue recording, live;
  EXPECT_FALSE(IsCaptureRunning());
  EXPECT_EQ(GetCaptureFCC(), 0u);
  ASSERT_EQ(StartCapture(Format(kFccVp80, 50), 0, &recording, u"", u"", &live, false, {}), 0u);
  EXPECT_TRUE(IsCaptureRunning());
  EXPECT_EQ(GetCaptureFCC(), kFccVp80);
  const CaptureRect rect = GetCaptureFrame();
  EXPECT_EQ(rect.width, 64);
  EXPECT_EQ(rect.height, 32);
  // The hold-back is two seconds' worth of frames; allow a loaded machine plenty more.
  for (int i = 0; i < 1000 && recording.Size() < 1; ++i) {
    platform::SystemClock().SleepMs(10);
  }
  EXPECT_GE(recording.Size(), 1u) << "frames flow past the hold-back of 100";
  RequestKeyFrame();
  StopCapture();
  EXPECT_FALSE(IsCaptureRunning());
  EXPECT_EQ(GetCaptureFrame().width, 0);
  const std::vector<screen_image> frames = Drain(recording);
  EXPECT_GE(frames.size(), 100u) << "the held-back frames come out at the stop";
  EXPECT_NE(frames[0].flags & 0x10, 0u);

  // A start that fails leaves the controller in place until the next call removes it.
  desk->Remove(0);
  EXPECT_EQ(StartCapture(Format(kFccJpeg), 0, &recording, u"", u"", &live, false, {}),
            0xC0000FD4u);
  EXPECT_FALSE(IsCaptureRunning());
  StopCapture();
  SetCaptureEnvironmentForTesting(nullptr);
}

// The display server goes away: the thread ends by itself with every frame delivered, and only a
// new capture (on a new connection) records again.
TEST_F(CaptureThreadTest, ALostDisplayServerEndsTheThreadWithItsFramesDelivered) {
  auto desk = platform::FakeDesk::Create();
  desk->Fill(desk->AddDisplay(u"A", 0, 0, 64, 32), 0, 0, 255);
  CaptureEnvironment env = FakeEnvironment(desk, CaptureEnvironment::Timer::kPeriodic);
  SetCaptureEnvironmentForTesting(&env);
  FrameQueue recording, live;
  ASSERT_EQ(StartCapture(Format(kFccVp80, 50), 0, &recording, u"", u"", &live, false, {}), 0u);
  for (int i = 0; i < 1000 && recording.Size() < 1; ++i) platform::SystemClock().SleepMs(10);
  ASSERT_GE(recording.Size(), 1u);
  EXPECT_FALSE(CaptureConnectionLost());

  desk->LoseConnection();
  for (int i = 0; i < 500 && IsCaptureRunning(); ++i) platform::SystemClock().SleepMs(10);
  EXPECT_FALSE(IsCaptureRunning());
  EXPECT_TRUE(CaptureConnectionLost());
  EXPECT_GE(Drain(recording).size(), 100u) << "the held-back frames come out";

  // A server is back: a new capture records, and stopping it leaves no loss behind.
  desk->RestoreConnection();
  ASSERT_EQ(StartCapture(Format(kFccVp80, 50), 0, &recording, u"", u"", &live, false, {}), 0u);
  EXPECT_FALSE(CaptureConnectionLost());
  platform::SystemClock().SleepMs(300);
  EXPECT_TRUE(IsCaptureRunning());
  StopCapture();
  EXPECT_FALSE(CaptureConnectionLost());
  SetCaptureEnvironmentForTesting(nullptr);
}

}  // namespace
}  // namespace vorla

namespace vorla {
namespace {

// An idle screen reuses the last compressed image (shared bytes), and every frame, idle or not,
// carries exactly the bytes a fresh compression of its composite frame gives; blanking and its
// black flush in between do not let a stale image through.
TEST_F(CaptureCtrlTest, IdleFramesCarryTheSameImageAsAFreshCompression) {
  const int a = desk_->AddDisplay(u"A", 0, 0, 64, 32);
  desk_->Fill(a, 30, 60, 90);
  CaptureFormat format = Format(kFccJpeg, 5);
  format.quality = 50;  // so that the live copy is a compression of its own
  auto ctrl = Make(format);
  struct Step {
    const char* what;
    std::function<void()> before;
    bool reused;  // the recorded and the live bytes are those of the previous frame
  };
  const std::vector<Step> steps = {
      {"idle", [] {}, true},
      {"a pixel changed", [&] { desk_->SetPixel(a, 63, 31, 1, 2, 3); }, false},
      {"idle again", [] {}, true},
      {"blanked (flushes the held-back frames as black)", [&] { ctrl->SetBlank(true); }, false},
      {"still blanked", [] {}, true},
      {"unblanked", [&] { ctrl->SetBlank(false); }, false},
      {"idle after blanking", [] {}, true},
  };
  ASSERT_EQ(ctrl->InitCapture(), 0u);  // takes the first frame
  ctrl->SetLiveCopy(true);
  std::vector<std::vector<uint8_t>> frames = {
      {ctrl->frame_buffer(), ctrl->frame_buffer() + ctrl->frame_buffer_size()}};
  std::vector<screen_image> lives;
  for (const Step& step : steps) {
    step.before();
    ctrl->OnTick();
    frames.emplace_back(ctrl->frame_buffer(), ctrl->frame_buffer() + ctrl->frame_buffer_size());
    screen_image live;
    ASSERT_TRUE(live_.TryPop(live)) << step.what;
    lives.push_back(live);
  }
  ctrl->ReleaseCapture();
  std::vector<screen_image> recorded = Drain(recording_);
  // The blanking flushed the first four frames as black; the rest follow in order.
  ASSERT_EQ(recorded.size(), frames.size());
  for (size_t i = 4; i < recorded.size(); ++i) {
    SCOPED_TRACE(i == 0 ? "first frame" : steps[i - 1].what);
    PayloadBuffer fresh;
    ASSERT_TRUE(JpegEncode(fresh, frames[i].data(), 64, 32, JpegPixelKind::kRgb, 50));
    EXPECT_EQ(std::vector<uint8_t>(recorded[i].data.data(),
                                   recorded[i].data.data() + recorded[i].data.size()),
              std::vector<uint8_t>(fresh.data(), fresh.data() + fresh.size()));
    if (i > 4) {
      EXPECT_EQ(recorded[i].data.data() == recorded[i - 1].data.data(), steps[i - 1].reused);
    }
  }
  for (size_t i = 0; i < lives.size(); ++i) {
    SCOPED_TRACE(steps[i].what);
    PayloadBuffer fresh;
    ASSERT_TRUE(JpegEncode(fresh, frames[i + 1].data(), 64, 32, JpegPixelKind::kRgb, 70));
    EXPECT_EQ(std::vector<uint8_t>(lives[i].data.data(),
                                   lives[i].data.data() + lives[i].data.size()),
              std::vector<uint8_t>(fresh.data(), fresh.data() + fresh.size()));
    if (i > 0) {
      EXPECT_EQ(lives[i].data.data() == lives[i - 1].data.data(), steps[i].reused);
    }
  }
  EXPECT_NE(frames[1], frames[2]);
  EXPECT_NE(frames[3], frames[4]);
}

}  // namespace
}  // namespace vorla
