// The calling thread's last error value, as the system's own calls report it.
#pragma once

#include <cstdint>

namespace vorla::platform {

uint32_t GetLastError();
void SetLastError(uint32_t error);

// Error values the system shows in its texts.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr uint32_t kErrorServiceExists = 1073;
inline constexpr uint32_t kErrorServiceRequestTimeout = 1053;

}  // namespace vorla::platform
