#pragma once
// What must hold of either emulation's screen after any input, checked by the grid targets:
// a breach aborts, so that logic faults are found as crashes are.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"

// The characters the basic grid can hold: printable ASCII and the code page 437 line drawing
// that DEC special graphics map to.
inline bool storableCharacter(uint8_t ch) {
    static const std::array<bool, 256> storable = [] {
        std::array<bool, 256> table{};
        for (int ch = 0x20; ch <= 0x7E; ++ch) table[ch] = true;
        for (uint8_t drawn : {254, 176, 217, 191, 218, 192, 197, 196, 195, 180, 193, 194, 179, 249}) table[drawn] = true;
        return table;
    }();
    return storable[ch];
}

// An attribute SGR can make: the three flags, and each colour nibble 0-7 or 9 (39, 49: default).
inline bool validAttribute(CellAttr attr) {
    const CellAttr foreground = attr & 0xF;
    const CellAttr background = (attr >> 4) & 0xF;
    return (attr & ~CellAttr{0x7FF}) == 0 && foreground != 8 && foreground <= 9 && background != 8 &&
           background <= 9;
}

// The pen alone, cheap enough for every record.
inline void checkBasicPen(const ScreenGrid& grid) {
    if (!validAttribute(grid.currentAttr) || grid.lineDrawing > 1) std::abort();
}

// A cell never written holds NUL in attribute 0; an erased one a space.
inline void checkBasicGrid(const ScreenGrid& grid) {
    checkBasicPen(grid);
    for (int cell = 0; cell < kGridCells; ++cell) {
        const bool unwritten = grid.charPlane[cell] == 0 && grid.attrPlane[cell] == kAttrBlank;
        if (!unwritten && !storableCharacter(grid.charPlane[cell])) std::abort();
        const bool blank = grid.charPlane[cell] == ' ' && grid.attrPlane[cell] == kAttrBlank;
        if (!blank && !unwritten && !validAttribute(grid.attrPlane[cell])) std::abort();
    }
}

inline bool validColour(const XtermColour& colour) {
    switch (colour.kind) {
        case XtermColourKind::standard: return colour.index == 0 && colour.rgb == 0;
        case XtermColourKind::indexed: return colour.rgb == 0;
        case XtermColourKind::rgb: return colour.index == 0 && colour.rgb <= 0xFFFFFF;
    }
    return false;
}

// The screen, read as painting reads it, has the terminal's size and the cursor lies on it
// (libvterm's screen is two columns wide when the terminal is one): cheap enough for every record.
inline void checkXtermCursor(const Terminal& terminal) {
    const XtermScreen& screen = terminal.xtermScreen();
    const TerminalOptions& options = terminal.options();
    if (screen.columns != options.columns || screen.rows != options.rows ||
        screen.cells.size() != static_cast<size_t>(screen.columns) * static_cast<size_t>(screen.rows)) {
        std::abort();
    }
    const XtermCursor cursor = terminal.xtermCursor();
    if (cursor.row < 0 || cursor.row >= screen.rows || cursor.column < 0 ||
        cursor.column >= (screen.columns < 2 ? 2 : screen.columns)) {
        std::abort();
    }
}

// And its cells: wide characters whole, code points and colours valid.
inline void checkXtermScreen(const Terminal& terminal) {
    checkXtermCursor(terminal);
    const XtermScreen& screen = terminal.xtermScreen();
    for (int32_t row = 0; row < screen.rows; ++row) {
        for (int32_t column = 0; column < screen.columns; ++column) {
            const XtermCell& cell = screen.at(row, column);
            if (!validColour(cell.foreground) || !validColour(cell.background)) std::abort();
            if (cell.width > 2 || cell.codePoint > 0x10FFFF) std::abort();
            if (cell.width == 0 && (cell.codePoint != 0 || column == 0 || screen.at(row, column - 1).width != 2)) {
                std::abort();
            }
            // A one-column screen shows the left half of a wide character alone.
            if (cell.width == 2 && column + 1 < screen.columns && screen.at(row, column + 1).width != 0) std::abort();
            if (cell.width == 2 && column + 1 == screen.columns && screen.columns > 1) std::abort();
        }
    }
}
