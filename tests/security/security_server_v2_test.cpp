#include "security/security_server_v2.h"

#include <gtest/gtest.h>

#include <sodium.h>

#include <vector>

namespace vorla {
namespace {

using Bytes = std::vector<uint8_t>;

PayloadBuffer Buf(const Bytes& b) { return PayloadBuffer::CopyOf(b); }
Bytes Of(const PayloadBuffer& b) { return Bytes(b.span().begin(), b.span().end()); }

class SecurityServerV2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(v2().Initialize());
    ASSERT_TRUE(CreateKeyPair(v2(), a_pub_, a_sec_));
    ASSERT_TRUE(CreateKeyPair(v2(), b_pub_, b_sec_));
  }
  void TearDown() override { v2().Initialize(); }
  static SecurityServer_v2& v2() { return SecurityServer_v2::Instance(); }

  PayloadBuffer a_pub_, a_sec_, b_pub_, b_sec_;
};

TEST_F(SecurityServerV2Test, ReadyOnFirstUseAndAgain) {
  EXPECT_TRUE(v2().initialized());
  EXPECT_EQ(&SecurityServer_v2::Instance(), &v2());
  EXPECT_TRUE(v2().Initialize());  // the library reports its earlier initialisation: still ready
  EXPECT_EQ(a_pub_.size(), 32u);
  EXPECT_EQ(a_sec_.size(), 32u);
  EXPECT_NE(Of(a_pub_), Of(b_pub_));
  // The pair belongs together.
  uint8_t derived[32];
  ASSERT_EQ(crypto_scalarmult_base(derived, a_sec_.data()), 0);
  EXPECT_EQ(Bytes(derived, derived + 32), Of(a_pub_));
}

TEST_F(SecurityServerV2Test, SealOpenRoundTripAndNonceRule) {
  const Bytes plain = {'f', 'r', 'a', 'm', 'e', 0, 1, 2, 3};
  const Bytes base16(16, 0x3C);
  PayloadBuffer part = Buf(plain);
  const PayloadBuffer shared = part;  // another holder of the same bytes, which sealing must leave as they were
  ASSERT_TRUE(Seal(v2(), part, Buf(base16), b_pub_, a_sec_));
  EXPECT_EQ(part.size(), plain.size() + 16);
  EXPECT_EQ(Of(shared), plain);  // sealing made a new buffer

  // Same bytes as libsodium with the nonce = base + 8 zero bytes.
  Bytes nonce = base16;
  nonce.resize(24, 0);
  Bytes expected(plain.size() + 16);
  ASSERT_EQ(crypto_box_easy(expected.data(), plain.data(), plain.size(), nonce.data(),
                            b_pub_.data(), a_sec_.data()),
            0);
  EXPECT_EQ(Of(part), expected);

  ASSERT_TRUE(Open(v2(), part, Buf(base16), a_pub_, b_sec_));
  EXPECT_EQ(Of(part), plain);

  // A base longer than 24 bytes contributes its first 24 only.
  Bytes base30(30);
  for (size_t i = 0; i < base30.size(); ++i) base30[i] = static_cast<uint8_t>(i);
  PayloadBuffer p2 = Buf(plain);
  ASSERT_TRUE(Seal(v2(), p2, Buf(base30), b_pub_, a_sec_));
  ASSERT_TRUE(Open(v2(), p2, Buf(Bytes(base30.begin(), base30.begin() + 24)), a_pub_, b_sec_));
  EXPECT_EQ(Of(p2), plain);

  // An empty part seals to the authenticator alone and opens to nothing.
  PayloadBuffer empty;
  ASSERT_TRUE(Seal(v2(), empty, Buf(base16), b_pub_, a_sec_));
  EXPECT_EQ(empty.size(), 16u);
  ASSERT_TRUE(Open(v2(), empty, Buf(base16), a_pub_, b_sec_));
  EXPECT_TRUE(empty.empty());
}

TEST_F(SecurityServerV2Test, OpenRefusesAndLeavesThePart) {
  const Bytes base(16, 7);
  PayloadBuffer sealed = Buf({1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_TRUE(Seal(v2(), sealed, Buf(base), b_pub_, a_sec_));
  const Bytes good = Of(sealed);
  struct Row {
    const char* name;
    Bytes part;
    Bytes nonce;
    bool wrong_key;
  } rows[] = {
      {"authenticator byte flipped", good, base, false},
      {"cipher text byte flipped", good, base, false},
      {"other nonce", good, Bytes(16, 8), false},
      {"other key", good, base, true},
      {"shorter than 16 bytes", Bytes(good.begin(), good.begin() + 15), base, false},
      {"empty", {}, base, false},
  };
  rows[0].part[0] ^= 1;
  rows[1].part[20] ^= 0x80;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PayloadBuffer part = Buf(row.part);
    EXPECT_FALSE(Open(v2(), part, Buf(row.nonce), row.wrong_key ? b_pub_ : a_pub_, b_sec_));
    EXPECT_EQ(Of(part), row.part);
  }
  PayloadBuffer part = Buf(good);
  EXPECT_TRUE(Open(v2(), part, Buf(base), a_pub_, b_sec_));
}

TEST_F(SecurityServerV2Test, EveryOperationNeedsTheLibraryAndWholeKeys) {
  const Bytes plain = {9, 9, 9};
  PayloadBuffer part = Buf(plain);
  const PayloadBuffer short_key = Buf(Bytes(31, 1));
  EXPECT_FALSE(Seal(v2(), part, Buf({}), short_key, a_sec_));
  EXPECT_FALSE(Seal(v2(), part, Buf({}), b_pub_, PayloadBuffer()));
  EXPECT_FALSE(Open(v2(), part, Buf({}), short_key, a_sec_));
  EXPECT_EQ(Of(part), plain);

  SecurityServer_v2::ResetForTesting();
  EXPECT_FALSE(v2().initialized());
  PayloadBuffer pub = Buf({1}), sec;
  EXPECT_FALSE(CreateKeyPair(v2(), pub, sec));
  EXPECT_EQ(Of(pub), Bytes{1});
  EXPECT_FALSE(Seal(v2(), part, Buf({}), b_pub_, a_sec_));
  EXPECT_FALSE(Open(v2(), part, Buf({}), b_pub_, a_sec_));
  EXPECT_EQ(Of(part), plain);
  EXPECT_TRUE(v2().Initialize());
  EXPECT_TRUE(Seal(v2(), part, Buf({}), b_pub_, a_sec_));  // an empty base is an all-zero nonce
}

}  // namespace
}  // namespace vorla
