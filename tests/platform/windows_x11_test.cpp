// The X11 window capability against a private X server, with and without a window manager.
#include "platform/posix/windows_x11.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/x_server.h"

// After GoogleTest: Xlib's macros break it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorla::platform {
namespace {

using test::PrivateXServer;

// Waits for a change made by another client (the window manager) to become visible.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

// The test's own client: creates and manipulates windows the way applications do.
class TestClient {
 public:
  explicit TestClient(const std::string& display) : d_(XOpenDisplay(display.c_str())) {}
  ~TestClient() {
    if (d_ != nullptr) XCloseDisplay(d_);
  }
  bool ok() const { return d_ != nullptr; }
  Display* display() const { return d_; }
  Window root() const { return DefaultRootWindow(d_); }

  Window Create(const std::string& utf8_title, const char* class_name, Window owner = 0) {
    Window w = XCreateSimpleWindow(d_, root(), 10, 10, 300, 200, 0, 0, 0);
    SetTitle(w, utf8_title);
    XClassHint hint;
    hint.res_name = const_cast<char*>("vorlatest");
    hint.res_class = const_cast<char*>(class_name);
    XSetClassHint(d_, w, &hint);
    if (owner != 0) XSetTransientForHint(d_, w, owner);
    XMapWindow(d_, w);
    XSync(d_, False);
    return w;
  }

  void SetTitle(Window w, const std::string& utf8_title) {
    XChangeProperty(d_, w, Intern("_NET_WM_NAME"), Intern("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8_title.data()),
                    static_cast<int>(utf8_title.size()));
    XSync(d_, False);
  }

  void SetLegacyTitleOnly(Window w, const std::string& latin1) {
    XDeleteProperty(d_, w, Intern("_NET_WM_NAME"));
    XChangeProperty(d_, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(latin1.data()),
                    static_cast<int>(latin1.size()));
    XSync(d_, False);
  }

  void SendClientMessage(Window w, const char* type, long a0, long a1 = 0, long a2 = 0,
                         long a3 = 0) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = static_cast<::Atom>(Intern(type));
    e.xclient.format = 32;
    e.xclient.data.l[0] = a0;
    e.xclient.data.l[1] = a1;
    e.xclient.data.l[2] = a2;
    e.xclient.data.l[3] = a3;
    XSendEvent(d_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XSync(d_, False);
  }
  void Activate(Window w) { SendClientMessage(w, "_NET_ACTIVE_WINDOW", 2, CurrentTime); }
  void Maximise(Window w) {
    SendClientMessage(w, "_NET_WM_STATE", 1, Intern("_NET_WM_STATE_MAXIMIZED_VERT"),
                      Intern("_NET_WM_STATE_MAXIMIZED_HORZ"), 2);
  }
  void Restore(Window w) {
    SendClientMessage(w, "_NET_WM_STATE", 0, Intern("_NET_WM_STATE_MAXIMIZED_VERT"),
                      Intern("_NET_WM_STATE_MAXIMIZED_HORZ"), 2);
  }
  void Minimise(Window w) { SendClientMessage(w, "WM_CHANGE_STATE", IconicState); }

  long Intern(const char* name) { return static_cast<long>(XInternAtom(d_, name, False)); }

 private:
  Display* d_;
};

std::vector<WindowHandle> List(WindowSystem& ws) {
  std::vector<WindowHandle> v;
  ws.TopLevelWindows(v);
  return v;
}

bool Listed(WindowSystem& ws, Window w) {
  const auto v = List(ws);
  return std::find(v.begin(), v.end(), w) != v.end();
}

WindowPlacementState PlacementOf(WindowSystem& ws, Window w) {
  WindowPlacementState s = WindowPlacementState::kNormal;
  EXPECT_TRUE(ws.Placement(w, s));
  return s;
}

// openbox publishes its check window a moment before it manages new windows; a window mapped in
// between stays unmanaged. Map a probe until the window manager takes it, then go on.
bool WaitUntilManaging(TestClient& x, WindowSystem& ws) {
  const Window probe = x.Create("probe", "Probe");
  bool managed = false;
  for (int attempt = 0; attempt < 50 && !managed; ++attempt) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (!managed && std::chrono::steady_clock::now() < until) {
      managed = Listed(ws, probe);
      if (!managed) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!managed) {
      XUnmapWindow(x.display(), probe);
      XMapWindow(x.display(), probe);
      XSync(x.display(), False);
    }
  }
  XDestroyWindow(x.display(), probe);
  XSync(x.display(), False);
  return managed && Eventually([&] { return !Listed(ws, probe); });
}

class WindowsWithManagerTest : public test::XServerTest {
 protected:
  PrivateXServer::Options ServerOptions() const override {
    PrivateXServer::Options o;
    o.width = 1280;
    o.height = 800;
    o.window_manager = true;
    return o;
  }
};

TEST_F(WindowsWithManagerTest, SeesTitlesClassesOwnersAndStates) {
  TestClient x(display_name());
  ASSERT_TRUE(x.ok());
  auto ws = CreateX11WindowSystem(display_name());
  ASSERT_TRUE(WaitUntilManaging(x, *ws));
  const Window notepad = x.Create("Untitled - Notepad", "Notepad");
  const Window dialog = x.Create("Save As", "Dialog", notepad);
  const Window calc = x.Create("Calculator \xc3\xbc\xe2\x82\xac", "Calc");
  // The window manager lists a new window a moment before it maps it: wait for both.
  ASSERT_TRUE(Eventually([&] {
    return Listed(*ws, notepad) && Listed(*ws, dialog) && Listed(*ws, calc) &&
           ws->IsVisible(notepad) && ws->IsVisible(dialog) && ws->IsVisible(calc);
  })) << ::testing::PrintToString(List(*ws))
      << " " << notepad << " " << dialog << " " << calc;

  struct Row {
    Window w;
    const char16_t* title;
    const char16_t* cls;
    Window owner;
  };
  for (const Row& row : {Row{notepad, u"Untitled - Notepad", u"Notepad", 0},
                         Row{dialog, u"Save As", u"Dialog", notepad},
                         Row{calc, u"Calculator \u00fc\u20ac", u"Calc", 0}}) {
    SCOPED_TRACE(row.w);
    std::u16string title, cls;
    EXPECT_TRUE(ws->IsWindow(row.w));
    EXPECT_TRUE(ws->IsVisible(row.w));
    ASSERT_TRUE(ws->Title(row.w, title));
    EXPECT_EQ(title, row.title);
    ASSERT_TRUE(ws->ClassName(row.w, cls));
    EXPECT_EQ(cls, row.cls);
    EXPECT_EQ(ws->Owner(row.w), row.owner);
    EXPECT_EQ(PlacementOf(*ws, row.w), WindowPlacementState::kNormal);
  }

  // Focus, with the active window first in the order.
  x.Activate(calc);
  ASSERT_TRUE(Eventually([&] { return ws->ForegroundWindow() == calc; }));
  ASSERT_TRUE(Eventually([&] {
    const auto v = List(*ws);
    return !v.empty() && v.front() == calc;
  }));
  x.Activate(notepad);
  ASSERT_TRUE(Eventually([&] { return ws->ForegroundWindow() == notepad; }));

  x.Maximise(notepad);
  ASSERT_TRUE(
      Eventually([&] { return PlacementOf(*ws, notepad) == WindowPlacementState::kMaximised; }));
  x.Restore(notepad);
  ASSERT_TRUE(
      Eventually([&] { return PlacementOf(*ws, notepad) == WindowPlacementState::kNormal; }));

  // A minimised window is still visible, as on the desktop it stands in for.
  x.Minimise(calc);
  ASSERT_TRUE(
      Eventually([&] { return PlacementOf(*ws, calc) == WindowPlacementState::kMinimised; }));
  EXPECT_TRUE(ws->IsVisible(calc));
  EXPECT_TRUE(Listed(*ws, calc));

  // Gone: every query fails quietly.
  XDestroyWindow(x.display(), dialog);
  XSync(x.display(), False);
  ASSERT_TRUE(Eventually([&] { return !Listed(*ws, dialog); }));
  std::u16string text;
  WindowPlacementState state;
  EXPECT_FALSE(ws->IsWindow(dialog));
  EXPECT_FALSE(ws->IsVisible(dialog));
  EXPECT_FALSE(ws->Title(dialog, text));
  EXPECT_FALSE(ws->ClassName(dialog, text));
  EXPECT_EQ(ws->Owner(dialog), kNoWindow);
  EXPECT_FALSE(ws->Placement(dialog, state));
}

TEST_F(WindowsWithManagerTest, OddTitles) {
  TestClient x(display_name());
  ASSERT_TRUE(x.ok());
  auto ws = CreateX11WindowSystem(display_name());
  const Window w = x.Create("plain", "C");
  std::u16string title;

  x.SetTitle(w, std::string("bad \xff\xfe utf-8 \xe2\x82", 16));
  ASSERT_TRUE(ws->Title(w, title));
  EXPECT_EQ(title.substr(0, 4), u"bad ");
  EXPECT_NE(title.find(u'\uFFFD'), std::u16string::npos);

  x.SetTitle(w, std::string(200000, 'a'));  // longer than any name we read
  ASSERT_TRUE(ws->Title(w, title));
  EXPECT_EQ(title.size(), 65536u);

  x.SetLegacyTitleOnly(w, "caf\xe9");  // ICCCM STRING is Latin-1
  ASSERT_TRUE(ws->Title(w, title));
  EXPECT_EQ(title, u"caf\u00e9");

  XDeleteProperty(x.display(), w, XA_WM_NAME);
  XSync(x.display(), False);
  ASSERT_TRUE(ws->Title(w, title));
  EXPECT_EQ(title, u"");
}

class WindowsWithoutManagerTest : public test::XServerTest {
 protected:
  PrivateXServer::Options ServerOptions() const override {
    PrivateXServer::Options o;
    o.width = 800;
    o.height = 600;
    return o;
  }
};

TEST_F(WindowsWithoutManagerTest, FallsBackToTheWindowTreeAndTheInputFocus) {
  TestClient x(display_name());
  ASSERT_TRUE(x.ok());
  auto ws = CreateX11WindowSystem(display_name());
  const Window a = x.Create("Alpha", "A");
  const Window b = x.Create("Beta", "B");
  const Window hidden = XCreateSimpleWindow(x.display(), x.root(), 0, 0, 10, 10, 0, 0, 0);
  XSync(x.display(), False);
  auto v = List(*ws);
  ASSERT_GE(v.size(), 3u);
  // Topmost first: b was mapped last, above a.
  const auto pos = [&](Window w) { return std::find(v.begin(), v.end(), w) - v.begin(); };
  EXPECT_LT(pos(b), pos(a));
  EXPECT_TRUE(ws->IsVisible(a));
  EXPECT_FALSE(ws->IsVisible(hidden));
  EXPECT_EQ(PlacementOf(*ws, a), WindowPlacementState::kNormal);
  std::u16string title;
  ASSERT_TRUE(ws->Title(b, title));
  EXPECT_EQ(title, u"Beta");

  // The focus may sit in a child window: the top-level window is reported.
  const Window child = XCreateSimpleWindow(x.display(), a, 0, 0, 10, 10, 0, 0, 0);
  XMapWindow(x.display(), child);
  XSync(x.display(), False);
  XSetInputFocus(x.display(), child, RevertToParent, CurrentTime);
  XSync(x.display(), False);
  EXPECT_EQ(ws->ForegroundWindow(), a);
  XSetInputFocus(x.display(), PointerRoot, RevertToPointerRoot, CurrentTime);
  XSync(x.display(), False);
  EXPECT_EQ(ws->ForegroundWindow(), kNoWindow);
}

TEST(WindowsX11, NoDisplayOrALostServerFailsQuietly) {
  VORLA_SKIP_WITHOUT_XVFB();
  auto nowhere = CreateX11WindowSystem(":987654");
  std::vector<WindowHandle> v{1, 2};
  EXPECT_FALSE(nowhere->TopLevelWindows(v));
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(nowhere->ForegroundWindow(), kNoWindow);

  auto server = PrivateXServer::Start(PrivateXServer::Options::Small());
  ASSERT_NE(server, nullptr);
  auto ws = CreateX11WindowSystem(server->display_name());
  Window w = 0;
  {
    TestClient x(server->display_name());
    ASSERT_TRUE(x.ok());
    w = x.Create("Doomed", "D");
    ASSERT_TRUE(Listed(*ws, w));
    // The client's windows die with its connection; the server goes next.
  }
  ::kill(server->server_pid(), SIGKILL);
  ASSERT_TRUE(Eventually([&] { return !ws->TopLevelWindows(v); }));
  std::u16string title;
  WindowPlacementState state;
  EXPECT_FALSE(ws->Title(w, title));
  EXPECT_FALSE(ws->Placement(w, state));
  EXPECT_FALSE(ws->IsWindow(w));
  EXPECT_EQ(ws->ForegroundWindow(), kNoWindow);
  ws.reset();  // must not touch the dead connection
}

}  // namespace
}  // namespace vorla::platform
