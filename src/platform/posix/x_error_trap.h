// A scoped X error handler, private to the X11 implementations in posix/.
#pragma once

#include <X11/Xlib.h>

#include <atomic>

namespace vorla::platform {

// While an XErrorTrap exists, X protocol errors for its display are recorded in it instead of
// reaching Xlib's default handler (which would end the process). Traps may nest and may live on
// several threads at once: an error goes to the innermost trap of its display. Errors of displays
// without a trap go to the handler that was installed before the first trap (unless that is
// Xlib's default, in which case they are ignored).
// Errors arrive asynchronously: call Sync() to see the errors of the requests made so far.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // The error code (BadWindow, BadAccess, ...) of the first error seen since construction;
  // 0 (Success) when none.
  int error_code() const;
  // XSync, then error_code().
  int Sync();

 private:
  friend struct XErrorTrapRegistry;
  Display* display_;
  int error_code_ = 0;  // guarded by the registry's mutex
};

// Keeps Xlib from ending the process when the server behind `display` goes away: `*lost` is set
// instead (it must outlive the connection). Call right after XOpenDisplay, before any request.
// Once `*lost` is set the Display must never be used again, not even closed: leak it.
void WatchConnectionLoss(Display* display, std::atomic<bool>* lost);

}  // namespace vorla::platform
