#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/sockets.h"

namespace vorla::platform {
namespace {

thread_local uint32_t t_last_socket_error = 0;

// How long a connect may take before it counts as timed out.
constexpr int kConnectTimeoutMs = 21000;

uint32_t Fail(int system_error) {
  t_last_socket_error = SocketErrorFromSystem(system_error);
  return t_last_socket_error;
}
void Succeed() { t_last_socket_error = 0; }

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;  // both are network order
  return sa;
}

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// poll() for one event, retrying after interruptions with the time that is left.
SocketWait PollFor(int fd, short events, uint32_t timeout_ms) {
  if (fd < 0) {
    Fail(EBADF);
    return SocketWait::kError;
  }
  const uint64_t start = MonotonicMs();
  for (;;) {
    const uint64_t spent = MonotonicMs() - start;
    const int left = spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return SocketWait::kError;
    }
    Succeed();
    if (r == 0) return SocketWait::kTimeout;
    if (p.revents & POLLNVAL) {
      Fail(EBADF);
      return SocketWait::kError;
    }
    // An error or hang-up makes the socket "readable": the next receive reports it.
    return SocketWait::kReady;
  }
}

uint16_t LocalPortOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

template <typename Fd>
void CloseFd(Fd& fd) {
  if (fd >= 0) close(static_cast<int>(fd));
  fd = -1;
}

}  // namespace

uint32_t LastSocketError() { return t_last_socket_error; }

uint32_t SocketErrorFromSystem(int e) {
  switch (e) {
    case 0: return kSocketErrorConnectionAborted;
    case EINTR: return kSocketErrorInterrupted;
    case EBADF: return kSocketErrorBadHandle;
    case EACCES:
    case EPERM: return kSocketErrorAccess;
    case EINVAL: return kSocketErrorInvalid;
    case EMFILE:
    case ENFILE: return kSocketErrorTooManyOpen;
    case EWOULDBLOCK: return kSocketErrorWouldBlock;
    case EINPROGRESS: return kSocketErrorInProgress;
    case ENOTSOCK: return kSocketErrorNotSocket;
    case EMSGSIZE: return kSocketErrorMessageSize;
    case EADDRINUSE: return kSocketErrorAddressInUse;
    case EADDRNOTAVAIL: return kSocketErrorAddressNotAvailable;
    case ENETDOWN: return kSocketErrorNetworkDown;
    case ENETUNREACH: return kSocketErrorNetworkUnreachable;
    case ENETRESET: return kSocketErrorNetworkReset;
    case ECONNABORTED: return kSocketErrorConnectionAborted;
    case ECONNRESET:
    case EPIPE: return kSocketErrorConnectionReset;  // writing to a link the peer reset
    case ENOBUFS:
    case ENOMEM: return kSocketErrorNoBuffers;
    case ENOTCONN: return kSocketErrorNotConnected;
    case ESHUTDOWN: return kSocketErrorShutdown;
    case ETIMEDOUT: return kSocketErrorTimedOut;
    case ECONNREFUSED: return kSocketErrorConnectionRefused;
    case EHOSTUNREACH:
    case EHOSTDOWN: return kSocketErrorHostUnreachable;
    default: return static_cast<uint32_t>(e);
  }
}

uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

// ---- TcpSocket

std::unique_ptr<TcpSocket> TcpSocket::Create() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  Succeed();
  return std::unique_ptr<TcpSocket>(new TcpSocket(fd));
}

TcpSocket::~TcpSocket() { Close(); }

uint32_t TcpSocket::Connect(uint32_t address, uint16_t port) {
  if (handle_ < 0) return Fail(EBADF);
  // Address 0 is no peer: Linux would take it for this machine, so a name that did not resolve
  // would reach a local listener.
  if (address == 0) return Fail(EADDRNOTAVAIL);
  // Connect without blocking and wait for the outcome, so that an unanswered attempt ends after
  // 21 s rather than the much longer Linux default.
  const int fl = fcntl(handle_, F_GETFL, 0);
  if (fl < 0 || fcntl(handle_, F_SETFL, fl | O_NONBLOCK) != 0) return Fail(errno);
  const sockaddr_in sa = MakeAddress(address, port);
  int r = connect(handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
  int err = r == 0 ? 0 : errno;
  if (r != 0 && err == EINPROGRESS) {
    const SocketWait w = PollFor(handle_, POLLOUT, kConnectTimeoutMs);
    if (w == SocketWait::kTimeout) {
      err = ETIMEDOUT;
    } else if (w == SocketWait::kError) {
      err = errno ? errno : EBADF;
    } else {
      socklen_t len = sizeof(err);
      if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  fcntl(handle_, F_SETFL, fl);
  if (err != 0) return Fail(err);
  const int one = 1;
  setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  Succeed();
  return 0;
}

SocketWait TcpSocket::WaitWritable(uint32_t timeout_ms) {
  return PollFor(handle_, POLLOUT, timeout_ms);
}
SocketWait TcpSocket::WaitReadable(uint32_t timeout_ms) { return PollFor(handle_, POLLIN, timeout_ms); }

uint32_t TcpSocket::SendAll(std::span<const uint8_t> bytes) {
  if (handle_ < 0) return Fail(EBADF);
  // The limit runs from the last progress, so a slow but reading peer is never cut off.
  const uint32_t limit = SendTimeLimitMs();
  uint64_t last_progress = MonotonicMs();
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w =
        send(handle_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w >= 0) {
      done += static_cast<size_t>(w);
      last_progress = MonotonicMs();
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
    const uint64_t waited = MonotonicMs() - last_progress;
    if (waited >= limit) return Fail(ETIMEDOUT);
    pollfd p{static_cast<int>(handle_), POLLOUT, 0};
    const int r = poll(&p, 1, static_cast<int>(limit - waited));
    if (r < 0 && errno != EINTR) return Fail(errno);
    // Not writable for the whole limit: the few bytes the kernel might still take below its
    // low-water mark are no progress of the peer's.
    if (r == 0) return Fail(ETIMEDOUT);
  }
  Succeed();
  return 0;
}

int64_t TcpSocket::Receive(std::span<uint8_t> into) {
  if (handle_ < 0) {
    Fail(EBADF);
    return -1;
  }
  for (;;) {
    const ssize_t r = recv(handle_, into.data(), into.size(), 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return -1;
    }
    Succeed();
    return r;
  }
}

uint32_t TcpSocket::PeerAddress() const {
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (handle_ < 0 || getpeername(handle_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return sa.sin_addr.s_addr;
}

uint16_t TcpSocket::LocalPort() const { return LocalPortOf(handle_); }

void TcpSocket::Shutdown() {
  if (handle_ >= 0) shutdown(handle_, SHUT_RDWR);
}

void TcpSocket::Close() { CloseFd(handle_); }

// ---- TcpListener

std::unique_ptr<TcpListener> TcpListener::Listen(uint32_t address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  const sockaddr_in sa = MakeAddress(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 16) != 0) {
    Fail(errno);
    CloseFd(fd);
    return nullptr;
  }
  Succeed();
  return std::unique_ptr<TcpListener>(new TcpListener(fd, LocalPortOf(fd)));
}

TcpListener::~TcpListener() { Close(); }

std::unique_ptr<TcpSocket> TcpListener::Accept(uint32_t timeout_ms) {
  if (PollFor(handle_, POLLIN, timeout_ms) != SocketWait::kReady) return nullptr;
  for (;;) {
    const int fd = accept4(handle_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return nullptr;
    }
    Succeed();
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return std::unique_ptr<TcpSocket>(new TcpSocket(fd));
  }
}

void TcpListener::Close() { CloseFd(handle_); }

// ---- UdpSocket

std::unique_ptr<UdpSocket> UdpSocket::Create() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  Succeed();
  return std::unique_ptr<UdpSocket>(new UdpSocket(fd));
}

UdpSocket::~UdpSocket() { Close(); }

uint32_t UdpSocket::Bind(uint16_t port) {
  if (handle_ < 0) return Fail(EBADF);
  const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), port);
  if (bind(handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) return Fail(errno);
  Succeed();
  return 0;
}

uint32_t UdpSocket::EnableBroadcast() {
  const int one = 1;
  if (handle_ < 0) return Fail(EBADF);
  if (setsockopt(handle_, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) return Fail(errno);
  Succeed();
  return 0;
}

uint16_t UdpSocket::LocalPort() const { return LocalPortOf(handle_); }

SocketWait UdpSocket::WaitReadable(uint32_t timeout_ms) { return PollFor(handle_, POLLIN, timeout_ms); }

int64_t UdpSocket::ReceiveFrom(std::span<uint8_t> into, bool* truncated) {
  if (handle_ < 0) {
    Fail(EBADF);
    return -1;
  }
  for (;;) {
    // MSG_TRUNC makes the result the datagram's full length, so a longer one is recognised.
    const ssize_t r = recv(handle_, into.data(), into.size(), MSG_TRUNC);
    if (r < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return -1;
    }
    Succeed();
    const bool cut = static_cast<size_t>(r) > into.size();
    if (truncated) *truncated = cut;
    return cut ? static_cast<int64_t>(into.size()) : r;
  }
}

uint32_t UdpSocket::SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes) {
  if (handle_ < 0) return Fail(EBADF);
  const sockaddr_in sa = MakeAddress(address, port);
  for (;;) {
    const ssize_t w = sendto(handle_, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    if (w < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    Succeed();
    return 0;
  }
}

void UdpSocket::Close() { CloseFd(handle_); }

}  // namespace vorla::platform
