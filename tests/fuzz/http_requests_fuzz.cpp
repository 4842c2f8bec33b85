// libFuzzer target: any method, target and body handed to HandleHttpRequest end in one of the
// interface's replies, never a crash or hang; the CORS pair is on every reply when switched on;
// the trigger is called at most once and only for a POST answered with 200, whose answer reads
// back as JSON with the keys of a start or of a stop, the metadata included.
//
// Input: byte 0 picks the method (bits 0-2), CORS (bit 3) and the trigger's result (bit 4);
// then the target up to the first line break; the rest is the body.
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "http/http_requests.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t line = rest.find('\n');
  const std::string_view target = rest.substr(0, line);
  const std::string_view body =
      line == std::string_view::npos ? std::string_view() : rest.substr(line + 1);
  static const char* const kMethods[] = {"GET",     "POST", "POST", "POST",
                                         "OPTIONS", "PUT",  "",     "get"};
  const std::string_view method = kMethods[flags & 7];
  const bool cors = (flags & 8) != 0;
  const vorla::Status result = (flags & 16) ? 0xC0000FE9 : 0;

  int calls = 0;
  uint32_t mode = 99;
  vorla::ExternalTriggerCall trigger = [&](uint32_t m, vorla::TriggerEvent& e,
                                           const std::u16string& name) {
    ++calls;
    mode = m;
    Check(name == u"DEF_EXT_TRIGGER");
    e.event_id = u"EVT_00000001000002";
    e.start_time_ms = 1600000000000;
    e.end_time_ms = 1600000001000;
    e.recorded_bytes = 42;
    return result;
  };
  const vorla::HttpReply r = vorla::HandleHttpRequest(method, target, body, cors, trigger, u"WS");

  Check(r.send);
  Check(!r.content_type.empty());
  if (cors) {
    Check(r.headers.size() == 2 && r.headers[0].first == "Access-Control-Allow-Origin" &&
          r.headers[1].first == "Access-Control-Allow-Methods");
  } else {
    Check(r.headers.empty());
  }
  switch (r.status) {
    case 200: Check(r.reason == "OK" || r.reason == "Server OK"); break;
    case 204: Check(r.reason == "No Content" && method == "OPTIONS"); break;
    case 400: Check(r.reason == "Invalid Request" || r.reason == "Invalid Data"); break;
    case 404: Check(r.reason == "Not Found"); break;
    case 503: Check(r.reason == "Not Implemented"); break;
    default: Check(false);
  }
  Check(calls <= 1);
  Check(calls == 0 || (method == "POST" && r.status == 200));
  if (method == "POST" && r.status == 200) {
    Check(calls == 1 && (mode == 0 || mode == 1 || mode == 3));
    Check(r.content_type == "application/json" && !r.body.empty() && r.body.back() == '\n');
    boost::property_tree::ptree answer;
    try {
      std::istringstream in(r.body);
      boost::property_tree::read_json(in, answer);
    } catch (const boost::property_tree::ptree_error&) {
      std::abort();  // the metadata passed the same reader on its way in
    }
    Check(answer.get<std::string>("Recording.Workstation", "?") == "WS");
    const std::string start = answer.get<std::string>("Recording.Start", "?");
    Check(start == ((mode & 1) ? "1" : "0"));
    Check(answer.get<std::string>("Recording.Blank", "?") == ((mode & 2) ? "1" : "0"));
    Check(answer.get<std::string>("Recording.Result", "?") == (result ? "-1073737751" : "0"));
    Check(answer.get<std::string>("Recording.EventId", "?") ==
          (result ? "" : "EVT_00000001000002"));
    Check(answer.get<std::string>("Recording.StartTime", "?") == "2020-09-13T12:26:40.00Z");
    Check(answer.get_optional<std::string>("Recording.EndTime").has_value() == (start == "0"));
    Check(answer.get_optional<std::string>("Recording.SizeBytes").has_value() == (start == "0"));
  }
  return 0;
}
