#include <windows.h>

#include "platform/last_error.h"

namespace vorla::platform {
uint32_t GetLastError() { return ::GetLastError(); }
void SetLastError(uint32_t error) { ::SetLastError(error); }
}  // namespace vorla::platform
