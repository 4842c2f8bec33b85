// Windows crypto provider: the system's CryptoAPI, default provider of type RSA-full. The blob
// layouts of crypto_provider.h are the API's own PRIVATEKEYBLOB and SIMPLEBLOB, and the salt of
// 40-bit RC4 keys is the provider's default, so blobs go to the API as they come. Each blob is
// checked against its layout first, so that what this provider refuses is exactly what the
// Linux one refuses (the API itself lets some malformed blobs through, such as trailing bytes,
// an empty session key or a private key of an odd bit length).
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "common/byte_reader.h"
#include "platform/crypto_provider.h"
#include "platform/key_blob.h"

namespace vorla::platform {
namespace {

constexpr uint32_t kRc4MinBits = 40;
constexpr uint32_t kRc4MaxBits = 128;
// PKCS #1 v1.5 asks for at least eight bytes of padding in a type-2 block.
constexpr size_t kMinPaddingBytes = 8;
// The API counts in DWORDs; longer buffers go in pieces of this size.
constexpr size_t kMaxPiece = 1u << 30;

// A reference on the provider handle. Keys and hashes hold one each, so that the handle stays
// valid for as long as anything made on it, whatever order the owners release them in.
class ProviderRef {
 public:
  explicit ProviderRef(HCRYPTPROV prov) : prov_(prov) {}
  // Takes another reference on `prov`; a null one when that fails.
  static ProviderRef Share(HCRYPTPROV prov) {
    return ProviderRef(CryptContextAddRef(prov, nullptr, 0) ? prov : 0);
  }
  ~ProviderRef() {
    if (prov_) CryptReleaseContext(prov_, 0);
  }
  ProviderRef(ProviderRef&& other) noexcept : prov_(std::exchange(other.prov_, 0)) {}
  ProviderRef(const ProviderRef&) = delete;
  ProviderRef& operator=(const ProviderRef&) = delete;
  ProviderRef& operator=(ProviderRef&&) = delete;

  HCRYPTPROV get() const { return prov_; }

 private:
  HCRYPTPROV prov_;
};

bool KeyParam(HCRYPTKEY key, DWORD param, DWORD& value) {
  DWORD v = 0, size = sizeof(v);
  if (!CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&v), &size, 0) || size != sizeof(v))
    return false;
  value = v;
  return true;
}

bool IsRsa(uint32_t algorithm) {
  return algorithm == kAlgRsaKeyExchange || algorithm == kAlgRsaSignature;
}

class Win32Key final : public CryptoKey {
 public:
  Win32Key(ProviderRef prov, HCRYPTKEY key, uint32_t algorithm, uint32_t bits,
           std::vector<uint8_t> modulus, bool exportable)
      : prov_(std::move(prov)),
        key_(key),
        algorithm_(algorithm),
        bits_(bits),
        modulus_(std::move(modulus)),
        exportable_(exportable) {}
  ~Win32Key() override { CryptDestroyKey(key_); }
  Win32Key(const Win32Key&) = delete;
  Win32Key& operator=(const Win32Key&) = delete;

  uint32_t algorithm_id() const override { return algorithm_; }
  uint32_t bit_length() const override { return bits_; }
  bool exportable() const override { return exportable_; }
  bool Encrypt(uint8_t* data, size_t length, bool final) override {
    return Run(data, length, final, true);
  }
  bool Decrypt(uint8_t* data, size_t length, bool final) override {
    return Run(data, length, final, false);
  }

  HCRYPTKEY handle() const { return key_; }
  HCRYPTPROV provider() const { return prov_.get(); }
  // RSA keys only: the modulus, little-endian over bit_length()/8 bytes.
  const std::vector<uint8_t>& modulus() const { return modulus_; }

 private:
  bool Run(uint8_t* data, size_t length, bool final, bool encrypt) {
    if (algorithm_ != kAlgRc4 || (data == nullptr && length != 0)) return false;
    // An empty final call still restarts the stream, so the API gets a buffer even then.
    uint8_t empty = 0;
    if (length == 0) data = &empty;
    size_t done = 0;
    do {
      const size_t piece = std::min(length - done, kMaxPiece);
      const BOOL last = final && done + piece == length;
      DWORD n = static_cast<DWORD>(piece);
      const BOOL ok = encrypt ? CryptEncrypt(key_, 0, last, 0, data + done, &n, n)
                              : CryptDecrypt(key_, 0, last, 0, data + done, &n);
      if (!ok || n != piece) return false;
      done += piece;
    } while (done < length);
    return true;
  }

  ProviderRef prov_;
  HCRYPTKEY key_;
  uint32_t algorithm_;
  uint32_t bits_;
  std::vector<uint8_t> modulus_;
  bool exportable_;
};

// The modulus of an RSA key from its public key blob, which the API gives out for every key:
// header (8) | magic u32 | bit length u32 | public exponent u32 | modulus.
bool PublicModulus(HCRYPTKEY key, uint32_t bits, std::vector<uint8_t>& modulus) {
  DWORD size = 0;
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size)) return false;
  std::vector<uint8_t> blob(size);
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) return false;
  blob.resize(size);
  const size_t width = bits / 8, offset = 20;
  if (blob.size() < offset + width) return false;
  modulus.assign(blob.begin() + offset, blob.begin() + offset + width);
  return true;
}

// Wraps a key handle fresh from the API; destroys it when its properties cannot be read.
std::unique_ptr<CryptoKey> WrapKey(HCRYPTPROV prov, HCRYPTKEY key, bool exportable) {
  DWORD algorithm = 0, bits = 0;
  std::vector<uint8_t> modulus;
  bool ok = KeyParam(key, KP_ALGID, algorithm) && KeyParam(key, KP_KEYLEN, bits);
  if (ok && IsRsa(algorithm)) ok = bits % 8 == 0 && PublicModulus(key, bits, modulus);
  ProviderRef ref = ProviderRef::Share(prov);
  if (!ok || ref.get() == 0) {
    CryptDestroyKey(key);
    return nullptr;
  }
  return std::make_unique<Win32Key>(std::move(ref), key, algorithm, bits, std::move(modulus),
                                    exportable);
}

using BlobHeader = key_blob::Header;
using key_blob::ReadHeader;

// The private key blob's layout and limits, checked before the system imports it; the copies of
// the numbers are wiped afterwards.
bool PrivateBlobWellFormed(const BlobHeader& h, ByteReader& r) {
  key_blob::RsaPrivateFields fields;
  const bool ok = key_blob::ReadRsaPrivate(h, r, fields);
  for (std::vector<uint8_t>* v : {&fields.modulus, &fields.prime1, &fields.prime2, &fields.exponent1,
                                  &fields.exponent2, &fields.coefficient, &fields.private_exponent})
    SecureZeroMemory(v->data(), v->size());
  return ok;
}

// True when the little-endian number `a` is below `b` of the same width.
bool BelowLe(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i];
  return false;
}

// The length of the session key in a wrapped block, learned by deciphering a copy of the block
// with the exchange key (the API strips the PKCS #1 padding); false when it does not decipher.
bool WrappedKeyLength(const Win32Key& rsa, std::span<const uint8_t> wrapped, size_t& key_bytes) {
  std::vector<uint8_t> block(wrapped.begin(), wrapped.end());
  DWORD n = static_cast<DWORD>(block.size());
  const bool ok = CryptDecrypt(rsa.handle(), 0, TRUE, 0, block.data(), &n) && n <= block.size();
  SecureZeroMemory(block.data(), block.size());
  if (ok) key_bytes = n;
  return ok;
}

class Win32CryptoContext final : public CryptoContext {
 public:
  explicit Win32CryptoContext(HCRYPTPROV prov) : prov_(prov) {}

  uint32_t SupportedKeyTypes() override {
    DWORD spec = 0, size = sizeof(spec);
    if (!CryptGetProvParam(prov_.get(), PP_KEYSPEC, reinterpret_cast<BYTE*>(&spec), &size, 0))
      return 0;
    uint32_t types = 0;
    if (spec & AT_KEYEXCHANGE) types |= kKeyTypeExchange;
    if (spec & AT_SIGNATURE) types |= kKeyTypeSignature;
    return types;
  }

  std::vector<CryptoAlgorithm> Algorithms() override {
    std::vector<CryptoAlgorithm> out;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
      PROV_ENUMALGS_EX a{};
      DWORD size = sizeof(a);
      if (!CryptGetProvParam(prov_.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&a), &size,
                             flags))
        break;  // ERROR_NO_MORE_ITEMS after the last one
      flags = CRYPT_NEXT;
      const size_t name_length = std::min<size_t>(a.dwNameLen, sizeof(a.szName));
      std::string name(a.szName, name_length);
      name.resize(std::find(name.begin(), name.end(), '\0') - name.begin());
      out.push_back({a.aiAlgid, a.dwDefaultLen, a.dwMinLen, a.dwMaxLen, std::move(name)});
    }
    return out;
  }

  std::unique_ptr<CryptoKey> GenerateKey(uint32_t algorithm, bool exportable) override {
    if (algorithm != kAlgRc4 && !IsRsa(algorithm)) return nullptr;
    HCRYPTKEY key = 0;
    if (!CryptGenKey(prov_.get(), algorithm, exportable ? CRYPT_EXPORTABLE : 0, &key))
      return nullptr;
    return WrapKey(prov_.get(), key, exportable);
  }

  bool ExportPrivateKey(const CryptoKey& key, std::vector<uint8_t>& blob) override {
    const auto* k = dynamic_cast<const Win32Key*>(&key);
    if (k == nullptr || !IsRsa(k->algorithm_id()) || !k->exportable()) return false;
    DWORD size = 0;
    if (!CryptExportKey(k->handle(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) return false;
    std::vector<uint8_t> out(size);
    if (!CryptExportKey(k->handle(), 0, PRIVATEKEYBLOB, 0, out.data(), &size)) {
      SecureZeroMemory(out.data(), out.size());
      return false;
    }
    out.resize(size);
    blob = std::move(out);
    return true;
  }

  std::unique_ptr<CryptoKey> ImportKey(std::span<const uint8_t> blob, const CryptoKey* unwrap_key,
                                       bool exportable) override {
    ByteReader r(blob);
    BlobHeader h;
    if (!ReadHeader(r, h) || blob.size() > ULONG_MAX) return nullptr;
    if (h.type == kPrivateKeyBlob && unwrap_key == nullptr) {
      if (!PrivateBlobWellFormed(h, r)) return nullptr;
      return Import(blob, 0, exportable);
    }
    if (h.type == kSimpleKeyBlob) return ImportSimpleKey(h, r, blob, unwrap_key, exportable);
    return nullptr;
  }

  std::unique_ptr<CryptoHash> CreateHash(uint32_t algorithm) override;

  bool RandomBytes(std::span<uint8_t> out) override {
    for (size_t done = 0; done < out.size();) {
      const size_t piece = std::min(out.size() - done, kMaxPiece);
      if (!CryptGenRandom(prov_.get(), static_cast<DWORD>(piece), out.data() + done)) return false;
      done += piece;
    }
    return true;
  }

 private:
  std::unique_ptr<CryptoKey> Import(std::span<const uint8_t> blob, HCRYPTKEY unwrap,
                                    bool exportable) {
    HCRYPTKEY key = 0;
    if (!CryptImportKey(prov_.get(), blob.data(), static_cast<DWORD>(blob.size()), unwrap,
                        exportable ? CRYPT_EXPORTABLE : 0, &key))
      return nullptr;
    return WrapKey(prov_.get(), key, exportable);
  }

  // A simple key blob: header | wrapping algorithm | the PKCS #1 type-2 block little-endian.
  std::unique_ptr<CryptoKey> ImportSimpleKey(const BlobHeader& h, ByteReader& r,
                                             std::span<const uint8_t> blob,
                                             const CryptoKey* unwrap_key, bool exportable) {
    const auto* rsa = dynamic_cast<const Win32Key*>(unwrap_key);
    if (h.algorithm != kAlgRc4 || rsa == nullptr || !IsRsa(rsa->algorithm_id())) return nullptr;
    uint32_t wrap_algorithm = 0;
    if (!r.U32(wrap_algorithm) || wrap_algorithm != rsa->algorithm_id()) return nullptr;
    const size_t width = rsa->bit_length() / 8;
    if (r.remaining() != width || rsa->modulus().size() != width) return nullptr;
    const std::span<const uint8_t> wrapped = blob.subspan(blob.size() - width);
    if (!BelowLe(wrapped, rsa->modulus())) return nullptr;
    size_t key_bytes = 0;
    if (!WrappedKeyLength(*rsa, wrapped, key_bytes)) return nullptr;
    // The block is: zero, 2, padding, zero, key (from its most significant byte).
    if (key_bytes * 8 < kRc4MinBits || key_bytes * 8 > kRc4MaxBits ||
        width < key_bytes + 3 + kMinPaddingBytes) {
      return nullptr;
    }
    auto key = Import(blob, rsa->handle(), exportable);
    if (!key || key->algorithm_id() != kAlgRc4 || key->bit_length() != key_bytes * 8)
      return nullptr;
    return key;
  }

  ProviderRef prov_;
};

class Win32Hash final : public CryptoHash {
 public:
  Win32Hash(ProviderRef prov, HCRYPTHASH hash, uint32_t size)
      : prov_(std::move(prov)), hash_(hash), size_(size) {}
  ~Win32Hash() override { CryptDestroyHash(hash_); }
  Win32Hash(const Win32Hash&) = delete;
  Win32Hash& operator=(const Win32Hash&) = delete;

  bool Update(std::span<const uint8_t> data) override {
    if (finished_) return false;
    for (size_t done = 0; done < data.size();) {
      const size_t piece = std::min(data.size() - done, kMaxPiece);
      if (!CryptHashData(hash_, data.data() + done, static_cast<DWORD>(piece), 0)) return false;
      done += piece;
    }
    return true;
  }
  uint32_t digest_size() const override { return size_; }
  bool Finish(std::span<uint8_t> out) override {
    if (finished_ || out.size() != size_) return false;
    finished_ = true;
    DWORD n = size_;
    return CryptGetHashParam(hash_, HP_HASHVAL, out.data(), &n, 0) && n == size_;
  }

 private:
  ProviderRef prov_;
  HCRYPTHASH hash_;
  uint32_t size_;
  bool finished_ = false;
};

std::unique_ptr<CryptoHash> Win32CryptoContext::CreateHash(uint32_t algorithm) {
  if (algorithm != kAlgMd5) return nullptr;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(prov_.get(), algorithm, 0, 0, &hash)) return nullptr;
  DWORD size = 0, n = sizeof(size);
  ProviderRef ref = ProviderRef::Share(prov_.get());
  if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &n, 0) ||
      n != sizeof(size) || size == 0 || ref.get() == 0) {
    CryptDestroyHash(hash);
    return nullptr;
  }
  return std::make_unique<Win32Hash>(std::move(ref), hash, size);
}

class Win32CryptoProvider final : public CryptoProvider {
 public:
  std::unique_ptr<CryptoContext> AcquireVerifyContext(CryptoProviderType type) override {
    if (type != CryptoProviderType::kRsaFull) return nullptr;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
      return nullptr;
    return std::make_unique<Win32CryptoContext>(prov);
  }
};

}  // namespace

std::unique_ptr<CryptoProvider> CreateCryptoProvider() {
  return std::make_unique<Win32CryptoProvider>();
}

}  // namespace vorla::platform
