// winsock2.h comes before everything else of the system's that uses sockets.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "platform/sockets.h"

namespace vorla::platform {
namespace {

thread_local uint32_t t_last_socket_error = 0;

// How long a connect may take before it counts as timed out.
constexpr uint32_t kConnectTimeoutMs = 21000;
// The longest a single wait inside Receive or SendAll lasts before the call looks again, so that
// a Shutdown from another thread ends it even where the system does not wake the wait.
constexpr uint32_t kWaitSliceMs = 100;
// The most one send call hands over: the system's buffering stays bounded by the socket buffer
// rather than by the size of the caller's frame.
constexpr size_t kMaxSendChunk = 1024 * 1024;

uint32_t Fail(int system_error) {
  t_last_socket_error = SocketErrorFromSystem(system_error);
  return t_last_socket_error;
}
uint32_t FailWithLast() { return Fail(WSAGetLastError()); }
void Succeed() { t_last_socket_error = 0; }

// The socket layer is started by the service before any link exists; programs and tests that
// use sockets without it get it here, once.
bool SocketLayerStarted() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET AsSocket(intptr_t handle) { return static_cast<SOCKET>(handle); }
intptr_t AsHandle(SOCKET s) { return static_cast<intptr_t>(s); }

// A socket that child processes do not inherit. Systems whose socket layer does not know the
// flag get a plain socket with inheritance turned off afterwards.
SOCKET NewSocket(int type, int protocol) {
  if (!SocketLayerStarted()) {
    Fail(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET)
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  if (s == INVALID_SOCKET) FailWithLast();
  return s;
}

bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

void SetNoDelay(SOCKET s) {
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;  // both are network order
  return sa;
}

uint64_t MonotonicMs() { return GetTickCount64(); }

enum class Direction { kRead, kWrite };

// select() for one direction. A failed connect and a socket error count as ready (the next call
// on the socket reports them), as an error or hang-up does with poll().
SocketWait SelectFor(intptr_t handle, Direction direction, uint32_t timeout_ms) {
  if (handle < 0) {
    Fail(WSAEBADF);
    return SocketWait::kError;
  }
  const SOCKET s = AsSocket(handle);
  fd_set wanted, failed;
  FD_ZERO(&wanted);
  FD_ZERO(&failed);
  FD_SET(s, &wanted);
  FD_SET(s, &failed);
  timeval tv{};
  tv.tv_sec = static_cast<long>(timeout_ms / 1000);
  tv.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
  // The first argument is ignored by this select().
  const int r = direction == Direction::kRead ? select(0, &wanted, nullptr, &failed, &tv)
                                              : select(0, nullptr, &wanted, &failed, &tv);
  if (r == SOCKET_ERROR) {
    FailWithLast();
    return SocketWait::kError;
  }
  Succeed();
  return r == 0 ? SocketWait::kTimeout : SocketWait::kReady;
}

uint16_t LocalPortOf(intptr_t handle) {
  sockaddr_in sa{};
  int len = sizeof(sa);
  if (handle < 0 || getsockname(AsSocket(handle), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return 0;
  return ntohs(sa.sin_port);
}

void CloseHandleOf(intptr_t& handle) {
  if (handle >= 0) closesocket(AsSocket(handle));
  handle = -1;
}

}  // namespace

uint32_t LastSocketError() { return t_last_socket_error; }

// The system's socket errors are already the Windows numbers.
uint32_t SocketErrorFromSystem(int e) {
  return e == 0 ? kSocketErrorConnectionAborted : static_cast<uint32_t>(e);
}

uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

// ---- TcpSocket

// Stream sockets stay non-blocking for their whole life: a bounded send needs it, and a second
// thread may be receiving on the same socket meanwhile, so the mode cannot be switched per call.
// Receive waits for data itself and so still blocks as the callers expect.
std::unique_ptr<TcpSocket> TcpSocket::Create() {
  const SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  if (!SetNonBlocking(s)) {
    FailWithLast();
    closesocket(s);
    return nullptr;
  }
  Succeed();
  return std::unique_ptr<TcpSocket>(new TcpSocket(AsHandle(s)));
}

TcpSocket::~TcpSocket() { Close(); }

uint32_t TcpSocket::Connect(uint32_t address, uint16_t port) {
  if (handle_ < 0) return Fail(WSAEBADF);
  // Address 0 is no peer; a name that did not resolve must not reach a local listener.
  if (address == 0) return Fail(WSAEADDRNOTAVAIL);
  const SOCKET s = AsSocket(handle_);
  const sockaddr_in sa = MakeAddress(address, port);
  int err = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      // A refused or failed attempt shows as an exception on the socket, a made one as writable.
      const SocketWait w = SelectFor(handle_, Direction::kWrite, kConnectTimeoutMs);
      if (w == SocketWait::kTimeout) {
        err = WSAETIMEDOUT;
      } else if (w == SocketWait::kError) {
        err = static_cast<int>(t_last_socket_error);
      } else {
        int len = sizeof(err);
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
          err = WSAGetLastError();
      }
    }
  }
  if (err != 0) return Fail(err);
  SetNoDelay(s);
  Succeed();
  return 0;
}

SocketWait TcpSocket::WaitWritable(uint32_t timeout_ms) {
  return SelectFor(handle_, Direction::kWrite, timeout_ms);
}
SocketWait TcpSocket::WaitReadable(uint32_t timeout_ms) {
  return SelectFor(handle_, Direction::kRead, timeout_ms);
}

uint32_t TcpSocket::SendAll(std::span<const uint8_t> bytes) {
  if (handle_ < 0) return Fail(WSAEBADF);
  const SOCKET s = AsSocket(handle_);
  // The limit runs from the last progress, so a slow but reading peer is never cut off.
  const uint32_t limit = SendTimeLimitMs();
  uint64_t last_progress = MonotonicMs();
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t chunk = std::min(bytes.size() - done, kMaxSendChunk);
    const int w =
        send(s, reinterpret_cast<const char*>(bytes.data() + done), static_cast<int>(chunk), 0);
    if (w != SOCKET_ERROR) {
      done += static_cast<size_t>(w);
      last_progress = MonotonicMs();
      continue;
    }
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) return Fail(err);
    const uint64_t waited = MonotonicMs() - last_progress;
    if (waited >= limit) return Fail(WSAETIMEDOUT);
    const uint32_t left = static_cast<uint32_t>(limit - waited);
    if (SelectFor(handle_, Direction::kWrite, std::min(left, kWaitSliceMs)) == SocketWait::kError)
      return Fail(static_cast<int>(t_last_socket_error));
  }
  Succeed();
  return 0;
}

int64_t TcpSocket::Receive(std::span<uint8_t> into) {
  if (handle_ < 0) {
    Fail(WSAEBADF);
    return -1;
  }
  const SOCKET s = AsSocket(handle_);
  const int want = static_cast<int>(std::min<size_t>(into.size(), INT_MAX));
  for (;;) {
    const int r = recv(s, reinterpret_cast<char*>(into.data()), want, 0);
    if (r != SOCKET_ERROR) {
      Succeed();
      return r;
    }
    const int err = WSAGetLastError();
    // After Shutdown the system refuses receives; a shut link reads as ended, as elsewhere.
    if (err == WSAESHUTDOWN) {
      Succeed();
      return 0;
    }
    if (err != WSAEWOULDBLOCK) {
      Fail(err);
      return -1;
    }
    if (SelectFor(handle_, Direction::kRead, kWaitSliceMs) == SocketWait::kError) return -1;
  }
}

uint32_t TcpSocket::PeerAddress() const {
  sockaddr_in sa{};
  int len = sizeof(sa);
  if (handle_ < 0 || getpeername(AsSocket(handle_), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return 0;
  return sa.sin_addr.s_addr;
}

uint16_t TcpSocket::LocalPort() const { return LocalPortOf(handle_); }

// A receive or send waiting inside this object looks at the socket again within kWaitSliceMs
// and then sees the shutdown.
void TcpSocket::Shutdown() {
  if (handle_ >= 0) shutdown(AsSocket(handle_), SD_BOTH);
}

void TcpSocket::Close() { CloseHandleOf(handle_); }

// ---- TcpListener

std::unique_ptr<TcpListener> TcpListener::Listen(uint32_t address, uint16_t port) {
  SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  // Without it another program could bind the same port and take our connections.
  const BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  const sockaddr_in sa = MakeAddress(address, port);
  // Non-blocking, so that a connection that went away between the wait and the accept cannot
  // block Accept past its time limit.
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0 || listen(s, 16) != 0 ||
      !SetNonBlocking(s)) {
    FailWithLast();
    closesocket(s);
    return nullptr;
  }
  Succeed();
  return std::unique_ptr<TcpListener>(new TcpListener(AsHandle(s), LocalPortOf(AsHandle(s))));
}

TcpListener::~TcpListener() { Close(); }

std::unique_ptr<TcpSocket> TcpListener::Accept(uint32_t timeout_ms) {
  if (SelectFor(handle_, Direction::kRead, timeout_ms) != SocketWait::kReady) return nullptr;
  const SOCKET s = accept(AsSocket(handle_), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    FailWithLast();
    return nullptr;
  }
  // The accepted socket takes the listener's attributes; set the ones it relies on anyway.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (!SetNonBlocking(s)) {
    FailWithLast();
    closesocket(s);
    return nullptr;
  }
  SetNoDelay(s);
  Succeed();
  return std::unique_ptr<TcpSocket>(new TcpSocket(AsHandle(s)));
}

void TcpListener::Close() { CloseHandleOf(handle_); }

// ---- UdpSocket

std::unique_ptr<UdpSocket> UdpSocket::Create() {
  const SOCKET s = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return nullptr;
  // Otherwise a port-unreachable answer to an earlier datagram fails the next receive with
  // 10054, which an unconnected datagram socket elsewhere never reports.
  BOOL report = FALSE;
  DWORD unused = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &unused, nullptr, nullptr);
  Succeed();
  return std::unique_ptr<UdpSocket>(new UdpSocket(AsHandle(s)));
}

UdpSocket::~UdpSocket() { Close(); }

uint32_t UdpSocket::Bind(uint16_t port) {
  if (handle_ < 0) return Fail(WSAEBADF);
  const SOCKET s = AsSocket(handle_);
  const BOOL one = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  const sockaddr_in sa = MakeAddress(htonl(INADDR_ANY), port);
  if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) return FailWithLast();
  Succeed();
  return 0;
}

uint32_t UdpSocket::EnableBroadcast() {
  if (handle_ < 0) return Fail(WSAEBADF);
  const BOOL one = TRUE;
  if (setsockopt(AsSocket(handle_), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one),
                 sizeof(one)) != 0)
    return FailWithLast();
  Succeed();
  return 0;
}

uint16_t UdpSocket::LocalPort() const { return LocalPortOf(handle_); }

SocketWait UdpSocket::WaitReadable(uint32_t timeout_ms) {
  return SelectFor(handle_, Direction::kRead, timeout_ms);
}

int64_t UdpSocket::ReceiveFrom(std::span<uint8_t> into, bool* truncated) {
  if (handle_ < 0) {
    Fail(WSAEBADF);
    return -1;
  }
  const int want = static_cast<int>(std::min<size_t>(into.size(), INT_MAX));
  const int r = recv(AsSocket(handle_), reinterpret_cast<char*>(into.data()), want, 0);
  if (r != SOCKET_ERROR) {
    Succeed();
    if (truncated) *truncated = false;
    return r;
  }
  // A longer datagram fills the buffer with its first bytes, drops the rest and reports 10040.
  if (WSAGetLastError() == WSAEMSGSIZE) {
    Succeed();
    if (truncated) *truncated = true;
    return want;
  }
  FailWithLast();
  return -1;
}

uint32_t UdpSocket::SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes) {
  if (handle_ < 0) return Fail(WSAEBADF);
  if (bytes.size() > INT_MAX) return Fail(WSAEMSGSIZE);
  const sockaddr_in sa = MakeAddress(address, port);
  if (sendto(AsSocket(handle_), reinterpret_cast<const char*>(bytes.data()),
             static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&sa),
             sizeof(sa)) == SOCKET_ERROR)
    return FailWithLast();
  Succeed();
  return 0;
}

void UdpSocket::Close() { CloseHandleOf(handle_); }

}  // namespace vorla::platform
