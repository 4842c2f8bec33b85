#include "net/link_receiver.h"

#include <gtest/gtest.h>

#include <deque>
#include <variant>

#include "net/net_test_util.h"
#include "platform/fake/fake_clock.h"
#include "security/security_server_v2.h"

namespace vorla {
namespace {

using test::FrameBytes;
using test::Header;

// A byte source driven by a script: chunks of bytes, silences (a wait that runs out, moving the
// fake clock), a close and wait errors.
class ScriptedIo final : public LinkIo {
 public:
  struct Silence {};
  struct Closed {};
  struct WaitError {};
  using Item = std::variant<std::vector<uint8_t>, Silence, Closed, WaitError>;

  void Bytes(std::vector<uint8_t> b) { items_.emplace_back(std::move(b)); }
  void Quiet() { items_.emplace_back(Silence{}); }

  Wait WaitReadable(uint32_t timeout_ms) override {
    if (items_.empty() || std::holds_alternative<Silence>(items_.front())) {
      if (!items_.empty()) items_.pop_front();
      platform::GetClock().SleepMs(timeout_ms);
      return Wait::kTimeout;
    }
    if (std::holds_alternative<WaitError>(items_.front())) {
      items_.pop_front();
      return Wait::kError;
    }
    return Wait::kReady;
  }
  int64_t Receive(std::span<uint8_t> into) override {
    if (items_.empty()) return -1;
    if (std::holds_alternative<Closed>(items_.front())) return 0;
    auto& chunk = std::get<std::vector<uint8_t>>(items_.front());
    const size_t n = std::min(chunk.size(), into.size());
    std::copy_n(chunk.begin(), n, into.begin());
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty()) items_.pop_front();
    return static_cast<int64_t>(n);
  }
  uint32_t LastError() override { return 0; }
  uint32_t PeerAddress() override { return 0x0302010A; }  // 10.1.2.3
  int64_t HandleNumber() override { return 77; }

  std::deque<Item> items_;
};

class PlainCipher final : public PartCipher {
 public:
  bool Encrypt(uint16_t, uint8_t*, uint32_t) override { return true; }
  bool Decrypt(uint16_t key_index, uint8_t*, uint32_t) override { return key_index != 2; }
};

class LinkReceiverTest : public testing::Test {
 protected:
  LinkReceiverTest() : use_clock_(clock_) {
    CreateKeyPair(SecurityServer_v2::Instance(), keys_.own_public_key, keys_.own_secret_key);
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) rx_.Step();
  }
  std::vector<netw_message_t> Drain() {
    std::vector<netw_message_t> out;
    netw_message_t m;
    while (queue_.TryPop(m)) out.push_back(m);
    return out;
  }

  platform::FakeClock clock_;
  platform::ScopedClockOverride use_clock_;
  test::LogCapture log_;
  ScriptedIo io_;
  ThreadSafeQueue<netw_message_t> queue_;
  ConnectionKeys keys_;
  std::atomic<uint16_t> flags_{0};
  PlainCipher cipher_;
  LinkReceiver rx_{io_, queue_, keys_, flags_, cipher_, [] { return false; }};
};

TEST_F(LinkReceiverTest, HeaderThenSilenceTimesOutAndRepeatsTheNotice) {
  rx_.set_peer_address(0x0302010A);
  io_.Bytes(FrameBytes(Header(nwmt_status, 100)));
  const uint64_t t0 = clock_.TickMs();
  rx_.Step();
  EXPECT_GE(clock_.TickMs() - t0, 3000u);
  const auto timeouts = test::Find(log_,
                                   u"SocketRec: Timout on expected data [0 bytes from 100] "
                                   u"from IP 10.1.2.3. Network latency may be an issue.");
  ASSERT_EQ(timeouts.size(), 1u);
  EXPECT_EQ(timeouts[0].code, kStatusTimeout);
  auto notices = Drain();
  ASSERT_EQ(notices.size(), 1u);  // at once
  EXPECT_EQ(notices[0].header.type, nwmt_connection_error);
  EXPECT_EQ(test::Word(notices[0].part1, 0), 1u);
  EXPECT_EQ(test::Word(notices[0].part1, 4), 10053u);
  EXPECT_EQ(rx_.error_count(), 1u);

  // Failed: nothing more is read, the notice comes again every 5 s.
  io_.Bytes(FrameBytes(Header(nwmt_status)));
  Steps(99);  // 99 × 50 ms: under 5 s
  EXPECT_TRUE(Drain().empty());
  Steps(3);
  notices = Drain();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(test::Word(notices[0].part1, 4), 10053u);
  EXPECT_FALSE(io_.items_.empty());  // the frame was never read
}

TEST_F(LinkReceiverTest, ShortTimeoutIsNotLogged) {
  // Three empty waits that together took under 3 s fail the read without the latency log.
  struct FastIo final : LinkIo {
    Wait WaitReadable(uint32_t) override { return Wait::kTimeout; }
    int64_t Receive(std::span<uint8_t>) override { return -1; }
    uint32_t LastError() override { return 0; }
    uint32_t PeerAddress() override { return 0; }
    int64_t HandleNumber() override { return 1; }
  } fast;
  LinkReceiver rx(fast, queue_, keys_, flags_, cipher_, [] { return false; });
  std::array<uint8_t, 4> buf{};
  EXPECT_FALSE(rx.ReadExact(buf));
  EXPECT_TRUE(test::Find(log_, u"Timout").empty());
}

TEST_F(LinkReceiverTest, HeaderLimitsFailTheLink) {
  struct Case {
    netw_header h;
    uint32_t code;
    const char16_t* log;
  };
  const Case cases[] = {
      {Header(255), 10053, nullptr},
      {Header(2, 4194304), 10053, nullptr},
      {Header(2, 0, 67108864), kStatusResourceAllocationError,
       u"SocketRec: Oversized data request discarded [req=67108864]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.h.type);
    ScriptedIo io;
    io.Bytes(FrameBytes(c.h));
    LinkReceiver rx(io, queue_, keys_, flags_, cipher_, [] { return false; });
    rx.Step();
    const auto got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].header.type, nwmt_connection_error);
    EXPECT_EQ(test::Word(got[0].part1, 4), c.code);
    if (c.log) {
      EXPECT_EQ(test::Find(log_, c.log).size(), 1u);
    }
  }
}

TEST_F(LinkReceiverTest, Type254IsQueuedAndFlagsAreRemembered) {
  io_.Bytes(FrameBytes(Header(254, 2, 0, kNetwFlagFromWorkstation), {7, 8}));
  io_.Bytes(FrameBytes(Header(nwmt_status)));
  Steps(2);
  const auto got = Drain();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].header.type, 254u);
  EXPECT_EQ(got[0].part1.data()[1], 8);
  EXPECT_EQ(got[1].header.length1, 0u);
  EXPECT_EQ(flags_.load(), 0);  // the last queued message's flags
}

TEST_F(LinkReceiverTest, PeerClosingFailsTheLink) {
  io_.items_.emplace_back(ScriptedIo::Closed{});
  rx_.Step();
  const auto got = Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(test::Word(got[0].part1, 4), 10053u);
}

TEST_F(LinkReceiverTest, TheFiftyFirstMessageIsDropped) {
  for (int i = 0; i < 50; ++i) queue_.Push(MakeNetwMessage(nwmt_status));
  io_.Bytes(FrameBytes(Header(nwmt_ws_sessioninfo)));
  rx_.Step();
  EXPECT_EQ(queue_.Size(), 50u);
  const auto logged =
      test::Find(log_, u"SocketRec (77): Incomming Msg queue to big. Dropping message.");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].code, kStatusInternalError);
  for (const auto& m : Drain()) EXPECT_EQ(m.header.type, nwmt_status);
  EXPECT_EQ(rx_.error_count(), 0u);
}

// A frame whose parts are `l1` and `l2` bytes long.
std::vector<uint8_t> FrameOf(uint32_t type, uint32_t l1, uint32_t l2) {
  return FrameBytes(Header(type, l1, l2), std::vector<uint8_t>(size_t{l1} + l2, 0x5A));
}

TEST_F(LinkReceiverTest, PartsBeyondTheQueuesByteBudgetDropTheLinkUnread) {
  rx_.set_queue_byte_budget(1000);
  for (int i = 0; i < 3; ++i) io_.Bytes(FrameOf(nwmt_ws_sessioninfo, 100, 200));
  io_.Bytes(FrameOf(nwmt_status, 0, 100));  // exactly up to the budget
  io_.Bytes(FrameOf(nwmt_status, 1, 0));    // one byte beyond it
  io_.Bytes(FrameOf(nwmt_status, 0, 0));
  Steps(5);
  EXPECT_EQ(rx_.error_count(), 1u);
  EXPECT_EQ(rx_.last_error(), kStatusResourceAllocationError);
  const auto logged = test::Find(log_, u"SocketRec (77): Incoming queue over its byte budget");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].code, kStatusResourceAllocationError);
  EXPECT_NE(logged[0].text.find(u"[1000 bytes waiting, 1 more announced, budget 1000]. Link "
                                u"dropped."),
            std::u16string::npos)
      << ToUtf8(logged[0].text);
  // The header was read, its part and the next frame were not.
  ASSERT_EQ(io_.items_.size(), 2u);
  EXPECT_EQ(std::get<std::vector<uint8_t>>(io_.items_.front()).size(), 1u);

  const auto got = Drain();
  ASSERT_EQ(got.size(), 5u);
  for (size_t i = 0; i < 4; ++i) EXPECT_NE(got[i].header.type, nwmt_connection_error) << i;
  EXPECT_EQ(got[4].header.type, nwmt_connection_error);
  EXPECT_EQ(test::Word(got[4].part1, 4), kStatusResourceAllocationError);
}

TEST_F(LinkReceiverTest, TheOwnerTakingMessagesReleasesTheByteBudget) {
  // 20 messages of 300 bytes through a budget of 1000: the owner keeps at most three waiting.
  rx_.set_queue_byte_budget(1000);
  for (uint32_t i = 0; i < 20; ++i) io_.Bytes(FrameOf(100 + i, 100, 200));
  std::vector<uint32_t> types;
  for (int i = 0; i < 20; ++i) {
    rx_.Step();
    netw_message_t m;
    if (queue_.Size() == 3 && queue_.TryPop(m)) types.push_back(m.header.type);
  }
  EXPECT_EQ(rx_.error_count(), 0u);
  EXPECT_TRUE(test::Find(log_, u"byte budget").empty());
  for (const auto& m : Drain()) types.push_back(m.header.type);
  ASSERT_EQ(types.size(), 20u);
  for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(types[i], 100 + i);

  // Without the owner taking any, the fourth of the next ones is refused.
  for (int i = 0; i < 4; ++i) io_.Bytes(FrameOf(nwmt_status, 100, 200));
  Steps(4);
  EXPECT_EQ(rx_.error_count(), 1u);
  EXPECT_EQ(queue_.Size(), 4u) << "three messages and the notice";
}

TEST_F(LinkReceiverTest, PeerKeyIsTakenOnceThenQueuedLikeAnyMessage) {
  PayloadBuffer peer_pub, peer_sec;
  ASSERT_TRUE(CreateKeyPair(SecurityServer_v2::Instance(), peer_pub, peer_sec));
  std::vector<uint8_t> key(peer_pub.span().begin(), peer_pub.span().end());
  io_.Bytes(FrameBytes(Header(nwmt_public_key, 32), key));
  rx_.Step();
  EXPECT_TRUE(keys_.keys_established.load());
  EXPECT_EQ(queue_.Size(), 0u);  // not queued
  EXPECT_EQ(std::vector<uint8_t>(keys_.peer_public_key.span().begin(),
                                 keys_.peer_public_key.span().end()),
            key);

  // Now sealed parts are opened; the peer's nonce word and time stamp are used as they come.
  BoxKey peer_box;
  ASSERT_TRUE(PrecomputeBoxKey(keys_.own_public_key.span(), peer_sec.span(), peer_box));
  FrameProtection p;
  p.box_key = &peer_box;
  p.time_stamp = 1234;
  p.nonce_word = 0;
  PayloadBuffer frame;
  size_t length = 0;
  ASSERT_EQ(EncodeFrame(MakeNetwMessage(nwmt_status,
                                        PayloadBuffer::CopyOf(std::vector<uint8_t>{2, 0, 0, 0})),
                        p, frame, length),
            0u);
  io_.Bytes({frame.data(), frame.data() + length});
  // A second public key on a keyed link is an ordinary message.
  io_.Bytes(FrameBytes(Header(nwmt_public_key, 32), std::vector<uint8_t>(32, 5)));
  Steps(2);
  const auto got = Drain();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].header.length1, 4u);
  EXPECT_EQ(got[0].part1.data()[0], 2);
  EXPECT_EQ(got[1].header.type, nwmt_public_key);
  EXPECT_EQ(keys_.peer_public_key.data()[0], key[0]);  // the first key stays
}

TEST_F(LinkReceiverTest, PartsThatDoNotOpenAreDroppedAndTheLinkStays) {
  PayloadBuffer peer_pub, peer_sec;
  ASSERT_TRUE(CreateKeyPair(SecurityServer_v2::Instance(), peer_pub, peer_sec));
  io_.Bytes(FrameBytes(Header(nwmt_public_key, 32),
                       std::vector<uint8_t>(peer_pub.span().begin(), peer_pub.span().end())));
  io_.Bytes(FrameBytes(Header(nwmt_status, 20, 0, kNetwFlagSealed), std::vector<uint8_t>(20, 9)));
  io_.Bytes(
      FrameBytes(Header(nwmt_status, 3, 0, kNetwFlagProviderCipher) /* index 0 */, {1, 2, 3}));
  auto refused = Header(nwmt_status, 3, 0, kNetwFlagProviderCipher);
  refused.key_index = 2;  // the stand-in cipher refuses index 2
  io_.Bytes(FrameBytes(refused, {1, 2, 3}));
  Steps(4);
  const auto got = Drain();
  // Only the message whose part opened (provider key 0) is delivered.
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.key_index, 0);
  EXPECT_GE(test::Find(log_, u"SocketRec: Message decryption failed.").size(), 1u);
  EXPECT_EQ(rx_.error_count(), 0u);
}

TEST_F(LinkReceiverTest, SealedFlagBeforeTheKeyIsDeliveredAsItCame) {
  io_.Bytes(FrameBytes(Header(nwmt_status, 20, 0, kNetwFlagSealed), std::vector<uint8_t>(20, 9)));
  io_.Bytes(FrameBytes(Header(nwmt_status, 3, 0, kNetwFlagProviderCipher), {1, 2, 3}));
  Steps(2);
  const auto got = Drain();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].header.length1, 20u);
  EXPECT_EQ(got[0].part1.data()[0], 9);
  EXPECT_EQ(got[1].header.length1, 3u);  // deciphered with provider key 0
}

TEST_F(LinkReceiverTest, AWrongSizedPeerKeyFailsTheLink) {
  io_.Bytes(FrameBytes(Header(nwmt_public_key, 31), std::vector<uint8_t>(31, 1)));
  rx_.Step();
  EXPECT_FALSE(keys_.keys_established.load());
  const auto got = Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header.type, nwmt_connection_error);
  EXPECT_EQ(test::Find(log_, u"SocketRec: Unusable peer public key [31 bytes]").size(), 1u);
}

TEST_F(LinkReceiverTest, WaitErrorFailsTheLink) {
  io_.items_.emplace_back(ScriptedIo::WaitError{});
  rx_.Step();
  const auto got = Drain();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(test::Word(got[0].part1, 4), 10053u);
  EXPECT_EQ(rx_.last_error(), 10053u);
}

TEST_F(LinkReceiverTest, FrameCutByAStopIsNotDelivered) {
  // The stop comes during the first empty wait for part 1.
  const uint64_t t0 = clock_.TickMs();
  LinkReceiver rx(io_, queue_, keys_, flags_, cipher_,
                  [&] { return clock_.TickMs() - t0 >= 1000; });
  io_.Bytes(FrameBytes(Header(nwmt_status, 100)));
  io_.Quiet();
  rx.Step();
  EXPECT_EQ(queue_.Size(), 0u);
  EXPECT_EQ(rx.error_count(), 0u);
  EXPECT_EQ(clock_.TickMs() - t0, 1000u);  // ended at the first check after the request
}

}  // namespace
}  // namespace vorla
