// What every implementation of the event log shares: the process-wide log and its test override,
// the sources that the installation registers, the logs that hold them, and the words of the
// event types.
#include "platform/event_log.h"

#include <atomic>

namespace vorla::platform {
namespace {

std::atomic<EventLog*> g_log_override{nullptr};

struct Registration {
  std::string_view source;
  std::string_view log;
};
constexpr Registration kRegisteredSources[] = {
    {"VorlaWSApp", "VorlaOperations"},
    {"VorlaWSDebug", "VorlaRuntime"},
};

}  // namespace

std::string_view RegisteredEventLogName(std::string_view source) {
  for (const auto& r : kRegisteredSources)
    if (r.source == source) return r.log;
  return {};
}

std::u16string EventLogNameForSource(std::u16string_view source) {
  std::string ascii;
  for (char16_t c : source) {
    if (c > 0x7F) return std::u16string(source);  // the registered names are ASCII
    ascii.push_back(static_cast<char>(c));
  }
  const std::string_view log = RegisteredEventLogName(ascii);
  if (log.empty()) return std::u16string(source);
  return std::u16string(log.begin(), log.end());
}

const char* EventTypeWord(uint16_t type) {
  switch (type) {
    case 1: return "ERROR";
    case 2: return "WARNING";
    case 4: return "INFORMATION";
    case 8: return "AUDIT_SUCCESS";
    case 16: return "AUDIT_FAILURE";
    default: return nullptr;
  }
}

EventLog& GetEventLog() {
  EventLog* o = g_log_override.load(std::memory_order_acquire);
  return o ? *o : SystemEventLog();
}

void SetEventLogForTesting(EventLog* log) { g_log_override.store(log, std::memory_order_release); }

}  // namespace vorla::platform
