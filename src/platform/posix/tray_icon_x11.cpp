// The tray icon as a freedesktop system-tray client (XEmbed): a small window of our own, offered
// to the owner of the selection _NET_SYSTEM_TRAY_S<screen> with a SYSTEM_TRAY_REQUEST_DOCK
// message. The tray reparents and maps it; we draw the picture into it on every Expose, name it
// with the tip text, and show the tip in an override-redirect window while the pointer is inside.
//
// A tray that exits takes the icon's place with it: we watch the manager window for its
// DestroyNotify, drop our window (the server hands save-set windows back to the root), and offer
// a fresh one when a new manager announces itself with the MANAGER client message on the root
// window. A manager that dies while we dock makes the requests fail with BadWindow, which the error
// trap takes: the add fails and is repeated by the caller.
//
// Design note: the tip appears as soon as the pointer enters the icon (no hover delay), because the
// owner's loop has no timer of its own for us; it goes when the pointer leaves.
#include "platform/posix/tray_icon_x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/posix/x_error_trap.h"

namespace vorla::platform {
namespace {

constexpr long kSystemTrayRequestDock = 0;
constexpr unsigned long kXEmbedVersion = 0;
constexpr unsigned long kXEmbedMapped = 1;
constexpr int kTipPadding = 3;

// The connection's descriptor in the owner's wait list. Its events are read by ProcessEvents, so
// the wait itself consumes nothing.
class ConnectionWaitable final : public Waitable {
 public:
  explicit ConnectionWaitable(int fd) : fd_(fd) {}
  intptr_t native_handle() const override { return fd_; }
  bool Consume() override { return true; }

 private:
  int fd_;
};

int ShiftOf(unsigned long mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}
int BitsOf(unsigned long mask) {
  int bits = 0;
  for (; mask != 0; mask >>= 1) bits += static_cast<int>(mask & 1);
  return bits;
}

// Latin-1 for the core font and WM_NAME; other characters become '?'.
std::string Latin1(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return out;
}

// Everything that belongs to one display connection. After the server went away the object is
// leaked with its Display: Xlib forbids every further use, closing included.
struct Connection {
  Display* dpy = nullptr;
  std::atomic<bool> lost{false};
  int screen = 0;
  Window root = 0;
  Atom selection = 0;       // _NET_SYSTEM_TRAY_S<screen>
  Atom opcode = 0;          // _NET_SYSTEM_TRAY_OPCODE
  Atom manager_atom = 0;    // MANAGER
  Atom xembed_info = 0;     // _XEMBED_INFO
  Atom net_wm_name = 0;
  Atom utf8_string = 0;
  XFontStruct* font = nullptr;
  bool own_font = false;
  GC gc = nullptr;
  std::unique_ptr<ConnectionWaitable> waitable;

  bool usable() const { return dpy != nullptr && !lost.load(); }
};

class X11TrayIcon final : public TrayIcon {
 public:
  explicit X11TrayIcon(std::string name) : name_(std::move(name)) {}
  ~X11TrayIcon() override {
    Delete();
    Disconnect();
  }

  bool Add(const TrayImage& image, const std::u16string& tip) override {
    wanted_ = true;
    return Modify(image, tip);
  }

  bool Modify(const TrayImage& image, const std::u16string& tip) override {
    const bool image_changed = image.argb != image_.argb || image.size != image_.size;
    const bool tip_changed = tip != tip_;
    Keep(image, tip);
    if (!wanted_) return false;
    CheckLost();
    if (!Usable() || icon_ == 0 || manager_ == 0) {
      // Not in a tray at the moment: offer it to the one that runs now, if any (a new tray also
      // announces itself, see ProcessEvents).
      const bool docked = Connect() && Dock();
      Finish();
      return docked && Usable();
    }
    {
      XErrorTrap trap(c_->dpy);
      if (tip_changed) {
        NameIcon();
        if (tip_shown_) ShowTip(tip_x_, tip_y_);
      }
      if (image_changed) Draw();
    }
    Finish();
    return Usable() && manager_ != 0;
  }

  void Delete() override {
    wanted_ = false;
    if (Usable()) {
      XErrorTrap trap(c_->dpy);
      DropIcon();
      XFlush(c_->dpy);
    }
    manager_ = 0;
    CheckLost();
  }

  Waitable* events() override { return Usable() ? c_->waitable.get() : nullptr; }

  void ProcessEvents() override {
    if (!Usable()) return;
    {
      XErrorTrap trap(c_->dpy);
      while (!c_->lost.load() && XPending(c_->dpy) > 0) {
        XEvent e;
        XNextEvent(c_->dpy, &e);
        Handle(e);
      }
      if (!c_->lost.load()) XFlush(c_->dpy);
    }
    CheckLost();
  }

 private:
  bool Usable() const { return c_ != nullptr && c_->usable(); }

  void Keep(const TrayImage& image, const std::u16string& tip) {
    if (image.argb != image_.argb || image.size != image_.size) {
      image_ = image;
      picture_stale_ = true;
    }
    tip_ = tip;
  }

  // Sends what was queued and reads what came in, so that nothing waits in Xlib's buffers while
  // the owner polls the descriptor.
  void Finish() {
    if (Usable()) ProcessEvents();
    CheckLost();
  }

  void CheckLost() {
    if (c_ == nullptr || !c_->lost.load()) return;
    // The server went away: the Display (and all that hangs on it) is abandoned, never closed,
    // and kept reachable so that leak checkers do not count it.
    static std::mutex abandoned_lock;
    static auto* abandoned = new std::vector<std::unique_ptr<Connection>>;
    {
      std::lock_guard<std::mutex> g(abandoned_lock);
      abandoned->push_back(std::move(c_));
    }
    icon_ = 0;
    tip_window_ = 0;
    manager_ = 0;
    picture_ = 0;
    mask_ = 0;
    tip_shown_ = false;
  }

  bool Connect() {
    CheckLost();
    if (Usable()) return true;
    auto c = std::make_unique<Connection>();
    c->dpy = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
    if (c->dpy == nullptr) return false;
    WatchConnectionLoss(c->dpy, &c->lost);
    XErrorTrap trap(c->dpy);
    c->screen = DefaultScreen(c->dpy);
    c->root = RootWindow(c->dpy, c->screen);
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(c->screen);
    c->selection = XInternAtom(c->dpy, selection.c_str(), False);
    c->opcode = XInternAtom(c->dpy, "_NET_SYSTEM_TRAY_OPCODE", False);
    c->manager_atom = XInternAtom(c->dpy, "MANAGER", False);
    c->xembed_info = XInternAtom(c->dpy, "_XEMBED_INFO", False);
    c->net_wm_name = XInternAtom(c->dpy, "_NET_WM_NAME", False);
    c->utf8_string = XInternAtom(c->dpy, "UTF8_STRING", False);
    // A new manager announces itself to the root window's StructureNotify listeners.
    XSelectInput(c->dpy, c->root, StructureNotifyMask);
    c->font = XLoadQueryFont(c->dpy, "fixed");
    c->own_font = c->font != nullptr;
    if (c->font == nullptr) c->font = XQueryFont(c->dpy, XGContextFromGC(DefaultGC(c->dpy, c->screen)));
    c->gc = XCreateGC(c->dpy, c->root, 0, nullptr);
    if (c->font != nullptr && c->own_font) XSetFont(c->dpy, c->gc, c->font->fid);
    c->waitable = std::make_unique<ConnectionWaitable>(ConnectionNumber(c->dpy));
    trap.Sync();
    c_ = std::move(c);
    if (c_->lost.load()) {
      CheckLost();
      return false;
    }
    return true;
  }

  void Disconnect() {
    CheckLost();
    if (c_ == nullptr) return;
    {
      XErrorTrap trap(c_->dpy);
      FreePicture();
      if (c_->gc != nullptr) XFreeGC(c_->dpy, c_->gc);
      if (c_->font != nullptr) {
        if (c_->own_font)
          XFreeFont(c_->dpy, c_->font);
        else
          XFreeFontInfo(nullptr, c_->font, 1);
      }
      trap.Sync();
    }
    if (c_->lost.load()) {
      CheckLost();
      return;
    }
    XCloseDisplay(c_->dpy);
    c_.reset();
  }

  // Offers a fresh icon window to the current manager; false when there is none or it went away
  // on the way.
  bool Dock() {
    XErrorTrap trap(c_->dpy);
    if (manager_ != 0 && icon_ != 0) return true;
    DropIcon();
    const Window manager = XGetSelectionOwner(c_->dpy, c_->selection);
    if (manager == 0 || c_->lost.load()) return false;
    // Its DestroyNotify tells us when the tray goes.
    XSelectInput(c_->dpy, manager, StructureNotifyMask);
    XSetWindowAttributes a{};
    a.background_pixmap = ParentRelative;
    a.event_mask = ExposureMask | StructureNotifyMask | EnterWindowMask | LeaveWindowMask;
    const int size = image_.valid() ? image_.size : 32;
    icon_ = XCreateWindow(c_->dpy, c_->root, 0, 0, static_cast<unsigned>(size),
                          static_cast<unsigned>(size), 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWBackPixmap | CWEventMask, &a);
    width_ = height_ = size;
    const unsigned long info[2] = {kXEmbedVersion, kXEmbedMapped};
    XChangeProperty(c_->dpy, icon_, c_->xembed_info, c_->xembed_info, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(info), 2);
    XSizeHints hints{};
    hints.flags = PMinSize | PBaseSize;
    hints.min_width = hints.min_height = hints.base_width = hints.base_height = size;
    XSetWMNormalHints(c_->dpy, icon_, &hints);
    NameIcon();

    XEvent m{};
    m.xclient.type = ClientMessage;
    m.xclient.window = manager;
    m.xclient.message_type = c_->opcode;
    m.xclient.format = 32;
    m.xclient.data.l[0] = CurrentTime;
    m.xclient.data.l[1] = kSystemTrayRequestDock;
    m.xclient.data.l[2] = static_cast<long>(icon_);
    XSendEvent(c_->dpy, manager, False, NoEventMask, &m);
    if (trap.Sync() != 0 || c_->lost.load()) {
      // The manager died under us (BadWindow): start over on the next add.
      DropIcon();
      return false;
    }
    manager_ = manager;
    return true;
  }

  // Destroys our windows; the tray drops an embedded window that is destroyed.
  void DropIcon() {
    if (c_ == nullptr || c_->lost.load()) return;
    HideTip();
    if (tip_window_ != 0) XDestroyWindow(c_->dpy, tip_window_);
    tip_window_ = 0;
    if (icon_ != 0) XDestroyWindow(c_->dpy, icon_);
    icon_ = 0;
    manager_ = 0;
  }

  void NameIcon() {
    if (icon_ == 0) return;
    const std::string latin1 = Latin1(tip_);
    XChangeProperty(c_->dpy, icon_, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(latin1.data()),
                    static_cast<int>(latin1.size()));
    const std::string utf8 = ToUtf8(tip_);
    XChangeProperty(c_->dpy, icon_, c_->net_wm_name, c_->utf8_string, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()),
                    static_cast<int>(utf8.size()));
  }

  void Handle(const XEvent& e) {
    switch (e.type) {
      case ClientMessage:
        if (e.xclient.window == c_->root && e.xclient.message_type == c_->manager_atom &&
            e.xclient.format == 32 && static_cast<Atom>(e.xclient.data.l[1]) == c_->selection) {
          // A tray (again): offer the icon when it is wanted, unless it already sits in the tray
          // that owns the selection now (an announcement can arrive after its tray died).
          const Window owner = XGetSelectionOwner(c_->dpy, c_->selection);
          if (wanted_ && owner != 0 && (owner != manager_ || icon_ == 0)) {
            manager_ = 0;
            Dock();
          }
        }
        break;
      case DestroyNotify:
        if (manager_ != 0 && e.xdestroywindow.window == manager_) {
          DropIcon();
        } else if (e.xdestroywindow.window == icon_) {
          icon_ = 0;
          manager_ = 0;
        }
        break;
      case ConfigureNotify:
        if (e.xconfigure.window == icon_ &&
            (e.xconfigure.width != width_ || e.xconfigure.height != height_)) {
          width_ = e.xconfigure.width;
          height_ = e.xconfigure.height;
          FreePicture();
          Draw();
        }
        break;
      case Expose:
        if (e.xexpose.count == 0) {
          if (e.xexpose.window == icon_) Draw();
          if (e.xexpose.window == tip_window_) DrawTip();
        }
        break;
      case EnterNotify:
        if (e.xcrossing.window == icon_) ShowTip(e.xcrossing.x_root, e.xcrossing.y_root);
        break;
      case LeaveNotify:
        if (e.xcrossing.window == icon_ && e.xcrossing.detail != NotifyInferior) HideTip();
        break;
      default: break;
    }
  }

  unsigned long PixelOf(uint32_t argb, const Visual* v) const {
    const uint32_t r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
    if (v->c_class != TrueColor && v->c_class != DirectColor) {
      return (r * 3 + g * 6 + b) / 10 >= 128 ? WhitePixel(c_->dpy, c_->screen)
                                              : BlackPixel(c_->dpy, c_->screen);
    }
    auto scale = [](uint32_t value, unsigned long mask) -> unsigned long {
      const int bits = BitsOf(mask);
      const unsigned long v8 = bits >= 8 ? (value << (bits - 8)) : (value >> (8 - bits));
      return (v8 << ShiftOf(mask)) & mask;
    };
    return scale(r, v->red_mask) | scale(g, v->green_mask) | scale(b, v->blue_mask);
  }

  // The picture scaled to the window's size (nearest pixel, centred square) as a pixmap, with a
  // one-bit mask of its opaque pixels so that the tray's background shows through the rest.
  void BuildPicture() {
    if (!image_.valid() || icon_ == 0) return;
    const int side = std::max(1, std::min(width_, height_));
    Visual* visual = DefaultVisual(c_->dpy, c_->screen);
    const int depth = DefaultDepth(c_->dpy, c_->screen);
    XImage* img = XCreateImage(c_->dpy, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                               static_cast<unsigned>(side), static_cast<unsigned>(side), 32, 0);
    if (img == nullptr) return;
    img->data = static_cast<char*>(std::calloc(static_cast<size_t>(img->bytes_per_line),
                                               static_cast<size_t>(side)));
    if (img->data == nullptr) {
      XDestroyImage(img);
      return;
    }
    const int row_bytes = (side + 7) / 8;
    std::vector<char> bits(static_cast<size_t>(row_bytes) * static_cast<size_t>(side), 0);
    for (int y = 0; y < side; ++y) {
      const int sy = y * image_.size / side;
      for (int x = 0; x < side; ++x) {
        const int sx = x * image_.size / side;
        const uint32_t argb = image_.argb[static_cast<size_t>(sy) * image_.size + sx];
        XPutPixel(img, x, y, PixelOf(argb, visual));
        if ((argb >> 24) >= 0x80)
          bits[static_cast<size_t>(y) * row_bytes + x / 8] |= static_cast<char>(1 << (x % 8));
      }
    }
    picture_ = XCreatePixmap(c_->dpy, icon_, static_cast<unsigned>(side),
                             static_cast<unsigned>(side), static_cast<unsigned>(depth));
    XPutImage(c_->dpy, picture_, c_->gc, img, 0, 0, 0, 0, static_cast<unsigned>(side),
              static_cast<unsigned>(side));
    XDestroyImage(img);  // frees the pixel buffer as well
    mask_ = XCreateBitmapFromData(c_->dpy, icon_, bits.data(), static_cast<unsigned>(side),
                                  static_cast<unsigned>(side));
    picture_side_ = side;
    picture_stale_ = false;
  }

  void FreePicture() {
    if (c_ == nullptr || c_->lost.load()) return;
    if (picture_ != 0) XFreePixmap(c_->dpy, picture_);
    if (mask_ != 0) XFreePixmap(c_->dpy, mask_);
    picture_ = mask_ = 0;
  }

  void Draw() {
    if (icon_ == 0) return;
    if (picture_stale_) FreePicture();
    if (picture_ == 0) BuildPicture();
    XClearWindow(c_->dpy, icon_);
    if (picture_ == 0) return;
    const int x = (width_ - picture_side_) / 2, y = (height_ - picture_side_) / 2;
    XSetClipMask(c_->dpy, c_->gc, mask_);
    XSetClipOrigin(c_->dpy, c_->gc, x, y);
    XCopyArea(c_->dpy, picture_, icon_, c_->gc, 0, 0, static_cast<unsigned>(picture_side_),
              static_cast<unsigned>(picture_side_), x, y);
    XSetClipMask(c_->dpy, c_->gc, 0);
  }

  void ShowTip(int x_root, int y_root) {
    if (c_->font == nullptr || tip_.empty()) return;
    const std::string text = Latin1(tip_);
    const int w = XTextWidth(c_->font, text.data(), static_cast<int>(text.size())) + 2 * kTipPadding;
    const int h = c_->font->ascent + c_->font->descent + 2 * kTipPadding;
    const int screen_w = DisplayWidth(c_->dpy, c_->screen);
    const int screen_h = DisplayHeight(c_->dpy, c_->screen);
    int x = std::max(0, std::min(x_root + 8, screen_w - w - 2));
    int y = y_root + 20;
    if (y + h + 2 > screen_h) y = std::max(0, y_root - h - 10);
    if (tip_window_ == 0) {
      XSetWindowAttributes a{};
      a.override_redirect = True;
      a.background_pixel = PixelOf(0xFFFFFFE1, DefaultVisual(c_->dpy, c_->screen));
      a.border_pixel = BlackPixel(c_->dpy, c_->screen);
      a.event_mask = ExposureMask;
      tip_window_ = XCreateWindow(c_->dpy, c_->root, x, y, static_cast<unsigned>(w),
                                  static_cast<unsigned>(h), 1, CopyFromParent, InputOutput,
                                  CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask,
                                  &a);
    } else {
      XMoveResizeWindow(c_->dpy, tip_window_, x, y, static_cast<unsigned>(w),
                        static_cast<unsigned>(h));
    }
    // Named with its text as well, so that tools and tests can find it.
    XStoreName(c_->dpy, tip_window_, text.c_str());
    tip_x_ = x_root;
    tip_y_ = y_root;
    XMapRaised(c_->dpy, tip_window_);
    tip_shown_ = true;
    DrawTip();
  }

  void HideTip() {
    if (tip_window_ != 0 && tip_shown_) XUnmapWindow(c_->dpy, tip_window_);
    tip_shown_ = false;
  }

  void DrawTip() {
    if (tip_window_ == 0 || !tip_shown_ || c_->font == nullptr) return;
    const std::string text = Latin1(tip_);
    XClearWindow(c_->dpy, tip_window_);
    XSetForeground(c_->dpy, c_->gc, BlackPixel(c_->dpy, c_->screen));
    XDrawString(c_->dpy, tip_window_, c_->gc, kTipPadding, kTipPadding + c_->font->ascent,
                text.data(), static_cast<int>(text.size()));
  }

  std::string name_;
  std::unique_ptr<Connection> c_;
  TrayImage image_;
  std::u16string tip_;
  bool wanted_ = false;          // added and not deleted: offered to every new tray
  Window manager_ = 0;           // the tray that has (or was asked to take) the icon
  Window icon_ = 0;
  Window tip_window_ = 0;
  bool tip_shown_ = false;
  int tip_x_ = 0, tip_y_ = 0;
  int width_ = 0, height_ = 0;   // the icon window's size, as the tray made it
  Pixmap picture_ = 0;
  Pixmap mask_ = 0;
  int picture_side_ = 0;
  bool picture_stale_ = true;
};

using Factory = std::function<std::unique_ptr<TrayIcon>()>;
std::mutex g_factory_lock;
Factory g_factory;

}  // namespace

std::unique_ptr<TrayIcon> CreateX11TrayIcon(const std::string& display_name) {
  return std::make_unique<X11TrayIcon>(display_name);
}

std::unique_ptr<TrayIcon> CreateTrayIcon() {
  Factory factory;
  {
    std::lock_guard<std::mutex> g(g_factory_lock);
    factory = g_factory;
  }
  if (factory) return factory();
  return CreateX11TrayIcon("");
}

void SetTrayIconForTesting(Factory factory) {
  std::lock_guard<std::mutex> g(g_factory_lock);
  g_factory = std::move(factory);
}

}  // namespace vorla::platform
