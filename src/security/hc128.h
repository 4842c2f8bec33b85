// HC-128 stream cipher (eSTREAM software portfolio): 128-bit key, 128-bit IV, key, IV and key
// stream words little-endian. A state is about 4.1 kB and set up by 1,024 initialisation steps;
// it is meant to be made per message or frame and thrown away, so every use starts at the
// beginning of the key stream.
//
// Not thread-safe: one state belongs to one user at a time. Nothing here allocates except
// StreamCipherCreate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vorla {

class Hc128 {
 public:
  static constexpr size_t kKeyBytes = 16;
  static constexpr size_t kIvBytes = 16;

  Hc128(std::span<const uint8_t, kKeyBytes> key, std::span<const uint8_t, kIvBytes> iv);

  // out = in XOR key stream, continuing the stream across calls at byte granularity. `in` and
  // `out` must either be the same pointer or not overlap. Null pointers only with length 0.
  void Process(const uint8_t* in, uint8_t* out, size_t length);

 private:
  // Advances the state by 16 words and writes their key stream words.
  void NextBlock(uint32_t* words);

  uint32_t p_[512];
  uint32_t q_[512];
  uint32_t counter_ = 0;  // words produced, modulo 1024
  uint8_t pending_[64];   // unused key stream bytes of the last block
  size_t pending_used_ = 64;
};

using StreamCipherState = Hc128;

// A new state over `key` (16 bytes) and the system's fixed IV; nullptr when the key is not
// 16 bytes or memory is short.
std::unique_ptr<StreamCipherState> StreamCipherCreate(std::span<const uint8_t> key);

// output = input XOR key stream. `input` and `output` must not overlap.
void StreamCipherProcess(StreamCipherState& state, const uint8_t* input, uint8_t* output,
                         size_t length);

}  // namespace vorla
