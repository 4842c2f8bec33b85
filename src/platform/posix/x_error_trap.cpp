#include "platform/posix/x_error_trap.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vorla::platform {

// The one process-wide Xlib error handler while any trap exists, and the stack of live traps.
// The handler runs on the thread that made the failing request, without Xlib's global lock, so
// taking our mutex there cannot deadlock against XSetErrorHandler.
struct XErrorTrapRegistry {
  static XErrorTrapRegistry& Get() {
    static XErrorTrapRegistry registry;
    return registry;
  }

  static int Handler(Display* display, XErrorEvent* event) {
    XErrorHandler forward = nullptr;
    {
      XErrorTrapRegistry& registry = Get();
      std::lock_guard lock(registry.mutex);
      for (auto it = registry.traps.rbegin(); it != registry.traps.rend(); ++it) {
        if ((*it)->display_ == display) {
          if ((*it)->error_code_ == 0) (*it)->error_code_ = event->error_code;
          return 0;
        }
      }
      forward = registry.previous;
    }
    // Not ours: hand it on, except to Xlib's default handler, which exits the process.
    if (forward != nullptr && forward != Handler) return forward(display, event);
    return 0;
  }

  void Add(XErrorTrap* trap) {
    std::lock_guard lock(mutex);
    if (traps.empty()) {
      // Setting null restores Xlib's default handler and returns the one in place; the next set
      // returns the default's own address. Forwarding to the default would exit the process.
      XErrorHandler old = XSetErrorHandler(nullptr);
      XErrorHandler default_handler = XSetErrorHandler(Handler);
      previous = (old == default_handler) ? nullptr : old;
    }
    traps.push_back(trap);
  }

  void Remove(XErrorTrap* trap) {
    std::lock_guard lock(mutex);
    auto it = std::find(traps.begin(), traps.end(), trap);
    if (it != traps.end()) traps.erase(it);
    if (traps.empty()) XSetErrorHandler(previous);
  }

  int Code(const XErrorTrap* trap) {
    std::lock_guard lock(mutex);
    return trap->error_code_;
  }

  std::mutex mutex;
  std::vector<XErrorTrap*> traps;
  XErrorHandler previous = nullptr;
};

XErrorTrap::XErrorTrap(Display* display) : display_(display) {
  XErrorTrapRegistry::Get().Add(this);
}

XErrorTrap::~XErrorTrap() { XErrorTrapRegistry::Get().Remove(this); }

int XErrorTrap::error_code() const { return XErrorTrapRegistry::Get().Code(this); }

namespace {
void NoteConnectionLost(Display*, void* flag) {
  static_cast<std::atomic<bool>*>(flag)->store(true);
}
// Xlib's default I/O error handler exits before the per-display exit handler is consulted, so a
// returning one is installed once for the process.
int ReturnFromIoError(Display*) { return 0; }
}  // namespace

void WatchConnectionLoss(Display* display, std::atomic<bool>* lost) {
  static std::once_flag once;
  std::call_once(once, [] { XSetIOErrorHandler(ReturnFromIoError); });
  XSetIOErrorExitHandler(display, NoteConnectionLost, lost);
}

int XErrorTrap::Sync() {
  if (display_ != nullptr) XSync(display_, False);
  return error_code();
}

}  // namespace vorla::platform
