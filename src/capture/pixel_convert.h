// Row conversions of captured pixels into 24-bit pixels (the hot path of every frame).
#pragma once

#include <cstdint>

#include "platform/displays.h"

namespace vorla {

// Converts `count` pixels of `format` at `in` into 3 bytes each at `out`: red, green, blue when
// `red_first`, else blue, green, red. 16-bit pixels give their 5-bit values shifted up by 3
// (a 5-6-5 green drops its lowest bit first).
void ConvertRowTo24(platform::PixelFormat format, const uint8_t* in, uint8_t* out, int32_t count,
                    bool red_first);

}  // namespace vorla
