#include "terminal/interpreter.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "terminal/screen_grid.h"

// The whole set of sequences understood here, and what happens to the rest, is listed in
// docs/sequences.md. No parser state outlives a payload: a sequence cut by a record boundary
// is interpreted piecewise.

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;
constexpr uint8_t kBs = 0x08;
constexpr uint8_t kSo = 0x0E;
constexpr uint8_t kSi = 0x0F;

struct Scan {
    const uint8_t* position;
    const uint8_t* end;
};

bool startsWith(const Scan& scan, std::string_view prefix) {
    if (static_cast<size_t>(scan.end - scan.position) < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (scan.position[i] != static_cast<uint8_t>(prefix[i])) return false;
    }
    return true;
}

bool isDigit(uint8_t byte) { return byte >= '0' && byte <= '9'; }

// Reads a run of digits; a value too large for 32 bits saturates.
int32_t readNumber(Scan& scan) {
    int64_t value = 0;
    while (scan.position < scan.end && isDigit(*scan.position)) {
        value = value * 10 + (*scan.position - '0');
        if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
        ++scan.position;
    }
    return static_cast<int32_t>(value);
}

void handleOrdinary(ScreenGrid& grid, uint8_t byte) {
    switch (byte) {
        case kCr:  // CR - carriage return
            grid.cursorCol = 0;
            break;
        case kLf:  // LF - line feed; never scrolls
            if (static_cast<int64_t>(grid.cursorRow) + 1 < grid.rows) ++grid.cursorRow;
            break;
        case kBs:  // BS - backspace
            if (grid.cursorCol > 0) --grid.cursorCol;
            break;
        case kSo:  // SO - shift out: line-drawing set
            grid.lineDrawing = 1;
            break;
        case kSi:  // SI - shift in: ordinary characters
            grid.lineDrawing = 0;
            break;
        default:
            putChar(grid, byte);
            break;
    }
}

// After ESC [ a run of digits: one or two numbers, then m (one number) or H.
void parameterForm(ScreenGrid& grid, Scan& scan) {
    int32_t first = readNumber(scan);
    int32_t second = 1;
    if (scan.position >= scan.end) return;
    if (*scan.position == ';') {
        ++scan.position;
        second = readNumber(scan);
    } else if (*scan.position == 'm') {  // SGR - select graphic rendition, one parameter
        ++scan.position;
        applySgr(grid, first);
        return;
    }
    if (scan.position < scan.end && *scan.position == 'H') {  // CUP - cursor position
        ++scan.position;
        grid.cursorRow = first - 1;
        grid.cursorCol = second - 1;
    }
    // Any other byte stays in the input and is taken afresh.
}

void controlSequence(ScreenGrid& grid, Scan& scan) {
    const int32_t columns = grid.columns;
    const int32_t rows = grid.rows;
    if (scan.position >= scan.end) return;
    // Erases asked for while the cursor is outside the storage are dropped like writes there.
    const bool cursorStored = inStorage(grid.cursorRow, grid.cursorCol);
    if (startsWith(scan, "H")) {  // CUP - cursor home
        scan.position += 1;
        grid.cursorRow = 0;
        grid.cursorCol = 0;
    } else if (startsWith(scan, "0K") || startsWith(scan, "K")) {  // EL 0 - erase to end of line
        scan.position += (*scan.position == 'K') ? 1 : 2;
        if (cursorStored && grid.cursorCol < columns) eraseCells(grid, grid.cursorRow, grid.cursorCol, columns - 1);
    } else if (startsWith(scan, "1K")) {  // EL 1 - erase from start of line
        scan.position += 2;
        if (cursorStored) eraseCells(grid, grid.cursorRow, 0, grid.cursorCol);
    } else if (startsWith(scan, "2K")) {  // EL 2 - erase whole line
        scan.position += 2;
        if (cursorStored) eraseCells(grid, grid.cursorRow, 0, columns - 1);
    } else if (startsWith(scan, "?47h")) {  // alternate screen: ignored
        scan.position += 4;
    } else if (startsWith(scan, "2J")) {  // ED 2 - erase display
        scan.position += 2;
        clearScreen(grid);
    } else if (startsWith(scan, "A")) {  // CUU - cursor up one
        scan.position += 1;
        if (grid.cursorRow > 0) --grid.cursorRow;
    } else if (startsWith(scan, "B")) {  // CUD - cursor down one
        scan.position += 1;
        if (static_cast<int64_t>(grid.cursorRow) + 1 < rows) ++grid.cursorRow;
    } else if (startsWith(scan, "C")) {  // CUF - cursor forward one
        scan.position += 1;
        if (static_cast<int64_t>(grid.cursorCol) + 1 < columns) ++grid.cursorCol;
    } else if (startsWith(scan, "D")) {  // CUB - cursor back one
        scan.position += 1;
        if (grid.cursorCol > 0) --grid.cursorCol;
    } else if (startsWith(scan, "m")) {  // SGR 0 - normal attribute
        scan.position += 1;
        grid.currentAttr = kAttrNormal;
    } else if (isDigit(*scan.position)) {
        parameterForm(grid, scan);
    } else {
        // Not a sequence we know: the byte is ordinary input (an ESC here is simply dropped).
        handleOrdinary(grid, *scan.position++);
    }
}

void characterSetDesignation(ScreenGrid& grid, Scan& scan) {
    if (scan.position < scan.end && *scan.position == 'B') {  // SCS G0 ASCII
        ++scan.position;
        grid.lineDrawing = 0;
        return;
    }
    // SCS G0 with anything else selects line drawing; a digit run is consumed with it.
    grid.lineDrawing = 1;
    while (scan.position < scan.end && isDigit(*scan.position)) ++scan.position;
}

}  // namespace

void applyPayload(ScreenGrid& grid, std::span<const uint8_t> payload) {
    Scan scan{payload.data(), payload.data() + payload.size()};
    while (scan.position < scan.end) {
        uint8_t byte = *scan.position++;
        if (byte != kEsc) {
            handleOrdinary(grid, byte);
            continue;
        }
        if (scan.position >= scan.end) break;
        uint8_t next = *scan.position++;
        if (next == '[') {
            controlSequence(grid, scan);
        } else if (next == '(') {
            characterSetDesignation(grid, scan);
        }
        // Any other pair (ESC 7, ESC 8, ESC =, ESC ), ESC ], ...) is dropped.
    }
}

