// Private to the platform layer: how each system shows text, under debug_output.cpp's sinks and
// lock.
#pragma once

#include <string_view>

namespace vorla::platform::system_output {

// Hands the text to the system's debugger channel (nothing where the system has none).
void ToDebugger(std::u16string_view text);

enum class Stream { kOutput, kError };
// Writes the text to standard output or standard error, encoded as the system shows it there.
// Never fails towards the caller.
void ToStandard(Stream stream, std::u16string_view text);

}  // namespace vorla::platform::system_output
