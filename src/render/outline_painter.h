#pragma once
// Paints the terminal's screen with a scalable font (-font) into a painter's canvas: cells of the
// font's size, glyphs anti-aliased onto each cell's background with gamma-correct blending,
// box drawing and block elements as strokes and fills scaled to the cell. Both emulations.

#include <cstdint>

#include "render/surface.h"

// One cell's pixels, as the painter stores and copies them: a box of span cells.
struct OutlineCell {
    uint32_t codePoint = ' ';
    Colour foreground = 0;
    Colour background = 0;
    uint8_t span = 1;  // 2: a wide character; 0: the right half of one, painted with its left
    uint8_t style = 0;  // OutlineStyle bits
    bool underline = false;
    bool strike = false;
    bool operator==(const OutlineCell&) const = default;
};

struct PainterState;

// Draws one cell at (x, y) of surface, through the painter's cache.
void paintOutlineCell(PainterState& painter, Surface& surface, const OutlineCell& cell, int32_t x, int32_t y);

struct OutlineGlyph;

// Blends a drawn glyph (coverage in foreground, or its own colours) into the box of
// boxWidth x boxHeight pixels at (left, top) of surface, cut at the box's edges.
void blendGlyph(Surface& surface, const OutlineGlyph& glyph, int32_t left, int32_t top, int32_t boxWidth, int32_t boxHeight,
                Colour foreground);

// sRGB channel blending in linear light: coverage 0 gives background, 255 foreground.
uint8_t blendChannel(uint8_t background, uint8_t foreground, uint8_t coverage);

// An sRGB channel in linear light, 0 to 1.
float linearChannel(uint8_t channel);

// The picture's size for columns x rows cells: each side rounded up to even.
int32_t evenSide(int32_t pixels);
