// Private to the Windows platform layer: the one place that reports to the system's event log,
// and two ways for tests to see what it reported (the system keeps its logs out of reach of a
// test, and Wine keeps nothing at all):
// - in the process, an observer of every record that GetEventLog() writes;
// - across processes (a service started by the service manager, a crashed child), the echo file
//   that the environment variable VORLA_EVENT_LOG_ECHO names (a Windows path; under Wine a Unix
//   folder is reached through Z:). Every record, the crash path's included, appends one UTF-8 line
//     <source> TAB <type> TAB 0x<event id, 8 hex digits> TAB <result> TAB <first insertion> LF
//   with the type as event_log.h's EventTypeWord (else its decimal value), the result "reported",
//   "failed <error>" (ReportEventW refused it) or "no source <error>" (RegisterEventSourceW
//   did), and line breaks inside the text written as the two characters "\n".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorla::platform::win32 {

// One record through RegisterEventSourceW + ReportEventW (category 0, no user, no raw data) +
// DeregisterEventSource. `text` nullptr reports no insertion strings; otherwise the insertion
// strings are the text and two empty strings. No allocation on this side of the system calls, so
// that the crash path can use it (its echo line is built in a static buffer; a second call at the
// same moment goes without one). False when the source could not be opened or the report failed;
// the last error then says why.
bool ReportToEventLog(const char16_t* source, uint16_t type, uint32_t event_id,
                      const char16_t* text);

// What one ReportToEventLog call of EventLog::Write passed and got back.
struct ReportedEvent {
  std::u16string source;
  uint16_t type = 0;
  uint16_t category = 0;
  uint32_t event_id = 0;
  std::vector<std::u16string> strings;  // the insertion strings
  bool source_opened = false;           // RegisterEventSourceW gave a handle
  bool reported = false;                // ReportEventW's result (false when not called)
  uint32_t error = 0;                   // the last error when either failed, else 0
};

// Test support: called after every record that GetEventLog()'s system log writes, on the writing
// thread and under no lock of the log's (an empty function removes it). The crash path does not
// call it.
void SetReportObserverForTesting(std::function<void(const ReportedEvent&)> observer);

}  // namespace vorla::platform::win32
