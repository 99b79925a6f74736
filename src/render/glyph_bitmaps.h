#pragma once
// Drawn glyphs reshaped: a colour font's large bitmap fitted into a box, a bitmap font's rows
// slanted for italic.

#include <cstdint>

#include "render/outline_font.h"

// Area-averages a premultiplied BGRA bitmap (pitch bytes a row) into glyph, scaled to fit the
// box and centred in it.
void fitColourBitmap(const uint8_t* buffer, int32_t sourceWidth, int32_t sourceHeight, int32_t pitch, int32_t boxWidth,
                     int32_t boxHeight, OutlineGlyph& glyph);

// Shifts each row of a coverage glyph right by a fifth of its height above the baseline
// (bitmapTop rows above it at the glyph's top).
void slantRows(OutlineGlyph& glyph, int32_t bitmapTop);
