#include "support/x_server.h"

#include <gtest/gtest.h>

#include "capture/capture_ctrl.h"
#include "compression/compressor.h"
#include "platform/posix/displays_x11.h"

// After GoogleTest: Xlib's macros break it.
#include <X11/Xlib.h>

namespace vorla {
namespace {

class CaptureX11Test : public test::XServerTest {
 protected:
  test::PrivateXServer::Options ServerOptions() const override {
    test::PrivateXServer::Options o;
    o.monitors = test::TwoSideBySideMonitors();
    return o;
  }
  void Fill(int x, int y, int w, int h, unsigned long pixel) {
    ::Display* d = XOpenDisplay(display_name().c_str());
    ASSERT_NE(d, nullptr);
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, pixel);
    XFillRectangle(d, DefaultRootWindow(d), gc, x, y, w, h);
    XFreeGC(d, gc);
    XSync(d, False);
    XCloseDisplay(d);
  }
};

TEST_F(CaptureX11Test, KnownColoursLandInTheirCells) {
  Fill(0, 0, 1920, 1080, 0xFF0000);     // LEFT red
  Fill(1920, 0, 1920, 1080, 0x00FF00);  // RIGHT green
  Fill(1920 + 100, 50, 1, 1, 0x0000FF);  // a blue dot on RIGHT at (100, 50)
  const std::string name = display_name();
  CaptureEnvironment env;
  env.make_displays = [name] { return platform::CreateX11Displays(name); };
  env.make_input_desktop = [name] { return platform::CreateX11InputDesktop(name); };
  env.timer = CaptureEnvironment::Timer::kManual;
  FrameQueue recording, live;
  CaptureFormat format;
  format.frame_rate = 5;
  format.max_queued_frames = 60;
  format.codec_fcc = kFccVp80;
  CaptureCtrl ctrl(format, 0, &recording, &live, u"", u"LOST", {}, env);
  ASSERT_EQ(ctrl.InitCapture(), 0u);
  ASSERT_EQ(ctrl.format().width, 3840u);
  ASSERT_EQ(ctrl.format().height, 1080u);
  auto pixel = [&](int x, int y) {
    const uint8_t* p = ctrl.frame_buffer() + (static_cast<size_t>(1079 - y) * 3840 + x) * 3;
    return std::vector<uint8_t>{p[0], p[1], p[2]};
  };
  EXPECT_EQ(pixel(0, 0), (std::vector<uint8_t>{255, 0, 0}));
  EXPECT_EQ(pixel(1919, 1079), (std::vector<uint8_t>{255, 0, 0}));
  EXPECT_EQ(pixel(1920, 0), (std::vector<uint8_t>{0, 255, 0}));
  EXPECT_EQ(pixel(1920 + 100, 50), (std::vector<uint8_t>{0, 0, 255}));
  ctrl.ReleaseCapture();
  screen_image first;
  ASSERT_TRUE(recording.TryPop(first));
  EXPECT_EQ(first.flags, 0x10u);
  EXPECT_FALSE(first.data.empty());
}

}  // namespace
}  // namespace vorla
