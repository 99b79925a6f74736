#include "render/surface.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

namespace {

uint8_t* pixelAddress(Surface& surface, int32_t x, int32_t y) { return pixelRow(surface, y) + 4 * static_cast<size_t>(x); }

void storeColour(uint8_t* pixel, Colour colour) {
    uint32_t bits = static_cast<uint32_t>(colour);
    pixel[0] = static_cast<uint8_t>(bits);
    pixel[1] = static_cast<uint8_t>(bits >> 8);
    pixel[2] = static_cast<uint8_t>(bits >> 16);
    pixel[3] = static_cast<uint8_t>(bits >> 24);
}

// The part of [from, to] that lies in [0, limit - 1]; empty when first > last. Clipping the
// walk up front stores exactly the pixels putPixel would, and keeps huge bounds from
// overflowing the loop counter.
struct Span {
    int32_t first;
    int32_t last;
};

Span clipSpan(int32_t from, int32_t to, int32_t limit) {
    return {std::max(from, 0), std::min(to, limit - 1)};
}

bool drawnInDash(int32_t c, bool dashed) { return !dashed || c % 7 < 5; }

}  // namespace

void allocSurface(Surface& surface, int32_t width, int32_t height) {
    surface.generation += 1;
    surface.pixels.clear();
    surface.pixels.shrink_to_fit();
    surface.width = 0;
    surface.height = 0;
    surface.turn = 0;
    // A negative size is taken as empty rather than as a huge unsigned block.
    width = std::max(width, 0);
    height = std::max(height, 0);
    surface.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    surface.width = width;
    surface.height = height;
    fillRect(surface, 0, 0, width - 1, height - 1, 0xFFFFFF);
}

void turnRows(Surface& surface, int32_t rows) {
    if (surface.height <= 0) return;
    const int64_t turned = (int64_t{surface.turn} - rows) % surface.height;
    surface.turn = static_cast<int32_t>(turned < 0 ? turned + surface.height : turned);
}

void settleRows(Surface& surface) {
    if (surface.turn == 0) return;
    // Memory row m shows what memory row m + turn holds: the first turn rows go to the end.
    const size_t rowBytes = static_cast<size_t>(surface.width) * 4;
    const size_t front = static_cast<size_t>(surface.turn) * rowBytes;
    const size_t total = static_cast<size_t>(surface.height) * rowBytes;
    std::vector<uint8_t> moved(surface.pixels.begin(), surface.pixels.begin() + static_cast<ptrdiff_t>(front));
    std::memmove(surface.pixels.data(), surface.pixels.data() + front, total - front);
    std::memcpy(surface.pixels.data() + total - front, moved.data(), front);
    surface.turn = 0;
}

void putPixel(Surface& surface, int32_t x, int32_t y, Colour colour) {
    if (x >= surface.width || y >= surface.height || x < 0 || y < 0) return;
    storeColour(pixelAddress(surface, x, y), colour);
}

void putPixelRow(Surface& surface, int32_t x, int32_t y, std::span<const Colour> colours) {
    if (y < 0 || y >= surface.height) return;
    // Positions are widened so that a row starting near the top of the int32 range cannot wrap.
    int64_t first = std::max<int64_t>(x, 0);
    int64_t last = std::min<int64_t>(int64_t{x} + static_cast<int64_t>(colours.size()) - 1,
                                     int64_t{surface.width} - 1);
    if (first > last) return;
    uint8_t* out = pixelAddress(surface, static_cast<int32_t>(first), y);
    const Colour* in = colours.data() + (first - x);
    const size_t count = static_cast<size_t>(last - first + 1);
    if constexpr (std::endian::native == std::endian::little) {
        // A colour's bytes in memory are already blue, green, red, top byte.
        std::memcpy(out, in, count * 4);
    } else {
        for (size_t i = 0; i < count; ++i, out += 4) storeColour(out, in[i]);
    }
}

void fillRect(Surface& surface, int32_t x0, int32_t y0, int32_t x1, int32_t y1, Colour colour) {
    Span xs = clipSpan(x0, x1, surface.width);
    Span ys = clipSpan(y0, y1, surface.height);
    if (xs.first > xs.last || ys.first > ys.last) return;
    // The pixel's four bytes as one word, stored whole: the same bytes as a putPixel per pixel.
    uint32_t pattern;
    storeColour(reinterpret_cast<uint8_t*>(&pattern), colour);
    for (int32_t y = ys.first; y <= ys.last; ++y) {
        uint8_t* out = pixelAddress(surface, xs.first, y);
        for (int32_t x = xs.first; x <= xs.last; ++x, out += 4) std::memcpy(out, &pattern, 4);
    }
}

void outlineRect(Surface& surface, int32_t x0, int32_t y0, int32_t x1, int32_t y1, Colour colour) {
    drawHLine(surface, x0, x1, y0, colour, false);
    drawHLine(surface, x0, x1, y1, colour, false);
    drawVLine(surface, x0, y0, y1, colour, false);
    drawVLine(surface, x1, y0, y1, colour, false);
}

void drawHLine(Surface& surface, int32_t x0, int32_t x1, int32_t y, Colour colour, bool dashed) {
    Span xs = clipSpan(x0, x1, surface.width);
    for (int32_t x = xs.first; x <= xs.last; ++x) {
        if (drawnInDash(x, dashed)) putPixel(surface, x, y, colour);
    }
}

void drawVLine(Surface& surface, int32_t x, int32_t y0, int32_t y1, Colour colour, bool dashed) {
    Span ys = clipSpan(y0, y1, surface.height);
    for (int32_t y = ys.first; y <= ys.last; ++y) {
        if (drawnInDash(y, dashed)) putPixel(surface, x, y, colour);
    }
}
