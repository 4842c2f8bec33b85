#include "platform/key_blob.h"

#include <algorithm>

#include "platform/crypto_provider.h"

namespace vorla::platform::key_blob {
namespace {

bool ReadField(ByteReader& r, size_t width, std::vector<uint8_t>& out) {
  out.assign(width, 0);
  return r.Bytes(out.data(), width);
}

bool IsZero(const std::vector<uint8_t>& v) {
  return std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

bool ReadHeader(ByteReader& r, Header& h) {
  return r.U8(h.type) && r.U8(h.version) && r.U16(h.reserved) && r.U32(h.algorithm) &&
         h.version == kBlobVersion && h.reserved == 0;
}

bool ReadRsaPrivate(const Header& h, ByteReader& r, RsaPrivateFields& n) {
  if (h.algorithm != kAlgRsaKeyExchange && h.algorithm != kAlgRsaSignature) return false;
  uint32_t magic = 0;
  if (!r.U32(magic) || !r.U32(n.bits) || !r.U32(n.public_exponent)) return false;
  if (magic != kRsaPrivateMagic || n.bits < kRsaMinBits || n.bits > kRsaMaxBits ||
      n.bits % 16 != 0 || n.public_exponent == 0) {
    return false;
  }
  const size_t full = n.bits / 8, half = n.bits / 16;
  if (!ReadField(r, full, n.modulus) || !ReadField(r, half, n.prime1) ||
      !ReadField(r, half, n.prime2) || !ReadField(r, half, n.exponent1) ||
      !ReadField(r, half, n.exponent2) || !ReadField(r, half, n.coefficient) ||
      !ReadField(r, full, n.private_exponent) || r.remaining() != 0) {
    return false;
  }
  return !IsZero(n.modulus) && !IsZero(n.private_exponent);
}

}  // namespace vorla::platform::key_blob
