#include "security/key_blob.h"

#include <algorithm>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "platform/crypto_provider.h"

namespace vorla {
namespace {

constexpr size_t kMinPadding = 8;

void WriteOne(std::vector<uint8_t>& blob, size_t offset, size_t width) {
  std::fill(blob.begin() + static_cast<std::ptrdiff_t>(offset),
            blob.begin() + static_cast<std::ptrdiff_t>(offset + width), 0);
  blob[offset] = 1;
}

}  // namespace

bool MakeExponentOneKeyBlob(std::vector<uint8_t>& private_blob) {
  ByteReader r(private_blob);
  uint8_t type = 0, version = 0;
  uint16_t reserved = 0;
  uint32_t algorithm = 0, magic = 0, bits = 0, exponent = 0;
  if (!r.U8(type) || !r.U8(version) || !r.U16(reserved) || !r.U32(algorithm) || !r.U32(magic) ||
      !r.U32(bits) || !r.U32(exponent)) {
    return false;
  }
  if (type != platform::kPrivateKeyBlob || magic != platform::kRsaPrivateMagic || bits == 0 ||
      bits % 16 != 0) {
    return false;
  }
  const size_t full = bits / 8, half = bits / 16;
  const size_t exponent_at = r.position() - 4;
  // modulus, prime1, prime2, exponent1, exponent2, coefficient, private exponent
  const size_t exponent1_at = r.position() + full + 2 * half;
  const size_t exponent2_at = exponent1_at + half;
  const size_t private_at = exponent2_at + 2 * half;
  if (private_blob.size() - r.position() != full + 5 * half + full) return false;
  WriteOne(private_blob, exponent_at, 4);
  WriteOne(private_blob, exponent1_at, half);
  WriteOne(private_blob, exponent2_at, half);
  WriteOne(private_blob, private_at, full);
  return true;
}

size_t SimpleKeyBlobPadding(size_t key_bytes, uint32_t exchange_bits) {
  const size_t block = exchange_bits / 8;
  if (key_bytes == 0 || block < key_bytes + 3 + kMinPadding) return 0;
  return block - key_bytes - 3;
}

std::vector<uint8_t> BuildSimpleKeyBlob(std::span<const uint8_t> key, uint32_t exchange_algorithm,
                                        uint32_t exchange_bits, std::span<const uint8_t> padding) {
  const size_t padding_bytes = SimpleKeyBlobPadding(key.size(), exchange_bits);
  if (padding_bytes == 0 || padding.size() != padding_bytes) return {};
  ByteWriter w;
  w.U8(platform::kSimpleKeyBlob);
  w.U8(platform::kBlobVersion);
  w.U16(0);
  w.U32(platform::kAlgRc4);
  w.U32(exchange_algorithm);
  for (size_t i = key.size(); i-- > 0;) w.U8(key[i]);
  w.U8(0);
  for (uint8_t b : padding) w.U8(b == 0 ? 1 : b);
  w.U8(2);
  w.U8(0);
  return w.Take();
}

}  // namespace vorla
