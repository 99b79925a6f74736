#pragma once
// The emulated terminal as playback sees it: made at a size with an emulation, fed payloads,
// resized, and read by whoever paints it.

#include <cstdint>
#include <optional>
#include <span>

#include "terminal/cursor_reach.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

// basic: our own small interpreter; xterm: full terminal emulation through libvterm.
enum class Emulation { basic, xterm };

struct TerminalOptions {
    int32_t columns = 80;
    int32_t rows = 25;
    Emulation emulation = Emulation::basic;
};

// One terminal and its emulation: the basic one's screen grid, or libvterm's terminal. Both
// hand out their screen as plain cells, read-only.
class Terminal {
public:
    explicit Terminal(const TerminalOptions& options = {});

    // The size and emulation it was made with, the size as resized since.
    const TerminalOptions& options() const { return options_; }

    // The terminal takes a new size (each side at least 1, at most the grid's storage), as a
    // real one does when its window is resized: libvterm resizes its screen; the grid shows
    // that much of its storage, the cells it newly shows blank and the cursor kept within the
    // new size.
    void resize(int32_t columns, int32_t rows);

    // Interprets one record's payload with the terminal's emulation.
    void feed(std::span<const uint8_t> payload);

    // The basic emulation's screen (untouched under xterm).
    const ScreenGrid& grid() const { return grid_; }

    // The xterm emulation's visible screen; only for Emulation::xterm.
    const XtermScreen& xtermScreen() const { return xterm_->screen(); }
    XtermCursor xtermCursor() const { return xterm_->cursor(); }

    // Where the payloads fed so far moved the cursor, against the size at the time.
    const CursorReach& cursorReach() const { return reach_; }

private:
    TerminalOptions options_;
    ScreenGrid grid_;
    std::optional<XtermEmulation> xterm_;
    CursorReach reach_;
};
