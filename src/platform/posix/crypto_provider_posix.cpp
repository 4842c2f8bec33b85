// Linux crypto provider: reproduces the results of the platform provider of type RSA-full that the
// peers rely on. RC4 is our own (OpenSSL 3 keeps it out of its default provider); MD5 and the RSA
// exchange key come from libcrypto; random bytes from the kernel (getrandom).
#include <sys/random.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/byte_reader.h"
#include "platform/crypto_provider.h"
#include "platform/key_blob.h"

namespace vorla::platform {
namespace {

constexpr uint32_t kRsaDefaultBits = 1024;
using key_blob::kRsaMaxBits;
using key_blob::kRsaMinBits;
constexpr uint32_t kRc4DefaultBits = 40;
constexpr uint32_t kRc4MinBits = 40;
constexpr uint32_t kRc4MaxBits = 128;
// The type's default for 40-bit keys: eleven zero bytes of salt follow the five key bytes, and the
// key schedule runs over all sixteen.
constexpr size_t kRc4SaltedKeyBytes = 16;
// PKCS #1 v1.5 asks for at least eight bytes of padding in a type-2 block.
constexpr size_t kMinPaddingBytes = 8;

bool KernelRandom(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

class Rc4Key final : public CryptoKey {
 public:
  Rc4Key(std::span<const uint8_t> key, bool exportable)
      : bits_(static_cast<uint32_t>(key.size() * 8)), exportable_(exportable) {
    uint8_t schedule_key[kRc4SaltedKeyBytes] = {};
    std::copy(key.begin(), key.end(), schedule_key);
    const size_t schedule_len = key.size() * 8 == kRc4DefaultBits ? kRc4SaltedKeyBytes : key.size();
    for (int i = 0; i < 256; ++i) initial_[i] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
      j = static_cast<uint8_t>(j + initial_[i] + schedule_key[i % schedule_len]);
      std::swap(initial_[i], initial_[j]);
    }
    Restart();
  }

  uint32_t algorithm_id() const override { return kAlgRc4; }
  uint32_t bit_length() const override { return bits_; }
  bool exportable() const override { return exportable_; }
  bool Encrypt(uint8_t* data, size_t length, bool final) override {
    return Run(data, length, final);
  }
  bool Decrypt(uint8_t* data, size_t length, bool final) override {
    return Run(data, length, final);
  }

 private:
  void Restart() {
    std::memcpy(s_, initial_, sizeof s_);
    i_ = j_ = 0;
  }
  bool Run(uint8_t* data, size_t length, bool final) {
    if (data == nullptr && length != 0) return false;
    for (size_t n = 0; n < length; ++n) {
      i_ = static_cast<uint8_t>(i_ + 1);
      j_ = static_cast<uint8_t>(j_ + s_[i_]);
      std::swap(s_[i_], s_[j_]);
      data[n] ^= s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
    }
    if (final) Restart();
    return true;
  }

  uint32_t bits_;
  bool exportable_;
  uint8_t initial_[256];
  uint8_t s_[256];
  uint8_t i_ = 0, j_ = 0;
};

// An RSA key as its private key blob holds it: every number little-endian over its field width.
using RsaNumbers = key_blob::RsaPrivateFields;

class RsaKey final : public CryptoKey {
 public:
  RsaKey(uint32_t algorithm, RsaNumbers numbers, bool exportable)
      : algorithm_(algorithm), numbers_(std::move(numbers)), exportable_(exportable) {}

  uint32_t algorithm_id() const override { return algorithm_; }
  uint32_t bit_length() const override { return numbers_.bits; }
  bool exportable() const override { return exportable_; }
  bool Encrypt(uint8_t*, size_t, bool) override { return false; }
  bool Decrypt(uint8_t*, size_t, bool) override { return false; }
  const RsaNumbers& numbers() const { return numbers_; }

  // block^d mod n over a little-endian block of n/8 bytes; false when the block is not below n.
  bool Unwrap(std::span<const uint8_t> block, std::vector<uint8_t>& out) const {
    const int width = static_cast<int>(numbers_.bits / 8);
    if (block.size() != static_cast<size_t>(width)) return false;
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* c = BN_lebin2bn(block.data(), width, nullptr);
    BIGNUM* n = BN_lebin2bn(numbers_.modulus.data(), width, nullptr);
    BIGNUM* d = BN_lebin2bn(numbers_.private_exponent.data(), width, nullptr);
    BIGNUM* m = BN_new();
    bool ok = ctx && c && n && d && m && !BN_is_zero(n) && BN_cmp(c, n) < 0 &&
              BN_mod_exp(m, c, d, n, ctx) == 1;
    if (ok) {
      out.assign(static_cast<size_t>(width), 0);
      ok = BN_bn2lebinpad(m, out.data(), width) == width;
    }
    BN_free(m);
    BN_clear_free(d);
    BN_free(n);
    BN_free(c);
    BN_CTX_free(ctx);
    return ok;
  }

 private:
  uint32_t algorithm_;
  RsaNumbers numbers_;
  bool exportable_;
};

bool BigNumberParam(const EVP_PKEY* key, const char* name, size_t width,
                    std::vector<uint8_t>& out) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return false;
  out.assign(width, 0);
  const bool ok =
      BN_bn2lebinpad(bn, out.data(), static_cast<int>(width)) == static_cast<int>(width);
  BN_clear_free(bn);
  return ok;
}

std::unique_ptr<CryptoKey> GenerateRsaKey(uint32_t algorithm, bool exportable) {
  EVP_PKEY* key = EVP_RSA_gen(kRsaDefaultBits);
  if (key == nullptr) return nullptr;
  RsaNumbers r;
  r.bits = kRsaDefaultBits;
  std::vector<uint8_t> e;
  const size_t full = kRsaDefaultBits / 8, half = kRsaDefaultBits / 16;
  const bool ok = BigNumberParam(key, OSSL_PKEY_PARAM_RSA_N, full, r.modulus) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_E, 4, e) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_D, full, r.private_exponent) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1, half, r.prime1) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2, half, r.prime2) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, half, r.exponent1) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, half, r.exponent2) &&
                  BigNumberParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half, r.coefficient);
  EVP_PKEY_free(key);
  if (!ok) return nullptr;
  r.public_exponent = static_cast<uint32_t>(e[0] | e[1] << 8 | e[2] << 16 | e[3] << 24);
  return std::make_unique<RsaKey>(algorithm, std::move(r), exportable);
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

using BlobHeader = key_blob::Header;
using key_blob::ReadHeader;

std::unique_ptr<CryptoKey> ImportPrivateKey(const BlobHeader& h, ByteReader& r, bool exportable) {
  RsaNumbers n;
  if (!key_blob::ReadRsaPrivate(h, r, n)) return nullptr;
  return std::make_unique<RsaKey>(h.algorithm, std::move(n), exportable);
}

// A simple key blob: the session key in a PKCS #1 v1.5 type-2 block, stored little-endian, so
// from the first byte: key bytes reversed, one zero, non-zero padding, the byte 2, a final zero.
std::unique_ptr<CryptoKey> ImportSimpleKey(const BlobHeader& h, ByteReader& r,
                                           const CryptoKey* unwrap_key, bool exportable) {
  const auto* rsa = dynamic_cast<const RsaKey*>(unwrap_key);
  if (h.algorithm != kAlgRc4 || rsa == nullptr) return nullptr;
  uint32_t wrap_algorithm = 0;
  if (!r.U32(wrap_algorithm) || wrap_algorithm != rsa->algorithm_id()) return nullptr;
  const size_t width = rsa->bit_length() / 8;
  std::vector<uint8_t> wrapped(width);
  if (!r.Bytes(wrapped.data(), width) || r.remaining() != 0) return nullptr;
  std::vector<uint8_t> block;
  if (!rsa->Unwrap(wrapped, block)) return nullptr;
  if (block[width - 1] != 0 || block[width - 2] != 2) return nullptr;
  size_t separator = width - 2;  // index of the zero that ends the padding
  while (separator > 0 && block[separator - 1] != 0) --separator;
  if (separator == 0) return nullptr;  // no separator
  --separator;
  const size_t padding = width - 2 - separator - 1;
  const size_t key_bytes = separator;
  if (padding < kMinPaddingBytes || key_bytes * 8 < kRc4MinBits || key_bytes * 8 > kRc4MaxBits) {
    return nullptr;
  }
  std::vector<uint8_t> key(block.rend() - static_cast<std::ptrdiff_t>(key_bytes), block.rend());
  std::fill(block.begin(), block.end(), 0);
  auto result = std::make_unique<Rc4Key>(key, exportable);
  std::fill(key.begin(), key.end(), 0);
  return result;
}

class Md5Hash final : public CryptoHash {
 public:
  Md5Hash() : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) == 1;
  }
  ~Md5Hash() override { EVP_MD_CTX_free(ctx_); }
  bool valid() const { return ok_; }

  bool Update(std::span<const uint8_t> data) override {
    if (!ok_ || finished_) return false;
    return data.empty() || EVP_DigestUpdate(ctx_, data.data(), data.size()) == 1;
  }
  uint32_t digest_size() const override {
    return static_cast<uint32_t>(EVP_MD_get_size(EVP_md5()));
  }
  bool Finish(std::span<uint8_t> out) override {
    if (!ok_ || finished_ || out.size() != digest_size()) return false;
    finished_ = true;
    unsigned int n = 0;
    return EVP_DigestFinal_ex(ctx_, out.data(), &n) == 1 && n == out.size();
  }

 private:
  EVP_MD_CTX* ctx_;
  bool ok_ = false;
  bool finished_ = false;
};

class PosixCryptoContext final : public CryptoContext {
 public:
  uint32_t SupportedKeyTypes() override { return kKeyTypeExchange | kKeyTypeSignature; }

  std::vector<CryptoAlgorithm> Algorithms() override {
    return {
        {kAlgRc4, kRc4DefaultBits, kRc4MinBits, kRc4MaxBits, "RC4"},
        {kAlgMd5, 128, 128, 128, "MD5"},
        {kAlgRsaSignature, kRsaDefaultBits, kRsaMinBits, kRsaMaxBits, "RSA_SIGN"},
        {kAlgRsaKeyExchange, kRsaDefaultBits, kRsaMinBits, kRsaMaxBits, "RSA_KEYX"},
    };
  }

  std::unique_ptr<CryptoKey> GenerateKey(uint32_t algorithm, bool exportable) override {
    if (algorithm == kAlgRc4) {
      uint8_t key[kRc4DefaultBits / 8];
      if (!RandomBytes(key)) return nullptr;
      return std::make_unique<Rc4Key>(key, exportable);
    }
    if (algorithm == kAlgRsaKeyExchange || algorithm == kAlgRsaSignature) {
      return GenerateRsaKey(algorithm, exportable);
    }
    return nullptr;
  }

  bool ExportPrivateKey(const CryptoKey& key, std::vector<uint8_t>& blob) override {
    const auto* rsa = dynamic_cast<const RsaKey*>(&key);
    if (rsa == nullptr || !rsa->exportable()) return false;
    const RsaNumbers& n = rsa->numbers();
    blob.clear();
    blob.push_back(kPrivateKeyBlob);
    blob.push_back(kBlobVersion);
    blob.push_back(0);
    blob.push_back(0);
    PutLe32(blob, rsa->algorithm_id());
    PutLe32(blob, kRsaPrivateMagic);
    PutLe32(blob, n.bits);
    PutLe32(blob, n.public_exponent);
    for (const auto* f : {&n.modulus, &n.prime1, &n.prime2, &n.exponent1, &n.exponent2,
                          &n.coefficient, &n.private_exponent}) {
      blob.insert(blob.end(), f->begin(), f->end());
    }
    return true;
  }

  std::unique_ptr<CryptoKey> ImportKey(std::span<const uint8_t> blob, const CryptoKey* unwrap_key,
                                       bool exportable) override {
    ByteReader r(blob);
    BlobHeader h;
    if (!ReadHeader(r, h)) return nullptr;
    if (h.type == kPrivateKeyBlob && unwrap_key == nullptr)
      return ImportPrivateKey(h, r, exportable);
    if (h.type == kSimpleKeyBlob) return ImportSimpleKey(h, r, unwrap_key, exportable);
    return nullptr;
  }

  std::unique_ptr<CryptoHash> CreateHash(uint32_t algorithm) override {
    if (algorithm != kAlgMd5) return nullptr;
    auto hash = std::make_unique<Md5Hash>();
    if (!hash->valid()) return nullptr;
    return hash;
  }

  bool RandomBytes(std::span<uint8_t> out) override { return KernelRandom(out); }
};

class PosixCryptoProvider final : public CryptoProvider {
 public:
  std::unique_ptr<CryptoContext> AcquireVerifyContext(CryptoProviderType type) override {
    if (type != CryptoProviderType::kRsaFull) return nullptr;
    return std::make_unique<PosixCryptoContext>();
  }
};

}  // namespace

std::unique_ptr<CryptoProvider> CreateCryptoProvider() {
  return std::make_unique<PosixCryptoProvider>();
}

}  // namespace vorla::platform
