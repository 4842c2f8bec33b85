// The built-in JPEG engine.
#pragma once

#include <cstdint>

#include "common/payload_buffer.h"

namespace vorla {

enum class JpegPixelKind : int32_t { kGrey = 1, kRgb = 2, kYCbCr = 3 };

// Bytes of the one process-wide output area; an image that does not fit fails.
inline constexpr uint32_t kJpegOutputAreaSize = 2359296;

// Compresses width x height pixels (rows bottom-up, no gaps; 3 bytes per pixel for RGB and
// YCbCr, 1 for grey) into a complete JPEG file, top row first, at `quality` (baseline tables,
// fast integer DCT). True with `data` holding a new buffer. Not thread-safe: the output area is
// shared, so only one thread (the capture thread) may call it.
bool JpegEncode(PayloadBuffer& data, const uint8_t* pixels, uint32_t width, uint32_t height,
                JpegPixelKind kind, int32_t quality);

}  // namespace vorla
