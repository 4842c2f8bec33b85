// Private to the Windows platform layer: a kernel handle closed on every path.
#pragma once

#include <windows.h>

namespace vorla::platform::win32 {

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr; }
  // Closes the old handle and keeps `h` (INVALID_HANDLE_VALUE counts as none).
  void Adopt(HANDLE h) {
    Close();
    h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
  }
  // Closes now and reports whether the close succeeded (a failed close can lose written data).
  bool Close() {
    if (!h_) return true;
    const bool ok = CloseHandle(h_) != FALSE;
    h_ = nullptr;
    return ok;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace vorla::platform::win32
