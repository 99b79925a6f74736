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

    startTerminal({.columns = start.columns, .rows = start.rows, .emulation = Emulation::xterm});
    forEachPiece(
        rest,
        [](std::span<const uint8_t> payload) {
            feedXterm(payload);
            checkXtermCursor();
        },
        [](PieceSize resized) {
            resizeTerminal(resized.columns, resized.rows);
            checkXtermScreen();
        });
    checkXtermScreen();
    const XtermScreen pieces = xtermScreen();
    const XtermCursor piecesCursor = xtermCursor();

    startTerminal({.columns = start.columns, .rows = start.rows, .emulation = Emulation::xterm});
    std::vector<uint8_t> run;
    forEachPiece(
        rest, [&](std::span<const uint8_t> payload) { run.insert(run.end(), payload.begin(), payload.end()); },
        [&](PieceSize resized) {
            feedXterm(run);
            run.clear();
            resizeTerminal(resized.columns, resized.rows);
        });
    feedXterm(run);
    const XtermScreen& whole = xtermScreen();
    const XtermCursor wholeCursor = xtermCursor();
    if (whole.cells != pieces.cells || wholeCursor.row != piecesCursor.row ||
        wholeCursor.column != piecesCursor.column) {
        std::abort();
    }
    resetXtermEmulation();  // freeing the terminal here pins a damaged heap on this input
    return 0;
}
