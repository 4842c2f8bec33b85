// The server side of one workstation link: an accepted socket with a key pair of its own. It
// sends its public key first, reads frames with the same receive step as the workstation's links
// (limits, exact reads, the peer key, opening sealed or provider-enciphered parts) and seals what
// it sends once the peer's key is known.
//
// Nonces: both sides seal under the same box key, and a nonce is the header's nonce word and
// time stamp. The link draws a random non-zero nonce word for itself and keeps its time stamps
// strictly increasing; should the workstation's nonce word ever equal ours, ours is drawn again.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "common/status_codes.h"
#include "net/link_codec.h"
#include "net/link_receiver.h"
#include "net/netw_message.h"
#include "net/thread_safe_queue.h"
#include "platform/sockets.h"

namespace vorla::recsrv {

class ServerLink {
 public:
  // Takes the accepted socket. `stop` is polled by the reads.
  ServerLink(std::unique_ptr<platform::TcpSocket> socket, std::function<bool()> stop);
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Sends the own public key in clear; false when the link has no key pair or the send failed.
  bool SendPublicKey();
  // The next message within one receive pass (about 50 ms): a message, an nwmt_connection_error
  // notice when the link has failed, or nothing. A whole message whose parts could not be opened
  // is dropped; `dropped` (when given) then says which.
  std::optional<netw_message_t> Receive(std::string* dropped = nullptr);
  // Sealed once the peer key is known, else enciphered with a provider key. 0 or an error.
  uint32_t Send(const netw_message_t& m);
  // Ends both directions at once (the peer sees the link close).
  void Drop();

  // What ended the link, for the line that reports an nwmt_connection_error notice: a Drop on
  // this side, a close by the peer (between or in the middle of messages), a header that is not one
  // of this protocol, an oversized part, a peer that stopped sending, a socket error.
  std::string FailureText(uint32_t error) const;
  // The whole line for such a notice: "link closed: <what> (error N)".
  std::string ClosedLine(const netw_message_t& notice) const;

  uint32_t peer_address() const { return peer_address_; }
  bool keyed() const { return keys_.keys_established.load(std::memory_order_acquire); }

 private:
  // The socket as the receive step reads it, with what the byte stream did since the last whole
  // message: how many bytes of the next one came (and its first 64, the header), and whether
  // the peer closed or the socket failed.
  class Io final : public LinkIo {
   public:
    explicit Io(platform::TcpSocket& s) : socket_(s) {}
    Wait WaitReadable(uint32_t timeout_ms) override;
    int64_t Receive(std::span<uint8_t> into) override;
    uint32_t LastError() override { return platform::LastSocketError(); }
    uint32_t PeerAddress() override { return socket_.PeerAddress(); }
    int64_t HandleNumber() override { return socket_.handle_number(); }

    void MessageDone() { pending_ = 0; }
    uint64_t pending() const { return pending_; }
    const std::array<uint8_t, kNetwHeaderSize>& head() const { return head_; }
    bool closed_by_peer() const { return closed_by_peer_; }
    bool failed() const { return failed_; }

   private:
    platform::TcpSocket& socket_;
    uint64_t pending_ = 0;
    std::array<uint8_t, kNetwHeaderSize> head_{};
    bool closed_by_peer_ = false;
    bool failed_ = false;
  };

  uint32_t DrawNonceWord(uint32_t avoid);

  std::unique_ptr<platform::TcpSocket> socket_;
  Io io_;
  ThreadSafeQueue<netw_message_t> queue_;
  ConnectionKeys keys_;
  std::atomic<uint16_t> peer_last_flags_{0};
  LinkReceiver receiver_;
  uint32_t peer_address_ = 0;
  std::atomic<bool> dropped_{false};  // Drop was called (from any thread)

  std::mutex send_lock_;
  PayloadBuffer send_buffer_;
  uint64_t last_time_stamp_ = 0;
  std::atomic<uint32_t> nonce_word_{0};
  std::mt19937 random_;
};

}  // namespace vorla::recsrv
