// Arbitrary payloads through the xterm emulation at every terminal size, with resizes between
// records (the form is payload_pieces.h's). Nothing is painted: after every record the screen
// is read and the cursor checked, the whole screen at each resize and at the end. Then the
// same bytes are fed again with each run between resizes whole: a record boundary must change
// nothing on the screen, since a terminal sees one stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "grid_checks.h"
#include "payload_pieces.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const PieceSize start = pieceSize(data[0], data[1]);
    const std::span<const uint8_t> rest(data + 2, size - 2);

    Terminal piecewise({.columns = start.columns, .rows = start.rows, .emulation = Emulation::xterm});
    forEachPiece(
        rest,
        [&](std::span<const uint8_t> payload) {
            piecewise.feed(payload);
            checkXtermCursor(piecewise);
        },
        [&](PieceSize resized) {
            piecewise.resize(resized.columns, resized.rows);
            checkXtermScreen(piecewise);
        });
    checkXtermScreen(piecewise);
    const XtermScreen& pieces = piecewise.xtermScreen();
    const XtermCursor piecesCursor = piecewise.xtermCursor();

    Terminal joined({.columns = start.columns, .rows = start.rows, .emulation = Emulation::xterm});
    std::vector<uint8_t> run;
    forEachPiece(
        rest, [&](std::span<const uint8_t> payload) { run.insert(run.end(), payload.begin(), payload.end()); },
        [&](PieceSize resized) {
            joined.feed(run);
            run.clear();
            joined.resize(resized.columns, resized.rows);
        });
    joined.feed(run);
    const XtermScreen& whole = joined.xtermScreen();
    const XtermCursor wholeCursor = joined.xtermCursor();
    if (whole.cells != pieces.cells || wholeCursor.row != piecesCursor.row ||
        wholeCursor.column != piecesCursor.column) {
        std::abort();
    }
    return 0;
}
