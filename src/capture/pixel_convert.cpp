#include "capture/pixel_convert.h"

#include <immintrin.h>

namespace vorla {
namespace {

template <bool kRedFirst>
void Bgrx32Portable(const uint8_t* in, uint8_t* out, int32_t count) {
  for (int32_t i = 0; i < count; ++i, in += 4, out += 3) {
    out[0] = kRedFirst ? in[2] : in[0];
    out[1] = in[1];
    out[2] = kRedFirst ? in[0] : in[2];
  }
}

// 4 pixels per shuffle; each 16-byte store overlaps the next by 4 bytes, so the last group of a
// row is left to the portable loop to stay inside the row.
template <bool kRedFirst>
__attribute__((target("ssse3"))) void Bgrx32Ssse3(const uint8_t* in, uint8_t* out,
                                                   int32_t count) {
  const __m128i mask =
      kRedFirst ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int32_t i = 0;
  for (; i + 5 <= count; i += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), _mm_shuffle_epi8(px, mask));
  }
  Bgrx32Portable<kRedFirst>(in + 4 * i, out + 3 * i, count - i);
}

bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

}  // namespace

void ConvertRowTo24(platform::PixelFormat format, const uint8_t* in, uint8_t* out, int32_t count,
                    bool red_first) {
  using platform::PixelFormat;
  switch (format) {
    case PixelFormat::kBgrx32:
      if (HasSsse3()) {
        red_first ? Bgrx32Ssse3<true>(in, out, count) : Bgrx32Ssse3<false>(in, out, count);
      } else {
        red_first ? Bgrx32Portable<true>(in, out, count) : Bgrx32Portable<false>(in, out, count);
      }
      return;
    case PixelFormat::kBgr24:
      for (int32_t i = 0; i < count; ++i, in += 3, out += 3) {
        out[0] = red_first ? in[2] : in[0];
        out[1] = in[1];
        out[2] = red_first ? in[0] : in[2];
      }
      return;
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
      return;
    }
    case PixelFormat::kUnsupported: return;
  }
}

}  // namespace vorla
