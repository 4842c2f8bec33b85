// A scripted peer for the link tests: listens on 127.0.0.1, accepts one workstation link,
// exchanges public keys with a key pair of its own and reads and writes frames, sealed or plain,
// or any raw bytes a test wants to send (garbage, cut frames, huge lengths). Not a product: it
// has no receive thread; a test drives it step by step, usually from a second thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/payload_buffer.h"
#include "net/link_codec.h"
#include "net/netw_message.h"
#include "platform/sockets.h"

namespace vorla::test {

class TestPeer {
 public:
  TestPeer();  // listens on a free port of 127.0.0.1
  // Listens on address:port (network order; port 0: a free one), e.g. a second loopback address
  // with the port of a peer on the first.
  TestPeer(uint32_t address, uint16_t port);
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  bool listening() const { return listener_ != nullptr; }
  uint16_t port() const;
  // Accepts the next link (replacing the current one).
  bool Accept(uint32_t timeout_ms = 5000);
  // Accept, read the workstation's public key (the first message), send our own.
  bool Handshake(uint32_t timeout_ms = 5000);
  void Close();

  const PayloadBuffer& public_key() const { return public_key_; }
  bool knows_peer_key() const { return has_box_key_; }
  const PayloadBuffer& peer_public_key() const { return peer_public_; }

  // Reads one frame. Parts flagged as sealed are opened when the workstation's key is known,
  // provider-enciphered ones with the fixed keys (SecurityServer must be initialised);
  // `wire_header` gets the header as it came. A type-8 message teaches the peer the key (and is
  // returned as well). nullopt on a time-out, a close or a part that does not open.
  std::optional<netw_message_t> Read(uint32_t timeout_ms = 5000,
                                     netw_header* wire_header = nullptr);
  // Sends a message: sealed with the box key when `seal` (and the key is known), else plain;
  // `flags` are written as given (bit 2 added when sealed), and the time stamp and nonce word.
  bool Send(const netw_message_t& m, bool seal, uint16_t flags = 0, uint64_t time_stamp = 0,
            uint32_t nonce_word = 0);
  bool SendPublicKey() { return Send(MakeNetwMessage(nwmt_public_key, public_key_), false); }
  bool SendRaw(std::span<const uint8_t> bytes);
  // The provider cipher used to decipher what the workstation enciphered (default: the
  // process-wide SecurityServer).
  void set_cipher(PartCipher& cipher) { cipher_ = &cipher; }
  // Whether the workstation has closed the link (reads end-of-stream within timeout_ms).
  bool WaitForClose(uint32_t timeout_ms);

 private:
  bool ReadExact(std::span<uint8_t> into, uint32_t timeout_ms);

  std::unique_ptr<platform::TcpListener> listener_;
  std::unique_ptr<platform::TcpSocket> link_;
  PayloadBuffer public_key_;
  PayloadBuffer secret_key_;
  PayloadBuffer peer_public_;
  BoxKey box_key_;
  bool has_box_key_ = false;
  PartCipher* cipher_ = &ProviderCipher();
};

}  // namespace vorla::test
