// SocketManager: one TCP link to a peer (a Configurator or the recording server), with its
// receive thread, its incoming queue and its key exchange.
//
// Connect opens the link, starts the SocketRecieveThread and sends the own public key in clear.
// Send lays each message out as one frame (net/link_codec.h) and hands it to the socket under the
// send lock: sealed with the link's box key once the peer's key has arrived, else enciphered with
// a provider key when asked. The receive thread queues what the peer sends (at most 50 waiting,
// and parts of at most the byte budget: beyond it the link fails) and, once the link fails, an
// nwmt_connection_error notice every 5 s until the owner calls Disconnect.
//
// Nonces: the box key is the same in both directions and for every message of a link, and the
// nonce is made of the header's nonce word and time stamp. So each link draws a random non-zero
// nonce word per connection for the headers it seals (the peer's are 0 or its own), and the time
// stamps it sends strictly increase. No two messages sealed under one key share a nonce.
//
// Threads: Send from any thread; Connect and Disconnect by the owner only, never at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

#include "common/payload_buffer.h"
#include "common/status_codes.h"
#include "net/link_codec.h"
#include "net/link_receiver.h"
#include "net/netw_message.h"
#include "net/thread_safe_queue.h"
#include "platform/sockets.h"
#include "service/thread.h"

namespace vorla {

class SocketRecieveThread : public Thread {
 public:
  static constexpr uint32_t kStackSize = 524288;

  SocketRecieveThread(platform::TcpSocket& socket, ThreadSafeQueue<netw_message_t>& queue,
                      ConnectionKeys& keys, std::atomic<uint16_t>& peer_last_flags,
                      PartCipher& cipher = ProviderCipher());
  // True at once unless Start was called; otherwise the base Stop.
  bool Stop(int32_t seconds) override;
  bool Start() override;
  ~SocketRecieveThread() override;
  uint32_t Run() override;

  void set_peer_address(uint32_t address) { receiver_.set_peer_address(address); }
  void set_queue_byte_budget(uint64_t bytes) { receiver_.set_queue_byte_budget(bytes); }

 private:
  class SocketIo final : public LinkIo {
   public:
    explicit SocketIo(platform::TcpSocket& s) : socket_(s) {}
    Wait WaitReadable(uint32_t timeout_ms) override;
    int64_t Receive(std::span<uint8_t> into) override;
    uint32_t LastError() override { return platform::LastSocketError(); }
    uint32_t PeerAddress() override { return socket_.PeerAddress(); }
    int64_t HandleNumber() override { return socket_.handle_number(); }

   private:
    platform::TcpSocket& socket_;
  };

  SocketIo io_;
  LinkReceiver receiver_;
  bool started_ = false;
};

class SocketManager {
 public:
  static constexpr uint32_t kWritableWaitMs = 500;
  static constexpr int32_t kStopSeconds = 5;

  // Makes the own key pair when the sealing library is ready (else the link has none and falls
  // back to the provider keys). `cipher` is the provider cipher (tests may pass their own).
  explicit SocketManager(PartCipher& cipher = ProviderCipher());
  virtual ~SocketManager();
  SocketManager(const SocketManager&) = delete;
  SocketManager& operator=(const SocketManager&) = delete;

  // address: IPv4 in network order; port in host order. 0 or 0xC0000FA2.
  Status Connect(uint32_t address, uint16_t port);
  void Disconnect();
  // 0 when the whole frame went to the socket; 0xC0000FA2 when not connected; 111 when no send
  // buffer could be had; 13866 when a part could not be sealed or enciphered; else the socket
  // error. The caller's payload bytes are never changed.
  uint32_t Send(netw_message_t message, bool encrypt);
  // Writes the peer address (network order) when there is a socket; true in every case.
  bool GetClientName(uint32_t& address) const;
  // The incoming queue's byte budget (kLinkQueueByteBudget unless set; tests set small ones).
  // Owner only; it holds from the next Connect.
  void set_incoming_byte_budget(uint64_t bytes) { incoming_byte_budget_ = bytes; }

  ThreadSafeQueue<netw_message_t>& incoming() { return incoming_; }
  bool connected() const { return connected_.load(std::memory_order_acquire); }

  // For tests and diagnostics.
  const PayloadBuffer& own_public_key() const { return keys_.own_public_key; }
  bool keys_established() const { return keys_.keys_established.load(std::memory_order_acquire); }
  uint32_t nonce_word() const;

 private:
  uint32_t SendFrame(netw_message_t message, bool encrypt, bool may_seal);
  void SendOwnPublicKey();

  std::atomic<bool> connected_{false};
  std::unique_ptr<platform::TcpSocket> socket_;
  ThreadSafeQueue<netw_message_t> incoming_;
  std::unique_ptr<SocketRecieveThread> receive_thread_;
  mutable std::mutex send_lock_;
  PayloadBuffer send_buffer_;
  std::atomic<uint32_t> peer_address_{0};
  ConnectionKeys keys_;
  std::atomic<uint16_t> peer_last_flags_{0};
  PartCipher& cipher_;
  uint64_t incoming_byte_budget_ = kLinkQueueByteBudget;  // owner only
  // Under the send lock.
  uint64_t last_time_stamp_ = 0;
  uint32_t nonce_word_ = 0;
  std::minstd_rand key_index_random_;
};

}  // namespace vorla
