#include "compression/rgb_to_i420.h"

#include <immintrin.h>

#include <algorithm>

namespace vorla {
namespace {

// trunc(c * v) for v in 0..255 equals (v * M) >> 16 with these multipliers; the tests check every
// value against the double products.
constexpr uint16_t kYR = 16842;   // 0.257
constexpr uint16_t kYG = 33031;   // 0.504
constexpr uint16_t kYB = 6420;    // 0.098
constexpr uint16_t kCbR = 9700;   // 0.148
constexpr uint16_t kCbB = 28765;  // 0.439
constexpr uint16_t kCbG = 19070;  // 0.291
constexpr uint16_t kCrR = 28765;  // 0.439
constexpr uint16_t kCrB = 4651;   // 0.071
constexpr uint16_t kCrG = 24118;  // 0.368

inline int Term(uint32_t v, uint32_t m) { return static_cast<int>((v * m) >> 16); }

inline uint8_t Luma(const uint8_t* p) {
  const int y = Term(p[0], kYR) + Term(p[1], kYG) + Term(p[2], kYB) + 16;
  return static_cast<uint8_t>(std::min(y, 235));
}

inline uint8_t Clamp16To235(int v) { return static_cast<uint8_t>(std::clamp(v, 16, 235)); }

// One row pair from pixel `from` on: `top` is the upper image row, `bottom` the one below it.
void RowPairPortable(const uint8_t* top, const uint8_t* bottom, uint8_t* y0, uint8_t* y1,
                     uint8_t* cb, uint8_t* cr, int from, int width) {
  for (int x = from; x < width; ++x) {
    y0[x] = Luma(top + 3 * x);
    y1[x] = Luma(bottom + 3 * x);
  }
  for (int m = from / 2; m < width / 2; ++m) {
    const uint8_t* a = top + 6 * m;
    const uint8_t* b = bottom + 6 * m;
    const uint32_t r = (a[0] + a[3] + b[0] + b[3]) / 4;
    const uint32_t g = (a[1] + a[4] + b[1] + b[4]) / 4;
    const uint32_t bl = (a[2] + a[5] + b[2] + b[5]) / 4;
    cb[m] = Clamp16To235(-Term(r, kCbR) + Term(bl, kCbB) - Term(g, kCbG) + 128);
    cr[m] = Clamp16To235(-Term(bl, kCrB) + Term(r, kCrR) - Term(g, kCrG) + 128);
  }
}

// pshufb masks that gather one channel of 16 packed RGB pixels from the three 16-byte chunks
// holding them.
struct ChannelMasks {
  alignas(16) int8_t m[3][3][16];  // [channel][chunk][byte]
  constexpr ChannelMasks() : m{} {
    for (int ch = 0; ch < 3; ++ch) {
      for (int chunk = 0; chunk < 3; ++chunk) {
        for (int i = 0; i < 16; ++i) {
          const int at = 3 * i + ch;
          m[ch][chunk][i] = (at / 16 == chunk) ? static_cast<int8_t>(at % 16) : int8_t{-128};
        }
      }
    }
  }
};
constexpr ChannelMasks kMasks;

struct Planar32 {
  __m256i r, g, b;
};

__attribute__((target("avx2"))) inline __m256i Mask(int ch, int chunk) {
  const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(kMasks.m[ch][chunk]));
  return _mm256_broadcastsi128_si256(m);
}

__attribute__((target("avx2"))) inline __m256i LoadChunkPair(const uint8_t* p, int chunk) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * chunk));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 + 16 * chunk));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// 32 pixels (96 bytes): lane 0 gets pixels 0-15, lane 1 pixels 16-31.
__attribute__((target("avx2"))) inline Planar32 Load32(const uint8_t* p) {
  const __m256i c0 = LoadChunkPair(p, 0), c1 = LoadChunkPair(p, 1), c2 = LoadChunkPair(p, 2);
  Planar32 out;
  __m256i* dst[3] = {&out.r, &out.g, &out.b};
  for (int ch = 0; ch < 3; ++ch) {
    *dst[ch] = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(c0, Mask(ch, 0)), _mm256_shuffle_epi8(c1, Mask(ch, 1))),
        _mm256_shuffle_epi8(c2, Mask(ch, 2)));
  }
  return out;
}

__attribute__((target("avx2"))) inline __m256i Luma16(__m256i r, __m256i g, __m256i b) {
  const __m256i y = _mm256_add_epi16(
      _mm256_add_epi16(_mm256_mulhi_epu16(r, _mm256_set1_epi16(static_cast<int16_t>(kYR))),
                       _mm256_mulhi_epu16(g, _mm256_set1_epi16(static_cast<int16_t>(kYG)))),
      _mm256_add_epi16(_mm256_mulhi_epu16(b, _mm256_set1_epi16(static_cast<int16_t>(kYB))),
                       _mm256_set1_epi16(16)));
  return y;
}

__attribute__((target("avx2"))) inline void StoreLuma(const Planar32& p, uint8_t* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lo = Luma16(_mm256_unpacklo_epi8(p.r, zero), _mm256_unpacklo_epi8(p.g, zero),
                            _mm256_unpacklo_epi8(p.b, zero));
  const __m256i hi = Luma16(_mm256_unpackhi_epi8(p.r, zero), _mm256_unpackhi_epi8(p.g, zero),
                            _mm256_unpackhi_epi8(p.b, zero));
  const __m256i y = _mm256_min_epu8(_mm256_packus_epi16(lo, hi), _mm256_set1_epi8(static_cast<char>(235)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), y);
}

// 16 block averages of one channel from the two rows, as 16-bit lanes (in lane order).
__attribute__((target("avx2"))) inline __m256i BlockAverage(__m256i top, __m256i bottom) {
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i sum =
      _mm256_add_epi16(_mm256_maddubs_epi16(top, ones), _mm256_maddubs_epi16(bottom, ones));
  return _mm256_srli_epi16(sum, 2);
}

__attribute__((target("avx2"))) inline void StoreChroma16(__m256i v, uint8_t* out) {
  v = _mm256_min_epi16(_mm256_max_epi16(v, _mm256_set1_epi16(16)), _mm256_set1_epi16(235));
  const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0xD8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

__attribute__((target("avx2"))) inline __m256i mul(__m256i v, uint16_t m) {
  return _mm256_mulhi_epu16(v, _mm256_set1_epi16(static_cast<int16_t>(m)));
}

__attribute__((target("avx2"))) void RowPairAvx2(const uint8_t* top, const uint8_t* bottom,
                                                  uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                                  uint8_t* cr, int width) {
  const int whole = width & ~31;
  const __m256i c128 = _mm256_set1_epi16(128);
  for (int x = 0; x < whole; x += 32) {
    const Planar32 a = Load32(top + 3 * x);
    const Planar32 b = Load32(bottom + 3 * x);
    StoreLuma(a, y0 + x);
    StoreLuma(b, y1 + x);
    const __m256i r = BlockAverage(a.r, b.r);
    const __m256i g = BlockAverage(a.g, b.g);
    const __m256i bl = BlockAverage(a.b, b.b);
    const __m256i u = _mm256_sub_epi16(
        _mm256_add_epi16(_mm256_sub_epi16(c128, mul(r, kCbR)), mul(bl, kCbB)), mul(g, kCbG));
    const __m256i v = _mm256_sub_epi16(
        _mm256_add_epi16(_mm256_sub_epi16(c128, mul(bl, kCrB)), mul(r, kCrR)), mul(g, kCrG));
    StoreChroma16(u, cb + x / 2);
    StoreChroma16(v, cr + x / 2);
  }
  RowPairPortable(top, bottom, y0, y1, cb, cr, whole, width);
}

bool DetectAvx2() { return __builtin_cpu_supports("avx2"); }

template <class RowPair>
void Convert(const uint8_t* input, uint8_t* y_plane, uint8_t* cb_plane, uint8_t* cr_plane,
             int width, int height, RowPair row_pair) {
  if (input == nullptr || width <= 0 || height < 2) return;
  const size_t stride = static_cast<size_t>(width) * 3;
  const size_t cstride = static_cast<size_t>(width / 2);
  // Input rows are bottom-up: image row t is input row height - 1 - t.
  for (int t = 0; t + 1 < height; t += 2) {
    const uint8_t* top = input + stride * static_cast<size_t>(height - 1 - t);
    const uint8_t* bottom = top - stride;
    row_pair(top, bottom, y_plane + static_cast<size_t>(t) * width,
             y_plane + static_cast<size_t>(t + 1) * width, cb_plane + cstride * (t / 2),
             cr_plane + cstride * (t / 2), width);
  }
}

}  // namespace

bool RgbToI420UsesAvx2() {
  static const bool avx2 = DetectAvx2();
  return avx2;
}

void RgbToI420Portable(const uint8_t* input, uint8_t* y_plane, uint8_t* cb_plane,
                       uint8_t* cr_plane, int width, int height) {
  Convert(input, y_plane, cb_plane, cr_plane, width, height,
          [](const uint8_t* top, const uint8_t* bottom, uint8_t* y0, uint8_t* y1, uint8_t* cb,
             uint8_t* cr, int w) { RowPairPortable(top, bottom, y0, y1, cb, cr, 0, w); });
}

void RgbToI420(const uint8_t* input, uint8_t* y_plane, uint8_t* cb_plane, uint8_t* cr_plane,
               int width, int height) {
  if (!RgbToI420UsesAvx2()) {
    RgbToI420Portable(input, y_plane, cb_plane, cr_plane, width, height);
    return;
  }
  Convert(input, y_plane, cb_plane, cr_plane, width, height, RowPairAvx2);
}

}  // namespace vorla
