#include "render/glyph_bitmaps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

void fitColourBitmap(const uint8_t* buffer, int32_t sourceWidth, int32_t sourceHeight, int32_t pitch, int32_t boxWidth,
                     int32_t boxHeight, OutlineGlyph& glyph) {
    double scale = std::min(static_cast<double>(boxWidth) / sourceWidth, static_cast<double>(boxHeight) / sourceHeight);
    glyph.width = std::max(1, static_cast<int32_t>(std::lround(sourceWidth * scale)));
    glyph.height = std::max(1, static_cast<int32_t>(std::lround(sourceHeight * scale)));
    glyph.left = (boxWidth - glyph.width) / 2;
    glyph.top = (boxHeight - glyph.height) / 2;
    glyph.colour = true;
    glyph.pixels.assign(static_cast<size_t>(glyph.width) * glyph.height * 4, 0);
    for (int32_t y = 0; y < glyph.height; ++y) {
        int32_t y0 = y * sourceHeight / glyph.height;
        int32_t y1 = std::max(y0 + 1, (y + 1) * sourceHeight / glyph.height);
        for (int32_t x = 0; x < glyph.width; ++x) {
            int32_t x0 = x * sourceWidth / glyph.width;
            int32_t x1 = std::max(x0 + 1, (x + 1) * sourceWidth / glyph.width);
            std::array<uint32_t, 4> sum{};
            for (int32_t sy = y0; sy < y1; ++sy) {
                const uint8_t* row = buffer + static_cast<ptrdiff_t>(sy) * pitch;
                for (int32_t sx = x0; sx < x1; ++sx) {
                    for (int c = 0; c < 4; ++c) sum[c] += row[sx * 4 + c];
                }
            }
            uint32_t count = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
            uint8_t* out = &glyph.pixels[(static_cast<size_t>(y) * glyph.width + x) * 4];
            for (int c = 0; c < 4; ++c) out[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
        }
    }
}

void slantRows(OutlineGlyph& glyph, int32_t bitmapTop) {
    auto shiftOf = [&](int32_t row) { return static_cast<int32_t>(std::floor((bitmapTop - row) / 5.0)); };
    int32_t least = std::min(shiftOf(0), shiftOf(glyph.height - 1));
    int32_t most = std::max(shiftOf(0), shiftOf(glyph.height - 1));
    int32_t width = glyph.width + most - least;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * glyph.height, 0);
    for (int32_t y = 0; y < glyph.height; ++y) {
        std::copy_n(&glyph.pixels[static_cast<size_t>(y) * glyph.width], glyph.width,
                    &pixels[static_cast<size_t>(y) * width + (shiftOf(y) - least)]);
    }
    glyph.pixels = std::move(pixels);
    glyph.width = width;
    glyph.left += least;
}
