// Debug output through the system's debugger channel (OutputDebugStringW), echoed to standard
// error when VORLA_DEBUG_OUTPUT is "1"; console output to standard output.
#include <windows.h>

#include <mutex>
#include <string>
#include <utility>

#include "common/text.h"
#include "platform/debug_output.h"

namespace vorla::platform {
namespace {

std::mutex g_mutex;
TextSink g_debug_sink;
TextSink g_console_sink;

bool DebugToStderr() {
  wchar_t v[4];
  return GetEnvironmentVariableW(L"VORLA_DEBUG_OUTPUT", v, 4) == 1 && v[0] == L'1';
}

// A console shows UTF-16 as it is (UTF-8 bytes would be read in its code page); a file or a pipe
// gets UTF-8.
void WriteStandard(DWORD which, std::u16string_view text) {
  const HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  if (GetConsoleMode(h, &mode)) {
    const auto* p = reinterpret_cast<const wchar_t*>(text.data());
    size_t left = text.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = left > 8192 ? 8192 : static_cast<DWORD>(left);
      if (!WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    return;
  }
  const std::string bytes = ToUtf8(text);
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

}  // namespace

void DebugOutput(std::u16string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_debug_sink) g_debug_sink(text);
  const std::u16string s(text);
  OutputDebugStringW(reinterpret_cast<const wchar_t*>(s.c_str()));
  if (DebugToStderr()) {
    // A debugger shows each output as its own line; keep that on a terminal.
    if (s.empty() || s.back() != u'\n') {
      WriteStandard(STD_ERROR_HANDLE, s + u'\n');
    } else {
      WriteStandard(STD_ERROR_HANDLE, s);
    }
  }
}

void ConsoleOutput(std::u16string_view text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_console_sink) {
    g_console_sink(text);
    return;
  }
  WriteStandard(STD_OUTPUT_HANDLE, text);
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
