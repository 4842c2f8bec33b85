#include "http/http_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "http/http_test_support.h"

namespace vorla {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int64_t MsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// A listener with small limits, served by a thread of its own; the handler echoes what it got.
class HttpListenerTest : public testing::Test {
 protected:
  void Serve(HttpListenerLimits limits) {
    listener_ = std::make_unique<HttpListener>(
        [this](std::string_view method, std::string_view target, std::string_view body) {
          std::lock_guard<std::mutex> lock(mutex_);
          seen_ = std::string(method) + " " + std::string(target) + " [" + std::string(body) + "]";
          HttpReply r;
          r.status = 200;
          r.reason = "Fine";
          r.content_type = "text/plain";
          r.body = seen_;
          return r;
        },
        false, limits);
    ASSERT_EQ(listener_->ListenHttp(0), 0u);
    runner_ = std::thread([this] {
      while (!stop_) listener_->RunFor(20);
    });
  }
  void TearDown() override {
    stop_ = true;
    if (runner_.joinable()) runner_.join();
  }
  std::string Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

  std::unique_ptr<HttpListener> listener_;
  std::thread runner_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string seen_;
};

TEST_F(HttpListenerTest, TheHandlerGetsMethodTargetAndTheDecodedBody) {
  Serve({});
  const std::string reply = test::Exchange(
      listener_->http_port(),
      "PATCH /Workstation/a%20b?q=1 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
      "Connection: close\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
  EXPECT_EQ(reply,
            "HTTP/1.1 200 Fine\r\nContent-Type: text/plain\r\nContent-Length: 36\r\n"
            "Connection: close\r\n\r\nPATCH /Workstation/a%20b?q=1 [abcde]");
}

TEST_F(HttpListenerTest, AtTheConnectionLimitTheNextClientWaitsForAFreeSlot) {
  Serve({.max_request_bytes = kHttpRequestLimit, .request_timeout_ms = 1000, .max_connections = 2});
  const std::string ping = "GET /p HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const int first = test::ConnectLoopback(listener_->http_port());
  const int second = test::ConnectLoopback(listener_->http_port());
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  std::this_thread::sleep_for(milliseconds(100));  // both accepted and idle

  // The third waits in the listen queue until a slot frees: here when the first client leaves.
  const int third = test::ConnectLoopback(listener_->http_port());
  ASSERT_GE(third, 0);
  ASSERT_TRUE(test::SendAll(third, ping));
  EXPECT_EQ(test::ReadFor(third, 300, test::ResponseComplete), "");
  const auto start = steady_clock::now();
  close(first);
  EXPECT_EQ(test::StatusLine(test::ReadFor(third, 2000, test::ResponseComplete)),
            "HTTP/1.1 200 Fine");
  EXPECT_LT(MsSince(start), 300);
  close(third);

  // An idle client that never leaves is cut off at the time limit and frees its slot then.
  const int fourth = test::ConnectLoopback(listener_->http_port());
  const int fifth = test::ConnectLoopback(listener_->http_port());
  ASSERT_TRUE(test::SendAll(fifth, ping));
  EXPECT_EQ(test::StatusLine(test::ReadFor(fifth, 2500, test::ResponseComplete)),
            "HTTP/1.1 200 Fine");
  close(second);
  close(fourth);
  close(fifth);
}

}  // namespace
}  // namespace vorla
