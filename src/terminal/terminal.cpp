#include "terminal/terminal.h"

#include <algorithm>

#include "terminal/interpreter.h"

Terminal::Terminal(const TerminalOptions& options) : options_(options) {
    grid_.columns = options.columns;
    grid_.rows = options.rows;
    if (options.emulation == Emulation::xterm) xterm_.emplace(options.columns, options.rows);
}

void Terminal::resize(int32_t columns, int32_t rows) {
    columns = std::clamp(columns, 1, kGridColumns);
    rows = std::clamp(rows, 1, kGridRows);
    if (columns == options_.columns && rows == options_.rows) return;
    options_.columns = columns;
    options_.rows = rows;
    if (xterm_) {
        xterm_->resize(columns, rows);
    } else {
        resizeGrid(grid_, columns, rows);
    }
}

void Terminal::feed(std::span<const uint8_t> payload) {
    reach_.scan(payload, options_.columns, options_.rows);
    if (xterm_) {
        xterm_->feed(payload);
    } else {
        applyPayload(grid_, payload);
    }
}
