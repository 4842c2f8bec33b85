// The receive side of one link: reading frames with exact reads and their waits, the limits,
// opening the parts, the peer's public key, the queue's count limit and byte budget, and the
// error notices. It works over an abstract byte source (LinkIo), so the whole receive step runs in
// memory in tests; the receive thread of a SocketManager runs it over the link's socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

#include "common/payload_buffer.h"
#include "common/status_codes.h"
#include "net/link_codec.h"
#include "net/netw_message.h"
#include "net/thread_safe_queue.h"

namespace vorla {

// The keys of one link. The receive thread writes the peer key and the box key, then sets
// keys_established with release order; a sender loads it with acquire order before it reads the
// box key. The own key pair is made once per manager and survives reconnections.
struct ConnectionKeys {
  std::atomic<bool> keys_established{false};
  PayloadBuffer own_secret_key;
  PayloadBuffer own_public_key;
  PayloadBuffer peer_public_key;
  BoxKey box_key;  // valid while keys_established
};

// What the receive step reads from.
class LinkIo {
 public:
  enum class Wait { kReady, kTimeout, kError };
  virtual ~LinkIo() = default;
  virtual Wait WaitReadable(uint32_t timeout_ms) = 0;
  // Up to into.size() bytes: the count, 0 when the peer closed, negative on an error.
  virtual int64_t Receive(std::span<uint8_t> into) = 0;
  // The socket layer's last error (0: none).
  virtual uint32_t LastError() = 0;
  // The peer's address in network order from the socket itself (0: unknown).
  virtual uint32_t PeerAddress() = 0;
  // The handle's number for log texts.
  virtual int64_t HandleNumber() = 0;
};

class LinkReceiver {
 public:
  static constexpr uint32_t kPollMs = 50;
  static constexpr uint32_t kReadWaitMs = 1000;
  static constexpr uint32_t kReadEmptyWaits = 3;
  static constexpr uint64_t kTimeoutLogMs = 3000;
  static constexpr uint64_t kNoticeRepeatMs = 5000;

  // All references must outlive the receiver. `stop_requested` is polled on every pass.
  LinkReceiver(LinkIo& io, ThreadSafeQueue<netw_message_t>& queue, ConnectionKeys& keys,
               std::atomic<uint16_t>& peer_last_flags, PartCipher& cipher,
               std::function<bool()> stop_requested);

  // The address shown in log texts (network order).
  void set_peer_address(uint32_t address) { peer_address_ = address; }
  // The queue's byte budget (kLinkQueueByteBudget unless set; tests set small ones). Set before
  // the first Step.
  void set_queue_byte_budget(uint64_t bytes) { queue_byte_budget_ = bytes; }

  // One pass of the receive loop.
  void Step();

  // Reads one frame into `out`: 0, the socket error (10053 when none), or 0xC0000E01 (a part
  // too long, or parts that would take the queue beyond its byte budget: then they are not read).
  uint32_t ReadMessage(netw_message_t& out);
  // Reads exactly into.size() bytes (at most three one-second waits without data).
  bool ReadExact(std::span<uint8_t> into);

  uint32_t error_count() const { return error_count_; }
  uint32_t last_error() const { return last_error_; }

 private:
  bool Stopping() const { return stop_requested_ && stop_requested_(); }
  void PostErrorNotice(uint32_t code);
  uint32_t SocketErrorOrAborted();
  void AcceptPeerKey(const netw_message_t& m);

  LinkIo& io_;
  ThreadSafeQueue<netw_message_t>& queue_;
  ConnectionKeys& keys_;
  std::atomic<uint16_t>& peer_last_flags_;
  PartCipher& cipher_;
  std::function<bool()> stop_requested_;
  uint32_t peer_address_ = 0;
  uint64_t queue_byte_budget_ = kLinkQueueByteBudget;
  uint32_t error_count_ = 0;
  uint32_t last_error_ = 0;
  uint64_t last_notice_tick_ = 0;
};

}  // namespace vorla
