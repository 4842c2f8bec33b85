#include "common/logging.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "common/message_table.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/event_log.h"
#include "platform/threads.h"

namespace vorla {
namespace {

constexpr char16_t kAppSuffix[] = u"App";
constexpr char16_t kDebugSuffix[] = u"Debug";

std::atomic<int32_t> g_threshold{2};
std::u16string g_tag;

// The base name, and a UTF-8 copy of it that the crash handler reads without locking: a new
// name goes into the buffer not in use, then the index flips.
std::mutex g_name_mutex;
std::u16string g_base_name;
char g_name_utf8[2][512];
std::atomic<int> g_name_index{0};

struct ThrottleEntry {
  int64_t last;
  uint32_t count;
};
std::mutex g_throttle_mutex;
std::map<uint32_t, ThrottleEntry> g_throttle;

// The repetition throttle: the first eleven records of a code pass, later ones need more than
// count * count seconds since the last one, and a new local calendar day resets the count.
bool ThrottleAdmits(Status code) {
  auto& clock = platform::GetClock();
  const int64_t now = clock.WallSeconds();
  std::lock_guard<std::mutex> lock(g_throttle_mutex);
  auto it = g_throttle.find(code);
  if (it == g_throttle.end()) {
    g_throttle.emplace(code, ThrottleEntry{now, 1});
    return true;
  }
  ThrottleEntry& e = it->second;
  const bool admit = e.count <= 10 ||
                     static_cast<uint32_t>(now - e.last) > static_cast<uint32_t>(e.count * e.count);
  if (clock.LocalTime(now).day != clock.LocalTime(e.last).day) e.count = 0;
  if (!admit) return false;
  e.last = now;
  ++e.count;
  return true;
}

void AppendTag(std::u16string& text) {
  if (g_tag.empty()) return;
  text += u'[';
  text += g_tag;
  text += u"] ";
}

void LogReport(Status code, std::u16string text, uint16_t type) {
  LogEvent(code, text, type);
  platform::ConsoleOutput(FormatString(u"Err: 0x%08X: %s\n", code, text));
  platform::DebugOutput(text);
}

}  // namespace

WindowsEventLogger& WindowsEventLogger::Instance() {
  static WindowsEventLogger logger;
  return logger;
}

WindowsEventLogger::WindowsEventLogger() = default;
WindowsEventLogger::~WindowsEventLogger() = default;

void WindowsEventLogger::SetSourceName(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(g_name_mutex);
  g_base_name = name;
  const int next = 1 - g_name_index.load();
  ToUtf8Buffer(name, g_name_utf8[next], sizeof(g_name_utf8[next]));
  g_name_index.store(next);
}

std::u16string WindowsEventLogger::SourceName() const {
  std::lock_guard<std::mutex> lock(g_name_mutex);
  return g_base_name;
}

void WindowsEventLogger::CopySourceNameNoAlloc(bool app, char* out, size_t cap) const {
  if (cap == 0) return;
  const char* base = g_name_utf8[g_name_index.load()];
  const char* suffix = app ? "App" : "Debug";
  size_t n = 0;
  for (const char* p = base; *p && n + 1 < cap; ++p) out[n++] = *p;
  for (const char* p = suffix; *p && n + 1 < cap; ++p) out[n++] = *p;
  out[n] = '\0';
}

void WindowsEventLogger::WriteAppEvent(uint16_t type, Status code, std::u16string_view text) {
  Write(kAppSuffix, type, code, text);
}

void WindowsEventLogger::WriteDebugEvent(uint16_t type, Status code, std::u16string_view text) {
  Write(kDebugSuffix, type, code, text);
}

void WindowsEventLogger::Write(std::u16string_view suffix, uint16_t type, Status code,
                               std::u16string_view text) {
  std::u16string source = SourceName();
  source += suffix;
  const std::u16string rendered = RenderEventMessage(code, text);
  platform::GetEventLog().Write({source, type, code, rendered});
}

void LogEvent(Status code, std::u16string text, uint16_t type) {
  if (!ThrottleAdmits(code)) return;
  AppendTag(text);
  WindowsEventLogger::Instance().WriteDebugEvent(type, code, text);
}

void LogStatus(Status code, std::u16string text, uint16_t type, int32_t level) {
  if (level < g_threshold.load(std::memory_order_relaxed)) return;
  LogReport(code, std::move(text), type);
}

bool LogIfFailed(bool ok, Status code, std::u16string text, int32_t level, uint16_t type) {
  if (!ok && level >= g_threshold.load(std::memory_order_relaxed))
    LogReport(code, std::move(text), type);
  return ok;
}

void LogOperation(Status code, std::u16string text, uint16_t type, int32_t level) {
  if (level < g_threshold.load(std::memory_order_relaxed)) return;
  AppendTag(text);
  WindowsEventLogger::Instance().WriteAppEvent(type, code, text);
}

int32_t GetLogThreshold() { return g_threshold.load(std::memory_order_relaxed); }
void SetLogThreshold(int32_t threshold) { g_threshold.store(threshold, std::memory_order_relaxed); }

const std::u16string& GetLogTag() { return g_tag; }
void SetLogTag(std::u16string tag) { g_tag = std::move(tag); }

void DebugTraceArgs(std::u16string_view service, std::u16string_view format,
                    std::span<const FormatArg> args) {
  // One line of at most 1,024 characters, its line break included.
  constexpr size_t kLine = 1024;
  std::u16string line = FormatString(u"[%s](%lu): ", service, platform::CurrentThreadId());
  if (line.size() > kLine - 1) line.resize(kLine - 1);
  line += FormatStringArgs(format, args, kLine - 1 - line.size());
  line += u'\n';
  platform::DebugOutput(line);
}

void ResetLoggingForTesting() {
  {
    std::lock_guard<std::mutex> lock(g_throttle_mutex);
    g_throttle.clear();
  }
  g_threshold.store(2);
  g_tag.clear();
  WindowsEventLogger::Instance().SetSourceName(u"");
}

}  // namespace vorla
