#include "terminal/terminal.h"

#include <algorithm>

#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

namespace {

TerminalOptions options;

}  // namespace

void startTerminal(const TerminalOptions& chosen) {
    options = chosen;
    resetXtermEmulation();
}

const TerminalOptions& terminalOptions() { return options; }

void resizeTerminal(int32_t columns, int32_t rows) {
    columns = std::clamp(columns, 1, kGridColumns);
    rows = std::clamp(rows, 1, kGridRows);
    if (columns == options.columns && rows == options.rows) return;
    const int32_t oldColumns = options.columns;
    const int32_t oldRows = options.rows;
    options.columns = columns;
    options.rows = rows;
    if (options.emulation == Emulation::xterm) {
        resizeXterm(columns, rows);
        return;
    }
    // What the storage holds beyond the old size was never on the screen.
    for (int32_t row = 0; row < rows; ++row) eraseCells(row, row < oldRows ? oldColumns : 0, columns - 1);
    ScreenGrid& grid = screenGrid();
    grid.cursorRow = std::min(grid.cursorRow, rows - 1);
    grid.cursorCol = std::min(grid.cursorCol, columns - 1);
}

void feedTerminal(std::span<const uint8_t> payload) {
    if (options.emulation == Emulation::xterm) {
        feedXterm(payload);
    } else {
        applyPayload(payload);
    }
}

void resetTerminal() {
    startTerminal(TerminalOptions{});
    resetGrid();
}
