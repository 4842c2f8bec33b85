#include <windows.h>

#include <string>

#include "platform/instance_mutex.h"

namespace vorla::platform {
namespace {

class NamedMutex final : public InstanceMutex {
 public:
  explicit NamedMutex(HANDLE handle) : handle_(handle) {}
  ~NamedMutex() override { CloseHandle(handle_); }

 private:
  HANDLE handle_;
};

}  // namespace

// A named kernel mutex: the system destroys it with its last handle, however the holder ended.
// Opening a name that exists (in this process or another) is the other holder's claim. Only "/"
// is replaced: "\" separates the kernel namespace ("Global\...") from the name.
std::unique_ptr<InstanceMutex> ClaimInstanceMutex(std::u16string_view name) {
  std::u16string object(name);
  for (char16_t& c : object)
    if (c == u'/') c = u'_';
  HANDLE handle = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(object.c_str()));
  if (handle == nullptr) return nullptr;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<NamedMutex>(handle);
}

}  // namespace vorla::platform
