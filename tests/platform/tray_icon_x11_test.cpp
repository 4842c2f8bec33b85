// The X11 tray icon against a tray manager played by the test on a private X server: the dock
// request, the icon window's properties, a manager that comes and goes (also while the icon docks).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/posix/tray_icon_x11.h"
#include "support/x_server.h"

// X11 after GoogleTest (Xlib's macros break it).
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "platform/posix/x_error_trap.h"

namespace vorla::platform {
namespace {

TrayImage Solid(uint32_t argb) {
  TrayImage image;
  image.size = 32;
  image.argb.assign(32 * 32, argb);
  return image;
}

// A tray manager on a connection of its own: owns _NET_SYSTEM_TRAY_S0, announces itself with
// MANAGER and records the dock requests it receives.
class Manager {
 public:
  explicit Manager(const std::string& display) : d_(XOpenDisplay(display.c_str())) {
    if (d_ == nullptr) return;
    selection_ = XInternAtom(d_, "_NET_SYSTEM_TRAY_S0", False);
    opcode_ = XInternAtom(d_, "_NET_SYSTEM_TRAY_OPCODE", False);
    window_ = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d_, selection_, window_, CurrentTime);
    XEvent m{};
    m.xclient.type = ClientMessage;
    m.xclient.window = DefaultRootWindow(d_);
    m.xclient.message_type = XInternAtom(d_, "MANAGER", False);
    m.xclient.format = 32;
    m.xclient.data.l[0] = CurrentTime;
    m.xclient.data.l[1] = static_cast<long>(selection_);
    m.xclient.data.l[2] = static_cast<long>(window_);
    XSendEvent(d_, DefaultRootWindow(d_), False, StructureNotifyMask, &m);
    XSync(d_, False);
  }
  ~Manager() {
    if (d_ != nullptr) XCloseDisplay(d_);  // the manager window goes with the connection
  }
  bool ok() const { return d_ != nullptr; }

  // The icon window of the next dock request within `ms`; 0 when none came.
  Window NextDock(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      while (XPending(d_) > 0) {
        XEvent e;
        XNextEvent(d_, &e);
        if (e.type == ClientMessage && e.xclient.message_type == opcode_ &&
            e.xclient.data.l[1] == 0)
          return static_cast<Window>(e.xclient.data.l[2]);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
  }

  std::string Name(Window w) {
    XErrorTrap trap(d_);  // the window may be gone
    char* name = nullptr;
    std::string out;
    if (XFetchName(d_, w, &name) && name != nullptr) out = name;
    if (name != nullptr) XFree(name);
    return out;
  }

  // _XEMBED_INFO of `w` as read from the server, bounds-checked; empty when absent.
  std::vector<unsigned long> XEmbedInfo(Window w) {
    XErrorTrap trap(d_);
    const Atom info = XInternAtom(d_, "_XEMBED_INFO", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(d_, w, info, 0, 2, False, info, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr && format == 32 && count <= 2) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      out.assign(values, values + count);
    }
    if (data != nullptr) XFree(data);
    return out;
  }

 private:
  Display* d_;
  Atom selection_ = 0;
  Atom opcode_ = 0;
  Window window_ = 0;
};

class TrayIconX11Test : public test::XServerTest {
 protected:
  test::PrivateXServer::Options ServerOptions() const override {
    return test::PrivateXServer::Options::Small();
  }
};

TEST_F(TrayIconX11Test, DocksWithItsNameAndDocksAgainWhenANewManagerAnnouncesItself) {
  auto icon = CreateX11TrayIcon(display_name());
  EXPECT_FALSE(icon->Modify(Solid(0xFFFF0000), u"first")) << "never added";
  EXPECT_FALSE(icon->Add(Solid(0xFFFF0000), u"first")) << "no tray runs";
  {
    // A tray that starts takes the icon whose add failed, through its announcement alone.
    Manager manager(display_name());
    ASSERT_TRUE(manager.ok());
    Window docked = 0;
    for (int i = 0; i < 100 && docked == 0; ++i) {
      icon->ProcessEvents();
      docked = manager.NextDock(20);
    }
    ASSERT_NE(docked, 0u);
    ASSERT_TRUE(icon->Add(Solid(0xFFFF0000), u"first"));
    EXPECT_EQ(manager.NextDock(100), 0u) << "already in this tray";
    EXPECT_EQ(manager.Name(docked), "first");
    EXPECT_EQ(manager.XEmbedInfo(docked), (std::vector<unsigned long>{0, 1}))
        << "version 0, mapped";
    ASSERT_TRUE(icon->Modify(Solid(0xFF00FF00), u"second"));
    EXPECT_EQ(manager.Name(docked), "second");
    EXPECT_NE(icon->events(), nullptr);
  }
  // The manager is gone: the next change fails; a new one gets a fresh dock request through the
  // announcement alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  icon->ProcessEvents();
  EXPECT_FALSE(icon->Modify(Solid(0xFF00FF00), u"third"));
  Manager again(display_name());
  ASSERT_TRUE(again.ok());
  Window redocked = 0;
  for (int i = 0; i < 100 && redocked == 0; ++i) {
    icon->ProcessEvents();
    redocked = again.NextDock(20);
  }
  ASSERT_NE(redocked, 0u);
  EXPECT_EQ(again.Name(redocked), "third");
  EXPECT_TRUE(icon->Modify(Solid(0xFF00FF00), u"third"));

  // Deleted: a new manager gets nothing.
  icon->Delete();
  EXPECT_FALSE(icon->Modify(Solid(0xFF00FF00), u"fourth"));
  Manager third(display_name());
  ASSERT_TRUE(third.ok());
  icon->ProcessEvents();
  EXPECT_EQ(third.NextDock(200), 0u);
}

TEST_F(TrayIconX11Test, ManagersThatDieWhileTheIconDocksDoNotTakeItDown) {
  auto icon = CreateX11TrayIcon(display_name());
  std::atomic<bool> stop{false};
  // Managers come and go as fast as they can on another thread, each on its own connection.
  std::thread churn([&] {
    while (!stop.load()) {
      Manager m(display_name());
      if (!m.ok()) return;
    }
  });
  int docked = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
    if (icon->Add(Solid(0xFF0000FF), u"churn " + std::u16string(1, u'0' + i % 10))) ++docked;
    icon->ProcessEvents();
    if (i % 3 == 0) icon->Delete();
  }
  stop.store(true);
  churn.join();
  // Still usable: with a manager that stays, the icon docks.
  Manager stable(display_name());
  ASSERT_TRUE(stable.ok());
  icon->Delete();
  ASSERT_TRUE(icon->Add(Solid(0xFF0000FF), u"settled"));
  // A dock request of a window from the churn may still be on its way; the settled icon's own
  // request follows it, and its name may land a moment after its request.
  Window w = 0;
  std::string name;
  const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (name != "settled" && std::chrono::steady_clock::now() < settle) {
    if (const Window next = stable.NextDock(100); next != 0) w = next;
    icon->ProcessEvents();
    if (w != 0) name = stable.Name(w);
  }
  ASSERT_NE(w, 0u);
  EXPECT_EQ(name, "settled");
  RecordProperty("docked_during_churn", docked);
}

TEST(TrayIconX11ServerLoss, AConnectionWhoseServerWentAwayIsAbandonedAndTheProcessRunsOn) {
  VORLA_SKIP_WITHOUT_XVFB();
  std::string error;
  auto server = test::PrivateXServer::Start(test::PrivateXServer::Options::Small(), &error);
  ASSERT_NE(server, nullptr) << error;
  auto icon = CreateX11TrayIcon(server->display_name());
  {
    Manager manager(server->display_name());
    ASSERT_TRUE(manager.ok());
    ASSERT_TRUE(icon->Add(Solid(0xFFFF0000), u"before"));
    ASSERT_NE(icon->events(), nullptr);
  }
  server.reset();
  // The loss shows on the next use; after it there is nothing to wait on and nothing is shown.
  icon->ProcessEvents();
  EXPECT_EQ(icon->events(), nullptr);
  EXPECT_FALSE(icon->Modify(Solid(0xFFFF0000), u"after"));
  EXPECT_FALSE(icon->Add(Solid(0xFFFF0000), u"after"));
  icon.reset();  // must not touch the dead connection (Xlib would end the process)
}

}  // namespace
}  // namespace vorla::platform
