#include "security/hc128.h"

#include <bit>
#include <cstring>
#include <new>

#include "security/key_material.h"

namespace vorla {
namespace {

inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

inline uint32_t F1(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline uint32_t F2(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }

// Sixteen steps at words j..j+15 of table `t` (j a multiple of 16); `u` is the other table, read
// by the output filter. kP selects g1 (P table) or g2 (Q table). With kFeedBack (set-up) the
// filtered word replaces the table word; otherwise it goes to `out`. Words updated earlier in the
// run are taken from registers, not reloaded; indices wrap with a mask, so the run has no branch.
template <bool kP, bool kFeedBack>
inline void Run16(uint32_t* t, const uint32_t* u, uint32_t j, uint32_t* out) {
  uint32_t v[16];
#pragma GCC unroll 16
  for (uint32_t k = 0; k < 16; ++k) {
    const uint32_t x = k >= 3 ? v[k - 3] : t[(j + k - 3) & 511];
    const uint32_t y = k >= 10 ? v[k - 10] : t[(j + k - 10) & 511];
    const uint32_t z = t[(j + k + 1) & 511];
    const uint32_t w = k >= 12 ? v[k - 12] : t[(j + k - 12) & 511];
    const uint32_t g = kP ? (std::rotr(x, 10) ^ std::rotr(z, 23)) + std::rotr(y, 8)
                          : (std::rotl(x, 10) ^ std::rotl(z, 23)) + std::rotl(y, 8);
    const uint32_t h = u[w & 0xFF] + u[256 + ((w >> 16) & 0xFF)];
    if constexpr (kFeedBack) {
      v[k] = (t[j + k] + g) ^ h;
    } else {
      v[k] = t[j + k] + g;
      out[k] = h ^ v[k];
    }
    t[j + k] = v[k];
  }
}

}  // namespace

Hc128::Hc128(std::span<const uint8_t, kKeyBytes> key, std::span<const uint8_t, kIvBytes> iv) {
  // Expansion: W[0..7] = key twice, W[8..15] = IV twice, then the recurrence; P and Q take
  // W[256..767] and W[768..1279].
  uint32_t w[1280];
  for (int i = 0; i < 4; ++i) {
    w[i] = w[i + 4] = LoadLe32(key.data() + 4 * i);
    w[i + 8] = w[i + 12] = LoadLe32(iv.data() + 4 * i);
  }
  for (uint32_t i = 16; i < 1280; ++i) {
    w[i] = F2(w[i - 2]) + w[i - 7] + F1(w[i - 15]) + w[i - 16] + i;
  }
  std::memcpy(p_, w + 256, sizeof p_);
  std::memcpy(q_, w + 768, sizeof q_);
  // 1,024 steps whose output is fed back into the tables instead of being emitted.
  for (uint32_t j = 0; j < 512; j += 16) Run16<true, true>(p_, q_, j, nullptr);
  for (uint32_t j = 0; j < 512; j += 16) Run16<false, true>(q_, p_, j, nullptr);
}

void Hc128::NextBlock(uint32_t* words) {
  // counter_ moves in steps of 16, so a run never crosses from one table to the other.
  const uint32_t j = counter_ & 0x1F0;
  if (counter_ < 512) {
    Run16<true, false>(p_, q_, j, words);
  } else {
    Run16<false, false>(q_, p_, j, words);
  }
  counter_ = (counter_ + 16) & 1023;
}

void Hc128::Process(const uint8_t* in, uint8_t* out, size_t length) {
  while (length != 0 && pending_used_ < sizeof pending_) {
    *out++ = *in++ ^ pending_[pending_used_++];
    --length;
  }
  uint32_t ks[16];
  while (length >= 64) {
    NextBlock(ks);
    for (int k = 0; k < 16; ++k) StoreLe32(out + 4 * k, LoadLe32(in + 4 * k) ^ ks[k]);
    in += 64;
    out += 64;
    length -= 64;
  }
  if (length != 0) {
    NextBlock(ks);
    for (int k = 0; k < 16; ++k) StoreLe32(pending_ + 4 * k, ks[k]);
    for (pending_used_ = 0; pending_used_ < length; ++pending_used_) {
      out[pending_used_] = in[pending_used_] ^ pending_[pending_used_];
    }
  }
}

std::unique_ptr<StreamCipherState> StreamCipherCreate(std::span<const uint8_t> key) {
  if (key.size() != Hc128::kKeyBytes) return nullptr;
  return std::unique_ptr<StreamCipherState>(new (std::nothrow) Hc128(
      std::span<const uint8_t, Hc128::kKeyBytes>(key.data(), Hc128::kKeyBytes),
      key_material::kStreamCipherIv));
}

void StreamCipherProcess(StreamCipherState& state, const uint8_t* input, uint8_t* output,
                         size_t length) {
  state.Process(input, output, length);
}

}  // namespace vorla
