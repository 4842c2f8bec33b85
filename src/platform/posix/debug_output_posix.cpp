#include <unistd.h>

#include <string>

#include "common/text.h"
#include "platform/posix/fd_io.h"
#include "platform/system_output.h"

namespace vorla::platform::system_output {

// Linux has no debugger channel: a debugger reads the standard error the switch turns on.
void ToDebugger(std::u16string_view) {}

void ToStandard(Stream stream, std::u16string_view text) {
  const std::string bytes = ToUtf8(text);
  posix::WriteAll(stream == Stream::kOutput ? STDOUT_FILENO : STDERR_FILENO, bytes.data(),
                  bytes.size());
}

}  // namespace vorla::platform::system_output
