#include "server_link.h"

#include "common/byte_reader.h"
#include "platform/clock.h"
#include "security/security_server_v2.h"

namespace vorla::recsrv {

LinkIo::Wait ServerLink::Io::WaitReadable(uint32_t timeout_ms) {
  switch (socket_.WaitReadable(timeout_ms)) {
    case platform::SocketWait::kReady: return Wait::kReady;
    case platform::SocketWait::kTimeout: return Wait::kTimeout;
    case platform::SocketWait::kError: break;
  }
  return Wait::kError;
}

int64_t ServerLink::Io::Receive(std::span<uint8_t> into) {
  const int64_t got = socket_.Receive(into);
  if (got == 0) closed_by_peer_ = true;
  if (got < 0) failed_ = true;
  for (int64_t i = 0; i < got && pending_ + i < head_.size(); ++i)
    head_[pending_ + i] = into[static_cast<size_t>(i)];
  if (got > 0) pending_ += static_cast<uint64_t>(got);
  return got;
}

ServerLink::ServerLink(std::unique_ptr<platform::TcpSocket> socket, std::function<bool()> stop)
    : socket_(std::move(socket)),
      io_(*socket_),
      receiver_(io_, queue_, keys_, peer_last_flags_, ProviderCipher(), std::move(stop)),
      random_(std::random_device{}()) {
  CreateKeyPair(SecurityServer_v2::Instance(), keys_.own_public_key, keys_.own_secret_key);
  peer_address_ = socket_->PeerAddress();
  receiver_.set_peer_address(peer_address_);
  nonce_word_ = DrawNonceWord(0);
}

ServerLink::~ServerLink() { Drop(); }

uint32_t ServerLink::DrawNonceWord(uint32_t avoid) {
  uint32_t w = 0;
  while (w == 0 || w == avoid) w = static_cast<uint32_t>(random_());
  return w;
}

bool ServerLink::SendPublicKey() {
  if (keys_.own_public_key.empty()) return false;
  std::lock_guard<std::mutex> lock(send_lock_);
  FrameProtection p;
  last_time_stamp_ =
      NextSendTimeStamp(last_time_stamp_, static_cast<uint64_t>(platform::GetClock().WallMillis()));
  p.time_stamp = last_time_stamp_;
  size_t length = 0;
  if (EncodeFrame(MakeNetwMessage(nwmt_public_key, keys_.own_public_key), p, send_buffer_,
                  length) != 0)
    return false;
  return socket_->SendAll(send_buffer_.span().first(length)) == 0;
}

std::optional<netw_message_t> ServerLink::Receive(std::string* dropped) {
  netw_message_t m;
  if (!queue_.Pop(m, 0)) {
    const bool was_keyed = keyed();
    receiver_.Step();
    const bool have = queue_.Pop(m, 0);
    // A pass that read a whole message and delivered nothing, without taking the peer's key,
    // dropped a message whose parts did not open (the receive step only logs that).
    if (!have && dropped && io_.pending() >= kNetwHeaderSize && keyed() == was_keyed) {
      const netw_header h = *ReadNetwHeader(io_.head());
      *dropped = "a message of type " + std::to_string(h.type) + " (flags " +
                 std::to_string(h.flags) + ", parts of " + std::to_string(h.length1) + " and " +
                 std::to_string(h.length2) + " bytes) that could not be opened was dropped";
    }
    // A pass reads one whole message (delivered or dropped) or nothing, or it fails and posts
    // a notice; only then do the bytes of the unfinished message tell what went wrong.
    if (!have || m.header.type != nwmt_connection_error) io_.MessageDone();
    if (!have) return std::nullopt;
  }
  if ((m.header.flags & kNetwFlagSealed) && m.header.nonce_word == nonce_word_.load()) {
    std::lock_guard<std::mutex> lock(send_lock_);
    nonce_word_ = DrawNonceWord(m.header.nonce_word);
  }
  return m;
}

uint32_t ServerLink::Send(const netw_message_t& m) {
  std::lock_guard<std::mutex> lock(send_lock_);
  if (!socket_->is_open()) return kStatusNoActiveConnection;
  FrameProtection p;
  last_time_stamp_ =
      NextSendTimeStamp(last_time_stamp_, static_cast<uint64_t>(platform::GetClock().WallMillis()));
  p.time_stamp = last_time_stamp_;
  if (keys_.keys_established.load(std::memory_order_acquire)) {
    p.box_key = &keys_.box_key;
    p.nonce_word = nonce_word_.load();
  } else {
    p.encrypt = true;
    p.key_index = ChooseKeyIndex((peer_last_flags_.load() & kNetwFlagFromWorkstation) != 0,
                                 static_cast<uint32_t>(random_()));
    p.cipher = &ProviderCipher();
  }
  size_t length = 0;
  const uint32_t r = EncodeFrame(m, p, send_buffer_, length);
  if (r != 0) return r;
  return socket_->SendAll(send_buffer_.span().first(length));
}

std::string ServerLink::FailureText(uint32_t error) const {
  const uint64_t got = io_.pending();
  const std::string partial =
      got == 0 ? std::string()
               : " in the middle of a message (" + std::to_string(got) + " bytes of it came)";
  if (dropped_.load()) return "ended on this side" + partial;
  if (io_.closed_by_peer()) return "closed by the workstation" + partial;
  // A reset: the peer's socket was closed with our data unread (a process that died, say).
  if (io_.failed())
    return (error == platform::kSocketErrorConnectionReset
                ? std::string("reset by the workstation")
                : "socket error " + std::to_string(error)) +
           partial;
  if (got >= kNetwHeaderSize) {
    const netw_header h = *ReadNetwHeader(io_.head());
    const std::string fields = "type " + std::to_string(h.type) + ", parts of " +
                               std::to_string(h.length1) + " and " + std::to_string(h.length2) +
                               " bytes";
    if (error == kStatusResourceAllocationError)
      return "an oversized message refused (" + fields + ")";
    if (got == kNetwHeaderSize) return "a header that is not one of this protocol (" + fields + ")";
    return "the workstation stopped sending" + partial;
  }
  if (got > 0) return "the workstation stopped sending" + partial;
  return "error " + std::to_string(error);
}

std::string ServerLink::ClosedLine(const netw_message_t& notice) const {
  ByteReader r(notice.part1.span());
  uint32_t code = 0, error = 0;
  r.U32(code);
  r.U32(error);
  return "link closed: " + FailureText(error) + " (error " + std::to_string(error) + ")";
}

void ServerLink::Drop() {
  dropped_ = true;
  if (socket_ && socket_->is_open()) socket_->Shutdown();
}

}  // namespace vorla::recsrv
