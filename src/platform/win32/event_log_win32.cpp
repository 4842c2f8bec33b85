// Event-log records through the system's event log. Every record opens and closes its own source
// handle: nothing is cached. Which log a source writes to, and the message file that renders its
// records, are the installation's registration of the source; a source nobody registered ends
// up in the Application log.
#include "platform/win32/event_log_win32.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "common/text.h"
#include "platform/event_log.h"

namespace vorla::platform {
namespace win32 {
namespace {

constexpr wchar_t kEchoVariable[] = L"VORLA_EVENT_LOG_ECHO";

const wchar_t* Wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

size_t Length(const char16_t* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Builds the echo line into `out` (no allocation); 0 when it does not fit.
size_t BuildEchoLine(char* out, size_t cap, const char16_t* source, uint16_t type,
                     uint32_t event_id, const char* result, uint32_t error, const char16_t* text) {
  size_t n = 0;
  auto put = [&](const char* s, size_t len) {
    if (len > cap - n) return false;
    std::memcpy(out + n, s, len);
    n += len;
    return true;
  };
  auto put_number = [&](uint32_t v) {
    char rev[10];
    size_t len = 0;
    do {
      rev[len++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    char digits[10];
    for (size_t i = 0; i < len; ++i) digits[i] = rev[len - 1 - i];
    return put(digits, len);
  };
  // UTF-8, with every line break (CR LF, LF or CR) as the two characters "\n".
  auto put_text = [&](const char16_t* s) {
    const std::u16string_view v(s, Length(s));
    char bytes[4];
    for (size_t i = 0; i < v.size();) {
      if (v[i] == u'\r' || v[i] == u'\n') {
        i += (v[i] == u'\r' && i + 1 < v.size() && v[i + 1] == u'\n') ? 2 : 1;
        if (!put("\\n", 2)) return false;
        continue;
      }
      if (!put(bytes, EncodeUtf8CodePoint(v, i, bytes))) return false;
    }
    return true;
  };
  static const char kHex[] = "0123456789ABCDEF";
  char id[10] = {'0', 'x'};
  for (int i = 0; i < 8; ++i) id[2 + i] = kHex[(event_id >> (28 - 4 * i)) & 0xF];
  const char* word = EventTypeWord(type);
  const bool ok = put_text(source) && put("\t", 1) &&
                  (word ? put(word, std::strlen(word)) : put_number(type)) && put("\t", 1) &&
                  put(id, sizeof(id)) && put("\t", 1) && put(result, std::strlen(result)) &&
                  (error == 0 || (put(" ", 1) && put_number(error))) && put("\t", 1) &&
                  (text == nullptr || put_text(text)) && put("\n", 1);
  return ok ? n : 0;
}

// Appends the line to the file VORLA_EVENT_LOG_ECHO names, if it names one. One append per line,
// so that the records of several processes stay whole.
void AppendEcho(const char* line, size_t len) {
  wchar_t path[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableW(kEchoVariable, path, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2 || len == 0) return;
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(len), &written, nullptr);
  CloseHandle(file);
}

bool EchoWanted() { return GetEnvironmentVariableW(kEchoVariable, nullptr, 0) > 0; }

// The record as ReportToEventLog makes it. With `seen`, also copies out the arguments exactly as
// they went to the system and what came back. With `echo`, the echo line is built there.
bool Report(const char16_t* source, uint16_t type, uint32_t event_id, const char16_t* text,
            ReportedEvent* seen, char* echo, size_t echo_cap) {
  const WORD category = 0;
  const WORD count = text ? 3 : 0;
  const wchar_t* strings[3] = {Wide(text), L"", L""};
  const wchar_t** passed = text ? strings : nullptr;
  bool ok = false;
  DWORD error = 0;
  HANDLE log = RegisterEventSourceW(nullptr, Wide(source));
  if (log == nullptr) {
    error = ::GetLastError();
  } else {
    ok = ReportEventW(log, type, category, event_id, nullptr, count, 0, passed, nullptr) != FALSE;
    error = ok ? ERROR_SUCCESS : ::GetLastError();
    DeregisterEventSource(log);
  }
  if (seen) {
    seen->source = source;
    if (log != nullptr) {
      seen->type = type;
      seen->category = category;
      seen->event_id = event_id;
      for (WORD i = 0; i < count; ++i)
        seen->strings.emplace_back(reinterpret_cast<const char16_t*>(passed[i]));
    }
    seen->source_opened = log != nullptr;
    seen->reported = ok;
    seen->error = error;
  }
  if (echo) {
    const char* result = log == nullptr ? "no source" : (ok ? "reported" : "failed");
    AppendEcho(echo, BuildEchoLine(echo, echo_cap, source, type, event_id, result, error, text));
  }
  ::SetLastError(error);
  return ok;
}

std::mutex g_observer_mutex;
std::function<void(const ReportedEvent&)> g_observer;
std::atomic<bool> g_observed{false};

// The crash path's echo buffer; a second caller at the same time goes without an echo.
char g_crash_echo[32768];
std::atomic_flag g_crash_echo_busy = ATOMIC_FLAG_INIT;

}  // namespace

bool ReportToEventLog(const char16_t* source, uint16_t type, uint32_t event_id,
                      const char16_t* text) {
  const bool echo = EchoWanted() && !g_crash_echo_busy.test_and_set();
  const bool ok = Report(source, type, event_id, text, nullptr, echo ? g_crash_echo : nullptr,
                         sizeof(g_crash_echo));
  if (echo) {
    const DWORD error = ::GetLastError();
    g_crash_echo_busy.clear();
    ::SetLastError(error);
  }
  return ok;
}

void SetReportObserverForTesting(std::function<void(const ReportedEvent&)> observer) {
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_observed.store(static_cast<bool>(observer));
  g_observer = std::move(observer);
}

}  // namespace win32

namespace {

class ReportingEventLog final : public EventLog {
 public:
  bool Write(const EventLogRecord& record) override {
    const std::u16string source(record.source);
    const std::u16string text(record.text);
    const char16_t* insertion = record.text.data() ? text.c_str() : nullptr;
    // Each UTF-16 unit takes at most three bytes of UTF-8, a line break at most two.
    std::string echo;
    if (win32::EchoWanted()) echo.resize(3 * (source.size() + text.size()) + 64);
    if (!win32::g_observed.load())
      return win32::Report(source.c_str(), record.type, record.code, insertion, nullptr,
                           echo.empty() ? nullptr : echo.data(), echo.size());
    win32::ReportedEvent seen;
    const bool ok = win32::Report(source.c_str(), record.type, record.code, insertion, &seen,
                                  echo.empty() ? nullptr : echo.data(), echo.size());
    std::function<void(const win32::ReportedEvent&)> observer;
    {
      std::lock_guard<std::mutex> lock(win32::g_observer_mutex);
      observer = win32::g_observer;
    }
    if (observer) observer(seen);
    ::SetLastError(seen.error);
    return ok;
  }
};

}  // namespace

EventLog& SystemEventLog() {
  static ReportingEventLog log;
  return log;
}

}  // namespace vorla::platform
