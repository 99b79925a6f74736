#pragma once
// Everything one painter keeps between screens: its options, its surfaces, its fonts, what each
// painting way knows of the picture it left, and the rows that changed. Private to render/.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "render/glyph_font.h"
#include "render/outline_font.h"
#include "render/outline_painter.h"
#include "render/renderer.h"
#include "render/screen_changes.h"
#include "render/surface.h"
#include "render/unicode_font.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

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

// Digests of a painter's rows for the scroll search: the painted rows' (each made when a search
// needs it, forgotten when the row is painted again) and, as scratch, the screen's.
struct RowDigests {
    std::vector<uint64_t> painted;
    std::vector<uint8_t> known;
    std::vector<uint64_t> now;
    void reset(size_t rows) {
        painted.assign(rows, 0);
        known.assign(rows, 0);
    }
    void forget(size_t row) {
        if (row < known.size()) known[row] = 0;
    }
};

// What the canvas shows, cell by cell, and what it was painted with (the basic emulation).
struct PaintedGrid {
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
    std::vector<size_t> changed;  // scratch: cells to paint this time
    std::vector<uint8_t> selected;
    std::vector<PixelRect> pending;
    std::vector<uint8_t> saved;
};

// The pixels of cells that paint only inside their box, kept per character code, attribute and
// underline phase (the dashes follow the surface's columns) and then copied: they depend on
// nothing else while the font and the theme stay.
struct CellBlocks {
    static constexpr size_t kBytes = size_t{10} * 20 * 4;
    static constexpr size_t kMostBlocks = 4096;  // 3.3 MB; a screen with more kinds starts afresh
    uint64_t glyphGeneration = 0;
    std::unordered_map<uint64_t, size_t> slotOf;
    std::vector<uint8_t> pixels;  // kBytes a block, top row first
};

// What the xterm renderer painted last, row by row.
struct PaintedXterm {
    int32_t columns = 0;
    int32_t rows = 0;
    std::vector<XtermCell> cells;
    uint64_t fontGeneration = 0;    // of the font.txt table the rows were painted with
    bool glyphsLeaveCells = false;  // a font.txt glyph reaches into the rows above or below
    std::array<bool, 256> hasKey{};
    bool asciiInFont = false;  // font.txt has a glyph for every printable ASCII character
    RowDigests digests;
    std::vector<uint8_t> changedRows;  // scratch: the rows that differ from the painted ones
    std::vector<uint8_t> changedCells;  // scratch: the cells of a row to paint
};

struct OutlineCellHash {
    size_t operator()(const OutlineCell& cell) const {
        uint64_t h = cell.codePoint;
        h = h * 0x9E3779B97F4A7C15u ^ static_cast<uint32_t>(cell.foreground);
        h = h * 0x9E3779B97F4A7C15u ^ static_cast<uint32_t>(cell.background);
        h = h * 0x9E3779B97F4A7C15u ^ (uint64_t{cell.span} << 16 | uint64_t{cell.style} << 8 |
                                       uint64_t{cell.underline} << 1 | uint64_t{cell.strike});
        return static_cast<size_t>(h ^ (h >> 31));
    }
};

struct OutlineGlyphKey {
    uint32_t codePoint;
    uint8_t style;
    uint8_t span;
    bool operator==(const OutlineGlyphKey&) const = default;
};

struct OutlineGlyphKeyHash {
    size_t operator()(const OutlineGlyphKey& key) const {
        return std::hash<uint64_t>{}(uint64_t{key.codePoint} << 16 | uint64_t{key.style} << 8 | key.span);
    }
};

struct CachedOutlineGlyph {
    bool found = false;
    OutlineGlyph glyph;
};

// Characters the xterm renderer's bitmap fonts lack, from fontconfig's fonts fitted to its
// cell; opened on the first such character, so that runs without one never load fontconfig.
struct CellFallback {
    bool tried = false;  // the font was opened, or could not be
    OutlineFont font;
    std::unordered_map<OutlineGlyphKey, CachedOutlineGlyph, OutlineGlyphKeyHash> glyphs;
};

// The outline painter's caches and what it painted last.
struct OutlinePainted {
    std::unordered_map<OutlineCell, Surface, OutlineCellHash> tiles;  // finished cells, pixels and all
    std::unordered_map<OutlineGlyphKey, CachedOutlineGlyph, OutlineGlyphKeyHash> glyphs;  // colourless
    size_t cachedBytes = 0;
    std::vector<OutlineCell> cells;    // this screen
    // The basic emulation's codes and attributes cells were made from, index for index; empty
    // when cells came from elsewhere.
    std::vector<uint8_t> collectedChars;
    std::vector<CellAttr> collectedAttrs;
    // The xterm emulation's cells cells were made from, rows of collectedColumns; empty when
    // cells came from elsewhere.
    std::vector<XtermCell> collectedXterm;
    int32_t collectedColumns = 0;
    std::vector<OutlineCell> painted;  // what the canvas shows
    int32_t columns = 0;
    int32_t rows = 0;
    uint64_t generation = 0;
    RowDigests digests;
    std::vector<uint8_t> changedRows;  // scratch: the rows that differ from the painted ones
};

// The cursor's cell (two for a wide character) on the frame, the colours the cell was painted
// with, and the cursor's.
struct CursorMark {
    bool shown = false;
    int32_t left = 0;
    int32_t top = 0;
    int32_t cellWidth = 0;
    int32_t cellHeight = 0;
    int32_t span = 1;
    Colour foreground = 0;
    Colour background = 0;
    Colour cursor = 0;
    bool operator==(const CursorMark&) const = default;
};

struct FramingState {
    uint64_t canvasGeneration = 0;  // of the canvas the frame was copied from
    uint64_t frameGeneration = 0;   // of the frame when it was last finished
    CursorMark cursor;              // as drawn on the frame
    Surface window;                 // -window: the frame without the cells, made once for its size
};

// One screen for whichever way paints it.
struct ScreenToPaint {
    const ScreenGrid* grid = nullptr;   // the basic emulation's
    const XtermScreen* xterm = nullptr;  // or the xterm emulation's
};

// A cell as coloursOnly paints it apart: what decides its pixels.
struct CellLook {
    uint32_t codePoint = 0;
    Colour foreground = 0;
    Colour background = 0;
    uint8_t span = 1;
    bool underline = false;
    bool operator==(const CellLook&) const = default;
};

struct CellLookHash {
    size_t operator()(const CellLook& look) const {
        uint64_t h = look.codePoint;
        h = h * 0x9E3779B97F4A7C15u ^ static_cast<uint32_t>(look.foreground);
        h = h * 0x9E3779B97F4A7C15u ^ static_cast<uint32_t>(look.background);
        return h * 0x9E3779B97F4A7C15u ^ (uint64_t{look.span} << 1 | uint64_t{look.underline});
    }
};

struct ColourGathering {
    std::unordered_set<CellLook, CellLookHash> looks;  // painted apart already
    std::unordered_set<uint32_t> known;
    std::vector<uint32_t> colours;  // known's, in the order met
    bool beyond = false;            // a screen the gathering cannot tell the colours of
    Surface apart;                  // one cell, two wide
};

struct PainterState {
    RenderOptions options;
    Surface frame;
    Surface canvasApart;
    bool apart = false;  // the painters paint canvasApart, finished into frame
    bool surfacesReady = false;
    bool fontMissing = false;  // a cell needed font.txt and it could not be read
    GlyphFont glyphs;
    UnicodeFontSlot unicodeFont;
    OutlineFont outlineFont;
    PaintedGrid grid;
    CellBlocks blocks;
    PaintedXterm xterm;
    OutlinePainted outline;
    CellFallback cellFallback;
    FramingState framing;
    ChangedRows changes;
    ColourGathering gathering;

    Surface& canvas() { return apart ? canvasApart : frame; }
};

// Reads the font when no font is loaded yet; false when it cannot be read.
bool ensureFont(PainterState& painter);

// The ways of painting: the grid 10 x 20 with font.txt, the xterm screen likewise, either with
// -font; each false when the font it needs is missing.
bool paintGrid(PainterState& painter, const ScreenGrid& grid);
bool paintXtermScreen(PainterState& painter, const XtermScreen& screen);
bool paintOutlineScreen(PainterState& painter, const ScreenToPaint& screen);
// coloursOnly's way: the colours the screen's changed cells would be painted in, gathered.
bool gatherXtermColours(PainterState& painter, const XtermScreen& screen);

// Scrolling, for the grid painter: the shift (new row r shows painted row r + shift) that lets
// the most rows be moved rather than painted, now getting the digests of the grid's rows; and
// the painted rows moved by it, pixels and all.
int32_t findScroll(PainterState& painter, const ScreenGrid& grid, int32_t columns, int32_t rows,
                   std::array<uint64_t, kGridRows>& now);
void moveRows(PainterState& painter, int32_t shift, int32_t rows);
// The shift (row r of now shows row r + shift of before) under which more rows' digests match
// than toBeat, the most of any; 0 when none does.
int32_t bestShift(std::span<const uint64_t> now, std::span<const uint64_t> before, int32_t toBeat);
// The shift a screen scrolled by (its row r shows painted row r + shift), for the painters that
// turn their ring: 0 unless a quarter of the rows or more changed (changed[r]) and a shift keeps
// more rows than staying does. The digests of the screen's rows and of painted rows not yet known
// come from screenDigest and paintedDigest.
int32_t findShift(RowDigests& digests, const std::vector<uint8_t>& changed,
                  const std::function<uint64_t(int32_t)>& screenDigest,
                  const std::function<uint64_t(int32_t)>& paintedDigest);
// The digests follow the painted rows when the ring turns: row top comes to the top.
void turnDigests(RowDigests& digests, int32_t top);

// Brings the frame up to date around the canvas (-padding, -cursor, -window).
void finishFrame(PainterState& painter, const ScreenToPaint& screen);
