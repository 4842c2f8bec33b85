#include "http/http_requests.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/debug_output.h"

namespace vorla {
namespace {

// A stand-in for the controller's trigger: records each call and answers with a scripted event.
struct FakeTrigger {
  struct Call {
    uint32_t mode;
    std::u16string name;
  };
  Status result = 0;
  TriggerEvent event;
  std::vector<Call> calls;

  ExternalTriggerCall Fn() {
    return [this](uint32_t mode, TriggerEvent& out, const std::u16string& name) {
      calls.push_back({mode, name});
      out = event;
      return result;
    };
  }
};

// Collects the debug output while alive.
class DebugCapture {
 public:
  DebugCapture() {
    platform::SetDebugOutputSink([this](std::u16string_view t) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(t);
    });
  }
  ~DebugCapture() { platform::SetDebugOutputSink({}); }
  std::vector<std::u16string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::u16string> lines_;
};

HttpReply Handle(std::string_view method, std::string_view target, std::string_view body,
                 FakeTrigger& trigger, bool cors = false,
                 const std::u16string& workstation = u"WS-01") {
  return HandleHttpRequest(method, target, body, cors, trigger.Fn(), workstation);
}

const std::vector<std::pair<std::string, std::string>> kCors = {
    {"Access-Control-Allow-Origin", "*"}, {"Access-Control-Allow-Methods", "*"}};

TEST(HttpRequestsTest, ResourceTable) {
  struct Row {
    const char* name;
    const char* method;
    const char* target;
    const char* body;
    int status;
    const char* reason;
    const char* content_type;
    const char* reply_body;
    bool triggers;
  };
  const char* kPing = "Vorla Http Interface up and running.";
  const char* kBadGet = "Unrecognised GET controller specified";
  const char* kBadPost = "Unrecognised POST controller specified";
  const Row rows[] = {
      {"ping", "GET", "/Workstation/Ping", "", 200, "Server OK", "text/html", kPing, false},
      {"ping deeper in the path", "GET", "/Workstation/a/Ping/b", "", 200, "Server OK", "text/html",
       kPing, false},
      {"ping inside a word", "GET", "/Workstation/xPingx", "", 200, "Server OK", "text/html", kPing,
       false},
      {"ping with a query", "GET", "/Workstation/Ping?x=1", "", 200, "Server OK", "text/html",
       kPing, false},
      {"ping only in the query", "GET", "/Workstation/Status?Ping", "", 400, "Invalid Request",
       "text/html", kBadGet, false},
      {"ping percent-encoded", "GET", "/Workstation/P%69ng", "", 200, "Server OK", "text/html",
       kPing, false},
      {"ping in absolute form", "GET", "http://127.0.0.1:4483/Workstation/Ping", "", 200,
       "Server OK", "text/html", kPing, false},
      {"prefix without regard to case", "GET", "/WORKSTATION/Ping", "", 200, "Server OK",
       "text/html", kPing, false},
      {"ping is case-sensitive", "GET", "/Workstation/ping", "", 400, "Invalid Request",
       "text/html", kBadGet, false},
      {"unknown GET controller", "GET", "/Workstation/RecordingControl", "", 400, "Invalid Request",
       "text/html", kBadGet, false},
      {"a GET body changes nothing", "GET", "/Workstation/Ping", "{}", 200, "Server OK",
       "text/html", kPing, false},
      {"recording control", "POST", "/Workstation/RecordingControl", "{}", 200, "OK",
       "application/json", nullptr, true},
      {"recording control deeper", "POST", "/Workstation/x/RecordingControl/y", "{}", 200, "OK",
       "application/json", nullptr, true},
      {"recording control is case-sensitive", "POST", "/Workstation/recordingcontrol", "{}", 400,
       "Invalid Request", "text/html", kBadPost, false},
      {"POST without a body", "POST", "/Workstation/RecordingControl", "", 400, "Invalid Request",
       "text/html", kBadPost, false},
      {"POST body that is no JSON", "POST", "/Workstation/RecordingControl", "start please", 400,
       "Invalid Request", "text/html", kBadPost, false},
      {"unknown POST controller", "POST", "/Workstation/Ping", "{}", 400, "Invalid Request",
       "text/html", kBadPost, false},
      {"options", "OPTIONS", "/Workstation/anything", "", 204, "No Content", "text/html", "",
       false},
      {"put", "PUT", "/Workstation/RecordingControl", "{}", 503, "Not Implemented", "text/html", "",
       false},
      {"delete", "DELETE", "/Workstation/Ping", "", 503, "Not Implemented", "text/html", "", false},
      {"head", "HEAD", "/Workstation/Ping", "", 503, "Not Implemented", "text/html", "", false},
      {"methods are case-sensitive", "get", "/Workstation/Ping", "", 503, "Not Implemented",
       "text/html", "", false},
      {"outside the prefix", "GET", "/Ping", "", 404, "Not Found", "text/html", "", false},
      {"prefix without its slash", "GET", "/WorkstationPing", "", 404, "Not Found", "text/html", "",
       false},
      {"asterisk form", "OPTIONS", "*", "", 404, "Not Found", "text/html", "", false},
  };
  for (const Row& row : rows) {
    for (const bool cors : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (cors ? " (CORS)" : ""));
      FakeTrigger trigger;
      const HttpReply r = Handle(row.method, row.target, row.body, trigger, cors);
      EXPECT_TRUE(r.send);
      EXPECT_EQ(r.status, row.status);
      EXPECT_EQ(r.reason, row.reason);
      EXPECT_EQ(r.content_type, row.content_type);
      if (row.reply_body) {
        EXPECT_EQ(r.body, row.reply_body);
      }
      EXPECT_EQ(r.headers, cors ? kCors : decltype(kCors){});
      EXPECT_EQ(trigger.calls.size(), row.triggers ? 1u : 0u);
    }
  }
}

TEST(HttpRequestsTest, TransportRepliesCarryTheCorsHeadersToo) {
  const HttpReply big = TransportReply(413, true);
  EXPECT_EQ(big.status, 413);
  EXPECT_EQ(big.reason, "Request Entity Too Large");
  EXPECT_EQ(big.content_type, "text/html");
  EXPECT_EQ(big.body, "");
  EXPECT_EQ(big.headers, kCors);
  const HttpReply bad = TransportReply(400, false);
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.reason, "Bad Request");
  EXPECT_TRUE(bad.headers.empty());
}

// Which call a body leads to: the keys are read as MetaData, Start, Blank, and the first one
// missing or not an integer ends the reading with the defaults (start, no blanking).
TEST(HttpRequestsTest, RecordingControlReading) {
  struct Row {
    const char* name;
    const char* body;
    uint32_t mode;
    const char* meta;  // as the answer writes it
  };
  const Row rows[] = {
      {"empty object starts without blanking", "{}", 1, ""},
      {"all three", R"({"Recording":{"MetaData":"m","Start":1,"Blank":1}})", 3, "m"},
      {"start without blank", R"({"Recording":{"MetaData":"m","Start":1,"Blank":0}})", 1, "m"},
      {"stop", R"({"Recording":{"MetaData":"m","Start":0}})", 0, "m"},
      {"stop ignores blank", R"({"Recording":{"MetaData":"m","Start":0,"Blank":1}})", 0, "m"},
      {"any nonzero start and blank", R"({"Recording":{"MetaData":"","Start":-7,"Blank":2}})", 3,
       ""},
      {"order in the body does not matter", R"({"Recording":{"Blank":1,"Start":1,"MetaData":"m"}})",
       3, "m"},
      {"without metadata the rest is not read", R"({"Recording":{"Start":0,"Blank":1}})", 1, ""},
      {"true is no integer", R"({"Recording":{"MetaData":"m","Start":true,"Blank":1}})", 1, "m"},
      {"false is no integer either", R"({"Recording":{"MetaData":"m","Start":false}})", 1, "m"},
      {"a fraction is no integer", R"({"Recording":{"MetaData":"m","Start":0.5}})", 1, "m"},
      {"null is no integer", R"({"Recording":{"MetaData":"m","Start":null}})", 1, "m"},
      {"an integer in a string counts", R"({"Recording":{"MetaData":"m","Start":"0"}})", 0, "m"},
      {"an out-of-range integer ends the reading",
       R"({"Recording":{"MetaData":"m","Start":99999999999}})", 1, "m"},
      {"a non-integer blank keeps no blanking",
       R"({"Recording":{"MetaData":"m","Start":1,"Blank":"yes"}})", 1, "m"},
      {"numeric metadata is its text", R"({"Recording":{"MetaData":12.50,"Start":0}})", 0, "12.50"},
      {"null metadata is the text null", R"({"Recording":{"MetaData":null,"Start":0}})", 0, "null"},
      {"object metadata is empty text", R"({"Recording":{"MetaData":{"a":"b"},"Start":0}})", 0, ""},
      {"keys with a dot are not the path", R"({"Recording.MetaData":"m","Recording.Start":0})", 1,
       ""},
      {"keys are case-sensitive", R"({"recording":{"MetaData":"m","Start":0}})", 1, ""},
      {"the first of duplicate keys wins",
       R"({"Recording":{"MetaData":"a","MetaData":"b","Start":0,"Start":1}})", 0, "a"},
      {"the first of duplicate objects wins",
       R"({"Recording":{"MetaData":"a","Start":0},"Recording":{"MetaData":"b","Start":1}})", 0,
       "a"},
      {"escapes are decoded", R"({"Recording":{"MetaData":"\u00e9\n","Start":0}})", 0,
       "\xc3\xa9\\n"},
      {"a top-level array is read as no keys", "[1,2]", 1, ""},
      {"a top-level number likewise", "0", 1, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeTrigger trigger;
    const HttpReply r = Handle("POST", "/Workstation/RecordingControl", row.body, trigger);
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_EQ(trigger.calls.size(), 1u);
    EXPECT_EQ(trigger.calls[0].mode, row.mode);
    EXPECT_EQ(trigger.calls[0].name, u"DEF_EXT_TRIGGER");
    EXPECT_NE(r.body.find(std::string("\"MetaData\": \"") + row.meta + "\""), std::string::npos)
        << r.body;
  }
}

TEST(HttpRequestsTest, UnreadableBodiesGive400AndNoCall) {
  const std::string deep = std::string(65, '[') + std::string(65, ']');
  const std::string deep_object = [] {
    std::string s;
    for (int i = 0; i < 2000; ++i) s += "{\"a\":";
    s += "1";
    for (int i = 0; i < 2000; ++i) s += "}";
    return s;
  }();
  const std::string nul_inside = std::string("{\"Recording\":{\"Meta") + '\0' + "Data\":1}}";
  const struct {
    const char* name;
    std::string body;
  } rows[] = {
      {"unterminated object", R"({"Recording":{"Start":0})"},
      {"trailing garbage", R"({"Recording":{}} x)"},
      {"single quotes", "{'Recording':{}}"},
      {"leading zero", R"({"Recording":{"MetaData":"m","Start":01}})"},
      {"raw control character in a string", "{\"Recording\":{\"MetaData\":\"a\x01\"}}"},
      {"invalid UTF-8 in a string", "{\"Recording\":{\"MetaData\":\"\xff\xfe\"}}"},
      {"stray low surrogate escape", R"({"Recording":{"MetaData":"\udc00"}})"},
      {"NUL byte inside a key", nul_inside},
      {"nested 65 deep", deep},
      {"objects nested 2000 deep", deep_object},
      {"only white space", "  \r\n "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeTrigger trigger;
    const HttpReply r = Handle("POST", "/Workstation/RecordingControl", row.body, trigger);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.reason, "Invalid Request");
    EXPECT_EQ(r.body, "Unrecognised POST controller specified");
    EXPECT_TRUE(trigger.calls.empty());
  }
  // The reader lets an overlong UTF-8 form through; the answer echoes those bytes unchanged.
  FakeTrigger trigger;
  EXPECT_NE(Handle("POST", "/Workstation/RecordingControl",
                   "{\"Recording\":{\"MetaData\":\"\xc0\xaf\"}}", trigger)
                .body.find("\"MetaData\": \"\xc0\xaf\""),
            std::string::npos);
  // 64 levels are still read: the limit refuses only what no answer needs.
  const std::string ok = std::string(64, '[') + std::string(64, ']');
  EXPECT_EQ(Handle("POST", "/Workstation/RecordingControl", ok, trigger).status, 200);
  // Brackets inside strings are text, not nesting.
  const std::string in_string = "{\"Recording\":{\"MetaData\":\"" + std::string(100, '[') + "\\\"" +
                                std::string(100, '{') + "\",\"Start\":0}}";
  EXPECT_EQ(Handle("POST", "/Workstation/RecordingControl", in_string, trigger).status, 200);
  EXPECT_EQ(trigger.calls.back().mode, 0u);
}

// The answer bytes, as write_json lays them out: four-space indentation, every value a quoted
// string, "/" escaped, a line break at the end.
TEST(HttpRequestsTest, StartAnswerBytes) {
  DebugCapture debug;
  FakeTrigger trigger;
  trigger.event.event_id = u"EVT_5f5e1000abc123";
  trigger.event.start_time_ms = 1600000000123;  // 2020-09-13 12:26:40.123 UTC
  trigger.event.end_time_ms = 1600000060999;
  trigger.event.recorded_bytes = 77;
  const HttpReply r = Handle("POST", "/Workstation/RecordingControl",
                             R"({"Recording":{"MetaData":"ticket 4/2","Start":1,"Blank":1}})",
                             trigger, false, u"W\u00f6rk-01");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.reason, "OK");
  EXPECT_EQ(r.content_type, "application/json");
  EXPECT_EQ(r.body,
            "{\n"
            "    \"Recording\": {\n"
            "        \"Workstation\": \"W\xc3\xb6rk-01\",\n"
            "        \"Start\": \"1\",\n"
            "        \"Blank\": \"1\",\n"
            "        \"Result\": \"0\",\n"
            "        \"MetaData\": \"ticket 4\\/2\",\n"
            "        \"EventId\": \"EVT_5f5e1000abc123\",\n"
            "        \"StartTime\": \"2020-09-13T12:26:40.00Z\"\n"
            "    }\n"
            "}\n");
  EXPECT_EQ(debug.lines(),
            std::vector<std::u16string>{u"START rec res=0, id=EVT_5f5e1000abc123\n"});
}

TEST(HttpRequestsTest, StopAnswerBytesHaveEndTimeAndSize) {
  DebugCapture debug;
  FakeTrigger trigger;
  trigger.event.event_id = u"EVT_5f5e1000abc123";
  trigger.event.start_time_ms = 1600000000123;
  trigger.event.end_time_ms = 1600000060999;  // 12:27:40.999: the milliseconds are not shown
  trigger.event.recorded_bytes = 5000000000;  // beyond 32 bits
  const HttpReply r = Handle("POST", "/Workstation/RecordingControl",
                             R"({"Recording":{"MetaData":"","Start":0,"Blank":1}})", trigger);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            "{\n"
            "    \"Recording\": {\n"
            "        \"Workstation\": \"WS-01\",\n"
            "        \"Start\": \"0\",\n"
            "        \"Blank\": \"0\",\n"
            "        \"Result\": \"0\",\n"
            "        \"MetaData\": \"\",\n"
            "        \"EventId\": \"EVT_5f5e1000abc123\",\n"
            "        \"StartTime\": \"2020-09-13T12:26:40.00Z\",\n"
            "        \"EndTime\": \"2020-09-13T12:27:40.00Z\",\n"
            "        \"SizeBytes\": \"5000000000\"\n"
            "    }\n"
            "}\n");
  EXPECT_EQ(debug.lines(), std::vector<std::u16string>{u"Stop rec res=0, id=EVT_5f5e1000abc123\n"});
}

TEST(HttpRequestsTest, FailedTriggerStillAnswers200WithTheStatusAndNoEventId) {
  DebugCapture debug;
  FakeTrigger trigger;
  trigger.result = 0xC0000FE9;  // no recording session
  trigger.event.event_id = u"EVT_should_not_show";
  const HttpReply r = Handle("POST", "/Workstation/RecordingControl", "{}", trigger, true);
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.headers, kCors);
  EXPECT_EQ(r.body,
            "{\n"
            "    \"Recording\": {\n"
            "        \"Workstation\": \"WS-01\",\n"
            "        \"Start\": \"1\",\n"
            "        \"Blank\": \"0\",\n"
            "        \"Result\": \"-1073737751\",\n"
            "        \"MetaData\": \"\",\n"
            "        \"EventId\": \"\",\n"
            "        \"StartTime\": \"1970-01-01T00:00:00.00Z\"\n"
            "    }\n"
            "}\n");
  EXPECT_TRUE(debug.lines().empty());

  // A failed stop still lists its end time and size.
  trigger.result = 0xC0000FA3;
  const HttpReply stop = Handle("POST", "/Workstation/RecordingControl",
                                R"({"Recording":{"MetaData":"x","Start":0}})", trigger);
  EXPECT_NE(stop.body.find("\"Result\": \"-1073737821\""), std::string::npos);
  EXPECT_NE(stop.body.find("\"EndTime\": \"1970-01-01T00:00:00.00Z\",\n"
                           "        \"SizeBytes\": \"0\"\n"),
            std::string::npos)
      << stop.body;
}

TEST(HttpRequestsTest, NoTriggerGivesAnInternalErrorResult) {
  const HttpReply r =
      HandleHttpRequest("POST", "/Workstation/RecordingControl", "{}", false, {}, u"WS");
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"Result\": \"-1073737824\""), std::string::npos) << r.body;
}

TEST(HttpRequestsTest, AnswerTimes) {
  const struct {
    uint64_t ms;
    const char* text;
  } rows[] = {
      {0, "1970-01-01T00:00:00.00Z"},
      {999, "1970-01-01T00:00:00.00Z"},
      {1000, "1970-01-01T00:00:01.00Z"},
      {951782400000, "2000-02-29T00:00:00.00Z"},
      {4102444799999, "2099-12-31T23:59:59.00Z"},
      {253402300800000, "10000-01-01T00:00:00.00Z"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ms);
    EXPECT_EQ(FormatAnswerTime(row.ms), row.text);
  }
  // The largest value still gives a date, not garbage or a crash.
  EXPECT_FALSE(FormatAnswerTime(UINT64_MAX).empty());
}

TEST(HttpRequestsTest, RequestPath) {
  const struct {
    const char* target;
    const char* path;
  } rows[] = {
      {"/Workstation/Ping", "/Workstation/Ping"},
      {"/Workstation/Ping?a=b#c", "/Workstation/Ping"},
      {"/Workstation/Ping#frag", "/Workstation/Ping"},
      {"/Workstation/%50%69ng", "/Workstation/Ping"},
      {"/Workstation/%2", "/Workstation/%2"},
      {"/Workstation/%zz", "/Workstation/%zz"},
      {"/a%2Fb", "/a/b"},
      {"http://localhost:4483/Workstation/Ping?x", "/Workstation/Ping"},
      {"https://localhost", "/"},
      {"/Workstation/x://y", "/Workstation/x://y"},
      {"", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.target);
    EXPECT_EQ(RequestPath(row.target), row.path);
  }
}

}  // namespace
}  // namespace vorla
