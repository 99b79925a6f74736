#include "render/renderer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "render/fallback_font.h"
#include "render/framing.h"
#include "render/glyph_font.h"
#include "render/outline_font.h"
#include "render/outline_painter.h"
#include "render/screen_changes.h"
#include "render/xterm_renderer.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

const std::array<Colour, 8> normalPalette{0x000000, 0xAF0000, 0x00AF00, 0xC0C000,
                                          0x004080, 0xA800A8, 0x00A8A8, 0xBBBBBB};
const std::array<Colour, 8> brightPalette{0x777777, 0xFF0000, 0x00FF00, 0xFFFF00,
                                          0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

namespace {

constexpr uint8_t kCodeDot = 249;
constexpr uint8_t kCodeSquare = 254;

bool surfacesReady = false;
RenderOptions options;
bool fontMissing = false;  // a cell needed font.txt and it could not be read

struct CellColours {
    Colour foreground;
    Colour background;
};

CellColours cellColours(CellAttr attr) {
    CellPaint paint = basicCellPaint(options.theme, attr);
    return {paint.foreground, paint.background};
}

// The surface cleared to the theme's background (black, whose four bytes are all zero, unless
// a theme says otherwise).
void clearToBackground(Surface& surface, Colour background) {
    if (background == 0) {
        std::fill(surface.pixels.begin(), surface.pixels.end(), uint8_t{0});
    } else {
        fillRect(surface, 0, 0, surface.width - 1, surface.height - 1, background);
    }
}

// The single-line box-drawing shapes, centred on column X + 5 and row Y + 10. Returns false
// for codes that are not one of them.
bool drawBoxStroke(uint8_t code, int32_t X, int32_t Y, Colour colour) {
    int32_t midX = X + 5;
    int32_t midY = Y + 10;
    auto h = [&](int32_t x0, int32_t x1) { drawHLine(canvasSurface(), x0, x1, midY, colour, false); };
    auto v = [&](int32_t y0, int32_t y1) { drawVLine(canvasSurface(), midX, y0, y1, colour, false); };
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
    fillRect(canvasSurface(), X, Y, X + kCellWidth - 1, Y + kCellHeight - 1, colours.background);

    bool glyphStep = true;
    if (drawBoxStroke(code, X, Y, colours.foreground)) {
        glyphStep = false;
    } else if (code == kCodeDot) {
        outlineRect(canvasSurface(), X + 4, Y + 9, X + 5, Y + 10, colours.foreground);
        glyphStep = false;
    } else if (code == kCodeSquare) {
        // A font glyph for this code paints over the square.
        fillRect(canvasSurface(), X + 3, Y + 8, X + 6, Y + 11, colours.foreground);
    }

    if (glyphStep) {
        // The font is loaded on the first cell that could need it, even a NUL cell.
        ensureFont();
        if (code != 0) drawGlyph(code, X, Y, colours.foreground, colours.background);
    }

    if (attr & kAttrUnderline) {
        drawHLine(canvasSurface(), X + 1, X + 8, Y + kCellHeight - 1, colours.foreground, true);
    }
}

// ---- Painting only what changed ----
//
// The picture is defined by painting every cell in row-major order. Most cells paint only
// inside their own 10 x 20 box, and then painting just the cells whose character or attribute
// changed gives the same picture. Some paint beyond it: font.txt offsets move glyph rows into
// the cells above or below, and fallback characters are 12 pixels wide. For those, every cell
// that can reach a pixel being repainted is repainted too, in row-major order, and so on for
// the pixels those cells reach, so that each such pixel ends with the cell that paints it last.

// Pixels a character code may paint beyond its box, with the font of the moment.
struct Reach {
    int32_t up = 0;
    int32_t down = 0;
    int32_t right = 0;
    bool any() const { return up > 0 || down > 0 || right > 0; }
};

// Inclusive pixel rectangle, y = 0 at the top.
struct PixelRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// What canvasSurface shows, cell by cell, and what it was painted with.
struct PaintedScreen {
    bool valid = false;
    int32_t columns = 0;
    int32_t rows = 0;
    uint64_t surfaceGeneration = 0;
    uint64_t glyphGeneration = 0;
    std::array<uint8_t, kGridCells> chars{};
    std::array<CellAttr, kGridCells> attrs{};
    std::array<Reach, 256> reach{};
    int32_t overflowingCells = 0;  // painted cells whose code has a reach
    // rowDigest of each painted row, when digestsValid: painting leaves the painted rows equal
    // to the grid's, so one screen's digests serve as the painted rows' for the next.
    std::array<uint64_t, kGridRows> digests{};
    bool digestsValid = false;
    std::vector<size_t> changed;   // scratch: cells to paint this time
    std::vector<uint8_t> selected;
    std::vector<PixelRect> pending;
    std::vector<uint8_t> saved;
};

PaintedScreen painted;

// The pixels of cells that paint only inside their box, kept per character code, attribute and
// underline phase (the dashes follow the surface's columns) and then copied: they depend on
// nothing else while the font and the theme stay.
struct CellBlocks {
    static constexpr size_t kBytes = size_t{kCellWidth} * kCellHeight * 4;
    static constexpr size_t kMostBlocks = 4096;  // 3.3 MB; a screen with more kinds starts afresh
    uint64_t glyphGeneration = 0;
    std::unordered_map<uint64_t, size_t> slotOf;
    std::vector<uint8_t> pixels;  // kBytes a block, top row first
};

CellBlocks blocks;

void forgetCellBlocks() {
    blocks.slotOf.clear();
    blocks.pixels.clear();
}

// Far enough to leave any surface; keeps the arithmetic below in range.
constexpr int64_t kFarReach = 1 << 16;

// The codes drawBoxStroke draws, and the dot: they never consult the font.
bool paintsWithoutFont(uint8_t code) {
    switch (code) {
        case 179: case 180: case 191: case 192: case 193: case 194:
        case 195: case 196: case 197: case 217: case 218: case kCodeDot:
            return true;
        default:
            return false;
    }
}

int32_t clampReach(int64_t pixels) { return static_cast<int32_t>(std::clamp<int64_t>(pixels, 0, kFarReach)); }

// Where each code's glyph (or, without one, its fallback picture) paints beyond the box.
// Fallback pictures are measured by drawing them on a scratch surface.
void measureReach(std::array<Reach, 256>& reach) {
    std::array<const Glyph*, 256> first{};
    for (const Glyph& glyph : glyphTable()) {
        const Glyph*& slot = first[static_cast<uint8_t>(glyph.key)];
        if (slot == nullptr) slot = &glyph;
    }
    constexpr int32_t kMargin = 2 * kCellHeight;
    Surface scratch;
    allocSurface(scratch, kCellWidth + 2 * kMargin, kCellHeight + 2 * kMargin);
    for (int code = 0; code < 256; ++code) {
        Reach& r = reach[static_cast<size_t>(code)];
        r = Reach{};
        if (code == 0) continue;  // the glyph step draws nothing for NUL
        if (const Glyph* glyph = first[static_cast<size_t>(code)]) {
            r.up = clampReach(-int64_t{glyph->offset});
            r.down = clampReach(int64_t{glyph->offset} + 16 - kCellHeight);
            continue;
        }
        fillRect(scratch, 0, 0, scratch.width - 1, scratch.height - 1, 0);
        drawFallbackChar(scratch, code, kMargin, kMargin, 0x111111, 0x222222);
        for (int32_t y = 0; y < scratch.height; ++y) {
            for (int32_t x = 0; x < scratch.width; ++x) {
                const uint8_t* p = scratch.pixels.data() + 4 * (static_cast<size_t>(x) +
                                   static_cast<size_t>(scratch.height - 1 - y) * static_cast<size_t>(scratch.width));
                if (p[0] == 0) continue;
                r.up = std::max(r.up, kMargin - y);
                r.down = std::max(r.down, y - (kMargin + kCellHeight - 1));
                r.right = std::max(r.right, x - (kMargin + kCellWidth - 1));
            }
        }
    }
}

PixelRect cellExtent(size_t cell, const Reach& reach) {
    int32_t X = static_cast<int32_t>(cell % kGridColumns) * kCellWidth;
    int32_t Y = static_cast<int32_t>(cell / kGridColumns) * kCellHeight;
    return {X, Y - reach.up, X + kCellWidth - 1 + reach.right, Y + kCellHeight - 1 + reach.down};
}

bool overlaps(const PixelRect& a, const PixelRect& b) {
    return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}

void paintGridCell(size_t cell) {
    paintCell(screenGrid().charPlane[cell], screenGrid().attrPlane[cell],
              static_cast<int32_t>(cell % kGridColumns) * kCellWidth,
              static_cast<int32_t>(cell / kGridColumns) * kCellHeight);
}

uint8_t* boxRow(size_t cell, int32_t y) {
    int32_t X = static_cast<int32_t>(cell % kGridColumns) * kCellWidth;
    int32_t Y = static_cast<int32_t>(cell / kGridColumns) * kCellHeight + y;
    return canvasSurface().pixels.data() +
           4 * (static_cast<size_t>(X) + static_cast<size_t>(canvasSurface().height - 1 - Y) * canvasSurface().width);
}

// Paints a cell whose code stays inside its box (painted.reach says so for the font of the
// moment) from its kept block, painting and keeping the block the first time. True when the
// box's pixels changed.
bool paintBoxedCell(size_t cell) {
    constexpr size_t kRowBytes = kCellWidth * 4;
    const uint8_t code = screenGrid().charPlane[cell];
    const CellAttr attr = screenGrid().attrPlane[cell];
    const uint64_t phase = (attr & kAttrUnderline) != 0 ? cell % kGridColumns % 7 + 1 : 0;
    const uint64_t key = uint64_t{attr} << 16 | phase << 8 | code;
    if (blocks.glyphGeneration != glyphGeneration()) {
        forgetCellBlocks();
        blocks.glyphGeneration = glyphGeneration();
    }
    auto found = blocks.slotOf.find(key);
    if (found == blocks.slotOf.end()) {
        painted.saved.resize(CellBlocks::kBytes);
        for (int32_t y = 0; y < kCellHeight; ++y) std::memcpy(&painted.saved[y * kRowBytes], boxRow(cell, y), kRowBytes);
        paintGridCell(cell);
        if (blocks.slotOf.size() >= CellBlocks::kMostBlocks) forgetCellBlocks();
        const size_t slot = blocks.pixels.size();
        blocks.pixels.resize(slot + CellBlocks::kBytes);
        for (int32_t y = 0; y < kCellHeight; ++y) std::memcpy(&blocks.pixels[slot + y * kRowBytes], boxRow(cell, y), kRowBytes);
        blocks.slotOf.emplace(key, slot);
        return std::memcmp(painted.saved.data(), &blocks.pixels[slot], CellBlocks::kBytes) != 0;
    }
    const uint8_t* from = &blocks.pixels[found->second];
    uint8_t* row = boxRow(cell, 0);
    const ptrdiff_t down = -static_cast<ptrdiff_t>(canvasSurface().width) * 4;  // bottom-up memory
    bool changed = false;
    for (int32_t y = 0; y < kCellHeight; ++y, row += down, from += kRowBytes) {
        if (!changed && std::memcmp(row, from, kRowBytes) == 0) continue;
        changed = true;
        std::memcpy(row, from, kRowBytes);
    }
    return changed;
}

// The reference: the whole surface in the background, then every cell in row-major order.
void paintEverything(int32_t columns, int32_t rows) {
    clearToBackground(canvasSurface(), options.theme.background);
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            paintGridCell(static_cast<size_t>(r) * kGridColumns + static_cast<size_t>(c));
        }
    }
}

bool paintedMatches(int32_t columns, int32_t rows) {
    return painted.valid && painted.columns == columns && painted.rows == rows &&
           painted.surfaceGeneration == canvasSurface().generation && painted.glyphGeneration == glyphGeneration();
}

// Painting changed cells alone relies on every cell lying within the surface.
bool surfaceHoldsTheGrid(int32_t columns, int32_t rows) {
    return canvasSurface().width >= columns * kCellWidth && canvasSurface().height >= rows * kCellHeight &&
           canvasSurface().pixels.size() == static_cast<size_t>(canvasSurface().width) * canvasSurface().height * 4;
}

// The part of area outside the grid (a terminal smaller than the picture) is the theme's
// background below whatever cells reach into it.
void clearOutsideGrid(const PixelRect& area, int32_t columns, int32_t rows) {
    const int32_t gridRight = columns * kCellWidth - 1;
    const int32_t gridBottom = rows * kCellHeight - 1;
    if (area.right > gridRight) {
        fillRect(canvasSurface(), std::max(area.left, gridRight + 1), area.top, area.right, area.bottom,
                 options.theme.background);
    }
    if (area.bottom > gridBottom) {
        fillRect(canvasSurface(), area.left, std::max(area.top, gridBottom + 1), area.right, area.bottom,
                 options.theme.background);
    }
}

void rememberEverything(int32_t columns, int32_t rows) {
    painted.valid = true;
    painted.digestsValid = false;
    painted.columns = columns;
    painted.rows = rows;
    painted.surfaceGeneration = canvasSurface().generation;
    painted.glyphGeneration = glyphGeneration();
    painted.chars = screenGrid().charPlane;
    painted.attrs = screenGrid().attrPlane;
    measureReach(painted.reach);
    painted.overflowingCells = 0;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (painted.reach[painted.chars[static_cast<size_t>(r) * kGridColumns + c]].any()) {
                ++painted.overflowingCells;
            }
        }
    }
}

// Loads the font when a visible cell needs it, as painting that cell would.
void loadFontIfNeeded(int32_t columns, int32_t rows) {
    if (glyphsLoaded()) return;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (!paintsWithoutFont(screenGrid().charPlane[static_cast<size_t>(r) * kGridColumns + c])) {
                ensureFont();
                return;
            }
        }
    }
}

void findChangedCells(int32_t columns, int32_t rows) {
    painted.changed.clear();
    for (int32_t r = 0; r < rows; ++r) {
        size_t base = static_cast<size_t>(r) * kGridColumns;
        if (std::memcmp(&screenGrid().charPlane[base], &painted.chars[base], static_cast<size_t>(columns)) == 0 &&
            std::memcmp(&screenGrid().attrPlane[base], &painted.attrs[base], sizeof(CellAttr) * columns) == 0) {
            continue;
        }
        for (size_t cell = base; cell < base + static_cast<size_t>(columns); ++cell) {
            if (screenGrid().charPlane[cell] != painted.chars[cell] || screenGrid().attrPlane[cell] != painted.attrs[cell]) {
                painted.changed.push_back(cell);
            }
        }
    }
}

// Every changed cell stays inside its box, and no painted cell reaches outside its own: each
// changed cell is painted alone. Boxes whose pixels came out the same are not reported.
void paintChangedBoxes() {
    int32_t top = INT32_MAX;
    int32_t bottom = -1;
    for (size_t cell : painted.changed) {
        if (paintBoxedCell(cell)) {
            int32_t Y = static_cast<int32_t>(cell / kGridColumns) * kCellHeight;
            top = std::min(top, Y);
            bottom = std::max(bottom, Y + kCellHeight - 1);
        }
    }
    noteScreenPainted(top, bottom);
}

// Some painting leaves its box: repaint, in row-major order, every cell that can reach the
// pixels being repainted, until no further cell does.
void paintReachingCells(int32_t columns, int32_t rows) {
    Reach most;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            const Reach& reach = painted.reach[screenGrid().charPlane[static_cast<size_t>(r) * kGridColumns + c]];
            most.up = std::max(most.up, reach.up);
            most.down = std::max(most.down, reach.down);
            most.right = std::max(most.right, reach.right);
        }
    }
    const PixelRect surface{0, 0, canvasSurface().width - 1, canvasSurface().height - 1};
    painted.selected.assign(kGridCells, 0);
    painted.pending.clear();
    int32_t top = INT32_MAX;
    int32_t bottom = -1;
    auto select = [&](size_t cell, const Reach& reach) {
        painted.selected[cell] = 1;
        painted.pending.push_back(cellExtent(cell, reach));
    };
    for (size_t cell : painted.changed) {
        select(cell, painted.reach[painted.chars[cell]]);
        select(cell, painted.reach[screenGrid().charPlane[cell]]);
    }
    while (!painted.pending.empty()) {
        PixelRect area = painted.pending.back();
        painted.pending.pop_back();
        if (!overlaps(area, surface)) continue;
        area = {std::max(area.left, 0), std::max(area.top, 0), std::min(area.right, surface.right),
                std::min(area.bottom, surface.bottom)};
        clearOutsideGrid(area, columns, rows);
        top = std::min(top, area.top);
        bottom = std::max(bottom, area.bottom);
        // Cells whose extent can meet the area, by the largest reach on the screen.
        int32_t firstRow = std::max<int32_t>(0, (area.top - (kCellHeight - 1) - most.down) / kCellHeight);
        int32_t lastRow = std::min<int32_t>(rows - 1, (area.bottom + most.up) / kCellHeight);
        int32_t firstColumn = std::max<int32_t>(0, (area.left - (kCellWidth - 1) - most.right) / kCellWidth);
        int32_t lastColumn = std::min<int32_t>(columns - 1, area.right / kCellWidth);
        for (int32_t r = firstRow; r <= lastRow; ++r) {
            for (int32_t c = firstColumn; c <= lastColumn; ++c) {
                size_t cell = static_cast<size_t>(r) * kGridColumns + static_cast<size_t>(c);
                if (painted.selected[cell]) continue;
                const Reach& reach = painted.reach[screenGrid().charPlane[cell]];
                if (overlaps(cellExtent(cell, reach), area)) select(cell, reach);
            }
        }
    }
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            size_t cell = static_cast<size_t>(r) * kGridColumns + static_cast<size_t>(c);
            if (!painted.selected[cell]) continue;
            if (painted.reach[screenGrid().charPlane[cell]].any()) {
                paintGridCell(cell);
            } else {
                paintBoxedCell(cell);
            }
        }
    }
    noteScreenPainted(top, bottom);
}

// ---- Scrolling ----
//
// A program that scrolls sends the whole screen again, a few rows higher or lower. When the
// painted rows turn up elsewhere on the new screen, their pixel rows are moved there and
// counted as painted with those cells, so that only the rows that really are new get painted.
// Moving is exact only while every painted cell stays inside its box.

// A digest of a row's cells, eight bytes at a time; rows with equal digests are taken for equal
// rows only to choose a shift, and the cells are compared before anything is left unpainted.
uint64_t rowDigest(const uint8_t* chars, const CellAttr* attrs, int32_t columns) {
    uint64_t digest = 0x9E3779B97F4A7C15u;
    auto mix = [&](const uint8_t* bytes, size_t count) {
        size_t at = 0;
        for (; at + 8 <= count; at += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + at, 8);
            digest = (digest ^ word) * 0x100000001B3u;
            digest ^= digest >> 29;
        }
        for (; at < count; ++at) digest = (digest ^ bytes[at]) * 0x100000001B3u;
    };
    mix(chars, static_cast<size_t>(columns));
    mix(reinterpret_cast<const uint8_t*>(attrs), sizeof(CellAttr) * static_cast<size_t>(columns));
    return digest;
}

// The shift (new row r shows painted row r + shift) that lets the most rows be moved rather
// than painted; 0 when none beats leaving the rows where they are. now gets the digests of the
// grid's rows.
int32_t findScroll(int32_t columns, int32_t rows, std::array<uint64_t, kGridRows>& now) {
    const ScreenGrid& grid = screenGrid();
    std::array<bool, kGridRows> same{};
    int32_t unchanged = 0;
    for (int32_t r = 0; r < rows; ++r) {
        size_t base = static_cast<size_t>(r) * kGridColumns;
        same[r] = std::memcmp(&grid.charPlane[base], &painted.chars[base], static_cast<size_t>(columns)) == 0 &&
                  std::memcmp(&grid.attrPlane[base], &painted.attrs[base], sizeof(CellAttr) * columns) == 0;
        unchanged += same[r] ? 1 : 0;
    }
    if (!painted.digestsValid) {
        for (int32_t r = 0; r < rows; ++r) {
            size_t base = static_cast<size_t>(r) * kGridColumns;
            painted.digests[r] = rowDigest(&painted.chars[base], &painted.attrs[base], columns);
        }
    }
    const std::array<uint64_t, kGridRows>& before = painted.digests;
    for (int32_t r = 0; r < rows; ++r) {
        size_t base = static_cast<size_t>(r) * kGridColumns;
        now[r] = same[r] ? before[r] : rowDigest(&grid.charPlane[base], &grid.attrPlane[base], columns);
    }
    if (rows - unchanged < 2) return 0;
    int32_t best = 0;
    int32_t bestRows = unchanged + 1;  // moving costs a copy of the pixels: win by two rows
    for (int32_t shift = 1 - rows; shift < rows; ++shift) {
        if (shift == 0) continue;
        int32_t matching = 0;
        for (int32_t r = std::max(0, -shift); r < std::min(rows, rows - shift); ++r) {
            matching += now[r] == before[r + shift] ? 1 : 0;
        }
        if (matching > bestRows) {
            best = shift;
            bestRows = matching;
        }
    }
    return best;
}

// Moves painted rows by shift (row r takes what row r + shift showed), pixels and all; the rows
// nothing moves into keep their pixels and cells.
void moveRows(int32_t shift, int32_t rows) {
    const int32_t first = std::max(0, -shift);  // the first row that receives
    const int32_t count = rows - (shift > 0 ? shift : -shift);
    const size_t pixelRowBytes = static_cast<size_t>(canvasSurface().width) * 4;
    const size_t rowBytes = pixelRowBytes * kCellHeight;
    uint8_t* pixels = canvasSurface().pixels.data();
    const int32_t height = canvasSurface().height;
    // Memory holds the bottom pixel row first: cell row r starts at the memory of its own bottom row.
    auto memoryOf = [&](int32_t row) { return pixels + static_cast<size_t>(height - kCellHeight * (row + 1)) * pixelRowBytes; };
    std::memmove(memoryOf(first + count - 1), memoryOf(first + shift + count - 1), rowBytes * count);
    const size_t cells = static_cast<size_t>(count) * kGridColumns;
    const size_t to = static_cast<size_t>(first) * kGridColumns;
    const size_t from = static_cast<size_t>(first + shift) * kGridColumns;
    std::memmove(&painted.chars[to], &painted.chars[from], cells);
    std::memmove(&painted.attrs[to], &painted.attrs[from], cells * sizeof(CellAttr));
    noteScreenPainted(first * kCellHeight, (first + count) * kCellHeight - 1);
}

void paintChanges(int32_t columns, int32_t rows) {
    std::array<uint64_t, kGridRows> now;
    const bool digested = painted.overflowingCells == 0;
    if (digested) {
        if (int32_t shift = findScroll(columns, rows, now)) moveRows(shift, rows);
    }
    // What follows leaves every painted row as the grid's.
    painted.digests = now;
    painted.digestsValid = digested;
    findChangedCells(columns, rows);
    if (painted.changed.empty()) {
        noteScreenPainted(0, -1);
        return;
    }
    bool reaching = painted.overflowingCells > 0;
    for (size_t cell : painted.changed) reaching = reaching || painted.reach[screenGrid().charPlane[cell]].any();
    if (reaching) {
        paintReachingCells(columns, rows);
    } else {
        paintChangedBoxes();
    }
    for (size_t cell : painted.changed) {
        painted.overflowingCells += (painted.reach[screenGrid().charPlane[cell]].any() ? 1 : 0) -
                                    (painted.reach[painted.chars[cell]].any() ? 1 : 0);
        painted.chars[cell] = screenGrid().charPlane[cell];
        painted.attrs[cell] = screenGrid().attrPlane[cell];
    }
}

}  // namespace

void startRenderer(const RenderOptions& chosen) {
    options = chosen;
    resetOutlinePainter();
    resetFraming();
    paintApart(framesFinished(options));
    if (!options.outlineFont.empty()) {
        std::string error;
        openOutlineFont(options.outlineFont, options.fontSize, options.lineHeight, error);
    }
    surfacesReady = false;
    painted.valid = false;
    forgetCellBlocks();
}

const RenderOptions& renderOptions() { return options; }

bool ensureFont() {
    if (!glyphsLoaded() && !fontMissing) fontMissing = !loadGlyphs(options.fontPath);
    return !fontMissing;
}

bool renderScreen() {
    // Sizes beyond the grid's storage are cut to it, so no cell outside it is ever read.
    int32_t columns = std::clamp(terminalOptions().columns, 0, kGridColumns);
    int32_t rows = std::clamp(terminalOptions().rows, 0, kGridRows);
    if (!surfacesReady) {
        int32_t pictureColumns = options.pictureColumns > 0 ? std::min(options.pictureColumns, kGridColumns) : columns;
        int32_t pictureRows = options.pictureRows > 0 ? std::min(options.pictureRows, kGridRows) : rows;
        allocSurface(canvasSurface(), pictureColumns * kCellWidth, pictureRows * kCellHeight);
        // doubleSurface gets its size only: the doubled BMP writer makes and overwrites all of
        // its pixels before anything reads them, so holding them from here on would only cost.
        doubleSurface().pixels.clear();
        doubleSurface().width = pictureColumns * kCellWidth * 2;
        doubleSurface().height = pictureRows * kCellHeight * 2;
        surfacesReady = true;
        painted.valid = false;
    }
    // A terminal larger than the picture is cut at its edges.
    columns = std::min(columns, canvasSurface().width / kCellWidth);
    rows = std::min(rows, canvasSurface().height / kCellHeight);
    if (options.plainPaths || !surfaceHoldsTheGrid(columns, rows)) {
        paintEverything(columns, rows);
        painted.valid = false;
        noteScreenReplaced();
        return !fontMissing;
    }
    loadFontIfNeeded(columns, rows);
    if (!paintedMatches(columns, rows)) {
        paintEverything(columns, rows);
        rememberEverything(columns, rows);
        noteScreenReplaced();
        return !fontMissing;
    }
    paintChanges(columns, rows);
    return !fontMissing;
}

bool paintScreen() {
    bool painted = !options.outlineFont.empty()                       ? paintOutlineScreen()
                   : terminalOptions().emulation == Emulation::xterm ? renderXtermScreen()
                                                                       : renderScreen();
    if (painted && framesFinished(options)) finishFrame();
    return painted;
}

void resetRenderer() {
    startRenderer(RenderOptions{});
    fontMissing = false;
    resetGlyphs();
    closeOutlineFont();
}
