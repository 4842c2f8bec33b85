#include "http/http_server_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "common/text.h"
#include "config/log_capture.h"
#include "http/http_test_support.h"
#include "platform/threads.h"
#include "support/temp_dir.h"

namespace vorla {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::ConnectLoopback;
using test::Exchange;
using test::kPingRequest;
using test::kPingResponse;
using test::ReadFor;
using test::SendAll;
using test::StatusLine;

int64_t MsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// A listening socket on 127.0.0.1 that keeps its port from the server.
struct PortBlocker {
  explicit PortBlocker(uint16_t wanted = 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wanted);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(fd);
      fd = -1;
      return;
    }
    port = ntohs(a.sin_port);
  }
  ~PortBlocker() {
    if (fd >= 0) close(fd);
  }
  int fd = -1;
  uint16_t port = 0;
};

class HttpServerThreadTest : public testing::Test {
 protected:
  // Starts the server and waits until it listens (true) or has given up (false).
  bool StartServer(const std::u16string& certificate = u"", bool cors = false, uint32_t port = 0) {
    auto trigger = [this](uint32_t mode, TriggerEvent& event, const std::u16string& name) {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back({mode, name, platform::CurrentThreadId()});
      event.event_id = u"EVT_00000001000002";
      event.start_time_ms = 1600000000000;
      return Status{0};
    };
    if (!server_.StartHTTPServer(trigger, u"WS-01", port, certificate, cors)) return false;
    const auto start = steady_clock::now();
    while (server_.listen_state() == HTTPServerThread::ListenState::kNotStarted &&
           MsSince(start) < 10000)
      std::this_thread::sleep_for(milliseconds(2));
    return server_.listen_state() == HTTPServerThread::ListenState::kListening;
  }
  // Whether a warning record of `code` holds `text` (the message table frames it).
  bool Logged(Status code, std::u16string_view text) {
    for (const auto& r : log_.records())
      if (r.code == code && r.type == EVENTLOG_WARNING_TYPE &&
          r.text.find(text) != std::u16string::npos)
        return true;
    return false;
  }
  void ExpectPingServedAtOnce() {
    const auto start = steady_clock::now();
    EXPECT_EQ(Exchange(server_.http_port(), kPingRequest), kPingResponse);
    EXPECT_LT(MsSince(start), 500);
  }

  struct Call {
    uint32_t mode;
    std::u16string name;
    uint32_t thread;
  };
  test::LogCapture log_;
  test::ScopedTempDir certs_;
  test::ScopedEnv cert_env_{"VORLA_CERT_DIR", certs_.path()};
  std::mutex mutex_;
  std::vector<Call> calls_;
  HTTPServerThread server_;  // last: stopped before the rest goes
};

TEST_F(HttpServerThreadTest, PingRoundTripOnBothLoopbacks) {
  ASSERT_TRUE(StartServer());
  ASSERT_NE(server_.http_port(), 0);
  EXPECT_EQ(server_.name(), u"HTTPServerThread");
  EXPECT_EQ(Exchange(server_.http_port(), kPingRequest), kPingResponse);
  if (const int fd = ConnectLoopback(server_.http_port(), true); fd >= 0) {
    close(fd);
    EXPECT_EQ(Exchange(server_.http_port(), kPingRequest, 3000, true), kPingResponse);
  } else {
    GTEST_LOG_(INFO) << "no IPv6 loopback here: IPv4 alone";
  }
  // HTTP/1.0 without keep-alive gets a 1.0 reply and the connection closed.
  EXPECT_EQ(Exchange(server_.http_port(), "GET /Workstation/Ping HTTP/1.0\r\n\r\n"),
            "HTTP/1.0 200 Server OK\r\n"
            "Content-Type: text/html\r\n"
            "Content-Length: 36\r\n"
            "\r\n"
            "Vorla Http Interface up and running.");
}

TEST_F(HttpServerThreadTest, KeptAliveConnectionServesRequestsInTurn) {
  ASSERT_TRUE(StartServer());
  const int fd = ConnectLoopback(server_.http_port());
  ASSERT_GE(fd, 0);
  const std::string get = "GET /Workstation/Ping HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const std::string reply =
      "HTTP/1.1 200 Server OK\r\nContent-Type: text/html\r\nContent-Length: 36\r\n\r\n"
      "Vorla Http Interface up and running.";
  ASSERT_TRUE(SendAll(fd, get));
  EXPECT_EQ(ReadFor(fd, 3000, test::ResponseComplete), reply);
  // Two requests in one write: two replies in order.
  ASSERT_TRUE(SendAll(fd, get + "GET /Workstation/x HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  const std::string second =
      "HTTP/1.1 400 Invalid Request\r\nContent-Type: text/html\r\nContent-Length: 37\r\n\r\n"
      "Unrecognised GET controller specified";
  EXPECT_EQ(ReadFor(fd, 3000,
                    [&](const std::string& s) { return s.size() >= reply.size() + second.size(); }),
            reply + second);
  close(fd);
}

TEST_F(HttpServerThreadTest, RecordingControlAndCorsOnTheWire) {
  ASSERT_TRUE(StartServer(u"", true));
  const std::string body = R"({"Recording":{"MetaData":"m","Start":1,"Blank":1}})";
  const std::string answer =
      "{\n"
      "    \"Recording\": {\n"
      "        \"Workstation\": \"WS-01\",\n"
      "        \"Start\": \"1\",\n"
      "        \"Blank\": \"1\",\n"
      "        \"Result\": \"0\",\n"
      "        \"MetaData\": \"m\",\n"
      "        \"EventId\": \"EVT_00000001000002\",\n"
      "        \"StartTime\": \"2020-09-13T12:26:40.00Z\"\n"
      "    }\n"
      "}\n";
  EXPECT_EQ(Exchange(server_.http_port(),
                     "POST /Workstation/RecordingControl HTTP/1.1\r\nHost: localhost\r\n"
                     "Content-Type: application/json\r\nConnection: close\r\n"
                     "Content-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body),
            "HTTP/1.1 200 OK\r\n"
            "Content-Type: application/json\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: *\r\n"
            "Content-Length: " +
                std::to_string(answer.size()) +
                "\r\n"
                "Connection: close\r\n"
                "\r\n" +
                answer);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].mode, 3u);
    EXPECT_EQ(calls_[0].name, u"DEF_EXT_TRIGGER");
    EXPECT_EQ(calls_[0].thread, server_.thread_id());  // on the server's own thread
  }
  // A 204 carries no Content-Length; the CORS pair is on it as on every reply.
  EXPECT_EQ(Exchange(server_.http_port(),
                     "OPTIONS /Workstation/RecordingControl HTTP/1.1\r\nHost: localhost\r\n"
                     "Connection: close\r\n\r\n"),
            "HTTP/1.1 204 No Content\r\n"
            "Content-Type: text/html\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: *\r\n"
            "Connection: close\r\n"
            "\r\n");
  EXPECT_EQ(Exchange(server_.http_port(),
                     "PUT /Workstation/Ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                     "Content-Length: 2\r\n\r\n{}"),
            "HTTP/1.1 503 Not Implemented\r\n"
            "Content-Type: text/html\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: *\r\n"
            "Content-Length: 0\r\n"
            "Connection: close\r\n"
            "\r\n");
  EXPECT_EQ(Exchange(server_.http_port(), std::string(5000, 'x')),
            "HTTP/1.1 413 Request Entity Too Large\r\n"
            "Content-Type: text/html\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: *\r\n"
            "Content-Length: 0\r\n"
            "Connection: close\r\n"
            "\r\n");
}

// A POST whose request (headers and body) is exactly `total` bytes.
std::string PostOfSize(size_t total) {
  const std::string head =
      "POST /Workstation/RecordingControl HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
      "Content-Length: 0000\r\n\r\n";
  const size_t body_size = total - head.size();
  std::string body = "{}" + std::string(body_size - 2, ' ');
  std::string length = std::to_string(body_size);
  length.insert(0, 4 - length.size(), '0');  // keeps the header's size fixed
  std::string request = head;
  request.replace(request.find("0000"), 4, length);
  return request + body;
}

TEST_F(HttpServerThreadTest, OversizeRequestsGet413AndTheNextIsServedAtOnce) {
  ASSERT_TRUE(StartServer());
  const std::string chunk(6000, 'a');
  const struct {
    const char* name;
    std::string request;
  } rows[] = {
      {"6 KB of headers", "GET /Workstation/Ping HTTP/1.1\r\nHost: localhost\r\nX-Fill: " +
                              std::string(6000, 'f') + "\r\n\r\n"},
      {"6 KB of body",
       "POST /Workstation/RecordingControl HTTP/1.1\r\nHost: localhost\r\n"
       "Content-Length: 6000\r\n\r\n{}" +
           std::string(5998, ' ')},
      {"one byte over", PostOfSize(kHttpRequestLimit + 1)},
      {"a chunked body over the limit",
       "POST /Workstation/RecordingControl HTTP/1.1\r\nHost: localhost\r\n"
       "Transfer-Encoding: chunked\r\n\r\n1770\r\n" +
           chunk + "\r\n0\r\n\r\n"},
      {"a huge length announced",
       "POST /Workstation/RecordingControl HTTP/1.1\r\n"
       "Host: localhost\r\nContent-Length: 99999999999\r\n\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const int fd = ConnectLoopback(server_.http_port());
    ASSERT_GE(fd, 0);
    const auto start = steady_clock::now();
    SendAll(fd, row.request);  // the server may close before it has taken everything
    bool closed = false;
    const std::string reply = ReadFor(
        fd, 3000, [](const std::string&) { return false; }, &closed);
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 413 Request Entity Too Large");
    EXPECT_TRUE(closed);
    EXPECT_LT(MsSince(start), 1500);
    close(fd);
    ExpectPingServedAtOnce();
  }
  // The limit itself still fits.
  EXPECT_EQ(StatusLine(Exchange(server_.http_port(), PostOfSize(kHttpRequestLimit))),
            "HTTP/1.1 200 OK");
}

TEST_F(HttpServerThreadTest, ExpectContinue) {
  ASSERT_TRUE(StartServer());
  const int fd = ConnectLoopback(server_.http_port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd,
                      "POST /Workstation/RecordingControl HTTP/1.1\r\nHost: localhost\r\n"
                      "Expect: 100-continue\r\nContent-Length: 2\r\nConnection: close\r\n\r\n"));
  const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
  EXPECT_EQ(ReadFor(fd, 3000, [&](const std::string& s) { return s.size() >= go.size(); }), go);
  ASSERT_TRUE(SendAll(fd, "{}"));
  EXPECT_EQ(StatusLine(ReadFor(fd, 3000, test::ResponseComplete)), "HTTP/1.1 200 OK");
  close(fd);
  // Too large for the limit: refused before the client sends the body.
  EXPECT_EQ(StatusLine(Exchange(server_.http_port(),
                                "POST /Workstation/RecordingControl HTTP/1.1\r\nHost: x\r\n"
                                "Expect: 100-continue\r\nContent-Length: 5000\r\n\r\n")),
            "HTTP/1.1 413 Request Entity Too Large");
}

TEST_F(HttpServerThreadTest, BytesThatAreNoHttpGet400) {
  ASSERT_TRUE(StartServer());
  for (const char* junk :
       {"HELLO\r\n\r\n", "GET /Workstation/Ping HTTP/9.9\r\n\r\n",
        "GET /Workstation/Ping HTTP/1.1\r\nBad Header\r\n\r\n",
        "POST /Workstation/RecordingControl HTTP/1.1\r\nContent-Length: x\r\n\r\n"}) {
    SCOPED_TRACE(junk);
    EXPECT_EQ(Exchange(server_.http_port(), junk),
              "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
  }
  ExpectPingServedAtOnce();
}

// Half a request, no request at all, and one that dribbles in a byte at a time: each is cut off
// after about 3 s without a reply, and nobody waits for them meanwhile.
TEST_F(HttpServerThreadTest, StalledClientsAreCutOffAndOthersAreServedMeanwhile) {
  ASSERT_TRUE(StartServer());
  const auto start = steady_clock::now();
  const int half = ConnectLoopback(server_.http_port());
  const int idle = ConnectLoopback(server_.http_port());
  const int slow = ConnectLoopback(server_.http_port());
  ASSERT_GE(half, 0);
  ASSERT_GE(idle, 0);
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(SendAll(half, "GET /Workstation/Ping HTTP/1.1\r\nHost: loc"));
  ASSERT_TRUE(SendAll(slow, "GET /Workstation/Ping HTTP/1.1\r\nX-Slow: "));
  ExpectPingServedAtOnce();

  int fds[3] = {half, idle, slow};
  int64_t closed_at[3] = {-1, -1, -1};
  std::string received[3];
  while (MsSince(start) < 6000) {
    SendAll(slow, "a");
    for (int i = 0; i < 3; ++i) {
      if (closed_at[i] >= 0) continue;
      bool closed = false;
      received[i] += ReadFor(
          fds[i], 20, [](const std::string&) { return false; }, &closed);
      if (closed) closed_at[i] = MsSince(start);
    }
    if (closed_at[0] >= 0 && closed_at[1] >= 0 && closed_at[2] >= 0) break;
    if (MsSince(start) > 1000 && MsSince(start) < 1300) ExpectPingServedAtOnce();
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_GE(closed_at[i], 2800);
    EXPECT_LE(closed_at[i], 4500);
    EXPECT_EQ(received[i], "");
    close(fds[i]);
  }
  ExpectPingServedAtOnce();
}

TEST_F(HttpServerThreadTest, HttpsWithAGeneratedCertificate) {
  // No name, and a name the store does not hold: both use a certificate of our own.
  for (const std::u16string name : {u"", u"No Such Certificate"}) {
    SCOPED_TRACE(ToUtf8(name));
    log_.Clear();
    ASSERT_TRUE(StartServer(name));
    EXPECT_TRUE(Logged(0, u"SSL setup OK using CCS"));
    ASSERT_NE(server_.https_port(), 0);
    EXPECT_NE(server_.https_port(), server_.http_port());
    test::TlsClient client;  // verification off: the certificate is new each start
    ASSERT_TRUE(client.Connect(server_.https_port())) << client.error();
    EXPECT_EQ(client.PeerSubject(), "/CN=localhost");
    EXPECT_EQ(client.Exchange(kPingRequest), kPingResponse);
    // Plain HTTP on the TLS port is no request: the connection ends without an HTTP reply.
    EXPECT_EQ(Exchange(server_.https_port(), kPingRequest).find("HTTP/"), std::string::npos);
    ASSERT_TRUE(server_.Stop(5));
  }
}

TEST_F(HttpServerThreadTest, HttpsWithTheStoredCertificateVerifiedByTheClient) {
  test::ScopedTempDir work;
  ASSERT_TRUE(test::OpenSslCertificate(work.path(), "ws", "/CN=localhost/O=Vorla Test"));
  ASSERT_TRUE(test::OpenSslCertificate(work.path(), "stranger", "/CN=localhost/O=Stranger"));
  ASSERT_TRUE(test::WriteText(certs_.Sub("ws.pem"), test::ReadFile(work.Sub("ws.crt")) +
                                                        test::ReadFile(work.Sub("ws.key"))));
  ASSERT_TRUE(StartServer(u"Vorla Test"));
  EXPECT_TRUE(Logged(0, u"SSL setup OK using MY store and cert Vorla Test"));
  EXPECT_FALSE(Logged(0, u"SSL setup OK using CCS"));

  test::TlsClient client(work.Sub("ws.crt"));
  ASSERT_TRUE(client.Connect(server_.https_port())) << client.error();
  EXPECT_EQ(client.VerifyResult(), X509_V_OK);
  EXPECT_EQ(client.Exchange(kPingRequest), kPingResponse);
  // A client that trusts another certificate refuses the server's.
  test::TlsClient wary(work.Sub("stranger.crt"));
  EXPECT_FALSE(wary.Connect(server_.https_port()));
}

TEST_F(HttpServerThreadTest, AnUnusableStoredCertificateLeavesHttpsOffAndHttpOn) {
  test::ScopedTempDir work;
  ASSERT_TRUE(test::OpenSslCertificate(work.path(), "ws", "/CN=localhost/O=Vorla Test"));
  ASSERT_TRUE(test::WriteText(certs_.Sub("ws.pem"), test::ReadFile(work.Sub("ws.crt"))));
  ASSERT_TRUE(StartServer(u"Vorla Test"));
  const std::u16string text =
      u"HTTP SSL Init failed [err=2]. Invalid certificate Vorla Test in local store MY. We'll "
      u"attempt clean for next restart.";
  EXPECT_TRUE(Logged(0xC0000FA0, text));
  EXPECT_EQ(log_.console(), std::vector<std::u16string>{u"Err: 0xC0000FA0: " + text + u"\n"});
  EXPECT_FALSE(Logged(0, u"SSL setup OK using CCS"));  // no fallback to a certificate of our own
  EXPECT_EQ(server_.https_port(), 0);
  EXPECT_EQ(Exchange(server_.http_port(), kPingRequest), kPingResponse);
}

TEST_F(HttpServerThreadTest, StopsWithin200ms) {
  ASSERT_TRUE(StartServer());
  const uint16_t port = server_.http_port();
  const int stalled = ConnectLoopback(port);  // a request in progress does not hold the stop
  ASSERT_TRUE(SendAll(stalled, "GET /Workstation/Ping HTTP/1.1\r\n"));
  const int handshake = ConnectLoopback(server_.https_port());  // nor a TLS handshake
  ASSERT_TRUE(SendAll(handshake, std::string("\x16\x03\x01", 3)));
  std::this_thread::sleep_for(milliseconds(50));
  const auto start = steady_clock::now();
  EXPECT_TRUE(server_.Stop(5));
  EXPECT_LT(MsSince(start), 200);
  EXPECT_FALSE(server_.IsRunning());
  EXPECT_EQ(server_.listen_state(), HTTPServerThread::ListenState::kStopped);
  bool closed = false;
  ReadFor(
      stalled, 1000, [](const std::string&) { return false; }, &closed);
  EXPECT_TRUE(closed);
  close(stalled);
  close(handshake);
  EXPECT_LT(ConnectLoopback(port), 0);  // nobody listens any more
}

TEST_F(HttpServerThreadTest, APortThatCannotBeBoundEndsTheThreadWithTheInitFailure) {
  PortBlocker blocker;
  ASSERT_GE(blocker.fd, 0);
  for (const uint32_t port : {static_cast<uint32_t>(blocker.port), 70000u}) {
    SCOPED_TRACE(port);
    log_.Clear();
    EXPECT_FALSE(StartServer(u"", false, port));
    EXPECT_EQ(server_.listen_state(), HTTPServerThread::ListenState::kFailed);
    const auto start = steady_clock::now();
    while (server_.IsRunning() && MsSince(start) < 2000)
      std::this_thread::sleep_for(milliseconds(5));
    EXPECT_FALSE(server_.IsRunning());
    bool found = false;
    for (const auto& r : log_.records())
      found = found || (r.code == 0xC0000FA0u && r.type == EVENTLOG_WARNING_TYPE &&
                        r.text ==
                            u"Internal error: HTTP Init failed. Continueing, but no HTTP interface "
                            u"available.");
    EXPECT_TRUE(found);
    ASSERT_TRUE(server_.Stop(5));
  }
}

TEST_F(HttpServerThreadTest, HttpsOnPortPlusOneAndATakenHttpsPortLeavesHttpServing) {
  // A free port P whose neighbour P + 1 is taken by someone else.
  std::unique_ptr<PortBlocker> neighbour;
  uint16_t port = 0;
  for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
    auto b = std::make_unique<PortBlocker>();
    PortBlocker probe(static_cast<uint16_t>(b->port - 1));
    if (probe.fd >= 0) {
      port = probe.port;
      neighbour = std::move(b);
    }
  }
  ASSERT_NE(port, 0);
  ASSERT_TRUE(StartServer(u"", false, port));
  EXPECT_EQ(server_.http_port(), port);
  EXPECT_EQ(server_.https_port(), 0);
  EXPECT_EQ(Exchange(port, kPingRequest), kPingResponse);
  ASSERT_TRUE(server_.Stop(5));

  // Once the neighbour is free, HTTPS takes it.
  neighbour.reset();
  ASSERT_TRUE(StartServer(u"", false, port));
  EXPECT_EQ(server_.https_port(), port + 1);
  test::TlsClient client;
  ASSERT_TRUE(client.Connect(static_cast<uint16_t>(port + 1))) << client.error();
  EXPECT_EQ(client.Exchange(kPingRequest), kPingResponse);
}

}  // namespace
}  // namespace vorla
