// The only translation unit that includes Beast and Asio: each costs half a minute and most of a
// gigabyte to compile, so nothing else may see them.
#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif

#include "http/http_listener.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cerrno>
#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <vector>

#include "common/format_string.h"
#include "platform/debug_output.h"

namespace vorla {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

// After a 413 the rest of the request is read and dropped for at most this long (or this many
// bytes), so that closing does not reset the connection before the client has read the reply.
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr size_t kDrainBytes = 64 * 1024;
// A failed accept (out of descriptors) is retried after a pause rather than at once.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kTlsShutdownTime = std::chrono::milliseconds(500);

std::string_view View(beast::string_view s) { return {s.data(), s.size()}; }

void SetCloseOnExec(int fd) {
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

bool IsRequestTooLarge(const beast::error_code& ec) {
  return ec == http::error::header_limit || ec == http::error::body_limit ||
         ec == http::error::buffer_overflow;
}

// A syntax error of the request itself (not the connection ending or timing out).
bool IsBadRequest(const beast::error_code& ec) {
  return ec.category() == beast::error_code(http::error::bad_target).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message &&
         ec != http::error::need_more && ec != http::error::need_buffer;
}

}  // namespace

struct HttpListenerCore {
  struct Acceptor {
    Acceptor(asio::io_context& io, bool tls_port) : acceptor(io), retry(io), tls(tls_port) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    bool tls;
    bool waiting = false;
  };

  HttpListenerCore(HttpListener::Handler h, bool c, HttpListenerLimits l)
      : handler(std::move(h)), cors(c), limits(l) {}
  ~HttpListenerCore() {
    // Pending handlers are destroyed with the io_context below; the sessions they own end then
    // and must not start new accepts.
    closing = true;
    for (auto& a : acceptors) {
      beast::error_code ec;
      a->acceptor.close(ec);
      a->retry.cancel();
    }
  }

  uint32_t Listen(uint16_t port, bool tls_port, uint16_t& bound);
  void StartAccept(Acceptor& a);
  void SessionStarted() { ++connections; }
  void SessionEnded() {
    --connections;
    if (closing) return;
    for (auto& a : acceptors) StartAccept(*a);
  }
  std::chrono::milliseconds timeout() const {
    return std::chrono::milliseconds(limits.request_timeout_ms);
  }

  // Destroyed after the io_context (declared before it): sessions touch them as they end.
  HttpListener::Handler handler;
  bool cors;
  HttpListenerLimits limits;
  asio::ssl::context tls{asio::ssl::context::tls_server};
  bool tls_ready = false;
  size_t connections = 0;
  bool closing = false;
  uint16_t http_port = 0;
  uint16_t https_port = 0;

  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::unique_ptr<Acceptor>> acceptors;
};

namespace {

// One connection: read a request within the limits, hand it to the handler, write the reply,
// and again while the client keeps the connection alive.
template <bool kTls>
class Session : public std::enable_shared_from_this<Session<kTls>> {
  using Stream = std::conditional_t<kTls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

 public:
  Session(HttpListenerCore& owner, tcp::socket socket) requires(!kTls)
      : owner_(owner), stream_(std::move(socket)), buffer_(owner.limits.max_request_bytes) {
    owner_.SessionStarted();
  }
  Session(HttpListenerCore& owner, tcp::socket socket) requires(kTls)
      : owner_(owner),
        stream_(std::move(socket), owner.tls),
        buffer_(owner.limits.max_request_bytes) {
    owner_.SessionStarted();
  }
  ~Session() { owner_.SessionEnded(); }

  void Start() {
    if constexpr (kTls) {
      Tcp().expires_after(owner_.timeout());
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->Close();
                                self->handshaken_ = true;
                                self->ReadRequest();
                              });
    } else {
      ReadRequest();
    }
  }

 private:
  beast::tcp_stream& Tcp() { return beast::get_lowest_layer(stream_); }

  void ReadRequest() {
    const size_t limit = owner_.limits.max_request_bytes;
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(std::min<size_t>(limit, UINT32_MAX)));
    parser_->body_limit(limit);
    // One deadline for the whole request: a client that dribbles bytes is cut off all the same.
    Tcp().expires_after(owner_.timeout());
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](beast::error_code ec, size_t header_bytes) {
          self->OnHeader(ec, header_bytes);
        });
  }

  void OnHeader(beast::error_code ec, size_t header_bytes) {
    if (IsRequestTooLarge(ec)) return Reject(413);
    if (IsBadRequest(ec)) return Reject(400);
    if (ec) return Close();
    const size_t limit = owner_.limits.max_request_bytes;
    const size_t room = header_bytes < limit ? limit - header_bytes : 0;
    const auto length = parser_->content_length();
    if (length && *length > room) return Reject(413);
    parser_->body_limit(room);
    if (parser_->is_done()) return OnRequest();
    const auto expect = parser_->get()[http::field::expect];
    if (beast::iequals(expect, "100-continue")) {
      continue_.emplace(http::status::continue_, parser_->get().version());
      http::async_write(stream_, *continue_,
                        [self = this->shared_from_this()](beast::error_code e, size_t) {
                          if (e) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code ec, size_t) {
                       if (IsRequestTooLarge(ec)) return self->Reject(413);
                       if (IsBadRequest(ec)) return self->Reject(400);
                       if (ec) return self->Close();
                       self->OnRequest();
                     });
  }

  void OnRequest() {
    auto& request = parser_->get();
    HttpReply reply =
        owner_.handler(View(request.method_string()), View(request.target()), request.body());
    if (!reply.send) return Close();
    Write(std::move(reply), request.version(), request.keep_alive(), false);
  }

  void Reject(int status) {
    const unsigned version = parser_ && parser_->is_header_done() ? parser_->get().version() : 11;
    Write(TransportReply(status, owner_.cors), version, false, true);
  }

  void Write(HttpReply reply, unsigned version, bool keep_alive, bool drain) {
    response_.emplace();
    response_->version(version);
    response_->result(static_cast<unsigned>(reply.status));
    response_->reason(reply.reason);
    response_->set(http::field::content_type, reply.content_type);
    for (const auto& [name, value] : reply.headers) response_->set(name, value);
    response_->body() = std::move(reply.body);
    // A 204 carries no body and no length.
    if (reply.status != 204) response_->content_length(response_->body().size());
    response_->keep_alive(keep_alive);
    Tcp().expires_after(owner_.timeout());
    http::async_write(
        stream_, *response_,
        [self = this->shared_from_this(), keep_alive, drain](beast::error_code ec, size_t) {
          if (ec) return self->Close();
          if (drain) return self->Drain();
          if (keep_alive) return self->ReadRequest();
          self->Close();
        });
  }

  void Drain() {
    if constexpr (!kTls) {
      beast::error_code ec;
      Tcp().socket().shutdown(tcp::socket::shutdown_send, ec);
    }
    Tcp().expires_after(kDrainTime);
    DrainSome();
  }

  void DrainSome() {
    stream_.async_read_some(asio::buffer(scratch_),
                            [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                              self->drained_ += n;
                              if (ec || self->drained_ > kDrainBytes) return self->Close();
                              self->DrainSome();
                            });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    if constexpr (kTls) {
      if (handshaken_ && Tcp().socket().is_open()) {
        Tcp().expires_after(kTlsShutdownTime);
        stream_.async_shutdown(
            [self = this->shared_from_this()](beast::error_code) { self->CloseSocket(); });
        return;
      }
    }
    CloseSocket();
  }

  void CloseSocket() {
    beast::error_code ec;
    Tcp().socket().shutdown(tcp::socket::shutdown_both, ec);
    Tcp().close();
  }

  HttpListenerCore& owner_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::empty_body>> continue_;
  std::optional<http::response<http::string_body>> response_;
  std::array<char, 4096> scratch_{};
  size_t drained_ = 0;
  bool handshaken_ = false;
  bool closed_ = false;
};

}  // namespace

uint32_t HttpListenerCore::Listen(uint16_t port, bool tls_port, uint16_t& bound) {
  beast::error_code ec;
  auto v4 = std::make_unique<Acceptor>(io, tls_port);
  auto& a = v4->acceptor;
  a.open(tcp::v4(), ec);
  if (!ec) SetCloseOnExec(a.native_handle());
  if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) bound = a.local_endpoint(ec).port();
  if (ec) return ec.value() != 0 ? static_cast<uint32_t>(ec.value()) : EINVAL;
  acceptors.push_back(std::move(v4));

  // IPv6 loopback on the same port where the system offers it; without it IPv4 serves alone.
  auto v6 = std::make_unique<Acceptor>(io, tls_port);
  auto& b = v6->acceptor;
  b.open(tcp::v6(), ec);
  if (!ec) SetCloseOnExec(b.native_handle());
  if (!ec) b.set_option(asio::ip::v6_only(true), ec);
  if (!ec) b.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) b.bind(tcp::endpoint(asio::ip::address_v6::loopback(), bound), ec);
  if (!ec) b.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) acceptors.push_back(std::move(v6));

  for (auto& acceptor : acceptors) StartAccept(*acceptor);
  return 0;
}

void HttpListenerCore::StartAccept(Acceptor& a) {
  if (closing || a.waiting || !a.acceptor.is_open()) return;
  // At the connection limit the listen queue holds the rest; the next ending session resumes.
  if (connections >= limits.max_connections) return;
  a.waiting = true;
  a.acceptor.async_accept([this, &a](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || closing) {
      a.waiting = false;
      return;
    }
    if (ec) {
      platform::DebugOutput(FormatString(u"HTTP accept failed [err=%d]\n", ec.value()));
      a.retry.expires_after(kAcceptRetry);
      a.retry.async_wait([this, &a](beast::error_code) {
        a.waiting = false;
        StartAccept(a);
      });
      return;
    }
    a.waiting = false;
    SetCloseOnExec(socket.native_handle());
    if (a.tls)
      std::make_shared<Session<true>>(*this, std::move(socket))->Start();
    else
      std::make_shared<Session<false>>(*this, std::move(socket))->Start();
    StartAccept(a);
  });
}

HttpListener::HttpListener(Handler handler, bool cors, HttpListenerLimits limits)
    : impl_(std::make_unique<HttpListenerCore>(std::move(handler), cors, limits)) {}

HttpListener::~HttpListener() = default;

uint32_t HttpListener::SetCertificate(const std::string& chain_pem, const std::string& key_pem) {
  beast::error_code ec;
  auto& tls = impl_->tls;
  tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1,
                  ec);
  if (!ec) tls.use_certificate_chain(asio::buffer(chain_pem), ec);
  if (!ec) tls.use_private_key(asio::buffer(key_pem), asio::ssl::context::pem, ec);
  if (!ec && SSL_CTX_check_private_key(tls.native_handle()) != 1) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    return e != 0 ? static_cast<uint32_t>(e) : EINVAL;
  }
  ERR_clear_error();
  if (ec) return ec.value() != 0 ? static_cast<uint32_t>(ec.value()) : EINVAL;
  impl_->tls_ready = true;
  return 0;
}

uint32_t HttpListener::ListenHttp(uint16_t port) {
  return impl_->Listen(port, false, impl_->http_port);
}

uint32_t HttpListener::ListenHttps(uint16_t port) {
  if (!impl_->tls_ready) return EINVAL;
  return impl_->Listen(port, true, impl_->https_port);
}

uint16_t HttpListener::http_port() const { return impl_->http_port; }
uint16_t HttpListener::https_port() const { return impl_->https_port; }

void HttpListener::RunFor(uint32_t ms) {
  try {
    impl_->io.run_for(std::chrono::milliseconds(ms));
  } catch (const std::exception& e) {
    // A handler that threw: its connection is gone with it, the others carry on.
    platform::DebugOutput(FormatString(u"HTTP request handling failed: %s\n", e.what()));
  }
}

}  // namespace vorla
