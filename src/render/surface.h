#pragma once
// 32-bit pixel images laid out as a BMP pixel array (blue, green, red, 0; bottom row first),
// and the clipped drawing primitives all painting goes through.

#include <cstdint>
#include <span>
#include <vector>

struct Surface {
    std::vector<uint8_t> pixels;  // width * height * 4 bytes
    int32_t width = 0;
    int32_t height = 0;
    uint64_t generation = 0;  // a new number whenever the pixels are allocated anew
};

// Colours are 0xRRGGBB; y = 0 is the top row; every range is inclusive at both ends.
using Colour = int32_t;

// Allocates width x height pixels, white, under a new generation number.
void allocSurface(Surface& surface, int32_t width, int32_t height);
void putPixel(Surface& surface, int32_t x, int32_t y, Colour colour);
// Stores colours[i] at (x + i, y), each clipped as by putPixel.
void putPixelRow(Surface& surface, int32_t x, int32_t y, std::span<const Colour> colours);
void fillRect(Surface& surface, int32_t x0, int32_t y0, int32_t x1, int32_t y1, Colour colour);
void outlineRect(Surface& surface, int32_t x0, int32_t y0, int32_t x1, int32_t y1, Colour colour);
void drawHLine(Surface& surface, int32_t x0, int32_t x1, int32_t y, Colour colour, bool dashed);
void drawVLine(Surface& surface, int32_t x, int32_t y0, int32_t y1, Colour colour, bool dashed);
