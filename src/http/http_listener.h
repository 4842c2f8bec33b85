// The byte mover of the local HTTP interface: HTTP/1.1 on loopback, plain and over TLS, serving
// every request through one handler on the thread that calls RunFor. It parses requests and
// writes replies; what a request means is the handler's business (http_requests.h).
//
// Limits: a request (headers and body) larger than max_request_bytes gets 413 and its
// connection is closed; a connection that has not delivered a complete request within
// request_timeout_ms (from its start, or from the previous reply when kept alive) is closed
// without a reply, and so is one whose TLS handshake or reply write takes that long; at most
// max_connections are open at once (the rest wait in the listen queue). Requests are handled one
// at a time; a slow client never holds the others up.
//
// Not thread-safe: create, set up, run and destroy it on one thread. Destroying it closes every
// socket at once. Nothing here logs; failures are returned (and accept errors go to the debug
// output).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/http_requests.h"

namespace vorla {

struct HttpListenerLimits {
  size_t max_request_bytes = kHttpRequestLimit;
  uint32_t request_timeout_ms = 3000;
  size_t max_connections = 16;
};

struct HttpListenerCore;  // http_listener.cpp's own

class HttpListener {
 public:
  // Called for each complete request within the limits, on the thread in RunFor.
  using Handler = std::function<HttpReply(std::string_view method, std::string_view target,
                                          std::string_view body)>;

  // `cors` adds the CORS headers to the listener's own 400 and 413 replies.
  HttpListener(Handler handler, bool cors, HttpListenerLimits limits = {});
  ~HttpListener();
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // The certificate and key (PEM) HTTPS presents. 0, or OpenSSL's error code when they cannot
  // be used (unreadable, a key that is not the certificate's, too weak for the TLS settings).
  uint32_t SetCertificate(const std::string& chain_pem, const std::string& key_pem);

  // Listens on 127.0.0.1:port and, where the system has IPv6 loopback, [::1] on the same port
  // (port 0: a free one). 0, or the errno of the IPv4 socket (EADDRINUSE...). ListenHttps needs
  // SetCertificate first (else EINVAL).
  uint32_t ListenHttp(uint16_t port);
  uint32_t ListenHttps(uint16_t port);
  // The bound ports, 0 while not listening.
  uint16_t http_port() const;
  uint16_t https_port() const;

  // Serves what arrives for `ms` milliseconds, then returns.
  void RunFor(uint32_t ms);

 private:
  std::unique_ptr<HttpListenerCore> impl_;
};

}  // namespace vorla
