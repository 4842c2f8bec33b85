#include "capture/pixel_convert.h"

#include <immintrin.h>

namespace vorla {
namespace {

template <bool kRedFirst>
bool Bgrx32Portable(const uint8_t* in, uint8_t* out, int32_t count) {
  uint32_t diff = 0;
  for (int32_t i = 0; i < count; ++i, in += 4, out += 3) {
    const uint8_t c0 = kRedFirst ? in[2] : in[0];
    const uint8_t c1 = in[1];
    const uint8_t c2 = kRedFirst ? in[0] : in[2];
    diff |= static_cast<uint32_t>(out[0] ^ c0) | (out[1] ^ c1) | (out[2] ^ c2);
    out[0] = c0;
    out[1] = c1;
    out[2] = c2;
  }
  return diff != 0;
}

// 4 pixels per shuffle; each 16-byte store reaches 4 bytes past its 12, so a group is stored
// this way only while those 4 bytes are still inside the row (3 i + 16 <= 3 count); the rest is
// left to the portable loop. Only for processors without AVX2; it does not compare.
template <bool kRedFirst>
__attribute__((target("ssse3"))) bool Bgrx32Ssse3(const uint8_t* in, uint8_t* out, int32_t count) {
  const __m128i mask = kRedFirst
                           ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                           : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int32_t i = 0;
  for (; i + 6 <= count; i += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), _mm_shuffle_epi8(px, mask));
  }
  Bgrx32Portable<kRedFirst>(in + 4 * i, out + 3 * i, count - i);
  return true;
}

// 32 pixels (128 bytes in, 96 out) per step, with three whole 32-byte stores that stay inside the
// step's output, so the old bytes can be compared before they are overwritten. Per 8 pixels the
// in-lane shuffle leaves 12 bytes at the bottom of each 128-bit lane; the dword permutes below
// pack them into the three output vectors:
//   out0 = a[0..24) b[0..8), out1 = b[8..24) c[0..16), out2 = c[16..24) d[0..24).
template <bool kRedFirst>
__attribute__((target("avx2"))) bool Bgrx32Avx2(const uint8_t* in, uint8_t* out, int32_t count) {
  const __m128i lane = kRedFirst
                           ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                           : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i mask = _mm256_broadcastsi128_si256(lane);
  // The packed dwords of one shuffled vector are 0, 1, 2, 4, 5, 6; 7 is a zero dword.
  const __m256i pa = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  const __m256i pb = _mm256_setr_epi32(2, 4, 5, 6, 7, 7, 0, 1);
  const __m256i pc = _mm256_setr_epi32(5, 6, 7, 7, 0, 1, 2, 4);
  const __m256i pd = _mm256_setr_epi32(7, 7, 0, 1, 2, 4, 5, 6);
  __m256i diff = _mm256_setzero_si256();
  int32_t i = 0;
  for (; i + 32 <= count; i += 32) {
    const __m256i* src = reinterpret_cast<const __m256i*>(in + 4 * i);
    __m256i* dst = reinterpret_cast<__m256i*>(out + 3 * i);
    const __m256i a =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(src + 0), mask), pa);
    const __m256i b =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(src + 1), mask), pb);
    const __m256i c =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(src + 2), mask), pc);
    const __m256i d =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(src + 3), mask), pd);
    const __m256i o0 = _mm256_blend_epi32(a, b, 0xC0);
    const __m256i o1 = _mm256_blend_epi32(b, c, 0xF0);
    const __m256i o2 = _mm256_blend_epi32(c, d, 0xFC);
    diff = _mm256_or_si256(diff, _mm256_xor_si256(_mm256_loadu_si256(dst + 0), o0));
    diff = _mm256_or_si256(diff, _mm256_xor_si256(_mm256_loadu_si256(dst + 1), o1));
    diff = _mm256_or_si256(diff, _mm256_xor_si256(_mm256_loadu_si256(dst + 2), o2));
    _mm256_storeu_si256(dst + 0, o0);
    _mm256_storeu_si256(dst + 1, o1);
    _mm256_storeu_si256(dst + 2, o2);
  }
  const bool changed = _mm256_testz_si256(diff, diff) == 0;
  const bool tail_changed = Bgrx32Portable<kRedFirst>(in + 4 * i, out + 3 * i, count - i);
  return changed || tail_changed;
}

bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

bool Bgrx32(int path, const uint8_t* in, uint8_t* out, int32_t count, bool red_first) {
  if (path == 2 && HasAvx2()) {
    return red_first ? Bgrx32Avx2<true>(in, out, count) : Bgrx32Avx2<false>(in, out, count);
  }
  if (path == 1 && HasSsse3()) {
    return red_first ? Bgrx32Ssse3<true>(in, out, count) : Bgrx32Ssse3<false>(in, out, count);
  }
  return red_first ? Bgrx32Portable<true>(in, out, count) : Bgrx32Portable<false>(in, out, count);
}

}  // namespace

bool ConvertBgrx32RowForTesting(int path, const uint8_t* in, uint8_t* out, int32_t count,
                                bool red_first) {
  return Bgrx32(path, in, out, count, red_first);
}

bool ConvertRowTo24(platform::PixelFormat format, const uint8_t* in, uint8_t* out, int32_t count,
                    bool red_first) {
  using platform::PixelFormat;
  switch (format) {
    case PixelFormat::kBgrx32: return Bgrx32(HasAvx2() ? 2 : 1, in, out, count, red_first);
    case PixelFormat::kBgr24:
      for (int32_t i = 0; i < count; ++i, in += 3, out += 3) {
        out[0] = red_first ? in[2] : in[0];
        out[1] = in[1];
        out[2] = red_first ? in[0] : in[2];
      }
      return true;
    case PixelFormat::kRgb555:
    case PixelFormat::kRgb565: {
      const bool wide_green = format == PixelFormat::kRgb565;
      for (int32_t i = 0; i < count; ++i, in += 2, out += 3) {
        uint32_t v = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8);
        // 5-6-5 to the 5-5-5 value: red and blue keep their bits, green drops its lowest.
        if (wide_green) v = ((v >> 1) & 0x7FE0) | (v & 0x1F);
        const uint8_t r = static_cast<uint8_t>(((v >> 10) & 0x1F) << 3);
        const uint8_t g = static_cast<uint8_t>(((v >> 5) & 0x1F) << 3);
        const uint8_t b = static_cast<uint8_t>((v & 0x1F) << 3);
        out[0] = red_first ? r : b;
        out[1] = g;
        out[2] = red_first ? b : r;
      }
      return true;
    }
    case PixelFormat::kUnsupported: return true;
  }
  return true;
}

}  // namespace vorla
