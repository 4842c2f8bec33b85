// Colour conversion of the composite frame for the VP8 encoder.
#pragma once

#include <cstdint>

namespace vorla {

// Converts 24-bit pixels (red, green, blue; rows bottom-up, width * 3 bytes each, no gaps) to
// I420 planes, top-down and packed: luma width x height, each chroma plane (width / 2) x
// (height / 2). Per pixel luma = trunc(0.257 R) + trunc(0.504 G) + trunc(0.098 B) + 16, at most
// 235; per 2 x 2 block, over the block's channel averages (sum / 4),
// Cb = trunc(-0.148 R) - trunc(-0.439 B) - trunc(0.291 G) + 128 and
// Cr = trunc(-0.071 B) - trunc(-0.439 R) - trunc(0.368 G) + 128, each limited to 16..235.
// Each product is truncated on its own, exactly as the double-precision products would be.
// A last odd row is left untouched. Uses AVX2 where the processor has it.
void RgbToI420(const uint8_t* input, uint8_t* y_plane, uint8_t* cb_plane, uint8_t* cr_plane,
               int width, int height);

// The same result by the portable integer code alone (for tests and processors without AVX2).
void RgbToI420Portable(const uint8_t* input, uint8_t* y_plane, uint8_t* cb_plane,
                       uint8_t* cr_plane, int width, int height);

// Whether RgbToI420 takes the AVX2 path on this processor.
bool RgbToI420UsesAvx2();

}  // namespace vorla
