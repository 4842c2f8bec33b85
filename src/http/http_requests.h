// The local HTTP interface's request handling: from one request (method, target, body) to its
// reply, with no socket in sight. The listener (http_listener.h) only moves bytes and calls these
// functions, so every reply is tested and fuzzed in memory.
//
// Resources live under the path prefix "/Workstation/" (matched without regard to a-z case, as
// URL prefixes are); below it the controller is chosen by a case-sensitive search anywhere in
// the decoded path:
//   GET     ...Ping...              200 "Server OK", the liveness text
//   POST    ...RecordingControl...  200 "OK", the JSON answer of the trigger call
//   OPTIONS anything                204 "No Content"
//   others                          400 / 503 replies, see http_requests.cpp
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/status_codes.h"

namespace vorla {

// A request (headers and body together) larger than this is refused with 413.
inline constexpr size_t kHttpRequestLimit = 4960;

// The trigger name every RecordingControl call passes: a stop ends every active external event.
inline constexpr std::u16string_view kHttpTriggerName = u"DEF_EXT_TRIGGER";

// What RecordingControl hands back from the controller's external trigger.
struct TriggerEvent {
  std::u16string event_id;
  uint64_t start_time_ms = 0;  // ms since 1970 UTC
  uint64_t end_time_ms = 0;
  uint64_t recorded_bytes = 0;
};

// The controller's ExternalTrigger(mode, out event, trigger name) -> status. mode: 3 start
// blanked, 1 start, 0 stop. Called on the HTTP thread; the controller serialises it with its own
// loop.
using ExternalTriggerCall =
    std::function<Status(uint32_t mode, TriggerEvent& event, const std::u16string& trigger_name)>;

struct HttpReply {
  int status = 0;
  std::string reason;        // the reason phrase of the status line
  std::string content_type;  // always sent
  std::string body;
  // Further headers (the CORS pair), in order; Content-Length and Connection are the listener's.
  std::vector<std::pair<std::string, std::string>> headers;
  // False: no reply at all for this request (the connection is closed instead).
  bool send = true;
};

// Handles one request. `target` is the request target as it came (origin form, or absolute form
// with scheme and authority); an empty `body` counts as no body. `trigger` is called at most once,
// on the calling thread, and only for a RecordingControl POST with a readable JSON body (an empty
// function gives the result 0xC0000FA0). With `cors` every reply carries
// "Access-Control-Allow-Origin: *" and "Access-Control-Allow-Methods: *". Writes the debug-output
// line "<START|Stop> rec res=0, id=<event>\n" after a successful trigger. Throws nothing of its
// own; `trigger` must not throw either.
HttpReply HandleHttpRequest(std::string_view method, std::string_view target, std::string_view body,
                            bool cors, const ExternalTriggerCall& trigger,
                            const std::u16string& workstation_name);

// The replies the listener sends on its own: 400 "Bad Request" (the bytes are no HTTP request),
// 413 "Request Entity Too Large" (over kHttpRequestLimit); text/html, no body, the CORS headers
// when switched on. Other statuses give 400.
HttpReply TransportReply(int status, bool cors);

// The time format of the answer: "%Y-%m-%dT%H:%M:%S.00Z" in UTC of `ms` since 1970 (the
// milliseconds themselves are not shown).
std::string FormatAnswerTime(uint64_t ms);

// The path part of a request target: scheme and authority of an absolute form, the query and
// the fragment removed, %XX escapes decoded (a malformed escape stays as it is).
std::string RequestPath(std::string_view target);

}  // namespace vorla
