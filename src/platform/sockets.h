// TCP and UDP sockets over IPv4: the socket capability of the links and the broadcast listener.
//
// Addresses are 32-bit IPv4 values in network order (first octet in the lowest-addressed byte),
// ports in host order. Every failing operation reports the system's socket error as the Windows
// socket error number the system's texts show (10053 connection aborted, 10054 reset, 10060
// timed out, 10061 refused, ...), both as its result where it has one and as the calling thread's
// last socket error (LastSocketError). A successful operation sets the last socket error to 0.
// One socket may be used by two threads at once when one only receives and the other only sends;
// Close must not race with either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vorla::platform {

// Windows socket error numbers used by the callers.
inline constexpr uint32_t kSocketErrorInterrupted = 10004;
inline constexpr uint32_t kSocketErrorBadHandle = 10009;
inline constexpr uint32_t kSocketErrorAccess = 10013;
inline constexpr uint32_t kSocketErrorInvalid = 10022;
inline constexpr uint32_t kSocketErrorTooManyOpen = 10024;
inline constexpr uint32_t kSocketErrorWouldBlock = 10035;
inline constexpr uint32_t kSocketErrorInProgress = 10036;
inline constexpr uint32_t kSocketErrorNotSocket = 10038;
inline constexpr uint32_t kSocketErrorMessageSize = 10040;
inline constexpr uint32_t kSocketErrorAddressInUse = 10048;
inline constexpr uint32_t kSocketErrorAddressNotAvailable = 10049;
inline constexpr uint32_t kSocketErrorNetworkDown = 10050;
inline constexpr uint32_t kSocketErrorNetworkUnreachable = 10051;
inline constexpr uint32_t kSocketErrorNetworkReset = 10052;
inline constexpr uint32_t kSocketErrorConnectionAborted = 10053;
inline constexpr uint32_t kSocketErrorConnectionReset = 10054;
inline constexpr uint32_t kSocketErrorNoBuffers = 10055;
inline constexpr uint32_t kSocketErrorNotConnected = 10057;
inline constexpr uint32_t kSocketErrorShutdown = 10058;
inline constexpr uint32_t kSocketErrorTimedOut = 10060;
inline constexpr uint32_t kSocketErrorConnectionRefused = 10061;
inline constexpr uint32_t kSocketErrorHostUnreachable = 10065;

// The calling thread's last socket error (0 after a successful socket operation).
uint32_t LastSocketError();

// The Windows socket error number of a system error value (errno); 10053 for 0, values without
// a counterpart pass through unchanged.
uint32_t SocketErrorFromSystem(int system_error);

enum class SocketWait { kReady, kTimeout, kError };

// How long SendAll waits for the peer to take more bytes: 30 s, or the milliseconds named by
// VORLA_SEND_LIMIT_MS (read at first use; for tests of peers that stop reading).
uint32_t SendTimeLimitMs();
// Test support: replaces the limit (0: back to the default or the environment's value).
void SetSendTimeLimitMsForTesting(uint32_t ms);

class TcpSocket {
 public:
  // A new IPv4 stream socket; nullptr when the system refuses one.
  static std::unique_ptr<TcpSocket> Create();
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Connects to address:port; 0 or the socket error. Gives up after about 21 s with 10060.
  uint32_t Connect(uint32_t address, uint16_t port);
  SocketWait WaitWritable(uint32_t timeout_ms);
  SocketWait WaitReadable(uint32_t timeout_ms);
  // Hands all bytes to the system; 0 when every byte was taken, else the socket error. Gives up
  // with 10060 when the peer takes nothing for SendTimeLimitMs() (a peer that stopped reading
  // must not hold its sender for ever); the link is then unusable and belongs closed.
  uint32_t SendAll(std::span<const uint8_t> bytes);
  // Receives up to into.size() bytes: the count, 0 when the peer has closed, -1 on an error.
  int64_t Receive(std::span<uint8_t> into);
  // The peer's address, 0 when unknown.
  uint32_t PeerAddress() const;
  // The local port (host order), 0 when unbound.
  uint16_t LocalPort() const;
  // Ends both directions (a blocked receive or send returns); the handle stays open.
  void Shutdown();
  void Close();
  bool is_open() const { return handle_ >= 0; }
  // A number identifying the handle in log texts.
  int64_t handle_number() const { return handle_; }

 private:
  friend class TcpListener;
  explicit TcpSocket(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;  // -1 when closed or refused
};

// A listening socket (used by the test peers).
class TcpListener {
 public:
  // Listens on address:port (port 0: any free port); nullptr on failure.
  static std::unique_ptr<TcpListener> Listen(uint32_t address, uint16_t port);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  uint16_t port() const { return port_; }
  // The next connection within timeout_ms; nullptr when none came or on an error.
  std::unique_ptr<TcpSocket> Accept(uint32_t timeout_ms);
  void Close();

 private:
  TcpListener(intptr_t handle, uint16_t port) : handle_(handle), port_(port) {}
  intptr_t handle_;  // -1 when closed or refused
  uint16_t port_;
};

class UdpSocket {
 public:
  // A new IPv4 datagram socket; nullptr when the system refuses one.
  static std::unique_ptr<UdpSocket> Create();
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to any local address and `port` (0: any free port); 0 or the socket error.
  uint32_t Bind(uint16_t port);
  uint32_t EnableBroadcast();
  uint16_t LocalPort() const;
  SocketWait WaitReadable(uint32_t timeout_ms);
  // One datagram into `into` (a longer one is cut to into.size(); `truncated` tells): the count,
  // or -1 on an error.
  int64_t ReceiveFrom(std::span<uint8_t> into, bool* truncated = nullptr);
  // One datagram to address:port; 0 or the socket error.
  uint32_t SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes);
  void Close();

 private:
  explicit UdpSocket(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;  // -1 when closed or refused
};

// 127.0.0.1 in network order.
uint32_t LoopbackAddress();

}  // namespace vorla::platform
