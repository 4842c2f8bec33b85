#include "http/http_requests.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdio>
#include <exception>
#include <new>
#include <sstream>

#include "common/format_string.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace vorla {
namespace {

namespace pt = boost::property_tree;

constexpr std::string_view kPrefix = "/Workstation/";
constexpr std::string_view kTextHtml = "text/html";
// The JSON reader recurses once per nesting level; a body nested deeper than any answer we read
// is refused before it reaches the reader.
constexpr int kMaxJsonDepth = 64;

HttpReply MakeReply(int status, std::string reason, std::string_view content_type, std::string body,
                    bool cors) {
  HttpReply r;
  r.status = status;
  r.reason = std::move(reason);
  r.content_type = std::string(content_type);
  r.body = std::move(body);
  if (cors) {
    r.headers.emplace_back("Access-Control-Allow-Origin", "*");
    r.headers.emplace_back("Access-Control-Allow-Methods", "*");
  }
  return r;
}

HttpReply BadPost(bool cors) {
  return MakeReply(400, "Invalid Request", kTextHtml, "Unrecognised POST controller specified",
                   cors);
}

bool HasPrefix(std::string_view path) {
  if (path.size() < kPrefix.size()) return false;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    char c = path[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    char p = kPrefix[i];
    if (p >= 'A' && p <= 'Z') p = static_cast<char>(p - 'A' + 'a');
    if (c != p) return false;
  }
  return true;
}

// Nesting depth of arrays and objects outside strings; stops counting past the limit.
bool NestedTooDeep(std::string_view json) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// What a RecordingControl body asks for. The keys are read in this order; the first one missing
// or not an integer ends the reading and leaves itself and the rest at their defaults.
struct RecordingRequest {
  std::string meta_data;
  bool start = true;
  bool blank = false;
};

RecordingRequest ReadRecordingRequest(const pt::ptree& tree) {
  RecordingRequest r;
  const auto meta = tree.get_optional<std::string>("Recording.MetaData");
  if (!meta) return r;
  r.meta_data = *meta;
  // The integer reading of the JSON reader's text: "true" and "1.5" are no integers.
  const auto start = tree.get_optional<int>("Recording.Start");
  if (!start) return r;
  r.start = *start != 0;
  const auto blank = tree.get_optional<int>("Recording.Blank");
  if (!blank) return r;
  r.blank = *blank != 0;
  return r;
}

uint32_t RequestWord(const RecordingRequest& r) {
  if (!r.start) return 0;
  return r.blank ? 3 : 1;
}

// The answer as write_json writes it: every value a quoted string, keys in insertion order.
std::string WriteAnswer(const RecordingRequest& request, uint32_t mode, Status status,
                        const TriggerEvent& event, const std::u16string& workstation_name) {
  pt::ptree out;
  out.put("Recording.Workstation", ToUtf8(workstation_name));
  // Start and blank as used for the call: a stop carries no blanking.
  out.put("Recording.Start", (mode & 1) ? 1 : 0);
  out.put("Recording.Blank", (mode & 2) ? 1 : 0);
  out.put("Recording.Result", static_cast<int32_t>(status));
  out.put("Recording.MetaData", request.meta_data);
  out.put("Recording.EventId", status == 0 ? ToUtf8(event.event_id) : std::string());
  out.put("Recording.StartTime", FormatAnswerTime(event.start_time_ms));
  if (!request.start) {
    out.put("Recording.EndTime", FormatAnswerTime(event.end_time_ms));
    out.put("Recording.SizeBytes", static_cast<int64_t>(event.recorded_bytes));
  }
  std::ostringstream text;
  pt::write_json(text, out);
  return text.str();
}

HttpReply RecordingControl(std::string_view path, std::string_view body, bool cors,
                           const ExternalTriggerCall& trigger,
                           const std::u16string& workstation_name) {
  RecordingRequest request;
  try {
    if (NestedTooDeep(body)) return BadPost(cors);
    pt::ptree tree;
    try {
      std::istringstream in{std::string(body)};
      pt::read_json(in, tree);
    } catch (const pt::ptree_error&) {
      return BadPost(cors);
    }
    if (path.find("RecordingControl") == std::string_view::npos) return BadPost(cors);
    request = ReadRecordingRequest(tree);
  } catch (const std::bad_alloc&) {
    return MakeReply(400, "Invalid Data", kTextHtml, "Missing Workstation information", cors);
  } catch (const std::exception&) {
    return BadPost(cors);
  }

  const uint32_t mode = RequestWord(request);
  TriggerEvent event;
  Status status = kStatusInternalError;
  if (trigger) status = trigger(mode, event, std::u16string(kHttpTriggerName));

  // Past the call the trigger is in effect; if the answer cannot be built there is no reply.
  try {
    if (status == 0)
      platform::DebugOutput(FormatString(u"%s rec res=%d, id=%s\n",
                                         request.start ? u"START" : u"Stop", 0, event.event_id));
    return MakeReply(200, "OK", "application/json",
                     WriteAnswer(request, mode, status, event, workstation_name), cors);
  } catch (const std::exception&) {
    HttpReply none;
    none.send = false;
    return none;
  }
}

}  // namespace

std::string FormatAnswerTime(uint64_t ms) {
  const int64_t seconds = static_cast<int64_t>(ms / 1000);
  const platform::CalendarTime c = platform::UtcCalendar(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.00Z", c.year, c.month, c.day,
                c.hour, c.minute, c.second);
  return text;
}

std::string RequestPath(std::string_view target) {
  // Absolute form: "http://host:port/path" -> "/path".
  if (const size_t scheme = target.find("://");
      scheme != std::string_view::npos &&
      target.substr(0, scheme).find('/') == std::string_view::npos) {
    const size_t path = target.find('/', scheme + 3);
    target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
  }
  if (const size_t end = target.find_first_of("?#"); end != std::string_view::npos)
    target = target.substr(0, end);
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() && hex(target[i + 1]) >= 0 &&
        hex(target[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(target[i + 1]) * 16 + hex(target[i + 2])));
      i += 2;
    } else {
      out.push_back(target[i]);
    }
  }
  return out;
}

HttpReply TransportReply(int status, bool cors) {
  if (status == 413) return MakeReply(413, "Request Entity Too Large", kTextHtml, "", cors);
  return MakeReply(400, "Bad Request", kTextHtml, "", cors);
}

HttpReply HandleHttpRequest(std::string_view method, std::string_view target, std::string_view body,
                            bool cors, const ExternalTriggerCall& trigger,
                            const std::u16string& workstation_name) {
  std::string path;
  try {
    path = RequestPath(target);
    if (!HasPrefix(path)) return MakeReply(404, "Not Found", kTextHtml, "", cors);
    if (method == "GET") {
      if (path.find("Ping") != std::string::npos)
        return MakeReply(200, "Server OK", kTextHtml, "Vorla Http Interface up and running.", cors);
      return MakeReply(400, "Invalid Request", kTextHtml, "Unrecognised GET controller specified",
                       cors);
    }
    if (method == "POST") {
      if (body.empty()) return BadPost(cors);
    } else if (method == "OPTIONS") {
      return MakeReply(204, "No Content", kTextHtml, "", cors);
    } else {
      return MakeReply(503, "Not Implemented", kTextHtml, "", cors);
    }
  } catch (const std::exception&) {
    // Only an allocation can fail here.
    HttpReply r;
    r.status = 400;
    r.reason = "Invalid Data";
    r.content_type = std::string(kTextHtml);
    r.body = "Missing Workstation information";
    return r;
  }
  return RecordingControl(path, body, cors, trigger, workstation_name);
}

}  // namespace vorla
