#include "support/test_peer.h"

#include <chrono>
#include <vector>

#include "security/security_server_v2.h"

namespace vorla::test {

TestPeer::TestPeer() : TestPeer(platform::LoopbackAddress(), 0) {}

TestPeer::TestPeer(uint32_t address, uint16_t port)
    : listener_(platform::TcpListener::Listen(address, port)) {
  CreateKeyPair(SecurityServer_v2::Instance(), public_key_, secret_key_);
}

TestPeer::~TestPeer() { Close(); }

uint16_t TestPeer::port() const { return listener_ ? listener_->port() : 0; }

bool TestPeer::Accept(uint32_t timeout_ms) {
  Close();
  if (!listener_) return false;
  link_ = listener_->Accept(timeout_ms);
  return link_ != nullptr;
}

bool TestPeer::Handshake(uint32_t timeout_ms) {
  if (!Accept(timeout_ms)) return false;
  const auto first = Read(timeout_ms);
  if (!first || first->header.type != nwmt_public_key) return false;
  return SendPublicKey();
}

void TestPeer::Close() {
  link_.reset();
  has_box_key_ = false;
  peer_public_ = PayloadBuffer();
}

bool TestPeer::ReadExact(std::span<uint8_t> into, uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t got = 0;
  while (got < into.size()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (link_->WaitReadable(static_cast<uint32_t>(left.count())) != platform::SocketWait::kReady)
      return false;
    const int64_t r = link_->Receive(into.subspan(got));
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

std::optional<netw_message_t> TestPeer::Read(uint32_t timeout_ms, netw_header* wire_header) {
  if (!link_) return std::nullopt;
  std::array<uint8_t, kNetwHeaderSize> raw{};
  if (!ReadExact(raw, timeout_ms)) return std::nullopt;
  netw_message_t m;
  m.header = *ReadNetwHeader(raw);
  if (wire_header) *wire_header = m.header;
  if (m.header.length1 >= kLinkLength1Limit || m.header.length2 >= kLinkLength2Limit)
    return std::nullopt;
  if (m.header.length1) {
    m.part1 = PayloadBuffer::Allocate(m.header.length1);
    if (!ReadExact(m.part1.mutable_span(), timeout_ms)) return std::nullopt;
  }
  if (m.header.length2) {
    m.part2 = PayloadBuffer::Allocate(m.header.length2);
    if (!ReadExact(m.part2.mutable_span(), timeout_ms)) return std::nullopt;
  }
  if (m.header.type == nwmt_public_key && !has_box_key_ && m.part1.size() == kBoxKeyBytes) {
    peer_public_ = m.part1;
    has_box_key_ = PrecomputeBoxKey(peer_public_.span(), secret_key_.span(), box_key_);
    return m;
  }
  // Sealed parts open with the box key, provider-enciphered ones with the fixed keys.
  if (!OpenReceivedParts(m, has_box_key_ ? &box_key_ : nullptr, cipher_)) return std::nullopt;
  return m;
}

bool TestPeer::Send(const netw_message_t& m, bool seal, uint16_t flags, uint64_t time_stamp,
                    uint32_t nonce_word) {
  if (!link_) return false;
  FrameProtection p;
  p.time_stamp = time_stamp;
  if (seal && has_box_key_) {
    p.box_key = &box_key_;
    p.nonce_word = nonce_word;
  }
  PayloadBuffer buffer;
  size_t length = 0;
  netw_header h;
  if (EncodeFrame(m, p, buffer, length, &h) != 0) return false;
  // The peer writes its own flags (EncodeFrame marks frames as the workstation's).
  h.flags = static_cast<uint16_t>(flags | (p.box_key ? kNetwFlagSealed : 0));
  h.nonce_word = nonce_word;
  WriteNetwHeader(h, std::span<uint8_t, kNetwHeaderSize>(buffer.data(), kNetwHeaderSize));
  return link_->SendAll(buffer.span().first(length)) == 0;
}

bool TestPeer::SendRaw(std::span<const uint8_t> bytes) {
  return link_ && link_->SendAll(bytes) == 0;
}

bool TestPeer::WaitForClose(uint32_t timeout_ms) {
  if (!link_) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<uint8_t> sink(4096);
  while (std::chrono::steady_clock::now() < deadline) {
    if (link_->WaitReadable(50) != platform::SocketWait::kReady) continue;
    const int64_t r = link_->Receive(sink);
    if (r <= 0) return true;
  }
  return false;
}

}  // namespace vorla::test
