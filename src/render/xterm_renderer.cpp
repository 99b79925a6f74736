#include "render/xterm_renderer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "platform/gif_palette.h"
#include "render/box_drawing.h"
#include "render/fallback_font.h"
#include "render/framing.h"
#include "render/glyph_font.h"
#include "render/outline_font.h"
#include "render/outline_painter.h"
#include "render/painter_state.h"
#include "render/renderer.h"
#include "render/theme.h"
#include "render/unicode_font.h"
#include "terminal/xterm_emulation.h"

namespace {

constexpr int32_t kGlyphRows = 16;  // rows of a font.txt glyph

// Code page 437's upper half, the meaning of font.txt keys 128-255 (the codes the default
// renderer draws them for: 176 is the light shade, 179-218 the box-drawing shapes).
constexpr std::array<uint16_t, 128> kCodePage437{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

struct CellColours {
    Colour foreground;
    Colour background;
};

CellColours cellColours(const PainterState& p, const XtermCell& cell) {
    CellPaint paint = xtermCellPaint(p.options.theme, cell);
    return {paint.foreground, paint.background};
}

void refreshFontIndex(PainterState& p) {
    PaintedXterm& painted = p.xterm;
    const GlyphTable& table = p.glyphs.glyphs;
    painted.fontGeneration = p.glyphs.generation;
    painted.hasKey.fill(false);
    painted.glyphsLeaveCells = false;
    for (const Glyph& glyph : table) {
        painted.hasKey[static_cast<uint8_t>(glyph.key)] = true;
        if (glyph.offset < 0 || glyph.offset > kCellHeight - kGlyphRows) painted.glyphsLeaveCells = true;
    }
    painted.asciiInFont =
        std::all_of(painted.hasKey.begin() + 0x21, painted.hasKey.begin() + 0x7F, [](bool key) { return key; });
}

// The font.txt key that stands for a code point, or -1.
int32_t fontTextKey(uint32_t codePoint) {
    if (codePoint >= 0x21 && codePoint <= 0x7E) return static_cast<int32_t>(codePoint);
    if (codePoint < 0xA0 || codePoint > 0x25A0) return -1;
    auto found = std::find(kCodePage437.begin(), kCodePage437.end(), codePoint);
    if (found == kCodePage437.end()) return -1;
    return 128 + static_cast<int32_t>(found - kCodePage437.begin());
}

// Ink only: the cell's background is already painted. Nothing leaves the cell's box.
void drawUnicodeGlyph(Surface& canvas, const UnicodeFont& font, const UnicodeGlyph& glyph, int32_t x, int32_t y, int32_t boxWidth,
                      Colour colour) {
    for (int32_t row = 0; row < glyph.height; ++row) {
        int32_t cellY = glyph.top + row;
        if (cellY < 0 || cellY >= kCellHeight) continue;
        uint32_t bits = font.rows[glyph.firstRow + static_cast<uint32_t>(row)];
        for (int32_t column = 0; column < glyph.width; ++column) {
            int32_t cellX = glyph.left + column;
            if (!(bits & (0x80000000u >> column)) || cellX < 0 || cellX >= boxWidth) continue;
            putPixel(canvas, x + cellX, y + cellY, colour);
        }
    }
}

// Characters the bitmap fonts lack come from fontconfig's fonts for this name, in its order.
constexpr const char* kCellFallbackFont = "monospace";

// Draws codePoint from the installed fonts, fitted to the cell and on the bitmap font's
// baseline; false when none has it.
bool drawFromInstalledFonts(PainterState& p, uint32_t codePoint, int32_t x, int32_t y, int32_t span, Colour colour) {
    CellFallback& fallback = p.cellFallback;
    if (!fallback.tried) {
        fallback.tried = true;
        std::string error;
        int32_t baseline = activeUnicodeFont(p.unicodeFont).ascent;
        if (!fallback.font.openInCell(kCellFallbackFont, kCellWidth, kCellHeight, baseline, error)) return false;
    }
    if (!fallback.font.isOpen()) return false;
    OutlineGlyphKey key{codePoint, 0, static_cast<uint8_t>(span)};
    auto found = fallback.glyphs.find(key);
    if (found == fallback.glyphs.end()) {
        CachedOutlineGlyph drawn;
        drawn.found = fallback.font.drawGlyph(codePoint, 0, span, drawn.glyph);
        found = fallback.glyphs.emplace(key, std::move(drawn)).first;
    }
    if (!found->second.found) return false;
    blendGlyph(p.canvas(), found->second.glyph, x, y, span * kCellWidth, kCellHeight, colour);
    return true;
}

// A box marks a character that no font can draw.
void drawMissingGlyph(Surface& canvas, int32_t x, int32_t y, int32_t boxWidth, Colour colour) {
    outlineRect(canvas, x + 1, y + 2, x + boxWidth - 2, y + kCellHeight - 3, colour);
}

void drawCharacter(PainterState& p, uint32_t codePoint, int32_t x, int32_t y, int32_t span, CellColours colours) {
    Surface& canvas = p.canvas();
    int32_t boxWidth = span * kCellWidth;
    if (drawBoxDrawing(canvas, codePoint, x, y, colours.foreground)) return;
    if (codePoint <= 0x20) return;
    // A narrow glyph in a wide cell is centred.
    int32_t centring = (boxWidth - kCellWidth) / 2;
    int32_t key = fontTextKey(codePoint);
    if (key >= 0 && p.xterm.hasKey[static_cast<size_t>(key)]) {
        drawGlyph(p.glyphs, canvas, key, x + centring, y, colours.foreground, colours.background);
        return;
    }
    const UnicodeFont& font = activeUnicodeFont(p.unicodeFont);
    if (const UnicodeGlyph* glyph = findUnicodeGlyph(font, codePoint)) {
        bool narrow = glyph->left + glyph->width <= kCellWidth;
        int32_t shift = narrow ? centring : 0;
        drawUnicodeGlyph(canvas, font, *glyph, x + shift, y, boxWidth - shift, colours.foreground);
        return;
    }
    if (codePoint < 0x7F) {
        drawFallbackChar(canvas, static_cast<int32_t>(codePoint), x + centring, y, colours.foreground,
                         colours.background);
        return;
    }
    if (codePoint >= 0xA0 && drawFromInstalledFonts(p, codePoint, x, y, span, colours.foreground)) return;
    drawMissingGlyph(canvas, x, y, boxWidth, colours.foreground);
}

void paintCell(PainterState& p, const XtermCell& cell, CellColours colours, int32_t x, int32_t y, int32_t span) {
    fillRect(p.canvas(), x, y, x + span * kCellWidth - 1, y + kCellHeight - 1, colours.background);
    drawCharacter(p, cell.codePoint, x, y, span, colours);
    if (cell.underline) {
        for (int32_t part = 0; part < span; ++part) {
            int32_t left = x + part * kCellWidth;
            drawHLine(p.canvas(), left + 1, left + 8, y + kCellHeight - 1, colours.foreground, true);
        }
    }
}

// Left to right, like the default renderer, so that what a glyph draws past its right edge is
// painted over by the next cell. only: the columns to paint; null: all.
void paintRow(PainterState& p, const XtermScreen& screen, int32_t row, const uint8_t* only = nullptr) {
    int32_t y = row * kCellHeight;
    for (int32_t column = 0; column < screen.columns; ++column) {
        if (only != nullptr && !only[column]) continue;
        const XtermCell& cell = screen.at(row, column);
        bool rightHalf = cell.width == 0 && column > 0 && screen.at(row, column - 1).width == 2;
        if (rightHalf) continue;
        int32_t span = (cell.width == 2 && column + 1 < screen.columns) ? 2 : 1;
        paintCell(p, cell, cellColours(p, cell), column * kCellWidth, y, span);
    }
}

// Paints the row's cells that differ from the painted ones (and the other halves of wide
// characters there, before or now). With font.txt holding all printable ASCII every cell paints
// inside its box (only the fallback font's 12-pixel pictures reach past it, and only ASCII that
// font.txt lacks may come from there), so that gives the picture painting the whole row gives;
// otherwise the whole row is painted.
void paintRowChanges(PainterState& p, const XtermScreen& screen, int32_t row) {
    if (!p.xterm.asciiInFont) return paintRow(p, screen, row);
    const auto columns = static_cast<size_t>(screen.columns);
    const auto now = screen.cells.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(row) * columns);
    const auto before = p.xterm.cells.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(row) * columns);
    std::vector<uint8_t>& changed = p.xterm.changedCells;
    changed.assign(columns + 1, 0);
    for (size_t column = 0; column < columns; ++column) {
        const XtermCell& cell = now[static_cast<ptrdiff_t>(column)];
        const XtermCell& old = before[static_cast<ptrdiff_t>(column)];
        if (cell == old) continue;
        changed[column] = 1;
        if (cell.width == 2 || old.width == 2) changed[column + 1] = 1;
        if ((cell.width == 0 || old.width == 0) && column > 0) changed[column - 1] = 1;
    }
    paintRow(p, screen, row, changed.data());
}

bool rowChanged(const PaintedXterm& painted, const XtermScreen& screen, int32_t row) {
    auto first = screen.cells.begin() + static_cast<ptrdiff_t>(row) * screen.columns;
    auto previous = painted.cells.begin() + static_cast<ptrdiff_t>(row) * screen.columns;
    return !std::equal(first, first + screen.columns, previous);
}

// A digest of a row's cells, eight bytes at a time, to choose a scroll's shift; the cells
// themselves are compared before a row is left unpainted.
uint64_t rowDigest(const std::vector<XtermCell>& cells, int32_t columns, int32_t row) {
    uint64_t digest = 0x9E3779B97F4A7C15u;
    auto mix = [&](uint64_t value) {
        digest = (digest ^ value) * 0x100000001B3u;
        digest ^= digest >> 29;
    };
    auto colour = [](const XtermColour& c) {
        return uint64_t{c.rgb} << 32 | uint64_t{static_cast<uint8_t>(c.kind)} << 8 | c.index;
    };
    const auto first = static_cast<size_t>(row) * static_cast<size_t>(columns);
    for (size_t at = first; at < first + static_cast<size_t>(columns); ++at) {
        const XtermCell& cell = cells[at];
        mix(uint64_t{cell.codePoint} << 32 | uint64_t{cell.width} << 8 |
            uint64_t{cell.bold} | uint64_t{cell.underline} << 1 | uint64_t{cell.reverse} << 2 |
            uint64_t{cell.italic} << 3 | uint64_t{cell.strike} << 4);
        mix(colour(cell.foreground));
        mix(colour(cell.background));
    }
    return digest;
}

// A screen that scrolled shows painted rows a few rows higher or lower. When its rows fill the
// canvas, the canvas's ring of pixel rows turns by the shift that leaves the most rows as they
// are to be shown, and the painted cells and their digests turn with it; the rows that wrapped
// around are then painted like any changed row. changed holds which rows differ from the
// painted ones, before any turn. True when it turned.
int32_t turnScrolledRows(PainterState& p, const XtermScreen& screen, const std::vector<uint8_t>& changed) {
    PaintedXterm& painted = p.xterm;
    Surface& canvas = p.canvas();
    const int32_t rows = screen.rows;
    const int32_t columns = screen.columns;
    if (rows * kCellHeight != canvas.height || changed.size() != static_cast<size_t>(rows)) return 0;
    const int32_t best = findShift(
        painted.digests, changed, [&](int32_t row) { return rowDigest(screen.cells, columns, row); },
        [&](int32_t row) { return rowDigest(painted.cells, columns, row); });
    if (best == 0) return 0;
    turnRows(canvas, best * kCellHeight);
    const int32_t top = (best % rows + rows) % rows;
    std::rotate(painted.cells.begin(), painted.cells.begin() + static_cast<ptrdiff_t>(top) * columns,
                painted.cells.begin() + static_cast<ptrdiff_t>(rows) * columns);
    turnDigests(painted.digests, top);
    p.changes.noteMoved(best * kCellHeight, 0, canvas.height - 1);
    return best;
}

}  // namespace

bool paintXtermScreen(PainterState& p, const XtermScreen& screen) {
    if (!ensureFont(p)) return false;
    const RenderOptions& options = p.options;
    PaintedXterm& painted = p.xterm;
    Surface& canvas = p.canvas();

    // The picture's own size, or the screen's; a screen larger than the picture is cut at its
    // edges, a smaller one leaves the rest in the theme's background.
    int32_t columns = options.pictureColumns > 0 ? options.pictureColumns : screen.columns;
    int32_t rows = options.pictureRows > 0 ? options.pictureRows : screen.rows;
    int32_t width = columns * kCellWidth;
    int32_t height = rows * kCellHeight;
    bool repaintAll = false;
    if (canvas.width != width || canvas.height != height ||
        canvas.pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 4) {
        allocSurface(canvas, width, height);
        repaintAll = true;
    }
    if (painted.columns != screen.columns || painted.rows != screen.rows ||
        painted.cells.size() != screen.cells.size()) {
        repaintAll = true;
    }
    if (painted.fontGeneration != p.glyphs.generation) {
        refreshFontIndex(p);
        repaintAll = true;
    }
    // Glyphs that reach into other rows need the whole screen painted top to bottom.
    repaintAll = repaintAll || painted.glyphsLeaveCells || options.plainPaths;

    const bool smaller = screen.columns < columns || screen.rows < rows;
    if (repaintAll) {
        painted.columns = screen.columns;
        painted.rows = screen.rows;
        painted.cells = screen.cells;
        if (smaller) fillRect(canvas, 0, 0, width - 1, height - 1, options.theme.background);
    }
    const int32_t shown = std::min(screen.rows, rows);
    std::vector<uint8_t>& changed = painted.changedRows;
    changed.assign(static_cast<size_t>(shown), 1);
    if (repaintAll) {
        painted.digests.reset(static_cast<size_t>(screen.rows));
    } else {
        for (int32_t row = 0; row < shown; ++row) changed[static_cast<size_t>(row)] = rowChanged(painted, screen, row);
    }
    const bool turned = !repaintAll && turnScrolledRows(p, screen, changed) != 0;
    for (int32_t row = 0; row < shown; ++row) {
        if (!repaintAll && !(turned ? rowChanged(painted, screen, row) : changed[static_cast<size_t>(row)])) continue;
        p.changes.notePainted(row * kCellHeight, row * kCellHeight + kCellHeight - 1);
        // What the row's last glyph drew past the screen's edge goes with it.
        if (smaller && !repaintAll) {
            fillRect(canvas, screen.columns * kCellWidth, row * kCellHeight, width - 1,
                     row * kCellHeight + kCellHeight - 1, options.theme.background);
        }
        repaintAll ? paintRow(p, screen, row) : paintRowChanges(p, screen, row);
        auto first = screen.cells.begin() + static_cast<ptrdiff_t>(row) * screen.columns;
        std::copy(first, first + screen.columns, painted.cells.begin() + static_cast<ptrdiff_t>(row) * screen.columns);
        painted.digests.forget(static_cast<size_t>(row));
    }
    // The rows painted, and a turn, are reported as they happen; a painting of none says so.
    repaintAll ? p.changes.noteReplaced() : p.changes.notePainted(0, -1);
    return true;
}

namespace {

void gatherColour(ColourGathering& gathering, uint32_t colour) {
    if (gathering.known.insert(colour).second) gathering.colours.push_back(colour);
}

// Paints the look once, apart, and takes in its pixels' colours: the glyph's smoothed edges
// from the installed fonts and colour emoji bring blends no cell attribute names.
void gatherLook(PainterState& p, const CellLook& look) {
    if (!p.gathering.looks.insert(look).second) return;
    XtermCell cell;
    cell.codePoint = look.codePoint;
    cell.underline = look.underline;
    const int32_t width = look.span * kCellWidth;
    paintCell(p, cell, CellColours{look.foreground, look.background}, 0, 0, look.span);
    const Surface& apart = p.canvasApart;
    for (int32_t y = 0; y < kCellHeight; ++y) {
        const uint8_t* pixel = apart.pixels.data() + 4 * static_cast<size_t>(y) * static_cast<size_t>(apart.width);
        for (int32_t x = 0; x < width; ++x, pixel += 4) {
            gatherColour(p.gathering, pixel[0] | pixel[1] << 8 | static_cast<uint32_t>(pixel[2]) << 16);
        }
    }
}

}  // namespace

bool gatherXtermColours(PainterState& p, const XtermScreen& screen) {
    if (!ensureFont(p)) return false;
    ColourGathering& gathering = p.gathering;
    PaintedXterm& painted = p.xterm;
    if (p.frame.width == 0) {
        allocSurface(p.frame, kCellWidth, kCellHeight);
        allocSurface(p.canvasApart, 2 * kCellWidth, kCellHeight);
        p.apart = true;
        gatherColour(gathering, p.options.theme.background);
    }
    bool all = painted.fontGeneration != p.glyphs.generation || painted.columns != screen.columns ||
               painted.rows != screen.rows || painted.cells.size() != screen.cells.size();
    if (painted.fontGeneration != p.glyphs.generation) refreshFontIndex(p);
    if (all) {
        painted.columns = screen.columns;
        painted.rows = screen.rows;
        painted.cells = screen.cells;
    }
    // The scroll search is the painting's alone.
    painted.digests = RowDigests{};
    for (int32_t row = 0; row < screen.rows && !gathering.beyond; ++row) {
        if (!all && !rowChanged(painted, screen, row)) continue;
        for (int32_t column = 0; column < screen.columns; ++column) {
            const XtermCell& cell = screen.at(row, column);
            if (cell.width == 0 && column > 0 && screen.at(row, column - 1).width == 2) continue;
            const CellColours colours = cellColours(p, cell);
            gatherLook(p, CellLook{cell.codePoint, colours.foreground, colours.background,
                                   static_cast<uint8_t>(cell.width == 2 && column + 1 < screen.columns ? 2 : 1),
                                   cell.underline});
        }
        auto first = screen.cells.begin() + static_cast<ptrdiff_t>(row) * screen.columns;
        std::copy(first, first + screen.columns, painted.cells.begin() + static_cast<ptrdiff_t>(row) * screen.columns);
    }
    const int32_t row = screen.cursorRow;
    const int32_t column = screen.cursorColumn;
    if (p.options.cursor != CursorStyle::none && screen.cursorVisible && row >= 0 && row < screen.rows && column >= 0 &&
        column < screen.columns) {
        gatherColour(gathering, cursorColourOn(p.options.theme, xtermCellPaint(p.options.theme, screen.at(row, column))));
    }
    gathering.beyond = gathering.beyond || gathering.colours.size() > static_cast<size_t>(kTransparentIndex);
    return true;
}

uint32_t codePage437Character(uint8_t code) { return code < 128 ? code : kCodePage437[code - 128]; }
