// SecurityServer: the process-wide provider of the fixed keys the workstation shares with its
// peers (RC4 positions 0..2, HC-128 stream keys 10..12), MD5 digests, key derivation from pass
// phrases and cryptographic random bytes. It sits on the platform crypto capability
// (platform/crypto_provider.h); the HC-128 stream cipher is our own (security/hc128.h).
//
// Threads: every operation runs entirely under one recursive lock, so the RC4 key handles (whose
// stream state is not safe to share) are never used by two threads at once. The settings store
// and the frame sender take the same lock around their own key and stream-cipher use (lock()).
// RandomBytes reads the provider without the lock; the provider's random source is thread-safe.
//
// What it deliberately does not do: log. Initialize reports failure by its result and the caller
// logs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/payload_buffer.h"
#include "platform/crypto_provider.h"

namespace vorla {

class SecurityServer {
 public:
  // The single provider, created uninitialised on first call (thread-safe).
  static SecurityServer& Instance();
  virtual ~SecurityServer();

  SecurityServer(const SecurityServer&) = delete;
  SecurityServer& operator=(const SecurityServer&) = delete;

  // Readies the provider: opens the context, makes the exchange key, imports RC4 keys 0, 1, 2
  // and derives stream keys 10, 11, 12. Once it has succeeded later calls return true at once;
  // after a failure nothing is held and a later call tries again. Installs the provider as the
  // random source of NewEventId on success.
  bool Initialize();

  // Enciphers / deciphers `length` bytes at `data` in place. key_index 0 or 1: RC4 (40-bit,
  // salted, key stream from its start on every call); 10, 11, 12: HC-128 with the stream key and
  // the fixed IV. Any other index (2 included) fails, as does an uninitialised provider. `data`
  // may be null only when `length` is 0.
  bool Encrypt(uint16_t key_index, uint8_t* data, uint32_t length);
  bool Decrypt(uint16_t key_index, uint8_t* data, uint32_t length);

  // MD5 of the bytes into a new 16-byte buffer in `out`. Fails (out untouched) when no context is
  // open, i.e. before Initialize or after it failed.
  bool Hash(const uint8_t* data, uint32_t length, PayloadBuffer& out);
  // MD5 of the bytes; replaces `out` only when the digest is 16 bytes long.
  bool DeriveKey(PayloadBuffer& out, const uint8_t* data, uint32_t length);

  // Fills `out` with `n` random bytes from the provider context; false before a successful
  // Initialize or when the source fails. Does not take the lock (the source is thread-safe).
  bool RandomBytes(uint8_t* out, size_t n);

  // Key indices the senders choose from at random: RC4 0..1 and stream keys 10..12.
  static constexpr uint16_t LegacyKeyCount() { return 2; }
  static constexpr uint16_t StreamKeyCount() { return 3; }

  // The provider's recursive lock (settings store, frame sender).
  std::recursive_mutex& lock();
  // Lock-free read of the flag Initialize sets.
  bool initialized() const;

  // The stream key of index 10, 11 or 12 (empty for any other index or before Initialize).
  PayloadBuffer StreamKey(uint16_t key_index);

  // Tests only: drops every key and the context and returns the single provider to its
  // uninitialised state, optionally over another crypto capability (nullptr: the platform's).
  // Removes the NewEventId random source. Not for use while other threads use the provider.
  static void ResetForTesting(std::unique_ptr<platform::CryptoProvider> provider = nullptr);

 private:
  SecurityServer();
  void ReleaseLocked();
  bool RunRc4(uint16_t key_index, uint8_t* data, uint32_t length, bool encrypt);
  bool RunStream(uint16_t key_index, uint8_t* data, uint32_t length);

  std::atomic<bool> initialized_{false};
  std::unique_ptr<platform::CryptoProvider> provider_;
  std::unique_ptr<platform::CryptoContext> context_;
  std::unique_ptr<platform::CryptoKey> exchange_key_;
  mutable std::recursive_mutex lock_;
  std::vector<std::unique_ptr<platform::CryptoKey>> rc4_keys_;
  PayloadBuffer stream_keys_[3];
  // The open context as RandomBytes sees it: set after a full initialisation, cleared before the
  // context goes, so the lock-free reader never sees a half-made provider.
  std::atomic<platform::CryptoContext*> random_context_{nullptr};
};

}  // namespace vorla
