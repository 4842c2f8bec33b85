#include "net/broadcast_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include "common/byte_reader.h"
#include "net/net_test_util.h"

namespace vorla {
namespace {

// An announcement written out by hand: type 240, length2 14, kind 1, port 4490, "cfg".
const std::vector<uint8_t> kAnnouncement = [] {
  std::vector<uint8_t> d(64, 0);
  d[0] = 0xF0;  // type 240
  d[8] = 14;    // length2
  const std::vector<uint8_t> part2 = {0x01, 0, 0, 0, 0x8A, 0x11, 'c', 0, 'f', 0, 'g', 0, 0, 0};
  d.insert(d.end(), part2.begin(), part2.end());
  return d;
}();

TEST(BroadcastDatagramTest, Announcement) {
  ASSERT_EQ(kAnnouncement.size(), 78u);
  netw_message_t m;
  ASSERT_EQ(ParseDatagram(kAnnouncement, m), 0u);
  EXPECT_EQ(m.header.type, nwmt_cfg_announce);
  EXPECT_TRUE(m.part1.empty());
  ByteReader r(m.part2.span());
  uint32_t kind = 0;
  uint16_t port = 0;
  std::u16string address;
  ASSERT_TRUE(r.U32(kind) && r.U16(port) && r.Utf16z(address));
  EXPECT_EQ(port, 4490);
  EXPECT_EQ(address, u"cfg");
}

TEST(BroadcastDatagramTest, BadDatagramsAreDropped) {
  auto over = kAnnouncement;
  over[8] = 15;  // announces one byte more than it holds
  auto bad_type = kAnnouncement;
  bad_type[0] = 0xFF;
  std::vector<uint8_t> too_long(600, 0);
  const std::vector<std::vector<uint8_t>> cases = {
      {}, std::vector<uint8_t>(63, 0), over, bad_type, too_long};
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    netw_message_t m;
    EXPECT_EQ(ParseDatagram(cases[i], m), 10053u);
  }
  netw_message_t m;
  ASSERT_EQ(ParseDatagram(std::vector<uint8_t>(64, 0), m), 0u);  // 64 bytes, no parts
  EXPECT_TRUE(m.part1.empty() && m.part2.empty());
}

TEST(BroadcastClientTest, ReceivesOverUdpInOrder) {
  BroadcastClient client;
  netw_message_t m;
  bool received = true;
  EXPECT_EQ(client.Receive(m, received), kStatusNoActiveConnection);
  EXPECT_FALSE(received);

  auto probe = platform::UdpSocket::Create();
  ASSERT_TRUE(probe && probe->Bind(0) == 0);
  const uint16_t port = probe->LocalPort();
  probe.reset();
  ASSERT_EQ(client.Open(port), 0u);

  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Receive(m, received), 10053u);
  EXPECT_FALSE(received);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));

  auto sender = platform::UdpSocket::Create();
  ASSERT_TRUE(sender);
  ASSERT_EQ(sender->SendTo(platform::LoopbackAddress(), port, std::vector<uint8_t>(600, 0)), 0u);
  ASSERT_EQ(sender->SendTo(platform::LoopbackAddress(), port, kAnnouncement), 0u);
  ASSERT_EQ(sender->SendTo(platform::LoopbackAddress(), port, std::vector<uint8_t>(64, 0)), 0u);
  EXPECT_EQ(client.Receive(m, received), 10053u);  // 600 bytes: not accepted
  EXPECT_FALSE(received);
  ASSERT_EQ(client.Receive(m, received), 0u);
  EXPECT_TRUE(received);
  EXPECT_EQ(m.header.type, nwmt_cfg_announce);
  ASSERT_EQ(client.Receive(m, received), 0u);
  EXPECT_EQ(m.header.type, 0u);
  client.Close();
  EXPECT_EQ(client.Receive(m, received), kStatusNoActiveConnection);
}

TEST(BroadcastClientTest, PortInUseIsLogged) {
  test::LogCapture log;
  auto holder = platform::UdpSocket::Create();
  ASSERT_TRUE(holder && holder->Bind(0) == 0);
  BroadcastClient client;
  EXPECT_EQ(client.Open(holder->LocalPort()), kStatusNoActiveConnection);
  EXPECT_FALSE(client.is_open());
  EXPECT_EQ(test::Find(log, u"Failed to open broadcast port").size(), 1u);
}

}  // namespace
}  // namespace vorla
