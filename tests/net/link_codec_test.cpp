#include "net/link_codec.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <set>
#include <vector>

#include "security/security_server_v2.h"

namespace vorla {
namespace {

// A provider cipher stand-in: XOR with the key index, so the index used is visible in the bytes.
class XorCipher final : public PartCipher {
 public:
  bool Encrypt(uint16_t key_index, uint8_t* data, uint32_t length) override {
    if (fail) return false;
    ++calls;
    for (uint32_t i = 0; i < length; ++i) data[i] ^= static_cast<uint8_t>(0xA0 + key_index);
    return true;
  }
  bool Decrypt(uint16_t key_index, uint8_t* data, uint32_t length) override {
    return Encrypt(key_index, data, length);
  }
  bool fail = false;
  int calls = 0;
};

struct KeyPair {
  PayloadBuffer pub, sec;
  KeyPair() { EXPECT_TRUE(CreateKeyPair(SecurityServer_v2::Instance(), pub, sec)); }
};

PayloadBuffer Bytes(std::initializer_list<uint8_t> b) {
  return PayloadBuffer::CopyOf(std::vector<uint8_t>(b));
}

netw_header HeaderOf(const PayloadBuffer& frame) { return *ReadNetwHeader(frame.span()); }

TEST(LinkCodecTest, ReceivedHeaderLimits) {
  struct Case {
    uint32_t type, l1, l2;
    HeaderCheck want;
  };
  const Case cases[] = {
      {254, 0, 0, HeaderCheck::kOk},
      {255, 0, 0, HeaderCheck::kRefused},
      {0xFFFFFFFF, 0, 0, HeaderCheck::kRefused},
      {2, 4194303, 67108863, HeaderCheck::kOk},
      {2, 4194304, 0, HeaderCheck::kRefused},
      {2, 0, 67108864, HeaderCheck::kOversized},
      {255, 0, 67108864, HeaderCheck::kRefused},  // the type is judged first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.l1 << " " << c.l2);
    netw_header h;
    h.type = c.type;
    h.length1 = c.l1;
    h.length2 = c.l2;
    EXPECT_EQ(CheckReceivedHeader(h), c.want);
  }
}

TEST(LinkCodecTest, MessageWithoutPartsIsA64ByteFrameEvenWhenEnciphered) {
  XorCipher cipher;
  FrameProtection p;
  p.time_stamp = 1700000000123;
  p.encrypt = true;
  p.key_index = 1;
  p.cipher = &cipher;
  PayloadBuffer buffer;
  size_t length = 0;
  ASSERT_EQ(EncodeFrame(MakeNetwMessage(nwmt_ws_disconnect), p, buffer, length), 0u);
  EXPECT_EQ(length, 64u);
  const netw_header h = HeaderOf(buffer);
  EXPECT_EQ(h.type, nwmt_ws_disconnect);
  EXPECT_EQ(h.flags, kNetwFlagFromWorkstation | kNetwFlagProviderCipher);
  EXPECT_EQ(h.key_index, 1);
  EXPECT_EQ(h.time_stamp, 1700000000123u);
  EXPECT_EQ(h.length1 + h.length2, 0u);
  EXPECT_EQ(cipher.calls, 0);
}

TEST(LinkCodecTest, ProviderCipherOnTheCopyOnly) {
  XorCipher cipher;
  const auto m = MakeNetwMessage(nwmt_status, Bytes({1, 2, 3}), Bytes({4, 5}));
  FrameProtection p;
  p.encrypt = true;
  p.key_index = 11;
  p.cipher = &cipher;
  PayloadBuffer buffer;
  size_t length = 0;
  ASSERT_EQ(EncodeFrame(m, p, buffer, length), 0u);
  ASSERT_EQ(length, 69u);
  const uint8_t k = 0xA0 + 11;
  const std::vector<uint8_t> parts(buffer.data() + 64, buffer.data() + 69);
  EXPECT_EQ(parts, (std::vector<uint8_t>{1 ^ k, 2 ^ k, 3 ^ k, 4 ^ k, 5 ^ k}));
  EXPECT_EQ(HeaderOf(buffer).key_index, 11);
  EXPECT_EQ(m.part1.data()[0], 1);  // the caller's bytes are untouched

  // Received the other way round: deciphered in place with the header's index.
  netw_message_t in;
  size_t used = 0;
  ASSERT_EQ(ParseFrame(buffer.span().first(length), in, used), FrameParse::kOk);
  ASSERT_TRUE(OpenReceivedParts(in, nullptr, &cipher));
  EXPECT_EQ(std::vector<uint8_t>(in.part1.span().begin(), in.part1.span().end()),
            (std::vector<uint8_t>{1, 2, 3}));

  cipher.fail = true;
  EXPECT_EQ(EncodeFrame(m, p, buffer, length), kSendCipherFailed);
  auto again = MakeNetwMessage(nwmt_status, Bytes({1}), Bytes({2}));
  again.header.flags = kNetwFlagProviderCipher;
  bool part1_failed = false;
  EXPECT_FALSE(OpenReceivedParts(again, nullptr, &cipher, &part1_failed));
  EXPECT_TRUE(part1_failed);
}

TEST(LinkCodecTest, SealedFrameMatchesCryptoBoxEasyAndOpensOnTheOtherSide) {
  KeyPair ws, peer;
  BoxKey ws_key, peer_key;
  ASSERT_TRUE(PrecomputeBoxKey(peer.pub.span(), ws.sec.span(), ws_key));
  ASSERT_TRUE(PrecomputeBoxKey(ws.pub.span(), peer.sec.span(), peer_key));
  EXPECT_EQ(ws_key.bytes, peer_key.bytes);  // one shared key for both directions

  std::vector<uint8_t> plain2(1000);
  for (size_t i = 0; i < plain2.size(); ++i) plain2[i] = static_cast<uint8_t>(i * 7);
  const auto m =
      MakeNetwMessage(nwmt_ws_segmentdata, Bytes({9, 8, 7}), PayloadBuffer::CopyOf(plain2));
  FrameProtection p;
  p.box_key = &ws_key;
  p.nonce_word = 0x01020304;
  p.time_stamp = 0x1122334455667788ull;
  p.encrypt = true;  // ignored: sealing wins
  PayloadBuffer buffer;
  size_t length = 0;
  ASSERT_EQ(EncodeFrame(m, p, buffer, length), 0u);
  ASSERT_EQ(length, 64u + 19u + 1016u);
  const netw_header h = HeaderOf(buffer);
  EXPECT_EQ(h.flags, kNetwFlagFromWorkstation | kNetwFlagSealed);
  EXPECT_EQ(h.length1, 19u);
  EXPECT_EQ(h.length2, 1016u);
  EXPECT_EQ(h.nonce_word, 0x01020304u);
  EXPECT_EQ(h.key_index, 0);

  // The same bytes as the two-key box with the nonce of the header.
  const std::array<uint8_t, 24> nonce = {0x04, 0x03, 0x02, 0x01, 0x88, 0x77,
                                         0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(BoxNonce(0x01020304, 0x1122334455667788ull), nonce);
  std::vector<uint8_t> expected(1016);
  ASSERT_EQ(crypto_box_easy(expected.data(), plain2.data(), plain2.size(), nonce.data(),
                            peer.pub.data(), ws.sec.data()),
            0);
  EXPECT_EQ(std::vector<uint8_t>(buffer.data() + 64 + 19, buffer.data() + length), expected);

  netw_message_t in;
  size_t used = 0;
  ASSERT_EQ(ParseFrame(buffer.span().first(length), in, used), FrameParse::kOk);
  netw_message_t tampered = in;
  ASSERT_TRUE(OpenReceivedParts(in, &peer_key, nullptr));
  EXPECT_EQ(in.header.length1, 3u);
  EXPECT_EQ(in.header.length2, 1000u);
  EXPECT_EQ(std::vector<uint8_t>(in.part2.span().begin(), in.part2.span().end()), plain2);

  tampered.part1 = PayloadBuffer::CopyOf(tampered.part1.span());
  tampered.part1.data()[5] ^= 1;
  bool part1_failed = false;
  EXPECT_FALSE(OpenReceivedParts(tampered, &peer_key, nullptr, &part1_failed));
  EXPECT_TRUE(part1_failed);
}

TEST(LinkCodecTest, SealedFlagWithoutAKeyIsDeliveredAsItCame) {
  auto m = MakeNetwMessage(nwmt_status,
                           Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
  m.header.flags = kNetwFlagSealed;
  EXPECT_TRUE(OpenReceivedParts(m, nullptr, nullptr));
  EXPECT_EQ(m.header.length1, 17u);
  EXPECT_EQ(m.part1.data()[0], 1);
}

TEST(LinkCodecTest, UnusableKeysAreRefused) {
  KeyPair ws;
  BoxKey k;
  const std::vector<uint8_t> short_key(31, 1);
  EXPECT_FALSE(PrecomputeBoxKey(short_key, ws.sec.span(), k));
  const std::vector<uint8_t> zero_point(32, 0);  // a low-order point gives no shared key
  EXPECT_FALSE(PrecomputeBoxKey(zero_point, ws.sec.span(), k));
}

TEST(LinkCodecTest, KeyIndexRangesFollowThePeersFlags) {
  std::set<uint16_t> before, after;
  for (uint32_t r = 0; r < 100; ++r) {
    before.insert(ChooseKeyIndex(false, r));
    after.insert(ChooseKeyIndex(true, r));
  }
  EXPECT_EQ(before, (std::set<uint16_t>{0, 1}));
  EXPECT_EQ(after, (std::set<uint16_t>{10, 11, 12}));
}

TEST(LinkCodecTest, TimeStampsOfABurstNeverRepeat) {
  uint64_t last = 0;
  std::set<uint64_t> seen;
  for (int i = 0; i < 50; ++i) {
    last = NextSendTimeStamp(last, 1700000000000);  // the clock does not move
    EXPECT_TRUE(seen.insert(last).second);
  }
  EXPECT_EQ(NextSendTimeStamp(1700000000049, 1700000000500), 1700000000500u);
  EXPECT_EQ(NextSendTimeStamp(1700000000600, 1700000000500), 1700000000601u);  // clock went back
}

TEST(LinkCodecTest, SendBufferGrowsAndIsReused) {
  FrameProtection p;
  PayloadBuffer buffer = PayloadBuffer::Allocate(kSendBufferInitialSize);
  const uint8_t* first = buffer.data();
  size_t length = 0;
  ASSERT_EQ(EncodeFrame(MakeNetwMessage(88, PayloadBuffer::Allocate(1000)), p, buffer, length), 0u);
  EXPECT_EQ(buffer.data(), first);
  ASSERT_EQ(EncodeFrame(MakeNetwMessage(88, PayloadBuffer::Allocate(300000)), p, buffer, length),
            0u);
  EXPECT_EQ(buffer.size(), 300064u);
  const uint8_t* grown = buffer.data();
  ASSERT_EQ(EncodeFrame(MakeNetwMessage(88, PayloadBuffer::Allocate(10)), p, buffer, length), 0u);
  EXPECT_EQ(buffer.data(), grown);
  EXPECT_EQ(buffer.size(), 300064u);
  EXPECT_EQ(length, 74u);
}

TEST(LinkCodecTest, ConnectionErrorNoticeBytes) {
  const auto m = MakeConnectionErrorNotice(10053);
  EXPECT_EQ(m.header.type, nwmt_connection_error);
  EXPECT_EQ(m.header.length1, 8u);
  EXPECT_EQ(m.header.time_stamp, 0u);
  EXPECT_EQ(std::vector<uint8_t>(m.part1.span().begin(), m.part1.span().end()),
            (std::vector<uint8_t>{1, 0, 0, 0, 0x45, 0x27, 0, 0}));
}

TEST(LinkCodecTest, ParseFrameNeverReadsPastTheBytes) {
  netw_header h;
  h.type = 240;
  h.length1 = 2;
  h.length2 = 3;
  std::vector<uint8_t> frame(64 + 5, 0);
  WriteNetwHeader(h, std::span<uint8_t, 64>(frame.data(), 64));
  for (size_t i = 64; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
  netw_message_t m;
  size_t used = 0;
  ASSERT_EQ(ParseFrame(frame, m, used), FrameParse::kOk);
  EXPECT_EQ(used, 69u);
  EXPECT_EQ(m.part2.data()[0], 66);
  EXPECT_EQ(ParseFrame(std::span<const uint8_t>(frame).first(68), m, used), FrameParse::kShort);
  EXPECT_EQ(ParseFrame(std::span<const uint8_t>(frame).first(10), m, used), FrameParse::kShort);
  h.length2 = 0xFFFFFFF0;
  WriteNetwHeader(h, std::span<uint8_t, 64>(frame.data(), 64));
  EXPECT_EQ(ParseFrame(frame, m, used), FrameParse::kOversized);
}

}  // namespace
}  // namespace vorla
