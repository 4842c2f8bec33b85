#include "net/broadcast_client.h"

#include <array>

#include "common/format_string.h"
#include "common/logging.h"
#include "net/link_codec.h"

namespace vorla {

Status ParseDatagram(std::span<const uint8_t> datagram, netw_message_t& out) {
  if (datagram.empty() || datagram.size() > kDatagramLimit) return kBroadcastNothing;
  size_t used = 0;
  netw_message_t m;
  if (ParseFrame(datagram, m, used) != FrameParse::kOk) return kBroadcastNothing;
  out = std::move(m);
  return 0;
}

BroadcastClient::~BroadcastClient() { Close(); }

Status BroadcastClient::Open(uint16_t port) {
  Close();
  auto s = platform::UdpSocket::Create();
  if (!s) {
    LogIfFailed(false, kStatusNoActiveConnection,
                FormatString(u"Failed to create broadcast port %d", port), 3,
                EVENTLOG_WARNING_TYPE);
    return kStatusNoActiveConnection;
  }
  if (s->Bind(port) != 0) {
    LogIfFailed(false, kStatusNoActiveConnection,
                FormatString(u"Failed to open broadcast port %d", port), 3, EVENTLOG_WARNING_TYPE);
    return kStatusNoActiveConnection;
  }
  s->EnableBroadcast();
  socket_ = std::move(s);
  return 0;
}

Status BroadcastClient::Receive(netw_message_t& out, bool& received) {
  received = false;
  if (!socket_) return kStatusNoActiveConnection;
  if (socket_->WaitReadable(kBroadcastWaitMs) != platform::SocketWait::kReady)
    return kBroadcastNothing;
  // One byte more than the limit shows a datagram that is too long.
  std::array<uint8_t, kDatagramLimit + 1> buffer{};
  bool truncated = false;
  const int64_t n = socket_->ReceiveFrom(buffer, &truncated);
  if (n <= 0 || truncated) return kBroadcastNothing;
  const Status s =
      ParseDatagram(std::span<const uint8_t>(buffer).first(static_cast<size_t>(n)), out);
  if (s == 0) received = true;
  return s;
}

void BroadcastClient::Close() { socket_.reset(); }

}  // namespace vorla
