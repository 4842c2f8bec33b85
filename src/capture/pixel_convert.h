// Row conversions of captured pixels into 24-bit pixels (the hot path of every frame).
#pragma once

#include <cstdint>

#include "platform/displays.h"

namespace vorla {

// Converts `count` pixels of `format` at `in` into 3 bytes each at `out`: red, green, blue when
// `red_first`, else blue, green, red. 16-bit pixels give their 5-bit values shifted up by 3
// (a 5-6-5 green drops its lowest bit first).
// Returns whether the bytes at `out` differ from what they held before. The 32-bit path compares
// while it writes (the old bytes are in cache for the store anyway); the other formats do not
// compare and always report a change, which is the safe answer.
bool ConvertRowTo24(platform::PixelFormat format, const uint8_t* in, uint8_t* out, int32_t count,
                    bool red_first);

// The 32-bit conversion by each of its code paths, for tests and benchmarks: 0 portable,
// 1 SSSE3, 2 AVX2 (a path the processor lacks falls back to the portable one). Same result and
// same return value as ConvertRowTo24, except that the SSSE3 path always reports a change.
bool ConvertBgrx32RowForTesting(int path, const uint8_t* in, uint8_t* out, int32_t count,
                                bool red_first);

}  // namespace vorla
