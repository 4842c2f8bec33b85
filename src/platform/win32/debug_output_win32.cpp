// The debugger channel (OutputDebugStringW) and the standard streams of Windows.
#include <windows.h>

#include <string>

#include "common/text.h"
#include "platform/system_output.h"

namespace vorla::platform::system_output {
namespace {

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

void ToDebugger(std::u16string_view text) {
  const std::u16string s(text);
  OutputDebugStringW(reinterpret_cast<const wchar_t*>(s.c_str()));
}

void ToStandard(Stream stream, std::u16string_view text) {
  WriteStandard(stream == Stream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, text);
}

}  // namespace vorla::platform::system_output
