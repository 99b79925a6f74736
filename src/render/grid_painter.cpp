#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "render/fallback_font.h"
#include "render/glyph_font.h"
#include "render/painter_state.h"
#include "render/renderer.h"

namespace {

constexpr uint8_t kCodeDot = 249;
constexpr uint8_t kCodeSquare = 254;

struct CellColours {
    Colour foreground;
    Colour background;
};

CellColours cellColours(PainterState& p, CellAttr attr) {
    CellPaint paint = basicCellPaint(p.options.theme, attr);
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
bool drawBoxStroke(PainterState& p, uint8_t code, int32_t X, int32_t Y, Colour colour) {
    int32_t midX = X + 5;
    int32_t midY = Y + 10;
    auto h = [&](int32_t x0, int32_t x1) { drawHLine(p.canvas(), x0, x1, midY, colour, false); };
    auto v = [&](int32_t y0, int32_t y1) { drawVLine(p.canvas(), midX, y0, y1, colour, false); };
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

void paintCell(PainterState& p, uint8_t code, CellAttr attr, int32_t X, int32_t Y) {
    CellColours colours = cellColours(p, attr);
    fillRect(p.canvas(), X, Y, X + kCellWidth - 1, Y + kCellHeight - 1, colours.background);

    bool glyphStep = true;
    if (drawBoxStroke(p, code, X, Y, colours.foreground)) {
        glyphStep = false;
    } else if (code == kCodeDot) {
        outlineRect(p.canvas(), X + 4, Y + 9, X + 5, Y + 10, colours.foreground);
        glyphStep = false;
    } else if (code == kCodeSquare) {
        // A font glyph for this code paints over the square.
        fillRect(p.canvas(), X + 3, Y + 8, X + 6, Y + 11, colours.foreground);
    }

    if (glyphStep) {
        // The font is loaded on the first cell that could need it, even a NUL cell.
        ensureFont(p);
        if (code != 0) drawGlyph(p.glyphs, p.canvas(), code, X, Y, colours.foreground, colours.background);
    }

    if (attr & kAttrUnderline) {
        drawHLine(p.canvas(), X + 1, X + 8, Y + kCellHeight - 1, colours.foreground, true);
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

void forgetCellBlocks(CellBlocks& blocks) {
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
void measureReach(PainterState& p, std::array<Reach, 256>& reach) {
    std::array<const Glyph*, 256> first{};
    for (const Glyph& glyph : p.glyphs.glyphs) {
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

void paintGridCell(PainterState& p, const ScreenGrid& grid, size_t cell) {
    paintCell(p, grid.charPlane[cell], grid.attrPlane[cell],
              static_cast<int32_t>(cell % kGridColumns) * kCellWidth,
              static_cast<int32_t>(cell / kGridColumns) * kCellHeight);
}

uint8_t* boxRow(PainterState& p, size_t cell, int32_t y) {
    int32_t X = static_cast<int32_t>(cell % kGridColumns) * kCellWidth;
    int32_t Y = static_cast<int32_t>(cell / kGridColumns) * kCellHeight + y;
    return pixelRow(p.canvas(), Y) + 4 * static_cast<size_t>(X);
}

// Paints a cell whose code stays inside its box (p.grid.reach says so for the font of the
// moment) from its kept block, painting and keeping the block the first time. True when the
// box's pixels changed.
bool paintBoxedCell(PainterState& p, const ScreenGrid& grid, size_t cell) {
    constexpr size_t kRowBytes = kCellWidth * 4;
    const uint8_t code = grid.charPlane[cell];
    const CellAttr attr = grid.attrPlane[cell];
    const uint64_t phase = (attr & kAttrUnderline) != 0 ? cell % kGridColumns % 7 + 1 : 0;
    const uint64_t key = uint64_t{attr} << 16 | phase << 8 | code;
    if (p.blocks.glyphGeneration != p.glyphs.generation) {
        forgetCellBlocks(p.blocks);
        p.blocks.glyphGeneration = p.glyphs.generation;
    }
    auto found = p.blocks.slotOf.find(key);
    if (found == p.blocks.slotOf.end()) {
        p.grid.saved.resize(CellBlocks::kBytes);
        for (int32_t y = 0; y < kCellHeight; ++y) std::memcpy(&p.grid.saved[y * kRowBytes], boxRow(p, cell, y), kRowBytes);
        paintGridCell(p, grid, cell);
        if (p.blocks.slotOf.size() >= CellBlocks::kMostBlocks) forgetCellBlocks(p.blocks);
        const size_t slot = p.blocks.pixels.size();
        p.blocks.pixels.resize(slot + CellBlocks::kBytes);
        for (int32_t y = 0; y < kCellHeight; ++y) std::memcpy(&p.blocks.pixels[slot + y * kRowBytes], boxRow(p, cell, y), kRowBytes);
        p.blocks.slotOf.emplace(key, slot);
        return std::memcmp(p.grid.saved.data(), &p.blocks.pixels[slot], CellBlocks::kBytes) != 0;
    }
    const uint8_t* from = &p.blocks.pixels[found->second];
    // The box's rows lie one under another in memory unless the ring's seam runs through it.
    uint8_t* row = boxRow(p, cell, 0);
    const ptrdiff_t down = -static_cast<ptrdiff_t>(p.canvas().width) * 4;  // bottom-up memory
    const int32_t Y = static_cast<int32_t>(cell / kGridColumns) * kCellHeight;
    const bool together = memoryRowOf(p.canvas(), Y) == memoryRowOf(p.canvas(), Y + kCellHeight - 1) + kCellHeight - 1;
    bool changed = false;
    for (int32_t y = 0; y < kCellHeight; ++y, row += down, from += kRowBytes) {
        if (!together) row = boxRow(p, cell, y);
        if (!changed && std::memcmp(row, from, kRowBytes) == 0) continue;
        changed = true;
        std::memcpy(row, from, kRowBytes);
    }
    return changed;
}

// The reference: the whole surface in the background, then every cell in row-major order.
void paintEverything(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows) {
    clearToBackground(p.canvas(), p.options.theme.background);
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            paintGridCell(p, grid, static_cast<size_t>(r) * kGridColumns + static_cast<size_t>(c));
        }
    }
}

bool paintedMatches(PainterState& p, int32_t columns, int32_t rows) {
    return p.grid.valid && p.grid.columns == columns && p.grid.rows == rows &&
           p.grid.surfaceGeneration == p.canvas().generation && p.grid.glyphGeneration == p.glyphs.generation;
}

// Painting changed cells alone relies on every cell lying within the surface.
bool surfaceHoldsTheGrid(PainterState& p, int32_t columns, int32_t rows) {
    return p.canvas().width >= columns * kCellWidth && p.canvas().height >= rows * kCellHeight &&
           p.canvas().pixels.size() == static_cast<size_t>(p.canvas().width) * p.canvas().height * 4;
}

// The part of area outside the grid (a terminal smaller than the picture) is the theme's
// background below whatever cells reach into it.
void clearOutsideGrid(PainterState& p, const PixelRect& area, int32_t columns, int32_t rows) {
    const int32_t gridRight = columns * kCellWidth - 1;
    const int32_t gridBottom = rows * kCellHeight - 1;
    if (area.right > gridRight) {
        fillRect(p.canvas(), std::max(area.left, gridRight + 1), area.top, area.right, area.bottom,
                 p.options.theme.background);
    }
    if (area.bottom > gridBottom) {
        fillRect(p.canvas(), area.left, std::max(area.top, gridBottom + 1), area.right, area.bottom,
                 p.options.theme.background);
    }
}

void rememberEverything(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows) {
    p.grid.valid = true;
    p.grid.digestsValid = false;
    p.grid.columns = columns;
    p.grid.rows = rows;
    p.grid.surfaceGeneration = p.canvas().generation;
    p.grid.glyphGeneration = p.glyphs.generation;
    p.grid.chars = grid.charPlane;
    p.grid.attrs = grid.attrPlane;
    measureReach(p, p.grid.reach);
    p.grid.overflowingCells = 0;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (p.grid.reach[p.grid.chars[static_cast<size_t>(r) * kGridColumns + c]].any()) {
                ++p.grid.overflowingCells;
            }
        }
    }
}

// Loads the font when a visible cell needs it, as painting that cell would.
void loadFontIfNeeded(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows) {
    if (p.glyphs.loaded) return;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (!paintsWithoutFont(grid.charPlane[static_cast<size_t>(r) * kGridColumns + c])) {
                ensureFont(p);
                return;
            }
        }
    }
}

void findChangedCells(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows) {
    p.grid.changed.clear();
    for (int32_t r = 0; r < rows; ++r) {
        size_t base = static_cast<size_t>(r) * kGridColumns;
        if (std::memcmp(&grid.charPlane[base], &p.grid.chars[base], static_cast<size_t>(columns)) == 0 &&
            std::memcmp(&grid.attrPlane[base], &p.grid.attrs[base], sizeof(CellAttr) * columns) == 0) {
            continue;
        }
        for (size_t cell = base; cell < base + static_cast<size_t>(columns); ++cell) {
            if (grid.charPlane[cell] != p.grid.chars[cell] || grid.attrPlane[cell] != p.grid.attrs[cell]) {
                p.grid.changed.push_back(cell);
            }
        }
    }
}

// Every changed cell stays inside its box, and no painted cell reaches outside its own: each
// changed cell is painted alone. Boxes whose pixels came out the same are not reported; the rows
// of each painted one are, so that rows between two painted far apart count as unchanged.
void paintChangedBoxes(PainterState& p, const ScreenGrid& grid) {
    bool any = false;
    for (size_t cell : p.grid.changed) {
        if (paintBoxedCell(p, grid, cell)) {
            int32_t Y = static_cast<int32_t>(cell / kGridColumns) * kCellHeight;
            p.changes.notePainted(Y, Y + kCellHeight - 1);
            any = true;
        }
    }
    if (!any) p.changes.notePainted(0, -1);
}

// Some painting leaves its box: repaint, in row-major order, every cell that can reach the
// pixels being repainted, until no further cell does.
void paintReachingCells(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows) {
    Reach most;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            const Reach& reach = p.grid.reach[grid.charPlane[static_cast<size_t>(r) * kGridColumns + c]];
            most.up = std::max(most.up, reach.up);
            most.down = std::max(most.down, reach.down);
            most.right = std::max(most.right, reach.right);
        }
    }
    const PixelRect surface{0, 0, p.canvas().width - 1, p.canvas().height - 1};
    p.grid.selected.assign(kGridCells, 0);
    p.grid.pending.clear();
    int32_t top = INT32_MAX;
    int32_t bottom = -1;
    auto select = [&](size_t cell, const Reach& reach) {
        p.grid.selected[cell] = 1;
        p.grid.pending.push_back(cellExtent(cell, reach));
    };
    for (size_t cell : p.grid.changed) {
        select(cell, p.grid.reach[p.grid.chars[cell]]);
        select(cell, p.grid.reach[grid.charPlane[cell]]);
    }
    while (!p.grid.pending.empty()) {
        PixelRect area = p.grid.pending.back();
        p.grid.pending.pop_back();
        if (!overlaps(area, surface)) continue;
        area = {std::max(area.left, 0), std::max(area.top, 0), std::min(area.right, surface.right),
                std::min(area.bottom, surface.bottom)};
        clearOutsideGrid(p, area, columns, rows);
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
                if (p.grid.selected[cell]) continue;
                const Reach& reach = p.grid.reach[grid.charPlane[cell]];
                if (overlaps(cellExtent(cell, reach), area)) select(cell, reach);
            }
        }
    }
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            size_t cell = static_cast<size_t>(r) * kGridColumns + static_cast<size_t>(c);
            if (!p.grid.selected[cell]) continue;
            if (p.grid.reach[grid.charPlane[cell]].any()) {
                paintGridCell(p, grid, cell);
            } else {
                paintBoxedCell(p, grid, cell);
            }
        }
    }
    p.changes.notePainted(top, bottom);
}

void paintChanges(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows) {
    std::array<uint64_t, kGridRows> now;
    const bool digested = p.grid.overflowingCells == 0;
    if (digested) {
        if (int32_t shift = findScroll(p, grid, columns, rows, now)) moveRows(p, shift, rows);
    }
    // What follows leaves every painted row as the grid's.
    p.grid.digests = now;
    p.grid.digestsValid = digested;
    findChangedCells(p, grid, columns, rows);
    if (p.grid.changed.empty()) {
        p.changes.notePainted(0, -1);
        return;
    }
    bool reaching = p.grid.overflowingCells > 0;
    for (size_t cell : p.grid.changed) reaching = reaching || p.grid.reach[grid.charPlane[cell]].any();
    if (reaching) {
        paintReachingCells(p, grid, columns, rows);
    } else {
        paintChangedBoxes(p, grid);
    }
    for (size_t cell : p.grid.changed) {
        p.grid.overflowingCells += (p.grid.reach[grid.charPlane[cell]].any() ? 1 : 0) -
                                    (p.grid.reach[p.grid.chars[cell]].any() ? 1 : 0);
        p.grid.chars[cell] = grid.charPlane[cell];
        p.grid.attrs[cell] = grid.attrPlane[cell];
    }
}

}  // namespace

bool paintGrid(PainterState& p, const ScreenGrid& grid) {
    // Sizes beyond the grid's storage are cut to it, so no cell outside it is ever read.
    int32_t columns = std::clamp(grid.columns, 0, kGridColumns);
    int32_t rows = std::clamp(grid.rows, 0, kGridRows);
    if (!p.surfacesReady) {
        int32_t pictureColumns = p.options.pictureColumns > 0 ? std::min(p.options.pictureColumns, kGridColumns) : columns;
        int32_t pictureRows = p.options.pictureRows > 0 ? std::min(p.options.pictureRows, kGridRows) : rows;
        allocSurface(p.canvas(), pictureColumns * kCellWidth, pictureRows * kCellHeight);
        p.surfacesReady = true;
        p.grid.valid = false;
    }
    // A terminal larger than the picture is cut at its edges.
    columns = std::min(columns, p.canvas().width / kCellWidth);
    rows = std::min(rows, p.canvas().height / kCellHeight);
    if (p.options.plainPaths || !surfaceHoldsTheGrid(p, columns, rows)) {
        paintEverything(p, grid, columns, rows);
        p.grid.valid = false;
        p.changes.noteReplaced();
        return !p.fontMissing;
    }
    loadFontIfNeeded(p, grid, columns, rows);
    if (!paintedMatches(p, columns, rows)) {
        paintEverything(p, grid, columns, rows);
        rememberEverything(p, grid, columns, rows);
        p.changes.noteReplaced();
        return !p.fontMissing;
    }
    paintChanges(p, grid, columns, rows);
    return !p.fontMissing;
}

