#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/text.h"
#include "platform/debug_output.h"
#include "platform/posix/fd_io.h"

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
  if (DebugToStderr()) {
    // A debugger shows each output as its own line; keep that on a terminal.
    std::string s = ToUtf8(text);
    if (s.empty() || s.back() != '\n') s.push_back('\n');
    posix::WriteAll(STDERR_FILENO, s.data(), s.size());
  }
}

void ConsoleOutput(std::u16string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_console_sink) {
    g_console_sink(text);
    return;
  }
  const std::string out = ToUtf8(text);
  posix::WriteAll(STDOUT_FILENO, out.data(), out.size());
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
