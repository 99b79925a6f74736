#include "render/outline_painter.h"

#include <climits>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "render/box_drawing.h"
#include "render/outline_font.h"
#include "render/painter_state.h"
#include "render/renderer.h"
#include "render/theme.h"
#include "render/xterm_renderer.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

namespace {

constexpr size_t kMostCachedBytes = size_t{64} << 20;

// sRGB to linear light, and back through a finer table.
const std::array<float, 256>& linearTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> values{};
        for (int i = 0; i < 256; ++i) {
            double c = i / 255.0;
            values[i] = static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        return values;
    }();
    return table;
}

constexpr int kEncodeSteps = 4096;

const std::array<uint8_t, kEncodeSteps + 1>& encodeTable() {
    static const std::array<uint8_t, kEncodeSteps + 1> table = [] {
        std::array<uint8_t, kEncodeSteps + 1> values{};
        for (int i = 0; i <= kEncodeSteps; ++i) {
            double l = static_cast<double>(i) / kEncodeSteps;
            double c = l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
            values[i] = static_cast<uint8_t>(std::lround(std::clamp(c, 0.0, 1.0) * 255.0));
        }
        return values;
    }();
    return table;
}

uint8_t* pixel(Surface& surface, int32_t x, int32_t y) { return pixelRow(surface, y) + 4 * static_cast<size_t>(x); }

}  // namespace

void blendGlyph(Surface& tile, const OutlineGlyph& glyph, int32_t left, int32_t top, int32_t boxWidth, int32_t boxHeight,
                Colour foreground) {
    const uint8_t fg[3] = {static_cast<uint8_t>(foreground), static_cast<uint8_t>(foreground >> 8),
                           static_cast<uint8_t>(foreground >> 16)};
    for (int32_t y = 0; y < glyph.height; ++y) {
        int32_t ty = top + glyph.top + y;
        if (glyph.top + y < 0 || glyph.top + y >= boxHeight || ty < 0 || ty >= tile.height) continue;
        for (int32_t x = 0; x < glyph.width; ++x) {
            int32_t tx = left + glyph.left + x;
            if (glyph.left + x < 0 || glyph.left + x >= boxWidth || tx < 0 || tx >= tile.width) continue;
            if (glyph.colour) {
                const uint8_t* source = &glyph.pixels[(static_cast<size_t>(y) * glyph.width + x) * 4];
                uint8_t* out = pixel(tile, tx, ty);
                for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(source[c] + out[c] * (255 - source[3]) / 255);
                continue;
            }
            uint8_t coverage = glyph.pixels[static_cast<size_t>(y) * glyph.width + x];
            if (coverage == 0) continue;
            uint8_t* out = pixel(tile, tx, ty);
            for (int c = 0; c < 3; ++c) out[c] = blendChannel(out[c], fg[c], coverage);
        }
    }
}

namespace {

const CachedOutlineGlyph& cachedGlyph(PainterState& p, uint32_t codePoint, uint8_t style, uint8_t span) {
    OutlinePainted& painter = p.outline;
    OutlineGlyphKey key{codePoint, style, span};
    auto found = painter.glyphs.find(key);
    if (found != painter.glyphs.end()) return found->second;
    CachedOutlineGlyph& entry = painter.glyphs[key];
    entry.found = p.outlineFont.drawGlyph(codePoint, style, span, entry.glyph);
    painter.cachedBytes += entry.glyph.pixels.size() + sizeof(CachedOutlineGlyph);
    return entry;
}

void makeTile(PainterState& p, Surface& tile, const OutlineCell& cell) {
    const OutlineMetrics& m = p.outlineFont.metrics();
    int32_t width = std::max<int32_t>(1, cell.span) * m.cellWidth;
    allocSurface(tile, width, m.cellHeight);
    fillRect(tile, 0, 0, width - 1, m.cellHeight - 1, cell.background);
    uint32_t cp = cell.codePoint;
    if (drawBoxDrawingScaled(tile, cp, 0, 0, m.cellWidth, m.cellHeight, cell.foreground)) {
        // strokes and fills, joined across cells
    } else if (cp > 0x20 && !(cp >= 0x7F && cp < 0xA0)) {
        const CachedOutlineGlyph& drawn = cachedGlyph(p, cp, cell.style, std::max<uint8_t>(1, cell.span));
        if (drawn.found) {
            blendGlyph(tile, drawn.glyph, 0, 0, tile.width, tile.height, cell.foreground);
        } else {
            // A character no font has: an empty box.
            int32_t inset = std::max(1, m.cellWidth / 8);
            int32_t stroke = boxLineWidth(m.cellHeight);
            for (int32_t i = 0; i < stroke; ++i) {
                outlineRect(tile, inset + i, 2 * inset + i, width - 1 - inset - i, m.cellHeight - 1 - 2 * inset - i,
                            cell.foreground);
            }
        }
    }
    if (cell.underline) fillRect(tile, 0, m.underlineTop, width - 1, m.underlineTop + m.underlineRows - 1, cell.foreground);
    if (cell.strike) fillRect(tile, 0, m.strikeTop, width - 1, m.strikeTop + m.strikeRows - 1, cell.foreground);
}

// The basic emulation's codes, as the characters they stand for.
uint32_t basicCharacter(uint8_t code) {
    static constexpr std::array<uint16_t, 32> kControlPictures{
        0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9,
        0x2642, 0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7,
        0x25AC, 0x21A8, 0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC};
    if (code < 0x20) return kControlPictures[code];
    if (code == 0x7F) return 0x2302;
    if (code < 0x80) return code;
    return codePage437Character(code);
}

// afresh: every row is collected again, as the plain way does.
void collectBasicCells(OutlinePainted& painter, const ScreenGrid& grid, int32_t columns, int32_t rows,
                       const Theme& theme, bool afresh) {
    const auto count = static_cast<size_t>(columns) * static_cast<size_t>(rows);
    // Each cell is what the collected code and attribute at its index make, whatever the
    // screen's shape was: a row whose codes and attributes are those collected keeps its cells.
    const bool known = !afresh && painter.collectedChars.size() == count;
    painter.collectedChars.resize(count);
    painter.collectedAttrs.resize(count);
    for (int32_t r = 0; r < rows; ++r) {
        const size_t base = static_cast<size_t>(r) * kGridColumns;
        const size_t at = static_cast<size_t>(r) * static_cast<size_t>(columns);
        uint8_t* chars = &painter.collectedChars[at];
        CellAttr* attrs = &painter.collectedAttrs[at];
        if (known && std::memcmp(chars, &grid.charPlane[base], static_cast<size_t>(columns)) == 0 &&
            std::memcmp(attrs, &grid.attrPlane[base], sizeof(CellAttr) * static_cast<size_t>(columns)) == 0) {
            continue;
        }
        std::memcpy(chars, &grid.charPlane[base], static_cast<size_t>(columns));
        std::memcpy(attrs, &grid.attrPlane[base], sizeof(CellAttr) * static_cast<size_t>(columns));
        for (int32_t c = 0; c < columns; ++c) {
            CellAttr attr = attrs[c];
            CellPaint paint = basicCellPaint(theme, attr);
            OutlineCell& cell = painter.cells[at + static_cast<size_t>(c)];
            cell = OutlineCell{};
            cell.codePoint = basicCharacter(chars[c]);
            cell.foreground = paint.foreground;
            cell.background = paint.background;
            cell.style = (attr & kAttrBold) ? kStyleBold : 0;
            cell.underline = (attr & kAttrUnderline) != 0;
        }
    }
}

// afresh: every row is collected again, as the plain way does. A cell's span depends on the
// cells beside it, so a row keeps its cells only at the width it was collected at.
void collectXtermCells(OutlinePainted& painter, const XtermScreen& screen, const Theme& theme, bool afresh) {
    const auto columns = static_cast<size_t>(std::max(screen.columns, 0));
    const size_t count = columns * static_cast<size_t>(std::max(screen.rows, 0));
    const bool known = !afresh && painter.collectedColumns == screen.columns && painter.collectedXterm.size() == count;
    painter.collectedColumns = screen.columns;
    painter.collectedXterm.resize(count);
    for (int32_t r = 0; r < screen.rows; ++r) {
        const auto row = screen.cells.begin() + static_cast<ptrdiff_t>(r * columns);
        const auto collected = painter.collectedXterm.begin() + static_cast<ptrdiff_t>(r * columns);
        if (known && std::equal(row, row + static_cast<ptrdiff_t>(columns), collected)) continue;
        std::copy(row, row + static_cast<ptrdiff_t>(columns), collected);
        for (int32_t c = 0; c < screen.columns; ++c) {
            const XtermCell& source = screen.at(r, c);
            CellPaint paint = xtermCellPaint(theme, source);
            OutlineCell& cell = painter.cells[static_cast<size_t>(r) * screen.columns + c];
            cell = OutlineCell{};
            bool rightHalf = source.width == 0 && c > 0 && screen.at(r, c - 1).width == 2;
            cell.span = rightHalf ? 0 : (source.width == 2 && c + 1 < screen.columns) ? 2 : 1;
            cell.codePoint = rightHalf ? 0 : source.codePoint;
            cell.foreground = paint.foreground;
            cell.background = paint.background;
            cell.style = static_cast<uint8_t>((source.bold ? kStyleBold : 0) | (source.italic ? kStyleItalic : 0));
            cell.underline = source.underline;
            cell.strike = source.strike;
        }
    }
}

// Which of the screen's rows differ from the painted ones, row by row as bytes (a cell has no
// padding).
void markChangedRows(OutlinePainted& painter, int32_t rows) {
    static_assert(std::has_unique_object_representations_v<OutlineCell>);
    const size_t rowBytes = static_cast<size_t>(painter.columns) * sizeof(OutlineCell);
    painter.changedRows.resize(static_cast<size_t>(rows));
    for (int32_t row = 0; row < rows; ++row) {
        const size_t at = static_cast<size_t>(row) * static_cast<size_t>(painter.columns);
        painter.changedRows[static_cast<size_t>(row)] = std::memcmp(&painter.cells[at], &painter.painted[at], rowBytes) != 0;
    }
}

// A digest of a row of cells, to choose a scroll's shift; the cells themselves decide what is
// painted.
uint64_t rowDigest(const std::vector<OutlineCell>& cells, int32_t columns, int32_t row) {
    uint64_t digest = 0x9E3779B97F4A7C15u;
    const auto first = static_cast<size_t>(row) * static_cast<size_t>(columns);
    for (size_t at = first; at < first + static_cast<size_t>(columns); ++at) {
        const OutlineCell& cell = cells[at];
        for (uint64_t value : {uint64_t{cell.codePoint} << 32 | static_cast<uint32_t>(cell.foreground),
                               uint64_t{static_cast<uint32_t>(cell.background)} << 32 | uint64_t{cell.span} << 24 |
                                   uint64_t{cell.style} << 16 | uint64_t{cell.underline} << 8 | uint64_t{cell.strike}}) {
            digest = (digest ^ value) * 0x100000001B3u;
            digest ^= digest >> 29;
        }
    }
    return digest;
}

// A screen that scrolled shows painted rows a few rows higher or lower. When its rows fill the
// surface (but for the row that makes its height even), the surface's ring of pixel rows turns by
// the shift that leaves the most rows as they are to be shown, and the painted cells turn with
// it. The rows that wrapped around are painted again whole, as that last row moved them out of
// line with their cells, and it is cleared to the background again. True when it turned.
int32_t turnScrolledRows(OutlinePainted& painter, Surface& surface, int32_t rows, int32_t cellHeight, Colour background) {
    const int32_t columns = painter.columns;
    const int32_t cellsHeight = rows * cellHeight;
    if (cellsHeight > surface.height || surface.height - cellsHeight > 1) return 0;
    auto rowOf = [&](auto& cells, int32_t row) { return cells.begin() + static_cast<ptrdiff_t>(row) * columns; };
    const int32_t best = findShift(
        painter.digests, painter.changedRows, [&](int32_t row) { return rowDigest(painter.cells, columns, row); },
        [&](int32_t row) { return rowDigest(painter.painted, columns, row); });
    if (best == 0) return 0;
    turnRows(surface, best * cellHeight);
    const int32_t top = (best % rows + rows) % rows;
    std::rotate(painter.painted.begin(), rowOf(painter.painted, top), rowOf(painter.painted, rows));
    turnDigests(painter.digests, top);
    if (surface.height > cellsHeight) {
        // No cell has span 255: the wrapped rows' cells all differ from what is painted there.
        const int32_t first = best > 0 ? rows - best : 0;
        std::fill(rowOf(painter.painted, first), rowOf(painter.painted, first + std::abs(best)), OutlineCell{.span = 255});
        for (int32_t row = first; row < first + std::abs(best); ++row) painter.digests.forget(static_cast<size_t>(row));
        fillRect(surface, 0, cellsHeight, surface.width - 1, surface.height - 1, background);
    }
    return best;
}

}  // namespace

uint8_t blendChannel(uint8_t background, uint8_t foreground, uint8_t coverage) {
    const std::array<float, 256>& linear = linearTable();
    float a = coverage / 255.0f;
    float mixed = linear[background] * (1.0f - a) + linear[foreground] * a;
    return encodeTable()[static_cast<size_t>(std::lround(mixed * kEncodeSteps))];
}

float linearChannel(uint8_t channel) { return linearTable()[channel]; }

int32_t evenSide(int32_t pixels) { return pixels + (pixels & 1); }

void paintOutlineCell(PainterState& p, Surface& surface, const OutlineCell& cell, int32_t x, int32_t y) {
    OutlinePainted& painter = p.outline;
    auto found = painter.tiles.find(cell);
    if (found == painter.tiles.end()) {
        if (painter.cachedBytes > kMostCachedBytes) {
            painter.tiles.clear();
            painter.glyphs.clear();
            painter.cachedBytes = 0;
        }
        Surface tile;
        makeTile(p, tile, cell);
        painter.cachedBytes += tile.pixels.size() + sizeof(Surface) + sizeof(OutlineCell);
        found = painter.tiles.emplace(cell, std::move(tile)).first;
    }
    const Surface& tile = found->second;
    int32_t width = std::min(tile.width, surface.width - x);
    if (width <= 0 || x < 0) return;
    for (int32_t row = 0; row < tile.height; ++row) {
        if (y + row < 0 || y + row >= surface.height) continue;
        std::memcpy(pixel(surface, x, y + row), pixelRow(tile, row), static_cast<size_t>(width) * 4);
    }
}

bool paintOutlineScreen(PainterState& p, const ScreenToPaint& toPaint) {
    if (!p.outlineFont.isOpen()) return false;
    OutlinePainted& painter = p.outline;
    const RenderOptions& options = p.options;
    const Theme& theme = options.theme;
    const OutlineMetrics& m = p.outlineFont.metrics();
    int32_t columns = 0;
    int32_t rows = 0;
    const XtermScreen* screen = toPaint.xterm;
    if (screen != nullptr) {
        columns = screen->columns;
        rows = screen->rows;
    } else {
        columns = std::clamp(toPaint.grid->columns, 0, kGridColumns);
        rows = std::clamp(toPaint.grid->rows, 0, kGridRows);
    }
    painter.cells.resize(static_cast<size_t>(columns) * rows);
    if (screen != nullptr) {
        painter.collectedChars.clear();
        collectXtermCells(painter, *screen, theme, options.plainPaths);
    } else {
        painter.collectedXterm.clear();
        collectBasicCells(painter, *toPaint.grid, columns, rows, theme, options.plainPaths);
    }

    // The picture's own size, or the screen's; a screen larger than the picture is cut at its
    // edges, a smaller one leaves the rest in the theme's background.
    const int32_t pictureColumns =
        options.pictureColumns > 0 ? std::min(options.pictureColumns, kGridColumns) : columns;
    const int32_t pictureRows = options.pictureRows > 0 ? std::min(options.pictureRows, kGridRows) : rows;
    int32_t width = evenSide(pictureColumns * m.cellWidth);
    int32_t height = evenSide(pictureRows * m.cellHeight);
    Surface& surface = p.canvas();
    bool repaintAll = options.plainPaths || painter.columns != columns || painter.rows != rows ||
                      painter.painted.size() != painter.cells.size();
    if (surface.width != width || surface.height != height ||
        surface.pixels.size() != static_cast<size_t>(width) * height * 4) {
        allocSurface(surface, width, height);
        repaintAll = true;
    }
    repaintAll = repaintAll || surface.generation != painter.generation;
    if (repaintAll) {
        fillRect(surface, 0, 0, width - 1, height - 1, theme.background);
        painter.columns = columns;
        painter.rows = rows;
        painter.generation = surface.generation;
        painter.painted.assign(painter.cells.size(), OutlineCell{});
        painter.digests.reset(static_cast<size_t>(rows));
    }
    if (!repaintAll) markChangedRows(painter, rows);
    const int32_t turnedBy =
        !repaintAll && rows == pictureRows ? turnScrolledRows(painter, surface, rows, m.cellHeight, theme.background) : 0;
    if (turnedBy != 0) {
        p.changes.noteMoved(turnedBy * m.cellHeight, 0, height - 1);
        p.changes.notePainted(rows * m.cellHeight, height - 1);  // the strip below the cells, filled again
        markChangedRows(painter, rows);
    }
    for (int32_t r = 0; r < std::min(rows, pictureRows); ++r) {
        if (!repaintAll && !painter.changedRows[static_cast<size_t>(r)]) continue;
        for (int32_t c = 0; c < std::min(columns, pictureColumns); ++c) {
            size_t index = static_cast<size_t>(r) * columns + c;
            const OutlineCell& cell = painter.cells[index];
            if (!repaintAll && cell == painter.painted[index]) continue;
            painter.painted[index] = cell;
            painter.digests.forget(static_cast<size_t>(r));
            if (cell.span == 0) continue;
            paintOutlineCell(p, surface, cell, c * m.cellWidth, r * m.cellHeight);
            p.changes.notePainted(r * m.cellHeight, (r + 1) * m.cellHeight - 1);
        }
    }
    // The rows painted, and a turn, are reported as they happen; a painting of none says so.
    repaintAll ? p.changes.noteReplaced() : p.changes.notePainted(0, -1);
    return true;
}
