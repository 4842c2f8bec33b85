#include "platform/last_error.h"

namespace vorla::platform {
namespace {
thread_local uint32_t t_last_error = 0;
}
uint32_t GetLastError() { return t_last_error; }
void SetLastError(uint32_t error) { t_last_error = error; }
}  // namespace vorla::platform
