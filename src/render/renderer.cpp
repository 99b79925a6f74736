#include "render/renderer.h"

#include <algorithm>

#include "driver/settings.h"
#include "render/glyph_font.h"
#include "terminal/screen_grid.h"

const std::array<Colour, 8> normalPalette{0x000000, 0xAF0000, 0x00AF00, 0xC0C000,
                                          0x004080, 0xA800A8, 0x00A8A8, 0xBBBBBB};
const std::array<Colour, 8> brightPalette{0x777777, 0xFF0000, 0x00FF00, 0xFFFF00,
                                          0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

namespace {

constexpr uint8_t kCodeDot = 249;
constexpr uint8_t kCodeSquare = 254;

bool surfacesReady = false;

struct CellColours {
    Colour foreground;
    Colour background;
};

CellColours cellColours(CellAttr attr) {
    const std::array<Colour, 8>& palette = (attr & kAttrBold) ? brightPalette : normalPalette;
    uint32_t fg = attr & 0xF;
    uint32_t bg = (attr >> 4) & 0xF;
    CellColours colours{fg > 7 ? 0xFFFFFF : palette[fg], (bg > 7 || bg == 0) ? 0 : palette[bg]};
    if (attr & kAttrReverse) std::swap(colours.foreground, colours.background);
    return colours;
}

// Both surfaces are cleared to black, whose four bytes are all zero.
void clearToBlack(Surface& surface) {
    std::fill(surface.pixels.begin(), surface.pixels.end(), uint8_t{0});
}

// The single-line box-drawing shapes, centred on column X + 5 and row Y + 10. Returns false
// for codes that are not one of them.
bool drawBoxStroke(uint8_t code, int32_t X, int32_t Y, Colour colour) {
    int32_t midX = X + 5;
    int32_t midY = Y + 10;
    auto h = [&](int32_t x0, int32_t x1) { drawHLine(mainSurface, x0, x1, midY, colour, false); };
    auto v = [&](int32_t y0, int32_t y1) { drawVLine(mainSurface, midX, y0, y1, colour, false); };
    switch (code) {
        case 179:  // │
            v(Y, Y + 19);
            break;
        case 180:  // ┤
            v(Y, Y + 19);
            h(X, X + 5);
            break;
        case 191:  // ┐
            h(X, X + 5);
            v(Y + 10, Y + 19);
            break;
        case 192:  // └
            v(Y, Y + 10);
            h(X + 5, X + 9);
            break;
        case 193:  // ┴
            h(X, X + 9);
            v(Y, Y + 10);
            break;
        case 194:  // ┬
            h(X, X + 9);
            v(Y + 10, Y + 19);
            break;
        case 195:  // ├
            v(Y, Y + 19);
            h(X + 5, X + 9);
            break;
        case 196:  // ─
            h(X, X + 9);
            break;
        case 197:  // ┼
            h(X, X + 9);
            v(Y, Y + 19);
            break;
        case 217:  // ┘
            h(X, X + 5);
            v(Y, Y + 10);
            break;
        case 218:  // ┌
            h(X + 5, X + 9);
            v(Y + 10, Y + 19);
            break;
        default:
            return false;
    }
    return true;
}

void paintCell(uint8_t code, CellAttr attr, int32_t X, int32_t Y) {
    CellColours colours = cellColours(attr);
    fillRect(mainSurface, X, Y, X + kCellWidth - 1, Y + kCellHeight - 1, colours.background);

    bool glyphStep = true;
    if (drawBoxStroke(code, X, Y, colours.foreground)) {
        glyphStep = false;
    } else if (code == kCodeDot) {
        outlineRect(mainSurface, X + 4, Y + 9, X + 5, Y + 10, colours.foreground);
        glyphStep = false;
    } else if (code == kCodeSquare) {
        // A font glyph for this code paints over the square.
        fillRect(mainSurface, X + 3, Y + 8, X + 6, Y + 11, colours.foreground);
    }

    if (glyphStep) {
        // The font is loaded on the first cell that could need it, even a NUL cell.
        if (mainSurface.glyphs.empty()) loadGlyphs();
        if (code != 0) drawGlyph(code, X, Y, colours.foreground, colours.background);
    }

    if (attr & kAttrUnderline) {
        drawHLine(mainSurface, X + 1, X + 8, Y + kCellHeight - 1, colours.foreground, true);
    }
}

}  // namespace

void renderScreen() {
    // Sizes beyond the grid's storage are cut to it, so no cell outside it is ever read.
    int32_t columns = std::clamp(settings.columns, 0, kGridColumns);
    int32_t rows = std::clamp(settings.rows, 0, kGridRows);
    if (!surfacesReady) {
        allocSurface(mainSurface, columns * kCellWidth, rows * kCellHeight);
        allocSurface(doubleSurface, columns * kCellWidth * 2, rows * kCellHeight * 2);
        surfacesReady = true;
    }
    clearToBlack(mainSurface);
    clearToBlack(doubleSurface);

    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            size_t cell = static_cast<size_t>(r) * kGridColumns + static_cast<size_t>(c);
            paintCell(screenGrid.charPlane[cell], screenGrid.attrPlane[cell], c * kCellWidth,
                      r * kCellHeight);
        }
    }
}

void resetRenderer() { surfacesReady = false; }
