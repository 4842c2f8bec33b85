// The key blobs SecurityServer builds and the crypto provider's import of them: layout, the
// exponent-one exchange key, the salted 40-bit RC4 keys the peers share, and the refusal of every
// malformed blob.
#include "security/key_blob.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/crypto_provider.h"

namespace vorla {
namespace {

using platform::CryptoContext;
using platform::CryptoKey;
using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return b;
}

TEST(KeyBlob, SimpleBlobLayout) {
  const uint8_t key[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
  const uint32_t bits = 1024;
  ASSERT_EQ(SimpleKeyBlobPadding(5, bits), 120u);  // n/8 - 8
  Bytes padding(120, 0x77);
  padding[0] = 0;
  padding[119] = 0;  // zeros become 1
  const Bytes blob = BuildSimpleKeyBlob(key, platform::kAlgRsaKeyExchange, bits, padding);
  Bytes expected = {0x01, 0x02, 0x00, 0x00, 0x01, 0x68, 0x00, 0x00,  // simple blob, v2, RC4
                    0x00, 0xA4, 0x00, 0x00,               // wrapped for the RSA exchange key
                    0x05, 0x04, 0x03, 0x02, 0x01, 0x00};  // key reversed, separator
  expected.push_back(0x01);
  expected.insert(expected.end(), 118, 0x77);
  expected.push_back(0x01);
  expected.push_back(0x02);
  expected.push_back(0x00);
  EXPECT_EQ(blob.size(), bits / 8 + 12);
  EXPECT_EQ(blob, expected);
}

TEST(KeyBlob, SimpleBlobRefusesWhatDoesNotFit) {
  const Bytes key5(5, 1), key(118, 1);
  EXPECT_TRUE(BuildSimpleKeyBlob(key5, platform::kAlgRsaKeyExchange, 1024, Bytes(119, 1)).empty());
  EXPECT_TRUE(BuildSimpleKeyBlob(key5, platform::kAlgRsaKeyExchange, 1024, Bytes(121, 1)).empty());
  EXPECT_EQ(SimpleKeyBlobPadding(118, 1024), 0u);  // padding would be 7 bytes
  EXPECT_EQ(SimpleKeyBlobPadding(117, 1024), 8u);
  EXPECT_EQ(SimpleKeyBlobPadding(0, 1024), 0u);
}

TEST(KeyBlob, ExponentOneRewritesOnlyTheExponents) {
  // 64-bit toy key: modulus 8, primes 4 + 4, exponents 4 + 4, coefficient 4, private exponent 8.
  Bytes blob = {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x52, 0x53,
                0x41, 0x32, 0x40, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
  blob.insert(blob.end(), 36, 0xEE);
  Bytes expected(blob.begin(), blob.begin() + 16);
  const Bytes one4 = {1, 0, 0, 0}, ee4(4, 0xEE), ee8(8, 0xEE);
  for (const Bytes* part : {&one4, &ee8, &ee4, &ee4, &one4, &one4, &ee4})
    expected.insert(expected.end(), part->begin(), part->end());
  expected.insert(expected.end(), {1, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(MakeExponentOneKeyBlob(blob));
  EXPECT_EQ(blob, expected);

  struct Bad {
    const char* name;
    size_t at;
    int value;  // -1: drop the last byte; -2: add a byte
  } bad[] = {{"not a private key blob", 0, 0x01},
             {"wrong magic", 8, 0x00},
             {"bit length not a multiple of 16", 12, 0x48},
             {"one byte short", 0, -1},
             {"one byte long", 0, -2}};
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    Bytes copy = expected;
    if (b.value == -1)
      copy.pop_back();
    else if (b.value == -2)
      copy.push_back(0);
    else
      copy[b.at] = static_cast<uint8_t>(b.value);
    const Bytes before = copy;
    EXPECT_FALSE(MakeExponentOneKeyBlob(copy));
    EXPECT_EQ(copy, before);
  }
  Bytes empty;
  EXPECT_FALSE(MakeExponentOneKeyBlob(empty));
}

// The real provider with one RSA exchange pair and its exponent-one form, made once.
class ProviderImport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    provider_ = platform::CreateCryptoProvider().release();
    context_ = provider_->AcquireVerifyContext(platform::CryptoProviderType::kRsaFull).release();
    ASSERT_NE(context_, nullptr);
    pair_ = context_->GenerateKey(platform::kAlgRsaKeyExchange, true).release();
    ASSERT_NE(pair_, nullptr);
    Bytes blob;
    ASSERT_TRUE(context_->ExportPrivateKey(*pair_, blob));
    ASSERT_EQ(blob.size(), 20 + 9 * pair_->bit_length() / 16);
    ASSERT_TRUE(MakeExponentOneKeyBlob(blob));
    exchange_ = context_->ImportKey(blob, nullptr, false).release();
    ASSERT_NE(exchange_, nullptr);
  }
  static void TearDownTestSuite() {
    delete exchange_;
    delete pair_;
    delete context_;
    delete provider_;
  }

  static Bytes Blob(const Bytes& key) {
    Bytes padding(SimpleKeyBlobPadding(key.size(), exchange_->bit_length()), 0x5A);
    return BuildSimpleKeyBlob(key, exchange_->algorithm_id(), exchange_->bit_length(), padding);
  }
  static Bytes KeyStream(CryptoKey& key, size_t n) {
    Bytes b(n, 0);
    EXPECT_TRUE(key.Encrypt(b.data(), b.size(), true));
    return b;
  }

  static platform::CryptoProvider* provider_;
  static CryptoContext* context_;
  static CryptoKey* pair_;
  static CryptoKey* exchange_;
};
platform::CryptoProvider* ProviderImport::provider_ = nullptr;
CryptoContext* ProviderImport::context_ = nullptr;
CryptoKey* ProviderImport::pair_ = nullptr;
CryptoKey* ProviderImport::exchange_ = nullptr;

TEST_F(ProviderImport, ExchangeKeyShape) {
  EXPECT_EQ(exchange_->algorithm_id(), platform::kAlgRsaKeyExchange);
  EXPECT_EQ(exchange_->bit_length(), 1024u);
  EXPECT_EQ(Blob(Bytes(5, 1)).size(), 1024u / 8 + 12);
  Bytes again;
  EXPECT_FALSE(context_->ExportPrivateKey(*exchange_, again));  // imported as not exportable
}

// A 40-bit key carries eleven zero bytes of salt; the peers depend on exactly this key stream.
TEST_F(ProviderImport, FortyBitKeyIsSalted) {
  auto key = context_->ImportKey(Blob({1, 2, 3, 4, 5}), exchange_, true);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->algorithm_id(), platform::kAlgRc4);
  EXPECT_EQ(key->bit_length(), 40u);
  const Bytes salted = FromHex("ee5441e6b38c2d5a75a6db590a1cbd2a8f4f473114c3def2b040b3a7a6432764");
  EXPECT_EQ(KeyStream(*key, 32), salted);
  EXPECT_EQ(KeyStream(*key, 32), salted);  // the final flag restarts the stream
  // Without the final flag the stream continues.
  Bytes halves(32, 0);
  ASSERT_TRUE(key->Encrypt(halves.data(), 16, false));
  ASSERT_TRUE(key->Encrypt(halves.data() + 16, 16, true));
  EXPECT_EQ(halves, salted);
  Bytes back = salted;
  ASSERT_TRUE(key->Decrypt(back.data(), back.size(), true));
  EXPECT_EQ(back, Bytes(32, 0));
  // Zero bytes inside the key are key bytes: the separator is the zero next to the padding.
  auto with_zeros = context_->ImportKey(Blob({1, 0, 3, 0, 0}), exchange_, true);
  ASSERT_NE(with_zeros, nullptr);
  EXPECT_EQ(with_zeros->bit_length(), 40u);
}

TEST_F(ProviderImport, LongerKeyIsNotSalted) {
  auto key =
      context_->ImportKey(Blob(FromHex("0102030405060708090a0b0c0d0e0f10")), exchange_, true);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->bit_length(), 128u);
  EXPECT_EQ(KeyStream(*key, 32),
            FromHex("9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"));
}

TEST_F(ProviderImport, MalformedSimpleBlobsAreRefused) {
  const Bytes good = Blob({1, 2, 3, 4, 5});
  ASSERT_NE(context_->ImportKey(good, exchange_, true), nullptr);
  // Offsets into the blob: 12 + i is byte i of the wrapped block (little-endian: key first).
  const size_t w = 12, last = good.size() - 1;
  struct Row {
    const char* name;
    std::vector<std::pair<size_t, uint8_t>> changes;  // offset, new value
  } rows[] = {
      {"public key blob type", {{0, 6}}},
      {"private key blob type", {{0, 7}}},
      {"version 3", {{1, 3}}},
      {"reserved not zero", {{2, 1}}},
      {"key algorithm not RC4", {{4, 0x02}}},
      {"wrapped for the signature algorithm", {{9, 0x24}}},
      {"final byte not zero", {{last, 1}}},
      {"block type 1 instead of 2", {{last - 1, 1}}},
      {"no zero separator", {{w + 5, 0x33}}},
      {"empty key", {{w + 5, 0x33}, {w + 0, 0}}},
      {"key of 32 bits", {{w + 5, 0x33}, {w + 4, 0}}},
      {"zero inside the padding", {{w + 60, 0}}},
      {"zero as the last padding byte", {{last - 2, 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes blob = good;
    for (const auto& [at, value] : row.changes) blob[at] = value;
    EXPECT_EQ(context_->ImportKey(blob, exchange_, true), nullptr);
  }
  {
    SCOPED_TRACE("one byte short / long, empty");
    EXPECT_EQ(context_->ImportKey(Bytes(good.begin(), good.end() - 1), exchange_, true), nullptr);
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(context_->ImportKey(longer, exchange_, true), nullptr);
    EXPECT_EQ(context_->ImportKey({}, exchange_, true), nullptr);
  }
  {
    SCOPED_TRACE("key longer than 128 bits");
    EXPECT_EQ(context_->ImportKey(Blob(Bytes(17, 0x42)), exchange_, true), nullptr);
  }
  {
    SCOPED_TRACE("no unwrapping key, or one that is not an exchange key");
    EXPECT_EQ(context_->ImportKey(good, nullptr, true), nullptr);
    auto rc4 = context_->ImportKey(good, exchange_, true);
    ASSERT_NE(rc4, nullptr);
    EXPECT_EQ(context_->ImportKey(good, rc4.get(), true), nullptr);
  }
  {
    // The original pair really deciphers, so the plain block does not survive it.
    SCOPED_TRACE("wrapped for the exponent-one key, imported under the original pair");
    EXPECT_EQ(context_->ImportKey(good, pair_, true), nullptr);
  }
}

TEST_F(ProviderImport, MalformedPrivateBlobsAreRefused) {
  Bytes good;
  ASSERT_TRUE(context_->ExportPrivateKey(*pair_, good));
  ASSERT_NE(context_->ImportKey(good, nullptr, false), nullptr);
  struct Row {
    const char* name;
    size_t at;
    uint8_t value;
  } rows[] = {
      {"wrong magic", 8, 0x51}, {"bit length 1032", 12, 0x08}, {"not an RSA algorithm", 5, 0x68}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes blob = good;
    blob[row.at] = row.value;
    EXPECT_EQ(context_->ImportKey(blob, nullptr, false), nullptr);
  }
  EXPECT_EQ(context_->ImportKey(Bytes(good.begin(), good.end() - 1), nullptr, false), nullptr);
  Bytes zero_modulus = good;
  std::fill(zero_modulus.begin() + 20, zero_modulus.begin() + 20 + 128, 0);
  EXPECT_EQ(context_->ImportKey(zero_modulus, nullptr, false), nullptr);
}

}  // namespace
}  // namespace vorla
