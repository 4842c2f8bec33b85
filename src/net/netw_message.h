// One network message: the 64-byte wire header and two shared payload parts, the message type
// codes, and the pure reader and writer of the header bytes.
//
// The header is held as named fields; ReadNetwHeader/WriteNetwHeader convert to and from the
// exact 64 wire bytes (little-endian, reserved bytes kept as they came so that a received header
// goes out again unchanged). Copying a message copies the header and shares both parts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "common/payload_buffer.h"

namespace vorla {

// Message type codes.
inline constexpr uint32_t nwmt_connection_error = 1;  // never on the wire: a link's own notice
inline constexpr uint32_t nwmt_status = 2;
inline constexpr uint32_t nwmt_cfg_capabilities = 3;
inline constexpr uint32_t nwmt_ws_status = 4;
inline constexpr uint32_t nwmt_ws_register = 5;
inline constexpr uint32_t nwmt_live_frame = 6;
inline constexpr uint32_t nwmt_public_key = 8;
inline constexpr uint32_t nwmt_ws_sessioninfo = 32;
inline constexpr uint32_t nwmt_ws_segmentinfo = 33;
inline constexpr uint32_t nwmt_ws_newsession = 80;
inline constexpr uint32_t nwmt_ws_newsegment = 81;
inline constexpr uint32_t nwmt_ws_closesession = 83;
inline constexpr uint32_t nwmt_ws_closesegment = 84;
inline constexpr uint32_t nwmt_ws_disconnect = 86;
inline constexpr uint32_t nwmt_ws_eventinfo = 87;
inline constexpr uint32_t nwmt_ws_segmentdata = 88;
inline constexpr uint32_t nwmt_cfg_config = 129;
inline constexpr uint32_t nwmt_cfg_sessionconfig = 130;
inline constexpr uint32_t nwmt_cfg_agentchanged = 131;
inline constexpr uint32_t nwmt_cfg_trigger = 193;
inline constexpr uint32_t nwmt_cfg_blank = 203;
inline constexpr uint32_t nwmt_cfg_live = 205;
inline constexpr uint32_t nwmt_cfg_announce = 240;

// Kinds of nwmt_status (first word of part 1).
inline constexpr uint32_t kStatusKindShutdown = 2;
inline constexpr uint32_t kStatusKindSessionRefused = 3;
inline constexpr uint32_t kStatusKindSegmentRefused = 4;

// Header flag bits.
inline constexpr uint16_t kNetwFlagProviderCipher = 0x1;   // parts enciphered with a provider key
inline constexpr uint16_t kNetwFlagFromWorkstation = 0x2;  // set on everything this system sends
inline constexpr uint16_t kNetwFlagSealed = 0x4;           // parts sealed with the link's box key

inline constexpr size_t kNetwHeaderSize = 64;

struct netw_header {
  uint32_t type = 0;
  uint32_t length1 = 0;
  uint32_t length2 = 0;
  uint32_t reserved12 = 0;
  uint64_t time_stamp = 0;  // milliseconds since 1970 UTC
  uint64_t reserved24 = 0;
  uint16_t flags = 0;
  uint16_t key_index = 0;
  uint32_t nonce_word = 0;
  std::array<uint8_t, 24> reserved40{};

  bool operator==(const netw_header&) const = default;
};

struct netw_message_t {
  netw_header header;
  PayloadBuffer part1;
  PayloadBuffer part2;
};

// Writes the 64 wire bytes of `h` into `out`.
inline void WriteNetwHeader(const netw_header& h, std::span<uint8_t, kNetwHeaderSize> out) {
  auto put = [&out](size_t at, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, h.type, 4);
  put(4, h.length1, 4);
  put(8, h.length2, 4);
  put(12, h.reserved12, 4);
  put(16, h.time_stamp, 8);
  put(24, h.reserved24, 8);
  put(32, h.flags, 2);
  put(34, h.key_index, 2);
  put(36, h.nonce_word, 4);
  for (size_t i = 0; i < h.reserved40.size(); ++i) out[40 + i] = h.reserved40[i];
}

inline std::array<uint8_t, kNetwHeaderSize> NetwHeaderBytes(const netw_header& h) {
  std::array<uint8_t, kNetwHeaderSize> b{};
  WriteNetwHeader(h, b);
  return b;
}

// Reads a header from the first 64 bytes of `in`; nullopt when fewer are there. No field is
// judged here (the limits belong to the reader of the link).
inline std::optional<netw_header> ReadNetwHeader(std::span<const uint8_t> in) {
  if (in.size() < kNetwHeaderSize) return std::nullopt;
  auto get = [&in](size_t at, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(in[at + i]) << (8 * i);
    return v;
  };
  netw_header h;
  h.type = static_cast<uint32_t>(get(0, 4));
  h.length1 = static_cast<uint32_t>(get(4, 4));
  h.length2 = static_cast<uint32_t>(get(8, 4));
  h.reserved12 = static_cast<uint32_t>(get(12, 4));
  h.time_stamp = get(16, 8);
  h.reserved24 = get(24, 8);
  h.flags = static_cast<uint16_t>(get(32, 2));
  h.key_index = static_cast<uint16_t>(get(34, 2));
  h.nonce_word = static_cast<uint32_t>(get(36, 4));
  for (size_t i = 0; i < h.reserved40.size(); ++i) h.reserved40[i] = in[40 + i];
  return h;
}

// A message as a builder makes it: the type and the two lengths set, every other field zero.
inline netw_message_t MakeNetwMessage(uint32_t type, PayloadBuffer part1 = {},
                                      PayloadBuffer part2 = {}) {
  netw_message_t m;
  m.header.type = type;
  m.header.length1 = part1.empty() ? 0 : part1.size();
  m.header.length2 = part2.empty() ? 0 : part2.size();
  m.part1 = std::move(part1);
  m.part2 = std::move(part2);
  return m;
}

}  // namespace vorla
