#include <windows.h>

#include <memory>
#include <string>

#include "platform/threads.h"

namespace vorla::platform {
namespace {

struct Start {
  OsThread::Entry entry = nullptr;
  void* arg = nullptr;
};

DWORD WINAPI Trampoline(void* p) {
  std::unique_ptr<Start> start(static_cast<Start*>(p));
  return start->entry(start->arg);
}

// The system keeps the exit code with the thread object, so the handle alone answers every
// question after the thread has ended.
class WindowsThread final : public OsThread {
 public:
  WindowsThread(HANDLE handle, DWORD id) : handle_(handle), id_(id) {}
  ~WindowsThread() override { CloseHandle(handle_); }
  uint32_t id() const override { return id_; }
  bool IsActive() const override { return WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }
  uint32_t ExitCode() const override {
    DWORD code = kStillActive;
    return GetExitCodeThread(handle_, &code) ? code : kStillActive;
  }
  bool SetPriority(int32_t priority) override {
    return SetThreadPriority(handle_, priority) != 0;
  }

 private:
  HANDLE handle_;
  DWORD id_;
};

}  // namespace

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

std::unique_ptr<OsThread> OsThread::Create(Entry entry, void* arg, uint32_t stack_size) {
  auto* start = new Start{entry, arg};
  DWORD id = 0;
  HANDLE handle = CreateThread(nullptr, stack_size, &Trampoline, start,
                               stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
  if (handle == nullptr) {
    delete start;
    return nullptr;
  }
  return std::make_unique<WindowsThread>(handle, id);
}

void SetCurrentThreadName(std::u16string_view name) {
  // SetThreadDescription came late to the system: looked up, and skipped where it is missing.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set_description == nullptr) return;
  const std::u16string text(name);
  set_description(GetCurrentThread(), reinterpret_cast<const wchar_t*>(text.c_str()));
}

}  // namespace vorla::platform
