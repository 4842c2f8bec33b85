// libFuzzer target: any bytes as a datagram or as the stream of a link. ParseFrame and the
// receive step of a link end in a message, a refusal or a failed link, never read past the
// bytes, and allocate no more than the header limits allow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "net/broadcast_client.h"
#include "net/link_codec.h"
#include "net/link_receiver.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/fake/fake_clock.h"

namespace {

using namespace vorla;

// The fuzz input as a link's byte stream, handed out in small pieces; silence once it ends.
class BytesIo final : public LinkIo {
 public:
  explicit BytesIo(std::span<const uint8_t> b) : bytes_(b) {}
  Wait WaitReadable(uint32_t ms) override {
    if (pos_ < bytes_.size()) return Wait::kReady;
    platform::GetClock().SleepMs(ms);
    return Wait::kTimeout;
  }
  int64_t Receive(std::span<uint8_t> into) override {
    const size_t n = std::min({into.size(), bytes_.size() - pos_, size_t{97}});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, into.begin());
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  uint32_t LastError() override { return 0; }
  uint32_t PeerAddress() override { return 0; }
  int64_t HandleNumber() override { return 1; }
  bool done() const { return pos_ >= bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

class NoCipher final : public PartCipher {
 public:
  bool Encrypt(uint16_t, uint8_t*, uint32_t) override { return true; }
  bool Decrypt(uint16_t k, uint8_t*, uint32_t) override { return k < 2; }
};

// Log records are not what is under test; keep them off the disk.
class NoLog final : public platform::EventLog {
 public:
  bool Write(const platform::EventLogRecord&) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  netw_message_t m;
  size_t used = 0;
  if (ParseFrame(bytes, m, used) == FrameParse::kOk) {
    if (used > size || m.part1.size() != m.header.length1 || m.part2.size() != m.header.length2)
      std::abort();
  }
  ParseDatagram(bytes, m);

  static platform::FakeClock clock;
  static NoLog no_log;
  platform::SetClockForTesting(&clock);
  platform::SetEventLogForTesting(&no_log);
  BytesIo io(bytes);
  ThreadSafeQueue<netw_message_t> queue;
  ConnectionKeys keys;
  std::atomic<uint16_t> flags{0};
  NoCipher cipher;
  LinkReceiver rx(io, queue, keys, flags, cipher, [] { return false; });
  // A frame costs at most a few steps; a failed link only repeats its notice.
  for (int i = 0; i < 64 && !(io.done() && rx.error_count() != 0); ++i) {
    rx.Step();
    if (io.done() && queue.Size() > 0 && rx.error_count() == 0) break;
  }
  if (queue.Size() > kLinkQueueLimit + 64) std::abort();
  platform::SetClockForTesting(nullptr);
  return 0;
}
