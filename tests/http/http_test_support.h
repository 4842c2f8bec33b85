// Helpers of the HTTP tests: certificates made with the openssl command (independent of the
// generator under test), a raw HTTP/1.1 client over POSIX sockets and a TLS client over OpenSSL.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace vorla::test {

// Writes "<dir>/<stem>.crt" and "<dir>/<stem>.key" (P-256, self-signed, for localhost) with the
// given subject ("/CN=localhost/O=Vorla Test"). With a password the key is encrypted.
inline bool OpenSslCertificate(const std::string& dir, const std::string& stem,
                               const std::string& subject, const std::string& password = {}) {
  const std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 30 -subj '" +
      subject + "' -addext subjectAltName=DNS:localhost,IP:127.0.0.1 " +
      (password.empty() ? std::string("-nodes") : "-passout pass:" + password) + " -keyout '" +
      dir + "/" + stem + ".key' -out '" + dir + "/" + stem + ".crt' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

inline bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// A socket connected to the loopback port (IPv4, or IPv6 with `v6`); -1 on failure.
inline int ConnectLoopback(uint16_t port, bool v6 = false) {
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  if (v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (r != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

inline bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads until the peer closes, or until `complete` says the bytes so far are enough, or the time
// is up. `closed` tells whether the peer closed (or reset) the connection.
template <class Complete>
std::string ReadFor(int fd, int timeout_ms, Complete complete, bool* closed = nullptr) {
  std::string out;
  if (closed) *closed = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!complete(out)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[8192];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// True once `bytes` hold one whole response (headers and Content-Length bytes of body).
inline bool ResponseComplete(const std::string& bytes) {
  const size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  size_t length = 0;
  const std::string headers = bytes.substr(0, end);
  if (const size_t at = headers.find("\r\nContent-Length: "); at != std::string::npos)
    length = std::strtoul(headers.c_str() + at + 18, nullptr, 10);
  return bytes.size() >= end + 4 + length;
}

// One exchange on a fresh connection: the whole response, or what came before the time-out.
inline std::string Exchange(uint16_t port, const std::string& request, int timeout_ms = 3000,
                            bool v6 = false) {
  const int fd = ConnectLoopback(port, v6);
  if (fd < 0) return "(no connection)";
  std::string reply;
  if (SendAll(fd, request)) reply = ReadFor(fd, timeout_ms, ResponseComplete);
  close(fd);
  return reply;
}

inline std::string StatusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

const std::string kPingRequest =
    "GET /Workstation/Ping HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
const std::string kPingResponse =
    "HTTP/1.1 200 Server OK\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: 36\r\n"
    "Connection: close\r\n"
    "\r\n"
    "Vorla Http Interface up and running.";

// A TLS client connection over OpenSSL; with a CA file it verifies the server's certificate and
// that it names "localhost", else it accepts any certificate.
class TlsClient {
 public:
  explicit TlsClient(const std::string& ca_file = {}) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_) return;
    if (!ca_file.empty()) {
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
      if (SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr) != 1) return;
    } else {
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    }
    ready_ = true;
  }
  ~TlsClient() {
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0) close(fd_);
    if (ctx_) SSL_CTX_free(ctx_);
  }
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Connects and completes the handshake; false with `error` set otherwise.
  bool Connect(uint16_t port) {
    if (!ready_) return Fail("client set-up");
    fd_ = ConnectLoopback(port);
    if (fd_ < 0) return Fail("connect");
    timeval tv{3, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_tlsext_host_name(ssl_, "localhost");
    SSL_set1_host(ssl_, "localhost");
    if (SSL_connect(ssl_) != 1) return Fail("handshake");
    return true;
  }
  // Sends the request and reads one whole response (or what came before the time-out).
  std::string Exchange(const std::string& request) {
    if (SSL_write(ssl_, request.data(), static_cast<int>(request.size())) <= 0) return {};
    std::string out;
    while (!ResponseComplete(out)) {
      char buf[4096];
      const int n = SSL_read(ssl_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // The subject of the server's certificate (one-line form).
  std::string PeerSubject() const {
    X509* cert = SSL_get1_peer_certificate(ssl_);
    if (!cert) return {};
    char text[512];
    X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
    X509_free(cert);
    return text;
  }
  long VerifyResult() const { return SSL_get_verify_result(ssl_); }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const char* what) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    error_ = std::string(what) + ": " + text;
    return false;
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
  bool ready_ = false;
  std::string error_;
};

}  // namespace vorla::test
