// Private to the platform layer: reading the key blobs that crypto_provider.h lays out, with the
// limits every provider applies, so that a malformed blob is refused the same way everywhere
// before any system library sees it.
#pragma once

#include <cstdint>
#include <vector>

#include "common/byte_reader.h"

namespace vorla::platform::key_blob {

inline constexpr uint32_t kRsaMinBits = 384;
inline constexpr uint32_t kRsaMaxBits = 16384;

struct Header {
  uint8_t type = 0;
  uint8_t version = 0;
  uint16_t reserved = 0;
  uint32_t algorithm = 0;
};

// The 8-byte header; false when it is short, of another version or its reserved field is used.
bool ReadHeader(ByteReader& r, Header& h);

// The numbers of an RSA private key, each little-endian over its width.
struct RsaPrivateFields {
  uint32_t bits = 0;
  uint32_t public_exponent = 0;
  std::vector<uint8_t> modulus, prime1, prime2, exponent1, exponent2, coefficient, private_exponent;
};

// The private key blob after its header: an RSA algorithm, the magic, a bit length within the
// limits and a multiple of 16, a public exponent, every number at its width, nothing after them,
// and a modulus and private exponent other than zero.
bool ReadRsaPrivate(const Header& h, ByteReader& r, RsaPrivateFields& out);

}  // namespace vorla::platform::key_blob
