#include "support/x_server.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/posix/displays_x11.h"
#include "platform/posix/x_error_trap.h"

// After GoogleTest: Xlib's macros break it.
#include <X11/Xlib.h>
#include <X11/cursorfont.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace vorla::platform {
namespace {

// A client that paints the root window: Xvfb keeps root pixels as drawn.
class Painter {
 public:
  explicit Painter(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
  ~Painter() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  ::Display* get() const { return display_; }
  void Fill(int x, int y, int w, int h, unsigned long pixel) {
    GC gc = XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr);
    XSetForeground(display_, gc, pixel);
    XFillRectangle(display_, DefaultRootWindow(display_), gc, x, y, w, h);
    XFreeGC(display_, gc);
    XSync(display_, False);
  }

 private:
  ::Display* display_;
};

uint32_t Pixel32(const PixelView& v, int x, int y) {
  const uint8_t* p = v.pixels + static_cast<size_t>(y) * v.stride + x * 4;
  return p[0] | (p[1] << 8) | (p[2] << 16);
}

class DisplaysX11Test : public test::XServerTest {
 protected:
  test::PrivateXServer::Options ServerOptions() const override {
    test::PrivateXServer::Options o;
    o.monitors = test::TwoSideBySideMonitors();
    return o;
  }
};

TEST_F(DisplaysX11Test, MonitorsArePaintedDisplays) {
  Painter painter(display_name());
  ASSERT_NE(painter.get(), nullptr);
  painter.Fill(0, 0, 1920, 1080, 0xFF0000);     // LEFT red
  painter.Fill(1920, 0, 1920, 1080, 0x0000FF);  // RIGHT blue
  painter.Fill(1925, 7, 1, 1, 0x00FF00);        // one green dot on RIGHT at (5, 7)

  auto displays = CreateX11Displays(display_name());
  const auto devices = displays->EnumerateDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, u"LEFT");
  EXPECT_EQ(devices[1].name, u"RIGHT");
  EXPECT_EQ(displays->Open(u"NONE"), nullptr);

  auto right = displays->Open(u"RIGHT");
  ASSERT_NE(right, nullptr);
  EXPECT_EQ(right->mode().x, 1920);
  EXPECT_EQ(right->mode().width, 1920);
  EXPECT_EQ(right->mode().height, 1080);
  EXPECT_EQ(right->mode().horizontal_resolution, 1920) << "no scaling";
  EXPECT_EQ(right->mode().format, PixelFormat::kBgrx32);
  EXPECT_EQ(right->mode().bits_per_pixel, 32);
  ASSERT_TRUE(right->PrepareCapture());
  PixelView view;
  ASSERT_TRUE(right->Grab(view));
  EXPECT_EQ(view.width, 1920);
  EXPECT_EQ(Pixel32(view, 0, 0), 0x0000FFu);
  EXPECT_EQ(Pixel32(view, 5, 7), 0x00FF00u);
  EXPECT_EQ(Pixel32(view, 1919, 1079), 0x0000FFu);

  auto left = displays->Open(u"LEFT");
  ASSERT_NE(left, nullptr);
  ASSERT_TRUE(left->PrepareCapture());
  ASSERT_TRUE(left->Grab(view));
  EXPECT_EQ(Pixel32(view, 1919, 0), 0xFF0000u);
  // Grabs see the screen as it is now.
  painter.Fill(0, 0, 1, 1, 0xFFFFFF);
  ASSERT_TRUE(left->Grab(view));
  EXPECT_EQ(Pixel32(view, 0, 0), 0xFFFFFFu);

  CursorImage cursor;
  if (left->GetCursor(cursor)) {
    EXPECT_GT(cursor.width, 0);
    EXPECT_EQ(cursor.argb.size(), static_cast<size_t>(cursor.width) * cursor.height);
  }
}

// The cursor image is cached between changes of the displayed cursor: a move updates only the
// position, a new cursor shape is fetched, and both match what a fresh connection sees.
TEST_F(DisplaysX11Test, CursorFollowsMovesAndShapeChanges) {
  Painter painter(display_name());
  ASSERT_NE(painter.get(), nullptr);
  auto displays = CreateX11Displays(display_name());
  auto left = displays->Open(u"LEFT");
  ASSERT_NE(left, nullptr);
  ASSERT_TRUE(left->PrepareCapture());
  PixelView view;
  // What a new connection reports (its first query always fetches the image).
  auto fresh = [&] {
    CursorImage c;
    auto other = CreateX11Displays(display_name())->Open(u"LEFT");
    EXPECT_NE(other, nullptr);
    if (other != nullptr) {
      EXPECT_TRUE(other->GetCursor(c));
    }
    return c;
  };
  auto same = [](const CursorImage& a, const CursorImage& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height &&
           a.argb == b.argb;
  };
  ::Window root = DefaultRootWindow(painter.get());
  CursorImage first, moved, shaped;
  ASSERT_TRUE(left->Grab(view));
  ASSERT_TRUE(left->GetCursor(first));
  EXPECT_TRUE(same(first, fresh()));

  XWarpPointer(painter.get(), 0, root, 0, 0, 0, 0, 300, 200);
  XSync(painter.get(), False);
  ASSERT_TRUE(left->Grab(view));  // a round trip after the change, as in the capture
  ASSERT_TRUE(left->GetCursor(moved));
  EXPECT_EQ(moved.x, 300);
  EXPECT_EQ(moved.y, 200);
  EXPECT_EQ(moved.argb, first.argb);
  EXPECT_TRUE(same(moved, fresh()));

  const Cursor watch = XCreateFontCursor(painter.get(), XC_watch);
  XDefineCursor(painter.get(), root, watch);
  XSync(painter.get(), False);
  ASSERT_TRUE(left->Grab(view));
  ASSERT_TRUE(left->GetCursor(shaped));
  EXPECT_NE(shaped.argb, first.argb);
  EXPECT_TRUE(same(shaped, fresh()));
  XUndefineCursor(painter.get(), root);
  XFreeCursor(painter.get(), watch);
  XSync(painter.get(), False);
}

TEST_F(DisplaysX11Test, ScreenSaverMeansTheDesktopIsLost) {
  auto desktop = CreateX11InputDesktop(display_name());
  EXPECT_FALSE(desktop->IsLost());
  const std::string xset = "xset -display " + display_name() + " s ";
  ASSERT_EQ(std::system((xset + "activate").c_str()), 0);
  EXPECT_TRUE(desktop->IsLost());
  ASSERT_EQ(std::system((xset + "reset").c_str()), 0);
  EXPECT_FALSE(desktop->IsLost());
}

TEST_F(DisplaysX11Test, ALockedSessionIsLostWhateverTheScreenSaverSays) {
  std::atomic<int> hint{-1};
  auto desktop = CreateX11InputDesktop(display_name(), [&] { return hint.load(); });
  const std::string xset = "xset -display " + display_name() + " s ";
  struct Row {
    int hint;
    bool saver_on;
    bool lost;
  };
  const Row rows[] = {{-1, false, false}, {1, false, true}, {0, false, false},
                      {0, true, true},    {-1, true, true}, {1, true, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.hint) + (row.saver_on ? " saver on" : " saver off"));
    ASSERT_EQ(std::system((xset + (row.saver_on ? "activate" : "reset")).c_str()), 0);
    hint.store(row.hint);
    EXPECT_EQ(desktop->IsLost(), row.lost);
  }
  ASSERT_EQ(std::system((xset + "reset").c_str()), 0);
}

TEST_F(DisplaysX11Test, ErrorTrapCatchesAsynchronousErrors) {
  Painter x(display_name());
  ASSERT_NE(x.get(), nullptr);
  {
    XErrorTrap outer(x.get());
    {
      XErrorTrap inner(x.get());
      XMapWindow(x.get(), 0x7FFFFFF);  // no such window
      EXPECT_EQ(inner.Sync(), BadWindow);
    }
    EXPECT_EQ(outer.Sync(), 0) << "the inner trap took the error";
  }
  XErrorTrap trap(x.get());
  EXPECT_EQ(trap.Sync(), 0);
}

TEST(DisplaysX11Depth, SixteenBitServerDelivers565AndAMissingServerNothing) {
  VORLA_SKIP_WITHOUT_XVFB();
  auto o = test::PrivateXServer::Options::Small();
  o.depth = 16;
  std::string error;
  auto server = test::PrivateXServer::Start(o, &error);
  ASSERT_NE(server, nullptr) << error;
  {
    Painter painter(server->display_name());
    painter.Fill(0, 0, 640, 480, 0xF800);  // red
  }
  auto displays = CreateX11Displays(server->display_name());
  const auto devices = displays->EnumerateDevices();
  ASSERT_EQ(devices.size(), 1u);
  auto source = displays->Open(devices[0].name);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->mode().format, PixelFormat::kRgb565);
  EXPECT_EQ(source->mode().bits_per_pixel, 16);
  ASSERT_TRUE(source->PrepareCapture());
  PixelView view;
  ASSERT_TRUE(source->Grab(view));
  EXPECT_EQ(view.pixels[0] | (view.pixels[1] << 8), 0xF800);
  auto desktop = CreateX11InputDesktop(server->display_name());
  EXPECT_FALSE(desktop->IsLost());

  // The server goes away: grabs fail and the desktop is lost; the process lives on.
  server.reset();
  EXPECT_FALSE(source->Grab(view));
  EXPECT_FALSE(source->Grab(view));
  EXPECT_TRUE(displays->EnumerateDevices().empty());
  EXPECT_TRUE(desktop->IsLost());
}

}  // namespace
}  // namespace vorla::platform
