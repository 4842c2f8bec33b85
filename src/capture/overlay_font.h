// The bitmap font of the overlay texts (blanking and lost-desktop notices).
#pragma once

#include <cstdint>

namespace vorla {

// Glyphs are 5 x 7 dots drawn at twice their size in a cell of kOverlayCellWidth x
// kOverlayCellHeight pixels. Letters are drawn as capitals; characters without a glyph as a box.
inline constexpr int kOverlayGlyphScale = 2;
inline constexpr int kOverlayCellWidth = 12;
inline constexpr int kOverlayCellHeight = 16;

// Whether dot (col 0-4, row 0-6) of the glyph for `c` is set.
bool OverlayGlyphDot(char16_t c, int col, int row);

}  // namespace vorla
