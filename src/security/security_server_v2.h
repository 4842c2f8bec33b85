// SecurityServer_v2: readiness of the public-key sealing library (libsodium) and the link
// operations built on it: X25519 key pairs and authenticated boxes over message parts.
//
// The first Instance() call initialises the library under the object's lock; Initialize() may be
// called again (the process entry does when the first attempt failed). Every link operation first
// checks initialized() and fails without it. The operations themselves are thread-safe (the
// library's box functions keep no shared state); they do not take the lock.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/payload_buffer.h"

namespace vorla {

class SecurityServer_v2 {
 public:
  static constexpr uint32_t kKeyBytes = 32;    // X25519 public and secret keys
  static constexpr uint32_t kNonceBytes = 24;  // box nonce
  static constexpr uint32_t kMacBytes = 16;    // box authenticator

  // The single object; its first call initialises the library.
  static SecurityServer_v2& Instance();
  virtual ~SecurityServer_v2();

  SecurityServer_v2(const SecurityServer_v2&) = delete;
  SecurityServer_v2& operator=(const SecurityServer_v2&) = delete;

  // Initialises the library under the lock unless already ready; returns initialized(). The
  // library reporting an earlier initialisation counts as success.
  bool Initialize();
  bool initialized() const;
  std::mutex& lock();

  // Tests only: clears the flag (the library itself stays initialised; sodium has no teardown).
  static void ResetForTesting();

 private:
  SecurityServer_v2();
  bool initialized_ = false;
  mutable std::mutex lock_;
};

// Two new 32-byte buffers filled with a fresh key pair. False (outputs untouched) when the library
// is not ready.
bool CreateKeyPair(SecurityServer_v2& provider, PayloadBuffer& public_key,
                   PayloadBuffer& secret_key);

// Seals `part` for the peer: nonce = the first 24 bytes of `nonce_base`, zero-padded when shorter
// (a 16-byte base gives 8 zero bytes); on success `part` is replaced by a new buffer of
// size + 16 bytes (authenticator first). False, `part` untouched, when the library is not ready,
// either key is not 32 bytes, or sealing fails. An empty part seals to 16 bytes.
bool Seal(SecurityServer_v2& provider, PayloadBuffer& part, const PayloadBuffer& nonce_base,
          const PayloadBuffer& peer_public, const PayloadBuffer& own_secret);

// Opens a sealed `part` (same nonce rule); on success `part` is replaced by the size − 16 bytes of
// plain text. False, `part` untouched, on a bad authenticator, a part shorter than 16 bytes, keys
// that are not 32 bytes, or a library that is not ready.
bool Open(SecurityServer_v2& provider, PayloadBuffer& part, const PayloadBuffer& nonce_base,
          const PayloadBuffer& peer_public, const PayloadBuffer& own_secret);

}  // namespace vorla
