// The key blobs SecurityServer hands to the crypto provider (layouts in
// platform/crypto_provider.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vorla {

// Turns an exported RSA private key blob into the blob of the exponent-of-one key: public
// exponent, both CRT exponents and the private exponent become the little-endian number 1 over
// their full widths; modulus, primes and coefficient stay. Such a key maps every block to itself,
// so a session key wrapped for it is its plain PKCS #1 block. False (blob unchanged) when the blob
// is not a private key blob of consistent size.
bool MakeExponentOneKeyBlob(std::vector<uint8_t>& private_blob);

// Number of padding bytes a simple key blob needs for a key of `key_bytes` under an exchange key of
// `exchange_bits`; 0 when the key does not fit with the minimum padding of eight bytes.
size_t SimpleKeyBlobPadding(size_t key_bytes, uint32_t exchange_bits);

// A simple key blob of exchange_bits/8 + 12 bytes: header (simple key blob, version 2, RC4), the
// exchange key's algorithm, then the PKCS #1 v1.5 type-2 block little-endian: the key reversed, a
// zero, the padding with each zero replaced by 1, the byte 2, a final zero. `padding` must hold
// exactly SimpleKeyBlobPadding(key.size(), exchange_bits) bytes; otherwise the result is empty.
std::vector<uint8_t> BuildSimpleKeyBlob(std::span<const uint8_t> key, uint32_t exchange_algorithm,
                                        uint32_t exchange_bits, std::span<const uint8_t> padding);

}  // namespace vorla
