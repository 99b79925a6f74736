#pragma once
// 32-bit pixel images laid out as a BMP pixel array (blue, green, red, 0; bottom row first),
// and the clipped drawing primitives all painting goes through.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct Surface {
    std::vector<uint8_t> pixels;  // width * height * 4 bytes
    int32_t width = 0;
    int32_t height = 0;
    uint64_t generation = 0;  // a new number whenever the pixels are allocated anew
    // The rows form a ring, so that a scroll turns it instead of moving every pixel: pixel row y
    // (0 at the top) is stored at memory row (height - 1 - y + turn) % height. At turn 0 the
    // pixels lie as a BMP's; readers of a surface that may be turned go through pixelRow.
    int32_t turn = 0;
};

// Where pixel row y (0 at the top, within the surface) lies in memory: width * 4 bytes.
inline size_t memoryRowOf(const Surface& surface, int32_t y) {
    int32_t row = surface.height - 1 - y + surface.turn;
    if (row >= surface.height) row -= surface.height;
    return static_cast<size_t>(row);
}
inline uint8_t* pixelRow(Surface& surface, int32_t y) {
    return surface.pixels.data() + memoryRowOf(surface, y) * static_cast<size_t>(surface.width) * 4;
}
inline const uint8_t* pixelRow(const Surface& surface, int32_t y) {
    return surface.pixels.data() + memoryRowOf(surface, y) * static_cast<size_t>(surface.width) * 4;
}
// Turns the ring: pixel row y then shows what row y + rows showed, the rows wrapping around.
void turnRows(Surface& surface, int32_t rows);
// Lays the pixels out as a BMP's again (turn 0).
void settleRows(Surface& surface);

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
