#include "security/security_server.h"

#include <algorithm>
#include <new>

#include "common/host_identity.h"
#include "security/hc128.h"
#include "security/key_blob.h"
#include "security/key_material.h"

namespace vorla {
namespace {

// The provider's default RC4 length must allow the 40-bit keys the peers share.
constexpr uint32_t kMinRc4Bits = 40;
constexpr uint32_t kDigestBytes = 16;

bool EventIdRandom(uint8_t* out, size_t n) {
  return SecurityServer::Instance().RandomBytes(out, n);
}

bool OffersAlgorithm(platform::CryptoContext& context, uint32_t algorithm) {
  const auto algorithms = context.Algorithms();
  return std::any_of(algorithms.begin(), algorithms.end(),
                     [&](const platform::CryptoAlgorithm& a) { return a.id == algorithm; });
}

// The exchange key of exponent one: a fresh exportable RSA exchange pair, exported, its exponents
// set to one, imported again. A session key wrapped for it imports as its plain block.
std::unique_ptr<platform::CryptoKey> MakeExchangeKey(platform::CryptoContext& context) {
  std::vector<uint8_t> blob;
  {
    auto pair = context.GenerateKey(platform::kAlgRsaKeyExchange, /*exportable=*/true);
    if (!pair || !context.ExportPrivateKey(*pair, blob)) return nullptr;
  }
  auto key = MakeExponentOneKeyBlob(blob) ? context.ImportKey(blob, nullptr, false) : nullptr;
  std::fill(blob.begin(), blob.end(), 0);
  return key;
}

std::unique_ptr<platform::CryptoKey> ImportRc4Key(platform::CryptoContext& context,
                                                  const platform::CryptoKey& exchange_key,
                                                  std::span<const uint8_t> key) {
  if (!OffersAlgorithm(context, platform::kAlgRc4)) return nullptr;
  {
    auto probe = context.GenerateKey(platform::kAlgRc4, false);
    if (!probe || probe->bit_length() < kMinRc4Bits) return nullptr;
  }
  const uint32_t bits = exchange_key.bit_length();
  std::vector<uint8_t> padding(SimpleKeyBlobPadding(key.size(), bits));
  if (padding.empty() || !context.RandomBytes(padding)) return nullptr;
  std::vector<uint8_t> blob = BuildSimpleKeyBlob(key, exchange_key.algorithm_id(), bits, padding);
  if (blob.empty()) return nullptr;
  auto imported = context.ImportKey(blob, &exchange_key, /*exportable=*/true);
  std::fill(blob.begin(), blob.end(), 0);
  return imported;
}

}  // namespace

SecurityServer::SecurityServer() : provider_(platform::CreateCryptoProvider()) {}

SecurityServer::~SecurityServer() {
  SetEventIdRandomSource(nullptr);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  ReleaseLocked();
}

SecurityServer& SecurityServer::Instance() {
  static SecurityServer instance;
  return instance;
}

void SecurityServer::ReleaseLocked() {
  random_context_.store(nullptr, std::memory_order_release);
  initialized_ = false;
  for (auto& k : stream_keys_) k = PayloadBuffer();
  rc4_keys_.clear();
  exchange_key_.reset();
  context_.reset();
}

bool SecurityServer::Initialize() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (initialized_) return true;
  bool ok = provider_ != nullptr;
  if (ok) {
    context_ = provider_->AcquireVerifyContext(platform::CryptoProviderType::kRsaFull);
    ok = context_ != nullptr;
  }
  if (ok) {
    const uint32_t types = context_->SupportedKeyTypes();
    ok = (types & platform::kKeyTypeExchange) && (types & platform::kKeyTypeSignature);
  }
  if (ok) {
    exchange_key_ = MakeExchangeKey(*context_);
    ok = exchange_key_ != nullptr;
  }
  for (size_t i = 0; ok && i < key_material::kRc4Keys.size(); ++i) {
    auto key = ImportRc4Key(*context_, *exchange_key_, key_material::kRc4Keys[i]);
    ok = key != nullptr;
    if (ok) rc4_keys_.push_back(std::move(key));
  }
  if (ok) {
    // A failed derivation leaves that stream key empty; Encrypt then refuses its index.
    for (size_t i = 0; i < key_material::kStreamKeyPhrases.size(); ++i) {
      const auto& phrase = key_material::kStreamKeyPhrases[i];
      DeriveKey(stream_keys_[i], phrase.data(), static_cast<uint32_t>(phrase.size()));
    }
    initialized_ = true;
    random_context_.store(context_.get(), std::memory_order_release);
    SetEventIdRandomSource(&EventIdRandom);
  } else {
    ReleaseLocked();
  }
  return initialized_;
}

bool SecurityServer::Encrypt(uint16_t key_index, uint8_t* data, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!initialized_ || rc4_keys_.empty() || (data == nullptr && length != 0)) return false;
  if (key_index < LegacyKeyCount()) return RunRc4(key_index, data, length, true);
  return RunStream(key_index, data, length);
}

bool SecurityServer::Decrypt(uint16_t key_index, uint8_t* data, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!initialized_ || rc4_keys_.empty() || (data == nullptr && length != 0)) return false;
  if (key_index < LegacyKeyCount()) return RunRc4(key_index, data, length, false);
  return RunStream(key_index, data, length);
}

bool SecurityServer::RunRc4(uint16_t key_index, uint8_t* data, uint32_t length, bool encrypt) {
  if (key_index >= rc4_keys_.size()) return false;
  platform::CryptoKey& key = *rc4_keys_[key_index];
  // Final block: the next call starts the key stream from its beginning again.
  return encrypt ? key.Encrypt(data, length, true) : key.Decrypt(data, length, true);
}

bool SecurityServer::RunStream(uint16_t key_index, uint8_t* data, uint32_t length) {
  const uint16_t first = key_material::kFirstStreamKeyIndex;
  if (key_index < first || key_index >= first + StreamKeyCount()) return false;
  const PayloadBuffer& key = stream_keys_[key_index - first];
  if (key.empty()) return false;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto state = StreamCipherCreate(key.span());
  if (!state) return false;
  if (length == 0) return true;
  std::unique_ptr<uint8_t[]> temp(new (std::nothrow) uint8_t[length]);
  if (!temp) return false;
  StreamCipherProcess(*state, data, temp.get(), length);
  std::copy(temp.get(), temp.get() + length, data);
  return true;
}

bool SecurityServer::Hash(const uint8_t* data, uint32_t length, PayloadBuffer& out) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!context_ || (data == nullptr && length != 0)) return false;
  auto hash = context_->CreateHash(platform::kAlgMd5);
  if (!hash || !hash->Update({data, length})) return false;
  PayloadBuffer digest = PayloadBuffer::Allocate(hash->digest_size());
  if (digest.empty() || !hash->Finish(digest.mutable_span())) return false;
  out = std::move(digest);
  return true;
}

bool SecurityServer::DeriveKey(PayloadBuffer& out, const uint8_t* data, uint32_t length) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  PayloadBuffer digest;
  if (!Hash(data, length, digest) || digest.size() != kDigestBytes) return false;
  out = std::move(digest);
  return true;
}

bool SecurityServer::RandomBytes(uint8_t* out, size_t n) {
  platform::CryptoContext* context = random_context_.load(std::memory_order_acquire);
  if (context == nullptr || (out == nullptr && n != 0)) return false;
  return context->RandomBytes({out, n});
}

std::recursive_mutex& SecurityServer::lock() { return lock_; }

bool SecurityServer::initialized() const { return initialized_.load(std::memory_order_acquire); }

PayloadBuffer SecurityServer::StreamKey(uint16_t key_index) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const uint16_t first = key_material::kFirstStreamKeyIndex;
  if (key_index < first || key_index >= first + StreamKeyCount()) return {};
  return stream_keys_[key_index - first];
}

void SecurityServer::ResetForTesting(std::unique_ptr<platform::CryptoProvider> provider) {
  SecurityServer& s = Instance();
  SetEventIdRandomSource(nullptr);
  std::lock_guard<std::recursive_mutex> guard(s.lock_);
  s.ReleaseLocked();
  s.provider_ = provider ? std::move(provider) : platform::CreateCryptoProvider();
}

}  // namespace vorla
