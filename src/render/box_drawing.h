#pragma once
// Unicode box drawing (U+2500-U+257F) and block elements (U+2580-U+259F) drawn as strokes and
// fills in a 10 x 20 cell, so that lines join across cells whatever the font. The single light
// lines are the strokes of the default renderer: one pixel on column X + 5 and row Y + 10.

#include <cstdint>

#include "render/surface.h"

constexpr uint32_t kFirstBoxDrawing = 0x2500;
constexpr uint32_t kLastBlockElement = 0x259F;

inline bool isBoxDrawing(uint32_t codePoint) {
    return codePoint >= kFirstBoxDrawing && codePoint <= kLastBlockElement;
}

// Draws the shape of codePoint in colour over the cell whose top-left pixel is (x, y); pixels
// outside the shape are left alone. False, drawing nothing, when codePoint is not in the range.
bool drawBoxDrawing(Surface& surface, uint32_t codePoint, int32_t x, int32_t y, Colour colour);

// The same shapes in a cell of any size, with strokes as wide as boxLineWidth(height) (heavy
// ones twice that and one more): the 10 x 20 cell gives exactly drawBoxDrawing's pixels.
bool drawBoxDrawingScaled(Surface& surface, uint32_t codePoint, int32_t x, int32_t y, int32_t width, int32_t height,
                          Colour colour);

// The width of a light line in a cell of this height: one pixel up to 29 rows, then one more
// every 20.
int32_t boxLineWidth(int32_t height);
