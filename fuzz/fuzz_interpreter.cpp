// Arbitrary payloads through the basic emulation at every terminal size, with resizes between
// records (the form is payload_pieces.h's). Nothing is painted: after every record the pen is
// checked, and the whole grid at the end, at thousands of inputs a second.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "grid_checks.h"
#include "payload_pieces.h"
#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const PieceSize start = pieceSize(data[0], data[1]);
    ScreenGrid grid;
    resetGrid(grid);
    grid.columns = start.columns;
    grid.rows = start.rows;
    forEachPiece(
        std::span(data + 2, size - 2),
        [&grid](std::span<const uint8_t> payload) {
            applyPayload(grid, payload);
            checkBasicPen(grid);
        },
        [&grid](PieceSize resized) {
            resizeGrid(grid, resized.columns, resized.rows);
            checkBasicPen(grid);
        });
    checkBasicGrid(grid);
    return 0;
}
