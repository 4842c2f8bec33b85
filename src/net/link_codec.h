// The byte side of a link, free of sockets: the limits on received headers, the frame layout
// (header + part 1 + part 2), sealing and opening of parts with the link's precomputed box key,
// the provider cipher's key-index choice, the send time stamps and the connection-error notice.
// SocketManager and its receive thread only move bytes and call these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/payload_buffer.h"
#include "net/netw_message.h"

namespace vorla {

// Receive limits: a type or length at or above these is refused.
inline constexpr uint32_t kLinkTypeLimit = 255;
inline constexpr uint32_t kLinkLength1Limit = 4194304;
inline constexpr uint32_t kLinkLength2Limit = 67108864;
// Waiting messages an incoming queue takes; further ones are dropped.
inline constexpr uint64_t kLinkQueueLimit = 50;
// Bytes of parts an incoming queue holds at most (256 MiB): a message whose parts would take the
// waiting ones beyond this ends the link, before its parts are read. The count limit alone would
// let a peer park 50 messages of 68 MiB each.
inline constexpr uint64_t kLinkQueueByteBudget = 268435456;
// Frames longer than this are logged on the send side (and sent all the same).
inline constexpr uint64_t kLinkFrameWarnLimit = 67108864;
inline constexpr uint32_t kSendBufferInitialSize = 196608;

// Send results besides 0 and the socket errors.
inline constexpr uint32_t kSendNoBuffer = 111;
inline constexpr uint32_t kSendCipherFailed = 13866;
// The error a link reports when the socket layer names none.
inline constexpr uint32_t kLinkErrorAborted = 10053;

inline constexpr uint32_t kBoxKeyBytes = 32;
inline constexpr uint32_t kBoxMacBytes = 16;
inline constexpr uint32_t kBoxNonceBytes = 24;

enum class HeaderCheck {
  kOk,
  kRefused,    // type or length1 out of range: the link fails with the socket's error
  kOversized,  // length2 out of range: the link fails with 0xC0000E01
};
HeaderCheck CheckReceivedHeader(const netw_header& h);

// The shared key of one link, computed once from the peer's public and our secret key; sealing
// with it gives the same bytes as a box over the two keys.
struct BoxKey {
  std::array<uint8_t, kBoxKeyBytes> bytes{};
};
// False when either key is not 32 bytes, the sealing library is not ready or the peer key is
// unusable (a low-order point).
bool PrecomputeBoxKey(std::span<const uint8_t> peer_public, std::span<const uint8_t> own_secret,
                      BoxKey& out);

// The nonce of a message: its header's nonce word, its time stamp (both little-endian), then
// zeros.
std::array<uint8_t, kBoxNonceBytes> BoxNonce(uint32_t nonce_word, uint64_t time_stamp);

// Seals `plain` into `out`, which must be exactly plain.size() + 16 bytes (authenticator first).
bool SealPart(const BoxKey& key, const std::array<uint8_t, kBoxNonceBytes>& nonce,
              std::span<const uint8_t> plain, std::span<uint8_t> out);
// Opens a sealed part: on success `part` becomes a new buffer of its size − 16 bytes.
bool OpenPart(const BoxKey& key, const std::array<uint8_t, kBoxNonceBytes>& nonce,
              PayloadBuffer& part);

// The time stamp of the next message a link sends: now, but always beyond the last one sent, so
// that no two messages of a link carry the same time stamp (and so the same nonce).
inline uint64_t NextSendTimeStamp(uint64_t last_sent, uint64_t now_ms) {
  return now_ms > last_sent ? now_ms : last_sent + 1;
}

// The provider key for a message: once the peer has shown that it is a workstation-era peer
// (its last flags carry bit 1), one of the stream keys 10..12; before, RC4 key 0 or 1.
uint16_t ChooseKeyIndex(bool peer_flags_bit1, uint32_t random_value);

// The provider cipher, as the link uses it (SecurityServer in the product; tests may replace it).
class PartCipher {
 public:
  virtual ~PartCipher() = default;
  virtual bool Encrypt(uint16_t key_index, uint8_t* data, uint32_t length) = 0;
  virtual bool Decrypt(uint16_t key_index, uint8_t* data, uint32_t length) = 0;
};
// The process-wide SecurityServer as a PartCipher.
PartCipher& ProviderCipher();

// How one frame is protected.
struct FrameProtection {
  const BoxKey* box_key = nullptr;  // set: seal both parts (the provider cipher is not used)
  uint32_t nonce_word = 0;          // written into the header when sealing
  uint64_t time_stamp = 0;
  bool encrypt = false;  // without a box key: encipher with the provider key below
  uint16_t key_index = 0;
  PartCipher* cipher = nullptr;  // needed when encrypt is true and there is no box key
};

// Lays out `message` as one frame in `buffer` (grown to fit when smaller, never shrunk): the
// header with time stamp, flags 2 (+4 sealed, +1 enciphered), key index and lengths, then the
// protected parts. The lengths come from the part buffers. The message's own payload bytes are
// never changed. Returns 0 with `frame_length` set; kSendNoBuffer when no buffer of that size can
// be had; kSendCipherFailed when a part could not be sealed or enciphered (the frame must not be
// sent). `sent_header` (optional) receives the header as written.
uint32_t EncodeFrame(const netw_message_t& message, const FrameProtection& protection,
                     PayloadBuffer& buffer, size_t& frame_length,
                     netw_header* sent_header = nullptr);

// Opens the parts of a received message in place of the sealed or enciphered ones: sealed
// (flags bit 2) when `box_key` is set, else provider-enciphered (bit 0) with `cipher`; otherwise
// nothing. True when every present part was opened; `part1_failed` tells whether part 1 was the
// one that failed to open.
bool OpenReceivedParts(netw_message_t& message, const BoxKey* box_key, PartCipher* cipher,
                       bool* part1_failed = nullptr);

// The notice a receive thread queues for its owner when the link has failed.
netw_message_t MakeConnectionErrorNotice(uint32_t error_code);

enum class FrameParse { kOk, kShort, kRefused, kOversized };
// Reads one unprotected frame from the start of `bytes` (a datagram, a recorded stream): the
// header limits as on a link, then the parts, never beyond `bytes`. On kOk `consumed` is the
// frame length. kShort when the bytes end before the frame does.
FrameParse ParseFrame(std::span<const uint8_t> bytes, netw_message_t& out, size_t& consumed);

// An IPv4 address in network order as FormatIPv4 wants it (first octet most significant).
inline uint32_t HostOrderIPv4(uint32_t network_order) {
  return ((network_order & 0xFFu) << 24) | ((network_order & 0xFF00u) << 8) |
         ((network_order >> 8) & 0xFF00u) | (network_order >> 24);
}

}  // namespace vorla
