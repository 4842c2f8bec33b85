// Debug and console output: the sinks and the environment switch are the same on every system;
// how text reaches the debugger and the standard streams is each system's (system_output.h).
#include "platform/debug_output.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/system_output.h"

namespace vorla::platform {
namespace {

std::mutex g_mutex;
TextSink g_debug_sink;
TextSink g_console_sink;

bool DebugToStderr() {
  const char* v = std::getenv("VORLA_DEBUG_OUTPUT");
  return v && std::strcmp(v, "1") == 0;
}

}  // namespace

void DebugOutput(std::u16string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_debug_sink) g_debug_sink(text);
  system_output::ToDebugger(text);
  if (DebugToStderr()) {
    // A debugger shows each output as its own line; keep that on a terminal.
    if (text.empty() || text.back() != u'\n') {
      system_output::ToStandard(system_output::Stream::kError, std::u16string(text) + u'\n');
    } else {
      system_output::ToStandard(system_output::Stream::kError, text);
    }
  }
}

void ConsoleOutput(std::u16string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_console_sink) {
    g_console_sink(text);
    return;
  }
  system_output::ToStandard(system_output::Stream::kOutput, text);
}

void SetDebugOutputSink(TextSink sink) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_debug_sink = std::move(sink);
}

void SetConsoleSinkForTesting(TextSink sink) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_console_sink = std::move(sink);
}

}  // namespace vorla::platform
