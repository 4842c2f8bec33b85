#include "security/security_server_v2.h"

#include <sodium.h>

#include <algorithm>

namespace vorla {
namespace {

static_assert(crypto_box_PUBLICKEYBYTES == SecurityServer_v2::kKeyBytes);
static_assert(crypto_box_SECRETKEYBYTES == SecurityServer_v2::kKeyBytes);
static_assert(crypto_box_NONCEBYTES == SecurityServer_v2::kNonceBytes);
static_assert(crypto_box_MACBYTES == SecurityServer_v2::kMacBytes);

void MakeNonce(const PayloadBuffer& base, uint8_t (&nonce)[SecurityServer_v2::kNonceBytes]) {
  std::fill(std::begin(nonce), std::end(nonce), 0);
  const auto bytes = base.span();
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), sizeof nonce), nonce);
}

bool KeysFit(const PayloadBuffer& peer_public, const PayloadBuffer& own_secret) {
  return peer_public.size() == SecurityServer_v2::kKeyBytes && !peer_public.empty() &&
         own_secret.size() == SecurityServer_v2::kKeyBytes && !own_secret.empty();
}

}  // namespace

SecurityServer_v2::SecurityServer_v2() { Initialize(); }

SecurityServer_v2::~SecurityServer_v2() {
  std::lock_guard<std::mutex> guard(lock_);
  initialized_ = false;
}

SecurityServer_v2& SecurityServer_v2::Instance() {
  static SecurityServer_v2 instance;
  return instance;
}

bool SecurityServer_v2::Initialize() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!initialized_) {
    // 1: the library was initialised earlier in this process; just as ready.
    const int result = sodium_init();
    initialized_ = result == 0 || result == 1;
  }
  return initialized_;
}

bool SecurityServer_v2::initialized() const {
  std::lock_guard<std::mutex> guard(lock_);
  return initialized_;
}

std::mutex& SecurityServer_v2::lock() { return lock_; }

void SecurityServer_v2::ResetForTesting() {
  SecurityServer_v2& s = Instance();
  std::lock_guard<std::mutex> guard(s.lock_);
  s.initialized_ = false;
}

bool CreateKeyPair(SecurityServer_v2& provider, PayloadBuffer& public_key,
                   PayloadBuffer& secret_key) {
  if (!provider.initialized()) return false;
  PayloadBuffer pk = PayloadBuffer::Allocate(SecurityServer_v2::kKeyBytes);
  PayloadBuffer sk = PayloadBuffer::Allocate(SecurityServer_v2::kKeyBytes);
  if (pk.empty() || sk.empty() || crypto_box_keypair(pk.data(), sk.data()) != 0) return false;
  public_key = std::move(pk);
  secret_key = std::move(sk);
  return true;
}

bool Seal(SecurityServer_v2& provider, PayloadBuffer& part, const PayloadBuffer& nonce_base,
          const PayloadBuffer& peer_public, const PayloadBuffer& own_secret) {
  if (!provider.initialized() || !KeysFit(peer_public, own_secret)) return false;
  const uint32_t length = part.empty() ? 0 : part.size();
  if (length > UINT32_MAX - SecurityServer_v2::kMacBytes) return false;
  uint8_t nonce[SecurityServer_v2::kNonceBytes];
  MakeNonce(nonce_base, nonce);
  PayloadBuffer sealed = PayloadBuffer::TryAllocate(length + SecurityServer_v2::kMacBytes);
  if (sealed.empty()) return false;
  // libsodium reads no message byte when the length is 0, but wants a valid pointer.
  static const uint8_t kNothing = 0;
  const uint8_t* message = length == 0 ? &kNothing : part.data();
  if (crypto_box_easy(sealed.data(), message, length, nonce, peer_public.data(),
                      own_secret.data()) != 0) {
    return false;
  }
  part = std::move(sealed);
  return true;
}

bool Open(SecurityServer_v2& provider, PayloadBuffer& part, const PayloadBuffer& nonce_base,
          const PayloadBuffer& peer_public, const PayloadBuffer& own_secret) {
  if (!provider.initialized() || !KeysFit(peer_public, own_secret)) return false;
  if (part.empty() || part.size() < SecurityServer_v2::kMacBytes) return false;
  const uint32_t length = part.size() - SecurityServer_v2::kMacBytes;
  uint8_t nonce[SecurityServer_v2::kNonceBytes];
  MakeNonce(nonce_base, nonce);
  // An empty plain text still needs somewhere to be written.
  PayloadBuffer opened = PayloadBuffer::TryAllocate(length);
  if (length != 0 && opened.empty()) return false;
  uint8_t scratch = 0;
  uint8_t* out = length == 0 ? &scratch : opened.data();
  if (crypto_box_open_easy(out, part.data(), part.size(), nonce, peer_public.data(),
                           own_secret.data()) != 0) {
    return false;
  }
  part = std::move(opened);
  return true;
}

}  // namespace vorla
