#include "security/security_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/host_identity.h"
#include "security/hc128.h"
#include "security/key_material.h"
#include "support/golden_bytes.h"

namespace vorla {
namespace {

using Bytes = std::vector<uint8_t>;

using test::Hex;

// What the scripted provider breaks or records; everything else goes to the real provider.
struct Script {
  bool no_context = false;
  uint32_t key_types = platform::kKeyTypeExchange | platform::kKeyTypeSignature;
  bool offer_rc4 = true;
  bool fail_exchange_key = false;
  uint32_t rc4_default_bits = 40;
  int fail_import_number = 0;  // 1-based number of the simple-blob import that fails
  bool fail_random = false;
  bool fail_hash = false;
  const uint8_t* fixed_random = nullptr;  // 8 bytes repeated
  int imports = 0;
  int random_calls = 0;
};

class ScriptedKey : public platform::CryptoKey {
 public:
  ScriptedKey(uint32_t bits) : bits_(bits) {}
  uint32_t algorithm_id() const override { return platform::kAlgRc4; }
  uint32_t bit_length() const override { return bits_; }
  bool exportable() const override { return false; }
  bool Encrypt(uint8_t*, size_t, bool) override { return true; }
  bool Decrypt(uint8_t*, size_t, bool) override { return true; }

 private:
  uint32_t bits_;
};

class ScriptedContext : public platform::CryptoContext {
 public:
  ScriptedContext(std::unique_ptr<platform::CryptoContext> real, Script& s)
      : real_(std::move(real)), s_(s) {}
  uint32_t SupportedKeyTypes() override { return s_.key_types; }
  std::vector<platform::CryptoAlgorithm> Algorithms() override {
    auto all = real_->Algorithms();
    if (!s_.offer_rc4) std::erase_if(all, [](const auto& a) { return a.id == platform::kAlgRc4; });
    return all;
  }
  std::unique_ptr<platform::CryptoKey> GenerateKey(uint32_t algorithm, bool exportable) override {
    if (algorithm == platform::kAlgRsaKeyExchange && s_.fail_exchange_key) return nullptr;
    if (algorithm == platform::kAlgRc4) return std::make_unique<ScriptedKey>(s_.rc4_default_bits);
    return real_->GenerateKey(algorithm, exportable);
  }
  bool ExportPrivateKey(const platform::CryptoKey& key, std::vector<uint8_t>& blob) override {
    return real_->ExportPrivateKey(key, blob);
  }
  std::unique_ptr<platform::CryptoKey> ImportKey(std::span<const uint8_t> blob,
                                                 const platform::CryptoKey* unwrap,
                                                 bool exportable) override {
    if (unwrap != nullptr && ++s_.imports == s_.fail_import_number) return nullptr;
    return real_->ImportKey(blob, unwrap, exportable);
  }
  std::unique_ptr<platform::CryptoHash> CreateHash(uint32_t algorithm) override {
    return s_.fail_hash ? nullptr : real_->CreateHash(algorithm);
  }
  bool RandomBytes(std::span<uint8_t> out) override {
    ++s_.random_calls;
    if (s_.fail_random) return false;
    if (s_.fixed_random == nullptr) return real_->RandomBytes(out);
    for (size_t i = 0; i < out.size(); ++i) out[i] = s_.fixed_random[i % 8];
    return true;
  }

 private:
  std::unique_ptr<platform::CryptoContext> real_;
  Script& s_;
};

class ScriptedProvider : public platform::CryptoProvider {
 public:
  explicit ScriptedProvider(Script& s) : s_(s) {}
  std::unique_ptr<platform::CryptoContext> AcquireVerifyContext(
      platform::CryptoProviderType type) override {
    if (s_.no_context) return nullptr;
    return std::make_unique<ScriptedContext>(real_->AcquireVerifyContext(type), s_);
  }

 private:
  std::unique_ptr<platform::CryptoProvider> real_ = platform::CreateCryptoProvider();
  Script& s_;
};

class SecurityServerTest : public ::testing::Test {
 protected:
  void SetUp() override { SecurityServer::ResetForTesting(); }
  void TearDown() override { SecurityServer::ResetForTesting(); }
  SecurityServer& server() { return SecurityServer::Instance(); }
  void UseScript() { SecurityServer::ResetForTesting(std::make_unique<ScriptedProvider>(script_)); }
  Script script_;
};

TEST_F(SecurityServerTest, InitializeOnceAndForAll) {
  EXPECT_FALSE(server().initialized());
  ASSERT_TRUE(server().Initialize());
  EXPECT_TRUE(server().initialized());
  const PayloadBuffer key10 = server().StreamKey(10);
  EXPECT_TRUE(server().Initialize());
  // A second call keeps what the first made.
  EXPECT_EQ(server().StreamKey(10).data(), key10.data());
  EXPECT_EQ(&SecurityServer::Instance(), &server());
}

TEST_F(SecurityServerTest, EveryIndexRoundTripsAndRestartsItsStream) {
  ASSERT_TRUE(server().Initialize());
  Bytes plain(1000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<Bytes> outputs;
  for (uint16_t index : {0, 1, 10, 11, 12}) {
    SCOPED_TRACE(index);
    Bytes a = plain, b = plain;
    ASSERT_TRUE(server().Encrypt(index, a.data(), static_cast<uint32_t>(a.size())));
    ASSERT_TRUE(server().Encrypt(index, b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_NE(a, plain);
    EXPECT_EQ(a, b);  // each call starts the key stream anew
    ASSERT_TRUE(server().Decrypt(index, a.data(), static_cast<uint32_t>(a.size())));
    EXPECT_EQ(a, plain);
    outputs.push_back(b);
  }
  for (size_t i = 0; i < outputs.size(); ++i)
    for (size_t j = i + 1; j < outputs.size(); ++j)
      EXPECT_NE(outputs[i], outputs[j]) << i << " " << j;
}

TEST_F(SecurityServerTest, OnlyTheFiveIndicesAreAccepted) {
  ASSERT_TRUE(server().Initialize());
  for (uint16_t index : {2, 3, 9, 13, 0xFFFF}) {
    SCOPED_TRACE(index);
    Bytes data(16, 0xA5);
    EXPECT_FALSE(server().Encrypt(index, data.data(), 16));
    EXPECT_FALSE(server().Decrypt(index, data.data(), 16));
    EXPECT_EQ(data, Bytes(16, 0xA5));
  }
}

TEST_F(SecurityServerTest, UninitialisedRefusesEverything) {
  Bytes data(8, 1);
  PayloadBuffer out;
  EXPECT_FALSE(server().Encrypt(0, data.data(), 8));
  EXPECT_FALSE(server().Decrypt(10, data.data(), 8));
  EXPECT_FALSE(server().Hash(data.data(), 8, out));
  EXPECT_FALSE(server().DeriveKey(out, data.data(), 8));
  uint8_t r[8];
  EXPECT_FALSE(server().RandomBytes(r, 8));
  EXPECT_TRUE(out.empty());
}

// The legacy and stream indices use exactly the shared key material: RC4 with the 40-bit salt
// over the table's keys, HC-128 over MD5(phrase) with the fixed IV.
TEST_F(SecurityServerTest, KeysComeFromTheSharedMaterial) {
  ASSERT_TRUE(server().Initialize());
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto& phrase = key_material::kStreamKeyPhrases[i];
    PayloadBuffer expected_key;
    ASSERT_TRUE(server().DeriveKey(expected_key, phrase.data(), 8));
    const PayloadBuffer key = server().StreamKey(static_cast<uint16_t>(10 + i));
    ASSERT_EQ(key.size(), 16u);
    EXPECT_EQ(Hex(key.span()), Hex(expected_key.span()));
    Bytes via_server(64, 0), direct(64, 0);
    ASSERT_TRUE(server().Encrypt(static_cast<uint16_t>(10 + i), via_server.data(), 64));
    Hc128(std::span<const uint8_t, 16>(key.data(), 16), key_material::kStreamCipherIv)
        .Process(direct.data(), direct.data(), 64);
    EXPECT_EQ(via_server, direct);
  }
}

TEST_F(SecurityServerTest, ZeroLengthStreamCipherSucceeds) {
  ASSERT_TRUE(server().Initialize());
  uint8_t byte = 0x42;
  EXPECT_TRUE(server().Encrypt(10, &byte, 0));
  EXPECT_EQ(byte, 0x42);
  EXPECT_TRUE(server().Encrypt(10, nullptr, 0));
  EXPECT_TRUE(server().Decrypt(0, nullptr, 0));
  EXPECT_FALSE(server().Encrypt(10, nullptr, 1));
}

TEST_F(SecurityServerTest, Md5MatchesRfc1321) {
  ASSERT_TRUE(server().Initialize());
  const struct {
    std::string text, digest;
  } rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    PayloadBuffer out = PayloadBuffer::Allocate(3);
    const auto* data = reinterpret_cast<const uint8_t*>(row.text.data());
    ASSERT_TRUE(server().Hash(data, static_cast<uint32_t>(row.text.size()), out));
    EXPECT_EQ(Hex(out.span()), row.digest);
    PayloadBuffer derived, again;
    ASSERT_TRUE(server().DeriveKey(derived, data, static_cast<uint32_t>(row.text.size())));
    ASSERT_TRUE(server().DeriveKey(again, data, static_cast<uint32_t>(row.text.size())));
    EXPECT_EQ(Hex(derived.span()), row.digest);
    EXPECT_NE(derived.data(), again.data());  // a new buffer each time, same bytes
    EXPECT_EQ(Hex(again.span()), row.digest);
  }
}

TEST_F(SecurityServerTest, EventIdsTakeTheProvidersRandomBytes) {
  static const uint8_t kRandom[8] = {0x01, 0x02, 0x83, 0x04, 0x05, 0x06, 0x07, 0x08};
  script_.fixed_random = kRandom;
  UseScript();
  // Before initialisation the fallback generator serves (at most 15 bits in the last part).
  const std::u16string before = NewEventId();
  EXPECT_LE(std::stoul(std::string(before.end() - 6, before.end()), nullptr, 16), 0x7fffu);
  ASSERT_TRUE(server().Initialize());
  const int calls = script_.random_calls;
  const std::u16string id = NewEventId();
  EXPECT_EQ(script_.random_calls, calls + 1);
  ASSERT_EQ(id.size(), 18u);
  EXPECT_EQ(std::u16string(id.end() - 6, id.end()), u"830201");
  // When the source fails, the fallback serves again.
  script_.fail_random = true;
  const std::u16string fallback = NewEventId();
  EXPECT_LE(std::stoul(std::string(fallback.end() - 6, fallback.end()), nullptr, 16), 0x7fffu);
  // After a reset the provider is no longer asked.
  SecurityServer::ResetForTesting();
  const int after_reset = script_.random_calls;
  NewEventId();
  EXPECT_EQ(script_.random_calls, after_reset);
}

TEST_F(SecurityServerTest, InitializeFailsAndHoldsNothing) {
  struct Row {
    const char* name;
    std::function<void(Script&)> breaks;
  } rows[] = {
      {"no context", [](Script& s) { s.no_context = true; }},
      {"no signature key pairs", [](Script& s) { s.key_types = platform::kKeyTypeExchange; }},
      {"no exchange key pairs", [](Script& s) { s.key_types = platform::kKeyTypeSignature; }},
      {"no RC4 offered", [](Script& s) { s.offer_rc4 = false; }},
      {"RC4 default below 40 bits", [](Script& s) { s.rc4_default_bits = 32; }},
      {"exchange key not generated", [](Script& s) { s.fail_exchange_key = true; }},
      {"first import fails", [](Script& s) { s.fail_import_number = 1; }},
      {"third import fails", [](Script& s) { s.fail_import_number = 3; }},
      {"no random padding", [](Script& s) { s.fail_random = true; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    script_ = Script{};
    row.breaks(script_);
    UseScript();
    EXPECT_FALSE(server().Initialize());
    EXPECT_FALSE(server().initialized());
    Bytes data(8, 1);
    PayloadBuffer out;
    EXPECT_FALSE(server().Encrypt(0, data.data(), 8));
    EXPECT_FALSE(server().Encrypt(10, data.data(), 8));
    EXPECT_FALSE(server().Hash(data.data(), 8, out));  // the context was released
    EXPECT_TRUE(server().StreamKey(10).empty());
    // Nothing sticks: once the fault is gone the next call succeeds.
    script_ = Script{};
    EXPECT_TRUE(server().Initialize());
    EXPECT_TRUE(server().Encrypt(0, data.data(), 8));
  }
}

// A digest failure during initialisation leaves the stream keys empty but does not stop it.
TEST_F(SecurityServerTest, StreamKeysMayBeMissing) {
  script_.fail_hash = true;
  UseScript();
  ASSERT_TRUE(server().Initialize());
  Bytes data(8, 1);
  EXPECT_TRUE(server().Encrypt(1, data.data(), 8));
  EXPECT_FALSE(server().Encrypt(10, data.data(), 8));
  EXPECT_FALSE(server().Decrypt(12, data.data(), 8));
}

TEST_F(SecurityServerTest, LockIsRecursive) {
  ASSERT_TRUE(server().Initialize());
  std::lock_guard<std::recursive_mutex> outer(server().lock());
  Bytes data(32, 0);
  EXPECT_TRUE(server().Encrypt(11, data.data(), 32));
  EXPECT_TRUE(server().Decrypt(11, data.data(), 32));
  EXPECT_EQ(data, Bytes(32, 0));
}

}  // namespace
}  // namespace vorla
