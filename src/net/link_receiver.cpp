#include "net/link_receiver.h"

#include "common/format_string.h"
#include "common/host_identity.h"
#include "common/logging.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace vorla {

LinkReceiver::LinkReceiver(LinkIo& io, ThreadSafeQueue<netw_message_t>& queue, ConnectionKeys& keys,
                           std::atomic<uint16_t>& peer_last_flags, PartCipher& cipher,
                           std::function<bool()> stop_requested)
    : io_(io),
      queue_(queue),
      keys_(keys),
      peer_last_flags_(peer_last_flags),
      cipher_(cipher),
      stop_requested_(std::move(stop_requested)) {}

void LinkReceiver::PostErrorNotice(uint32_t code) {
  queue_.Push(MakeConnectionErrorNotice(code));
  last_notice_tick_ = platform::GetClock().TickMs();
}

uint32_t LinkReceiver::SocketErrorOrAborted() {
  const uint32_t e = io_.LastError();
  return e != 0 ? e : kLinkErrorAborted;
}

void LinkReceiver::Step() {
  platform::Clock& clock = platform::GetClock();
  if (error_count_ != 0) {
    // The link has failed: only repeat the notice until the owner disconnects.
    if (clock.TickMs() - last_notice_tick_ > kNoticeRepeatMs) PostErrorNotice(last_error_);
    clock.SleepMs(kPollMs);
    return;
  }
  const LinkIo::Wait w = io_.WaitReadable(kPollMs);
  if (w == LinkIo::Wait::kError) {
    if (Stopping()) return;
    ++error_count_;
    PostErrorNotice(kLinkErrorAborted);
    last_error_ = kLinkErrorAborted;
    clock.SleepMs(kPollMs);
    return;
  }
  if (w == LinkIo::Wait::kTimeout) return;

  netw_message_t m;
  const uint32_t result = ReadMessage(m);
  if (result != 0) {
    // A frame cut short by a stop request is not delivered either.
    if (Stopping()) return;
    ++error_count_;
    PostErrorNotice(result);
    last_error_ = result;
    clock.SleepMs(kPollMs);
    return;
  }

  const bool keyed = keys_.keys_established.load(std::memory_order_acquire);
  bool part1_failed = false;
  const bool opened =
      OpenReceivedParts(m, keyed ? &keys_.box_key : nullptr, &cipher_, &part1_failed);
  if (!opened) {
    if ((m.header.flags & kNetwFlagSealed) && keyed) {
      if (part1_failed) platform::DebugOutput(u"Broken!\n");
    } else {
      platform::DebugOutput(u"Broken!");
    }
  }

  if (m.header.type == nwmt_public_key && !keyed && m.header.length1 > 0) {
    AcceptPeerKey(m);
    return;
  }
  if (!opened) {
    LogIfFailed(false, kStatusInternalError, u"SocketRec: Message decryption failed.", 2,
                EVENTLOG_ERROR_TYPE);
    platform::DebugOutput(u"Broken!");
    return;
  }
  if (queue_.Size() >= kLinkQueueLimit) {
    LogStatus(kStatusInternalError,
              FormatString(u"SocketRec (%d): Incomming Msg queue to big. Dropping message.",
                           io_.HandleNumber()),
              EVENTLOG_ERROR_TYPE, 2);
    return;
  }
  peer_last_flags_.store(m.header.flags, std::memory_order_relaxed);
  queue_.Push(std::move(m));
}

void LinkReceiver::AcceptPeerKey(const netw_message_t& m) {
  // Without an own key pair (sealing library not ready) the link stays on the provider keys:
  // the peer never got a key from us and will not seal.
  if (keys_.own_secret_key.empty()) return;
  // A key that is not 32 bytes (or not a usable point) is never used for sealing. The peer would
  // seal everything it sends from now on and none of it could be opened, so the link is treated
  // as failed and the owner reconnects.
  BoxKey box;
  if (m.part1.size() != kBoxKeyBytes ||
      !PrecomputeBoxKey(m.part1.span(), keys_.own_secret_key.span(), box)) {
    LogStatus(kStatusInternalError,
              FormatString(u"SocketRec: Unusable peer public key [%d bytes]. Link dropped.",
                           m.part1.size()),
              EVENTLOG_ERROR_TYPE, 2);
    ++error_count_;
    last_error_ = kStatusInternalError;
    PostErrorNotice(last_error_);
    return;
  }
  keys_.peer_public_key = m.part1;
  keys_.box_key = box;
  keys_.keys_established.store(true, std::memory_order_release);
}

uint32_t LinkReceiver::ReadMessage(netw_message_t& out) {
  std::array<uint8_t, kNetwHeaderSize> raw{};
  if (!ReadExact(raw)) return SocketErrorOrAborted();
  const netw_header h = *ReadNetwHeader(raw);
  switch (CheckReceivedHeader(h)) {
    case HeaderCheck::kRefused: return SocketErrorOrAborted();
    case HeaderCheck::kOversized:
      LogStatus(kStatusResourceAllocationError,
                FormatString(u"SocketRec: Oversized data request discarded [req=%d]", h.length2),
                EVENTLOG_WARNING_TYPE, 2);
      return kStatusResourceAllocationError;
    case HeaderCheck::kOk: break;
  }
  // The owner only ever takes messages off the queue, so what is waiting now can only shrink
  // until these parts would be queued.
  const uint64_t queued = queue_.SumOf(
      [](const netw_message_t& m) { return uint64_t{m.part1.size()} + m.part2.size(); });
  const uint64_t announced = uint64_t{h.length1} + h.length2;
  if (announced > queue_byte_budget_ || queued > queue_byte_budget_ - announced) {
    LogStatus(kStatusResourceAllocationError,
              FormatString(u"SocketRec (%d): Incoming queue over its byte budget [%llu bytes "
                           u"waiting, %llu more announced, budget %llu]. Link dropped.",
                           io_.HandleNumber(), queued, announced, queue_byte_budget_),
              EVENTLOG_ERROR_TYPE, 2);
    return kStatusResourceAllocationError;
  }
  out.header = h;
  uint32_t result = 0;
  // Each part is one buffer sized by the header, which the limits above bound.
  auto read_part = [&](uint32_t length, PayloadBuffer& part) {
    part = PayloadBuffer::TryAllocate(length);
    if (part.empty()) {
      result = kStatusResourceAllocationError;
      return;
    }
    if (!ReadExact(part.mutable_span())) result = SocketErrorOrAborted();
  };
  if (h.length1 > 0) read_part(h.length1, out.part1);
  if (h.length2 > 0) read_part(h.length2, out.part2);
  return result;
}

bool LinkReceiver::ReadExact(std::span<uint8_t> into) {
  platform::Clock& clock = platform::GetClock();
  const uint64_t start = clock.TickMs();
  uint32_t empty_waits = 0;
  int64_t last_receive = 1;
  size_t got = 0;
  while (got < into.size() && empty_waits < kReadEmptyWaits) {
    if (Stopping()) break;
    const LinkIo::Wait w = io_.WaitReadable(kReadWaitMs);
    if (w == LinkIo::Wait::kError) break;
    if (w == LinkIo::Wait::kTimeout) {
      ++empty_waits;
      continue;
    }
    last_receive = io_.Receive(into.subspan(got));
    if (last_receive <= 0) break;
    got += static_cast<size_t>(last_receive);
  }
  if (got == into.size()) return true;
  const uint64_t elapsed = clock.TickMs() - start;
  if (empty_waits >= kReadEmptyWaits && elapsed >= kTimeoutLogMs) {
    const uint32_t address = peer_address_ != 0 ? peer_address_ : io_.PeerAddress();
    LogStatus(kStatusTimeout,
              FormatString(u"SocketRec: Timout on expected data [%d bytes from %d] from IP %s. "
                           u"Network latency may be an issue. Err=%d, latency=%llu",
                           static_cast<int64_t>(got), static_cast<int64_t>(into.size()),
                           FormatIPv4(HostOrderIPv4(address)), last_receive, elapsed),
              EVENTLOG_WARNING_TYPE, 2);
  }
  return false;
}

}  // namespace vorla
