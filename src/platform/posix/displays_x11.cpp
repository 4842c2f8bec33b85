#include "platform/posix/displays_x11.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "common/text.h"
#include "platform/posix/logind_monitor.h"
#include "platform/posix/x_error_trap.h"

namespace vorla::platform {
namespace {

// One X connection, shared by a Displays object and the sources opened from it. After the server
// went away the Display is leaked on purpose: Xlib forbids every further use of it.
class XConnection {
 public:
  explicit XConnection(const std::string& name) {
    display_ = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display_ != nullptr) WatchConnectionLoss(display_, &lost_);
  }
  ~XConnection() {
    if (display_ != nullptr && !lost_.load()) XCloseDisplay(display_);
  }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // nullptr when there is no usable connection.
  ::Display* get() const { return (display_ != nullptr && !lost_.load()) ? display_ : nullptr; }

  // The cursor's image and position, as XFixesGetCursorImage gives them. The image is fetched
  // only when XFixes reported a change of the displayed cursor since the last fetch (or there is
  // none yet); otherwise the cached image is reused with the pointer's position. That saves a
  // large reply and Xlib's allocation of the image on every frame. The notifications are
  // selected before the first fetch, so no change after it goes unseen: any change that
  // happened before the grab's reply arrived is queued ahead of that reply. The notifications
  // are selected on the first call only, and every call drains them: a connection whose cursor
  // is never asked for queues none.
  bool CursorInto(CursorImage& out) {
    ::Display* dpy = get();
    if (dpy == nullptr) return false;
    if (!fixes_checked_) {
      fixes_checked_ = true;
      int error_base = 0;
      has_fixes_ = XFixesQueryExtension(dpy, &fixes_event_base_, &error_base) != 0;
      if (has_fixes_) {
        XErrorTrap trap(dpy);
        XFixesSelectCursorInput(dpy, DefaultRootWindow(dpy), XFixesDisplayCursorNotifyMask);
      }
    }
    if (!has_fixes_) return false;
    XErrorTrap trap(dpy);
    bool fetch = !cursor_valid_;
    XEvent event;
    while (XCheckTypedEvent(dpy, fixes_event_base_ + XFixesCursorNotify, &event)) fetch = true;
    if (!fetch) {
      Window root = 0, child = 0;
      int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
      unsigned int mask = 0;
      if (XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &root_x, &root_y, &win_x,
                        &win_y, &mask) != 0 &&
          trap.error_code() == 0) {
        cursor_.x = root_x;
        cursor_.y = root_y;
      } else {
        fetch = true;  // the pointer is elsewhere: ask XFixes as before
      }
    }
    if (fetch) {
      cursor_valid_ = false;
      XFixesCursorImage* cursor = XFixesGetCursorImage(dpy);
      if (cursor == nullptr) return false;
      cursor_.x = cursor->x;
      cursor_.y = cursor->y;
      cursor_.width = cursor->width;
      cursor_.height = cursor->height;
      const size_t n = static_cast<size_t>(cursor->width) * cursor->height;
      cursor_.argb.resize(n);
      // The pixels are longs holding 32-bit premultiplied ARGB in their low half.
      for (size_t i = 0; i < n; ++i) cursor_.argb[i] = static_cast<uint32_t>(cursor->pixels[i]);
      XFree(cursor);
      cursor_valid_ = trap.error_code() == 0;
    }
    if (get() == nullptr) {
      cursor_valid_ = false;
      return false;
    }
    out.x = cursor_.x;
    out.y = cursor_.y;
    out.width = cursor_.width;
    out.height = cursor_.height;
    out.argb.assign(cursor_.argb.begin(), cursor_.argb.end());
    return !out.argb.empty();
  }

 private:
  ::Display* display_ = nullptr;
  std::atomic<bool> lost_{false};
  bool fixes_checked_ = false;
  bool has_fixes_ = false;
  int fixes_event_base_ = 0;
  bool cursor_valid_ = false;
  CursorImage cursor_;
};

struct MonitorRect {
  std::u16string name;
  int x = 0, y = 0, width = 0, height = 0;
  int horizontal_resolution = 0;
};

// The width of the CRTC mode behind the monitor's first output, when the CRTC covers exactly the
// monitor (a transform can then make the mode's pixels differ from the desktop's); otherwise the
// monitor's own width, so that only a real scaling counts.
int ModeWidthOf(::Display* dpy, Window root, const XRRMonitorInfo& m) {
  if (m.noutput < 1) return m.width;
  XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, root);
  if (res == nullptr) return m.width;
  int result = m.width;
  XRROutputInfo* out = XRRGetOutputInfo(dpy, res, m.outputs[0]);
  if (out != nullptr && out->crtc != 0) {
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy, res, out->crtc);
    if (crtc != nullptr) {
      if (crtc->x == m.x && crtc->y == m.y && static_cast<int>(crtc->width) == m.width &&
          static_cast<int>(crtc->height) == m.height) {
        for (int i = 0; i < res->nmode; ++i) {
          if (res->modes[i].id != crtc->mode) continue;
          const bool turned = (crtc->rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0;
          result = static_cast<int>(turned ? res->modes[i].height : res->modes[i].width);
          break;
        }
      }
      XRRFreeCrtcInfo(crtc);
    }
  }
  if (out != nullptr) XRRFreeOutputInfo(out);
  XRRFreeScreenResources(res);
  return result;
}

std::vector<MonitorRect> ReadMonitors(::Display* dpy) {
  std::vector<MonitorRect> result;
  if (dpy == nullptr) return result;
  XErrorTrap trap(dpy);
  Window root = DefaultRootWindow(dpy);
  int event_base = 0, error_base = 0;
  if (!XRRQueryExtension(dpy, &event_base, &error_base)) {
    // No RandR: the whole screen is one display.
    MonitorRect r;
    r.name = u"SCREEN";
    r.width = r.horizontal_resolution = DisplayWidth(dpy, DefaultScreen(dpy));
    r.height = DisplayHeight(dpy, DefaultScreen(dpy));
    result.push_back(r);
    return result;
  }
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(dpy, root, True, &count);
  for (int i = 0; monitors != nullptr && i < count; ++i) {
    MonitorRect r;
    char* name = XGetAtomName(dpy, monitors[i].name);
    r.name = FromUtf8(name != nullptr ? name : "");
    if (name != nullptr) XFree(name);
    r.x = monitors[i].x;
    r.y = monitors[i].y;
    r.width = monitors[i].width;
    r.height = monitors[i].height;
    r.horizontal_resolution = ModeWidthOf(dpy, root, monitors[i]);
    result.push_back(std::move(r));
  }
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  return result;
}

// The memory layout of the default visual, or kUnsupported. Depth 24 and 32 come as 32-bit
// little-endian words with red in the high byte, 16 as 5-6-5, 15 as 5-5-5.
PixelFormat FormatOf(::Display* dpy, int* depth_out) {
  const int screen = DefaultScreen(dpy);
  const int depth = DefaultDepth(dpy, screen);
  *depth_out = depth;
  Visual* visual = DefaultVisual(dpy, screen);
  int bits = 0;
  int n = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(dpy, &n);
  for (int i = 0; formats != nullptr && i < n; ++i) {
    if (formats[i].depth == depth) bits = formats[i].bits_per_pixel;
  }
  if (formats != nullptr) XFree(formats);
  if (ImageByteOrder(dpy) != LSBFirst || visual == nullptr) return PixelFormat::kUnsupported;
  const unsigned long r = visual->red_mask, g = visual->green_mask, b = visual->blue_mask;
  if ((depth == 24 || depth == 32) && r == 0xFF0000 && g == 0xFF00 && b == 0xFF) {
    if (bits == 32) return PixelFormat::kBgrx32;
    if (bits == 24) return PixelFormat::kBgr24;
  }
  if (depth == 16 && bits == 16 && r == 0xF800 && g == 0x07E0 && b == 0x1F) {
    return PixelFormat::kRgb565;
  }
  if (depth == 15 && bits == 16 && r == 0x7C00 && g == 0x03E0 && b == 0x1F) {
    return PixelFormat::kRgb555;
  }
  return PixelFormat::kUnsupported;
}

class X11DisplaySource final : public DisplaySource {
 public:
  X11DisplaySource(std::shared_ptr<XConnection> connection, const DisplayMode& mode)
      : connection_(std::move(connection)), mode_(mode) {}

  ~X11DisplaySource() override { FreeImage(); }

  const DisplayMode& mode() const override { return mode_; }

  bool PrepareCapture() override {
    ::Display* dpy = connection_->get();
    if (dpy == nullptr || mode_.width <= 0 || mode_.height <= 0) return false;
    FreeImage();
    if (PrepareShared(dpy)) return true;
    // Plain requests: slower, but they work where shared memory does not (remote displays,
    // another IPC namespace).
    const int screen = DefaultScreen(dpy);
    const int bpp = BytesPerPixel(mode_.format);
    const int stride = ((mode_.width * bpp) + 3) & ~3;
    char* data = static_cast<char*>(std::calloc(static_cast<size_t>(stride) * mode_.height, 1));
    if (data == nullptr) return false;
    image_ = XCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap, 0,
                          data, mode_.width, mode_.height, 32, stride);
    if (image_ == nullptr) {
      std::free(data);
      return false;
    }
    return true;
  }

  bool Grab(PixelView& out) override {
    ::Display* dpy = connection_->get();
    if (dpy == nullptr || image_ == nullptr) return false;
    XErrorTrap trap(dpy);
    bool ok;
    if (shared_) {
      ok = XShmGetImage(dpy, DefaultRootWindow(dpy), image_, mode_.x, mode_.y, AllPlanes) != 0;
    } else {
      ok = XGetSubImage(dpy, DefaultRootWindow(dpy), mode_.x, mode_.y, mode_.width, mode_.height,
                        AllPlanes, ZPixmap, image_, 0, 0) != nullptr;
    }
    // A monitor that left the screen gives BadMatch; a dead server leaves the connection lost.
    if (!ok || trap.error_code() != 0 || connection_->get() == nullptr) return false;
    out.pixels = reinterpret_cast<uint8_t*>(image_->data);
    out.stride = image_->bytes_per_line;
    out.width = mode_.width;
    out.height = mode_.height;
    out.format = mode_.format;
    return true;
  }

  bool GetCursor(CursorImage& out) override { return connection_->CursorInto(out); }

  // A dead server shows only once the connection is used, and a lost desktop stops the grabs:
  // asking for pending events reads the end of the stream when it is there, and the loss
  // handler then marks the connection.
  bool ConnectionLost() const override {
    if (::Display* dpy = connection_->get()) XPending(dpy);
    return connection_->get() == nullptr;
  }

 private:
  bool PrepareShared(::Display* dpy) {
    int major = 0, minor = 0;
    Bool pixmaps = False;
    if (!XShmQueryVersion(dpy, &major, &minor, &pixmaps)) return false;
    const int screen = DefaultScreen(dpy);
    image_ = XShmCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap,
                             nullptr, &segment_, mode_.width, mode_.height);
    if (image_ == nullptr) return false;
    segment_.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image_->bytes_per_line) *
                                             image_->height, IPC_CREAT | 0600);
    if (segment_.shmid < 0) {
      FreeImage();
      return false;
    }
    segment_.shmaddr = image_->data = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
    if (segment_.shmaddr == reinterpret_cast<char*>(-1)) {
      segment_.shmaddr = image_->data = nullptr;
      shmctl(segment_.shmid, IPC_RMID, nullptr);
      FreeImage();
      return false;
    }
    segment_.readOnly = False;
    int error = 0;
    {
      XErrorTrap trap(dpy);
      XShmAttach(dpy, &segment_);
      error = trap.Sync();
    }
    // Marked for removal at once: the segment goes when both sides have detached, even after a
    // crash.
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    if (error != 0) {
      shmdt(segment_.shmaddr);
      segment_.shmaddr = image_->data = nullptr;
      FreeImage();
      return false;
    }
    shared_ = true;
    attached_ = true;
    return true;
  }

  void FreeImage() {
    ::Display* dpy = connection_->get();
    if (attached_) {
      if (dpy != nullptr) {
        XErrorTrap trap(dpy);
        XShmDetach(dpy, &segment_);
        trap.Sync();
      }
      attached_ = false;
    }
    if (shared_ && segment_.shmaddr != nullptr) shmdt(segment_.shmaddr);
    if (image_ != nullptr) {
      if (shared_) {
        image_->data = nullptr;  // the segment is not Xlib's to free
      }
      XDestroyImage(image_);  // frees the data of a plain image
      image_ = nullptr;
    }
    shared_ = false;
    segment_ = {};
  }

  std::shared_ptr<XConnection> connection_;
  DisplayMode mode_;
  XImage* image_ = nullptr;
  XShmSegmentInfo segment_{};
  bool shared_ = false;
  bool attached_ = false;
};

class X11Displays final : public Displays {
 public:
  explicit X11Displays(const std::string& name)
      : connection_(std::make_shared<XConnection>(name)) {}

  std::vector<DisplayDevice> EnumerateDevices() override {
    std::vector<DisplayDevice> devices;
    for (MonitorRect& m : ReadMonitors(connection_->get())) {
      devices.push_back({std::move(m.name), true});
    }
    return devices;
  }

  std::unique_ptr<DisplaySource> Open(const std::u16string& name) override {
    ::Display* dpy = connection_->get();
    if (dpy == nullptr) return nullptr;
    for (const MonitorRect& m : ReadMonitors(dpy)) {
      if (m.name != name) continue;
      DisplayMode mode;
      mode.x = m.x;
      mode.y = m.y;
      mode.width = m.width;
      mode.height = m.height;
      mode.horizontal_resolution = m.horizontal_resolution;
      int depth = 0;
      mode.format = FormatOf(dpy, &depth);
      mode.bits_per_pixel = depth;
      if (mode.format == PixelFormat::kBgrx32) mode.bits_per_pixel = 32;
      return std::make_unique<X11DisplaySource>(connection_, mode);
    }
    return nullptr;
  }

 private:
  std::shared_ptr<XConnection> connection_;
};

class X11InputDesktop final : public InputDesktop {
 public:
  X11InputDesktop(std::string name, std::function<int()> locked_hint)
      : name_(std::move(name)), locked_hint_(std::move(locked_hint)) {}

  bool IsLost() override {
    // A locked session is lost whatever the screen saver says; the hint is a cached value, so
    // asking it on every frame costs nothing. Unknown (-1) leaves it to the screen saver.
    if (locked_hint_ && locked_hint_() == 1) return true;
    if (connection_ == nullptr || connection_->get() == nullptr) {
      connection_ = std::make_unique<XConnection>(name_);
    }
    ::Display* dpy = connection_->get();
    if (dpy == nullptr) return true;
    int event_base = 0, error_base = 0;
    if (!XScreenSaverQueryExtension(dpy, &event_base, &error_base)) return false;
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    if (info == nullptr) return false;
    bool lost = false;
    {
      XErrorTrap trap(dpy);
      if (XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info) != 0 &&
          trap.error_code() == 0) {
        lost = info->state == ScreenSaverOn;
      }
    }
    XFree(info);
    return lost || connection_->get() == nullptr;
  }

 private:
  std::string name_;
  std::function<int()> locked_hint_;
  std::unique_ptr<XConnection> connection_;
};

}  // namespace

std::unique_ptr<Displays> CreateX11Displays(const std::string& display_name) {
  return std::make_unique<X11Displays>(display_name);
}

std::unique_ptr<InputDesktop> CreateX11InputDesktop(const std::string& display_name,
                                                    std::function<int()> locked_hint) {
  return std::make_unique<X11InputDesktop>(display_name, std::move(locked_hint));
}

std::unique_ptr<Displays> CreateDisplays() { return CreateX11Displays(""); }

std::unique_ptr<InputDesktop> CreateInputDesktop() {
  // The login manager's LockedHint of the session on $DISPLAY, kept up to date by its monitor.
  std::shared_ptr<LogindMonitor> logind = LogindMonitor::Acquire();
  return CreateX11InputDesktop("", [logind] { return logind->locked_hint(); });
}

}  // namespace vorla::platform
