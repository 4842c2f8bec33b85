// The X11 window capability's snapshot: the per-window queries after a list answer from what the
// list read, yet follow every change a window reports, even while the clock stands still.
#include "platform/posix/windows_x11.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_clock.h"
#include "support/x_server.h"

// After GoogleTest: Xlib's macros break it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorla::platform {
namespace {

bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

class WindowsSnapshotTest : public test::XServerTest {
 protected:
  test::PrivateXServer::Options ServerOptions() const override {
    return test::PrivateXServer::Options::Small();
  }
  void SetUp() override {
    XServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    d_ = XOpenDisplay(display_name().c_str());
    ASSERT_NE(d_, nullptr);
  }
  void TearDown() override {
    if (d_ != nullptr) XCloseDisplay(d_);
  }

  Window Create(const char* title, const char* class_name) {
    const Window w = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 50, 50, 0, 0, 0);
    XStoreName(d_, w, title);
    XClassHint hint;
    hint.res_name = const_cast<char*>("vorlatest");
    hint.res_class = const_cast<char*>(class_name);
    XSetClassHint(d_, w, &hint);
    XMapWindow(d_, w);
    XSync(d_, False);
    return w;
  }

  Display* d_ = nullptr;
};

std::u16string TitleOf(WindowSystem& ws, Window w) {
  std::u16string title;
  return ws.Title(w, title) ? title : u"<failed>";
}

TEST_F(WindowsSnapshotTest, QueriesAfterAListFollowReportedChanges) {
  // A clock that never moves: only the windows' own notifications can end a snapshot entry.
  FakeClock clock;
  ScopedClockOverride use_clock(clock);
  auto ws = CreateX11WindowSystem(display_name());
  const Window a = Create("Alpha", "A");
  const Window b = Create("Beta", "B");
  std::vector<WindowHandle> list;
  ASSERT_TRUE(ws->TopLevelWindows(list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(TitleOf(*ws, a), u"Alpha");
  std::u16string cls;
  ASSERT_TRUE(ws->ClassName(b, cls));
  EXPECT_EQ(cls, u"B");

  XStoreName(d_, a, "Alpha 2");
  XSetTransientForHint(d_, b, a);
  XSync(d_, False);
  EXPECT_TRUE(Eventually([&] { return TitleOf(*ws, a) == u"Alpha 2"; })) << "title stayed stale";
  EXPECT_TRUE(Eventually([&] { return ws->Owner(b) == a; })) << "owner stayed stale";

  XUnmapWindow(d_, a);
  XSync(d_, False);
  EXPECT_TRUE(Eventually([&] { return !ws->IsVisible(a); })) << "unmapping went unseen";
  EXPECT_TRUE(ws->IsWindow(a));

  XDestroyWindow(d_, b);
  XSync(d_, False);
  EXPECT_TRUE(Eventually([&] { return !ws->IsWindow(b); })) << "destruction went unseen";
  WindowPlacementState state;
  EXPECT_FALSE(ws->Placement(b, state));
  EXPECT_FALSE(ws->ClassName(b, cls));

  // A window the last list did not hold is read when asked.
  const Window c = Create("Gamma", "C");
  EXPECT_EQ(TitleOf(*ws, c), u"Gamma");
  EXPECT_TRUE(ws->IsVisible(c));

  // The next list reads everything anew; a destroyed window's id is watched again if reused.
  ASSERT_TRUE(ws->TopLevelWindows(list));
  EXPECT_EQ(list.size(), 2u);
  XStoreName(d_, c, "Gamma 2");
  XSync(d_, False);
  EXPECT_TRUE(Eventually([&] { return TitleOf(*ws, c) == u"Gamma 2"; }));
}

}  // namespace
}  // namespace vorla::platform
