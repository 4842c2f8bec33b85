// The named single-instance mutex: proves that this is the only running instance for a console
// or a remote client.
//
// On Linux it is an exclusive flock on "<runtime folder>/<name>.lock", on Windows a named kernel
// mutex. The system releases either when the holder's handle closes, however the process ends, so
// a crashed instance never blocks its successor. A second claim of the same name fails, also
// inside one process.
#pragma once

#include <memory>
#include <string_view>

namespace vorla::platform {

class InstanceMutex {
 public:
  virtual ~InstanceMutex() = default;  // releases the claim
};

// The claim, or nullptr when another holder has it or the lock file cannot be made (the two
// cases are one failure to the caller). "\" and "/" in `name` become "_" in the lock file's
// name; a mutex keeps "\", its namespace separator.
std::unique_ptr<InstanceMutex> ClaimInstanceMutex(std::u16string_view name);

}  // namespace vorla::platform
