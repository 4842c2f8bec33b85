// The fixed key material that the workstation shares with every peer (Configurator, recording
// server, and the reference peers in tools/). These values are part of the wire contract: change
// them in one place and every component must be rebuilt with the new ones, or links and frames
// stop deciphering.
#pragma once

#include <array>
#include <cstdint>

namespace vorla::key_material {

// 40-bit RC4 keys at positions 0, 1, 2 (indices 0 and 1 on the wire; 1 also guards the
// EncryptionPassword setting; 2 is held but never selectable).
inline constexpr std::array<std::array<uint8_t, 5>, 3> kRc4Keys = {{
    {0x29, 0x41, 0x29, 0xe8, 0xce},
    {0xad, 0x79, 0x1d, 0x23, 0xa6},
    {0x0a, 0x6c, 0x2e, 0x4c, 0x94},
}};

// Phrases of stream keys 10, 11, 12: each stream key is the MD5 digest of its 8 bytes.
inline constexpr std::array<std::array<uint8_t, 8>, 3> kStreamKeyPhrases = {{
    {0x85, 0x5d, 0x98, 0x99, 0x00, 0x67, 0x0a, 0xa4},
    {0xbe, 0x64, 0xd9, 0xfd, 0xe0, 0x22, 0x62, 0xb2},
    {0x1e, 0x6e, 0xcd, 0x22, 0xf6, 0x79, 0xb0, 0xb2},
}};

// Key index on the wire of the first stream key.
inline constexpr uint16_t kFirstStreamKeyIndex = 10;

// The HC-128 initial vector of every stream-cipher use in the system (links and frames).
inline constexpr std::array<uint8_t, 16> kStreamCipherIv = {
    0xd3, 0xa6, 0x7a, 0x31, 0x11, 0xf1, 0xa7, 0x22, 0x27, 0x6c, 0xd6, 0xa0, 0x26, 0xac, 0x50, 0x9d,
};

}  // namespace vorla::key_material
