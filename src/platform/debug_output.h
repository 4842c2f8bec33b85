// Debug output (the developer trace) and console output.
//
// Debug output goes to standard error when the environment variable VORLA_DEBUG_OUTPUT is "1",
// and always to the sink a test has installed. Console output goes to standard output as UTF-8,
// or to the installed sink instead. Both are thread-safe and never fail towards the caller.
#pragma once

#include <functional>
#include <string_view>

namespace vorla::platform {

using TextSink = std::function<void(std::u16string_view)>;

void DebugOutput(std::u16string_view text);
void ConsoleOutput(std::u16string_view text);

// Installs a sink (an empty function removes it). The sink is called under a lock, one call per
// output, and must not write debug or console output itself.
void SetDebugOutputSink(TextSink sink);
void SetConsoleSinkForTesting(TextSink sink);

}  // namespace vorla::platform
