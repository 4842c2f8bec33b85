// BroadcastClient: the receiving end of the Configurators' UDP announcements. A datagram (at most
// 512 bytes) carries one unprotected frame; Receive turns it into a netw_message_t. Used by the
// controller's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "common/status_codes.h"
#include "net/netw_message.h"
#include "platform/sockets.h"

namespace vorla {

inline constexpr size_t kDatagramLimit = 512;
inline constexpr uint32_t kBroadcastWaitMs = 50;
inline constexpr uint32_t kBroadcastNothing = 10053;

// One datagram's bytes as a message: 0, or 10053 when the bytes are empty, too long, carry an
// impossible header or announce more bytes than they hold (such a datagram is dropped whole
// rather than cut).
Status ParseDatagram(std::span<const uint8_t> datagram, netw_message_t& out);

class BroadcastClient {
 public:
  BroadcastClient() = default;
  virtual ~BroadcastClient();
  BroadcastClient(const BroadcastClient&) = delete;
  BroadcastClient& operator=(const BroadcastClient&) = delete;

  // 0 or 0xC0000FA2 (logged).
  Status Open(uint16_t port);
  // 0 with `received` true when a datagram became a message; 10053 when nothing usable arrived
  // within 50 ms; 0xC0000FA2 when the socket is not open.
  Status Receive(netw_message_t& out, bool& received);
  void Close();
  bool is_open() const { return socket_ != nullptr; }

 private:
  std::unique_ptr<platform::UdpSocket> socket_;
};

}  // namespace vorla
