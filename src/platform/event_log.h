// Writing event-log records.
//
// On Linux an event log is a text file <event-log folder>/<log name>.log with one record per
// line (the format is in docs/event-log-format.md). The registered sources "VorlaWSApp" and
// "VorlaWSDebug" write to the logs "VorlaOperations" and "VorlaRuntime"; any other source writes
// to a log of its own name. Every record opens, appends and closes its file: nothing is cached.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorla::platform {

struct EventLogRecord {
  std::u16string_view source;
  uint16_t type = 0;         // EVENTLOG_ERROR_TYPE, ... (common/status_codes.h)
  uint32_t code = 0;         // the event identifier
  std::u16string_view text;  // the message as rendered from the message table
};

class EventLog {
 public:
  virtual ~EventLog() = default;
  // False when the record was dropped (the log could not be written); callers ignore it.
  // Thread-safe.
  virtual bool Write(const EventLogRecord& record) = 0;
};

// The process-wide event log (the system's unless a test installed another).
EventLog& GetEventLog();
// The system's own log: the files on Linux, ReportEventW on Windows.
EventLog& SystemEventLog();
void SetEventLogForTesting(EventLog* log);

// The log that a source writes to.
std::u16string EventLogNameForSource(std::u16string_view source);

// The log of a registered source, empty for any other. No allocation (the crash path's writer
// uses it).
std::string_view RegisteredEventLogName(std::string_view source);

// The event type as written in a record line: "ERROR", "WARNING", "INFORMATION",
// "AUDIT_SUCCESS", "AUDIT_FAILURE"; nullptr for any other value (written as its decimal number).
const char* EventTypeWord(uint16_t type);

}  // namespace vorla::platform
