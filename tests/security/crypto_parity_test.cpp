// The bytes SecurityServer enciphers with, pinned: whichever platform's crypto provider serves it,
// the legacy indices give RC4 with the provider's salt of 40-bit keys over the shared keys, and
// the stream indices HC-128 over the MD5 of their phrases. A peer on another platform deciphers
// only if these bytes agree everywhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "security/security_server.h"
#include "support/golden_bytes.h"

namespace vorla {
namespace {

using Bytes = std::vector<uint8_t>;

using test::Hex;

class CryptoParity : public ::testing::Test {
 protected:
  void SetUp() override {
    SecurityServer::ResetForTesting();
    ASSERT_TRUE(server().Initialize());
  }
  void TearDown() override { SecurityServer::ResetForTesting(); }
  SecurityServer& server() { return SecurityServer::Instance(); }
};

TEST_F(CryptoParity, EveryIndexGivesTheSharedBytes) {
  // Indices 0 and 1: the plain bytes XOR the RC4 key stream of the five key bytes followed by
  // eleven zero bytes; any RC4 over that sixteen-byte key reproduces them.
  Bytes plain(48);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 37 + 1);
  const struct {
    uint16_t index;
    const char* cipher;
  } rows[] = {
      {0,
       "c343dd8892ebb056510b0b37e6bb8fe439862db79bb8f6ea"
       "ddf3091dd3493d31507c24abc004a7774e0c3755ee52718f"},
      {1,
       "c94df34f588c09bfa570a21b4867ec96fe9211d45dda290a"
       "38f365433b4488b3c21953d40319136bac28fa0cf5fd8e56"},
      {10,
       "0c3305b510054ab3b8429c59bbcee2a98851f14d9e24ab85"
       "9a886f0b18cbbaa8e7de882db2708694c4118c3f152ed163"},
      {11,
       "c74e4679d216dbf9ad5204271366b6025880f489f0ed43ef"
       "fb8470b8639f56419facda8ce5cee97b6334bc760383e08c"},
      {12,
       "7bc29787f422c89d17cf030a48b222744ec15fbc3b5e6acc"
       "11d5167bedd41828f75c7d564af81b7ef3a271dca020d47f"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.index);
    Bytes data = plain;
    ASSERT_TRUE(server().Encrypt(row.index, data.data(), static_cast<uint32_t>(data.size())));
    EXPECT_EQ(Hex(data), row.cipher);
    ASSERT_TRUE(server().Decrypt(row.index, data.data(), static_cast<uint32_t>(data.size())));
    EXPECT_EQ(data, plain);
  }
}

TEST_F(CryptoParity, StreamKeysAreTheDigestsOfTheirPhrases) {
  const struct {
    uint16_t index;
    const char* key;
  } rows[] = {
      {10, "9e0b87c21ccea397b57d148271306004"},
      {11, "442f471ff0fca7602ca37f855b6d28bb"},
      {12, "83c022618280873f13140a402d69f654"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.index);
    EXPECT_EQ(Hex(server().StreamKey(row.index).span()), row.key);
  }
}

}  // namespace
}  // namespace vorla
