// Cost of a Ping round trip through the local HTTP interface on loopback: a fresh connection per
// request (connect, request, reply, close), and requests in turn on one kept-alive connection.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "http/http_server_thread.h"

namespace {

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends the request and reads until the reply's 36-byte body has arrived.
bool RoundTrip(int fd, const std::string& request) {
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return false;
  std::string reply;
  char buf[1024];
  while (true) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    reply.append(buf, static_cast<size_t>(n));
    const size_t end = reply.find("\r\n\r\n");
    if (end != std::string::npos && reply.size() >= end + 4 + 36) return true;
  }
}

class Server {
 public:
  Server() {
    thread_.StartHTTPServer(
        [](uint32_t, vorla::TriggerEvent&, const std::u16string&) { return 0u; }, u"BENCH", 0, u"",
        false);
    while (thread_.listen_state() == vorla::HTTPServerThread::ListenState::kNotStarted)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  uint16_t port() const { return thread_.http_port(); }

 private:
  vorla::HTTPServerThread thread_;
};

void BM_HttpPingNewConnection(benchmark::State& state) {
  Server server;
  const std::string request =
      "GET /Workstation/Ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  for (auto _ : state) {
    const int fd = Connect(server.port());
    if (fd < 0 || !RoundTrip(fd, request)) state.SkipWithError("no reply");
    close(fd);
  }
}
BENCHMARK(BM_HttpPingNewConnection)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_HttpPingKeptAlive(benchmark::State& state) {
  Server server;
  const std::string request = "GET /Workstation/Ping HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const int fd = Connect(server.port());
  for (auto _ : state)
    if (!RoundTrip(fd, request)) state.SkipWithError("no reply");
  close(fd);
}
BENCHMARK(BM_HttpPingKeptAlive)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
