#include "net/socket_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "net/net_test_util.h"
#include "platform/fake/fake_clock.h"
#include "security/security_server_v2.h"
#include "support/test_peer.h"

namespace vorla {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class NullCipher final : public PartCipher {
 public:
  bool Encrypt(uint16_t, uint8_t*, uint32_t) override { return true; }
  bool Decrypt(uint16_t, uint8_t*, uint32_t) override { return true; }
};

class SocketManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SecurityServer_v2::Instance().initialized());
    ASSERT_TRUE(peer_.listening());
    peer_.set_cipher(cipher_);
  }
  // Connects and lets the peer accept; returns the workstation's first message.
  std::optional<netw_message_t> ConnectAndAccept(netw_header* wire = nullptr) {
    EXPECT_EQ(manager_.Connect(platform::LoopbackAddress(), peer_.port()), 0u);
    if (!peer_.Accept()) return std::nullopt;
    return peer_.Read(5000, wire);
  }
  bool WaitFor(std::function<bool()> cond, int ms = 3000) {
    const auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end) {
      if (cond()) return true;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return cond();
  }

  test::LogCapture log_;
  NullCipher cipher_;
  test::TestPeer peer_;
  SocketManager manager_{cipher_};
};

TEST_F(SocketManagerTest, FirstMessageIsTheOwnPublicKeyInClear) {
  netw_header wire;
  const auto first = ConnectAndAccept(&wire);
  ASSERT_TRUE(first);
  EXPECT_EQ(wire.type, nwmt_public_key);
  EXPECT_EQ(wire.flags, kNetwFlagFromWorkstation);  // never sealed, never enciphered
  EXPECT_EQ(wire.length1, 32u);
  EXPECT_EQ(first->part1.size(), 32u);
  EXPECT_EQ(std::memcmp(first->part1.data(), manager_.own_public_key().data(), 32), 0);
  EXPECT_TRUE(manager_.connected());
  uint32_t address = 0;
  EXPECT_TRUE(manager_.GetClientName(address));
  EXPECT_EQ(address, platform::LoopbackAddress());
}

TEST_F(SocketManagerTest, KeyIndexBeforeAndAfterThePeersFlagsAndAnEmptyMessage) {
  ASSERT_TRUE(ConnectAndAccept());
  std::set<uint16_t> before, after;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(manager_.Send(MakeNetwMessage(nwmt_ws_status, PayloadBuffer::Allocate(12)), true),
              0u);
    netw_header wire;
    ASSERT_TRUE(peer_.Read(5000, &wire));
    EXPECT_EQ(wire.flags, kNetwFlagFromWorkstation | kNetwFlagProviderCipher);
    before.insert(wire.key_index);
  }
  // The peer's message with flags bit 1, once queued, moves the choice to the stream keys.
  ASSERT_TRUE(peer_.Send(MakeNetwMessage(nwmt_status, PayloadBuffer::Allocate(8)), false,
                         kNetwFlagFromWorkstation));
  ASSERT_TRUE(WaitFor([&] { return manager_.incoming().Size() == 1; }));
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(manager_.Send(MakeNetwMessage(nwmt_ws_status, PayloadBuffer::Allocate(12)), true),
              0u);
    netw_header wire;
    ASSERT_TRUE(peer_.Read(5000, &wire));
    after.insert(wire.key_index);
  }
  for (uint16_t k : before) EXPECT_LT(k, 2);
  for (uint16_t k : after) EXPECT_TRUE(k >= 10 && k <= 12) << k;

  // A message without parts is one 64-byte frame, still flagged and indexed when encrypted.
  ASSERT_EQ(manager_.Send(MakeNetwMessage(nwmt_ws_disconnect), true), 0u);
  netw_header wire;
  const auto empty = peer_.Read(5000, &wire);
  ASSERT_TRUE(empty);
  EXPECT_EQ(wire.length1 + wire.length2, 0u);
  EXPECT_EQ(wire.flags, kNetwFlagFromWorkstation | kNetwFlagProviderCipher);
  EXPECT_GE(wire.key_index, 10);
}

TEST_F(SocketManagerTest, SealedBothWaysWithNoncesThatNeverMeet) {
  ASSERT_TRUE(ConnectAndAccept());
  ASSERT_TRUE(peer_.SendPublicKey());
  ASSERT_TRUE(WaitFor([&] { return manager_.keys_established(); }));
  EXPECT_EQ(manager_.incoming().Size(), 0u);  // the key itself is not queued
  EXPECT_NE(manager_.nonce_word(), 0u);

  // A burst within one millisecond: every sealed header has a different nonce.
  std::set<std::pair<uint32_t, uint64_t>> nonces;
  uint64_t last_ts = 0;
  for (int i = 0; i < 30; ++i) {
    const std::vector<uint8_t> body = {static_cast<uint8_t>(i), 1, 2};
    ASSERT_EQ(manager_.Send(MakeNetwMessage(nwmt_ws_segmentdata, PayloadBuffer::CopyOf(body),
                                            PayloadBuffer::Allocate(100)),
                            true),
              0u);
  }
  for (int i = 0; i < 30; ++i) {
    netw_header wire;
    const auto m = peer_.Read(5000, &wire);
    ASSERT_TRUE(m) << "a sealed part did not open at message " << i;
    EXPECT_EQ(wire.flags, kNetwFlagFromWorkstation | kNetwFlagSealed);
    EXPECT_EQ(wire.length1, 19u);
    EXPECT_EQ(m->header.length1, 3u);
    EXPECT_EQ(m->part1.data()[0], i);
    EXPECT_GT(wire.time_stamp, last_ts);
    last_ts = wire.time_stamp;
    EXPECT_EQ(wire.nonce_word, manager_.nonce_word());
    EXPECT_TRUE(nonces.insert({wire.nonce_word, wire.time_stamp}).second);
  }
  // The peer seals with the same time stamp and its own nonce word 0: the nonces still differ,
  // and the workstation opens the answer with the nonce from the answer's header.
  ASSERT_TRUE(peer_.Send(
      MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(std::vector<uint8_t>{2, 0, 0, 0})), true,
      kNetwFlagFromWorkstation, last_ts, 0));
  EXPECT_FALSE(nonces.count({0u, last_ts}));
  netw_message_t answer;
  ASSERT_TRUE(manager_.incoming().Pop(answer, 3000));
  EXPECT_EQ(answer.header.length1, 4u);
  EXPECT_EQ(answer.part1.data()[0], 2);
}

// The wall clock set back an hour while the link is up: the sealed headers' time stamps (half of
// each nonce) still rise with every message, and follow the clock again once it has caught up.
TEST_F(SocketManagerTest, TimeStampsKeepRisingWhenTheWallClockIsSetBackAnHour) {
  platform::FakeClock clock(1700000000000);
  platform::ScopedClockOverride use_clock(clock);
  SocketManager link(cipher_);
  ASSERT_EQ(link.Connect(platform::LoopbackAddress(), peer_.port()), 0u);
  ASSERT_TRUE(peer_.Accept());
  netw_header key_wire;
  ASSERT_TRUE(peer_.Read(5000, &key_wire));
  EXPECT_EQ(key_wire.time_stamp, 1700000000000u);
  ASSERT_TRUE(peer_.SendPublicKey());
  ASSERT_TRUE(WaitFor([&] { return link.keys_established(); }));

  // Each send: the wall-clock step before it, and the time stamp it must carry.
  struct Send {
    int64_t wall_step_ms;
    uint64_t time_stamp;
  };
  const Send sends[] = {
      {10, 1700000000010},   {-3600000, 1700000000011}, {0, 1700000000012},
      {1000, 1700000000013}, {3599000, 1700000000014},  {1, 1700000000015},
      {100, 1700000000111},  {0, 1700000000112},
  };
  std::set<std::pair<uint32_t, uint64_t>> nonces = {{key_wire.nonce_word, key_wire.time_stamp}};
  uint64_t last = key_wire.time_stamp;
  for (const Send& send : sends) {
    SCOPED_TRACE(send.time_stamp);
    clock.StepWallMs(send.wall_step_ms);
    ASSERT_EQ(link.Send(MakeNetwMessage(nwmt_ws_status, PayloadBuffer::Allocate(12)), true), 0u);
    netw_header wire;
    ASSERT_TRUE(peer_.Read(5000, &wire)) << "a sealed part did not open";
    EXPECT_EQ(wire.flags, kNetwFlagFromWorkstation | kNetwFlagSealed);
    EXPECT_GT(wire.time_stamp, last);
    EXPECT_EQ(wire.time_stamp, send.time_stamp);
    EXPECT_TRUE(nonces.insert({wire.nonce_word, wire.time_stamp}).second);
    last = wire.time_stamp;
  }
}

TEST_F(SocketManagerTest, APeerSendingPastTheByteBudgetIsDroppedAsAnyFailedLink) {
  manager_.set_incoming_byte_budget(4096);
  ASSERT_TRUE(ConnectAndAccept());
  const std::vector<uint8_t> body(1000, 7);
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(peer_.Send(MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(body)), false));
  // The owner reads nothing until the receive thread has dealt with all five.
  ASSERT_TRUE(WaitFor([&] { return manager_.incoming().Size() == 5; }));
  netw_message_t m;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(manager_.incoming().TryPop(m));
    EXPECT_EQ(m.header.type, nwmt_status);
    EXPECT_EQ(m.part1.size(), 1000u);
  }
  ASSERT_TRUE(manager_.incoming().TryPop(m));
  EXPECT_EQ(m.header.type, nwmt_connection_error);
  EXPECT_EQ(test::Word(m.part1, 4), kStatusResourceAllocationError);
  EXPECT_EQ(test::Find(log_,
                       u"Incoming queue over its byte budget [4000 bytes waiting, 1000 more "
                       u"announced, budget 4096]. Link dropped.")
                .size(),
            1u);
  // The receive thread reads nothing more; the owner ends the link as after any failure.
  manager_.Disconnect();
  EXPECT_TRUE(peer_.WaitForClose(2000));
}

TEST_F(SocketManagerTest, ReconnectForgetsThePeerKeyButKeepsTheOwnPair) {
  const auto first = ConnectAndAccept();
  ASSERT_TRUE(first);
  ASSERT_TRUE(peer_.SendPublicKey());
  ASSERT_TRUE(WaitFor([&] { return manager_.keys_established(); }));
  const uint32_t old_word = manager_.nonce_word();

  manager_.Disconnect();
  EXPECT_FALSE(manager_.connected());
  EXPECT_FALSE(manager_.keys_established());
  EXPECT_EQ(manager_.Send(MakeNetwMessage(nwmt_status), false), kStatusNoActiveConnection);

  const auto again = ConnectAndAccept();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->header.type, nwmt_public_key);
  EXPECT_EQ(std::memcmp(again->part1.data(), first->part1.data(), 32), 0);
  EXPECT_FALSE(manager_.keys_established());
  (void)old_word;  // drawn again; equal only by a 1 in 2^32 chance, so not asserted

  // Until the new key arrives, a message flagged as sealed comes through as it was sent.
  std::vector<uint8_t> body(20, 3);
  netw_message_t m = MakeNetwMessage(nwmt_status, PayloadBuffer::CopyOf(body));
  ASSERT_TRUE(peer_.Send(m, false, kNetwFlagSealed));
  netw_message_t got;
  ASSERT_TRUE(manager_.incoming().Pop(got, 3000));
  EXPECT_EQ(got.header.length1, 20u);
  EXPECT_EQ(got.part1.data()[0], 3);
}

TEST_F(SocketManagerTest, HeaderThenSilenceOnARealSocket) {
  ASSERT_TRUE(ConnectAndAccept());
  const auto raw = test::FrameBytes(test::Header(nwmt_status, 100));
  const auto t0 = steady_clock::now();
  ASSERT_TRUE(peer_.SendRaw(raw));
  netw_message_t notice;
  ASSERT_TRUE(manager_.incoming().Pop(notice, 6000));
  const auto spent = steady_clock::now() - t0;
  EXPECT_GE(spent, milliseconds(2900));
  EXPECT_LT(spent, milliseconds(4500));
  EXPECT_EQ(notice.header.type, nwmt_connection_error);
  EXPECT_EQ(test::Word(notice.part1, 4), 10053u);
  EXPECT_EQ(test::Find(log_, u"[0 bytes from 100] from IP 127.0.0.1.").size(), 1u);
}

TEST_F(SocketManagerTest, PeerCloseIsNoticed) {
  ASSERT_TRUE(ConnectAndAccept());
  peer_.Close();
  netw_message_t notice;
  ASSERT_TRUE(manager_.incoming().Pop(notice, 3000));
  EXPECT_EQ(notice.header.type, nwmt_connection_error);
  EXPECT_EQ(test::Word(notice.part1, 0), 1u);
}

TEST_F(SocketManagerTest, DisconnectEndsAStalledLinkPromptly) {
  ASSERT_TRUE(ConnectAndAccept());
  ASSERT_TRUE(peer_.SendRaw(test::FrameBytes(test::Header(nwmt_status, 100))));
  std::this_thread::sleep_for(milliseconds(200));  // the thread is inside the exact read
  const auto t0 = steady_clock::now();
  manager_.Disconnect();
  EXPECT_LT(steady_clock::now() - t0, milliseconds(1500));
  EXPECT_TRUE(peer_.WaitForClose(2000));
}

TEST_F(SocketManagerTest, RefusedConnectIsLogged) {
  uint16_t port = 0;
  {
    auto closed = platform::TcpListener::Listen(platform::LoopbackAddress(), 0);
    ASSERT_TRUE(closed);
    port = closed->port();
  }  // nothing listens there any more
  EXPECT_EQ(manager_.Connect(platform::LoopbackAddress(), port), kStatusNoActiveConnection);
  EXPECT_FALSE(manager_.connected());
  const auto logged = test::Find(
      log_, FromUtf8("SocketManager: Connection attempt to host failed [IP=0x100007f, port=" +
                     std::to_string(port) + "]. SocketErr = 10061"));
  EXPECT_EQ(logged.size(), 1u);
}

}  // namespace
}  // namespace vorla
