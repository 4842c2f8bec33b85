// The platform's cryptographic service: contexts, key generation, key import from key blobs,
// symmetric enciphering with imported RC4 keys, digests and random bytes.
//
// The shape follows the platform service the peers were built against, because the peers share
// its results: an RC4 key is imported from a simple key blob wrapped under an RSA exchange key, and
// a 40-bit RC4 key carries the type's default salt (eleven zero bytes after the five key bytes),
// which changes its key stream. The blob layouts (all integers little-endian):
//
//   blob header (8 bytes): type u8, version u8 (kBlobVersion), reserved u16 (0), key algorithm u32
//   simple key blob:  header(kSimpleKeyBlob, kAlgRc4) | wrapping key's algorithm u32 |
//                     wrapped key: bit_length/8 bytes of the wrapping key's block, little-endian
//   private key blob: header(kPrivateKeyBlob, kAlgRsaKeyExchange) | magic u32 (kRsaPrivateMagic) |
//                     bit length u32 | public exponent u32 | modulus n/8 | prime1 n/16 |
//                     prime2 n/16 | exponent1 n/16 | exponent2 n/16 | coefficient n/16 |
//                     private exponent n/8       (every number little-endian over its width)
//
// Threads: a context and its keys may be used from several threads, but one key's stream state
// must not be used by two at once (callers serialise). RandomBytes is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vorla::platform {

// Algorithm identifiers as they appear in key blobs (shared with the peers).
inline constexpr uint32_t kAlgRc4 = 0x6801;
inline constexpr uint32_t kAlgMd5 = 0x8003;
inline constexpr uint32_t kAlgRsaKeyExchange = 0xA400;
inline constexpr uint32_t kAlgRsaSignature = 0x2400;

inline constexpr uint8_t kSimpleKeyBlob = 1;
inline constexpr uint8_t kPrivateKeyBlob = 7;
inline constexpr uint8_t kBlobVersion = 2;
inline constexpr uint32_t kRsaPrivateMagic = 0x32415352;  // "RSA2"

// Kinds of key pair a provider can hold (bit set).
inline constexpr uint32_t kKeyTypeExchange = 1;
inline constexpr uint32_t kKeyTypeSignature = 2;

// The provider type whose defaults (salted 40-bit RC4 keys) bind the peers.
enum class CryptoProviderType { kRsaFull };

struct CryptoAlgorithm {
  uint32_t id = 0;
  uint32_t default_bits = 0;
  uint32_t min_bits = 0;
  uint32_t max_bits = 0;
  std::string name;
};

class CryptoKey {
 public:
  virtual ~CryptoKey() = default;
  virtual uint32_t algorithm_id() const = 0;
  virtual uint32_t bit_length() const = 0;
  virtual bool exportable() const = 0;
  // Enciphers / deciphers `length` bytes in place (symmetric keys only; false for others). With
  // `final` the key's stream starts again from its beginning on the next call; without it the
  // next call continues the stream. `data` may be null only when `length` is 0.
  virtual bool Encrypt(uint8_t* data, size_t length, bool final) = 0;
  virtual bool Decrypt(uint8_t* data, size_t length, bool final) = 0;
};

class CryptoHash {
 public:
  virtual ~CryptoHash() = default;
  virtual bool Update(std::span<const uint8_t> data) = 0;
  virtual uint32_t digest_size() const = 0;
  // Writes the digest into `out` (exactly digest_size() bytes); no Update after it.
  virtual bool Finish(std::span<uint8_t> out) = 0;
};

class CryptoContext {
 public:
  virtual ~CryptoContext() = default;
  // The kinds of key pair the provider supports (kKeyType* bits).
  virtual uint32_t SupportedKeyTypes() = 0;
  // Every algorithm the provider offers, with its key lengths.
  virtual std::vector<CryptoAlgorithm> Algorithms() = 0;
  // A new random key of `algorithm` (kAlgRc4, kAlgRsaKeyExchange) with the provider's default
  // length; nullptr when the algorithm is not offered or generation fails.
  virtual std::unique_ptr<CryptoKey> GenerateKey(uint32_t algorithm, bool exportable) = 0;
  // The private key blob of an exportable RSA key; false for any other key.
  virtual bool ExportPrivateKey(const CryptoKey& key, std::vector<uint8_t>& blob) = 0;
  // Imports a private key blob (unwrap_key null) or a simple key blob wrapped under `unwrap_key`.
  // nullptr when the blob is malformed in any way (see the layouts above).
  virtual std::unique_ptr<CryptoKey> ImportKey(std::span<const uint8_t> blob,
                                               const CryptoKey* unwrap_key, bool exportable) = 0;
  // A hash object of `algorithm` (kAlgMd5); nullptr when not offered.
  virtual std::unique_ptr<CryptoHash> CreateHash(uint32_t algorithm) = 0;
  // Fills `out` with cryptographically random bytes. Thread-safe.
  virtual bool RandomBytes(std::span<uint8_t> out) = 0;
};

class CryptoProvider {
 public:
  virtual ~CryptoProvider() = default;
  // A verify-only, silent context of the type's default provider: no stored key containers, never
  // asks the user. nullptr when none can be had.
  virtual std::unique_ptr<CryptoContext> AcquireVerifyContext(CryptoProviderType type) = 0;
};

// The platform's provider (defined once per OS).
std::unique_ptr<CryptoProvider> CreateCryptoProvider();

}  // namespace vorla::platform
