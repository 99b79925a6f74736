#include "terminal/screen_grid.h"

#include <algorithm>
#include <limits>


namespace {

constexpr uint8_t kSpace = 0x20;

}  // namespace

bool inStorage(int32_t row, int32_t col) {
    return row >= 0 && row < kGridRows && col >= 0 && col < kGridColumns;
}

void resetGrid(ScreenGrid& grid) {
    clearScreen(grid);
    grid.currentAttr = kAttrNormal;
    grid.lineDrawing = 0;
}

void clearScreen(ScreenGrid& grid) {
    grid.charPlane.fill(kSpace);
    grid.attrPlane.fill(kAttrBlank);
    grid.cursorRow = 0;
    grid.cursorCol = 0;
}

void applySgr(ScreenGrid& grid, int32_t code) {
    CellAttr& attr = grid.currentAttr;
    switch (code) {
        case 0: attr = kAttrNormal; break;
        case 1: case 3: attr |= kAttrBold; break;        // italic shows as bold
        case 4: case 5: attr |= kAttrUnderline; break;   // blink shows as underline
        case 7: attr |= kAttrReverse; break;
        case 22: case 23: attr &= ~kAttrBold; break;
        case 24: case 25: attr &= ~kAttrUnderline; break;
        case 27: attr &= ~kAttrReverse; break;
        default:
            if ((code >= 30 && code <= 37) || code == 39) {
                attr = (attr & 0x7F0) + static_cast<CellAttr>(code - 30);
            } else if ((code >= 40 && code <= 47) || code == 49) {
                attr = (attr & 0x70F) + static_cast<CellAttr>(code - 40) * 16;
            }
            break;
    }
}

uint8_t mapLineDrawing(const ScreenGrid& grid, uint8_t ch) {
    if (grid.lineDrawing == 0) return ch;
    // DEC special graphics to code page 437.
    switch (ch) {
        case 'a': return 254;
        case 'h': return 176;
        case 'j': return 217;
        case 'k': return 191;
        case 'l': return 218;
        case 'm': return 192;
        case 'n': return 197;
        case 'q': return 196;
        case 't': return 195;
        case 'u': return 180;
        case 'v': return 193;
        case 'w': return 194;
        case 'x': return 179;
        case '~': return 249;
        default: return ch;
    }
}

void putChar(ScreenGrid& grid, uint8_t ch) {
    if (ch < 0x20 || ch > 0x7E) return;
    int32_t& row = grid.cursorRow;
    int32_t& col = grid.cursorCol;
    // Positions outside the storage keep the cursor moving but store nothing.
    if (inStorage(row, col)) {
        int index = row * kGridColumns + col;
        grid.charPlane[index] = mapLineDrawing(grid, ch);
        grid.attrPlane[index] = grid.currentAttr;
    }
    if (static_cast<int64_t>(col) + 1 >= grid.columns) {
        col = 0;
        if (row < std::numeric_limits<int32_t>::max()) ++row;
    } else {
        ++col;
    }
}

void resizeGrid(ScreenGrid& grid, int32_t columns, int32_t rows) {
    columns = std::clamp(columns, 1, kGridColumns);
    rows = std::clamp(rows, 1, kGridRows);
    if (columns == grid.columns && rows == grid.rows) return;
    const int32_t oldColumns = grid.columns;
    const int32_t oldRows = grid.rows;
    grid.columns = columns;
    grid.rows = rows;
    // What the storage holds beyond the old size was never on the screen.
    for (int32_t row = 0; row < rows; ++row) eraseCells(grid, row, row < oldRows ? oldColumns : 0, columns - 1);
    grid.cursorRow = std::min(grid.cursorRow, rows - 1);
    grid.cursorCol = std::min(grid.cursorCol, columns - 1);
}

void eraseCells(ScreenGrid& grid, int32_t row, int32_t fromCol, int32_t toCol) {
    if (row < 0 || row >= kGridRows) return;
    int32_t first = std::max(fromCol, 0);
    int32_t last = std::min(toCol, kGridColumns - 1);
    if (first > last) return;
    int base = row * kGridColumns;
    std::fill(grid.charPlane.begin() + base + first, grid.charPlane.begin() + base + last + 1,
              kSpace);
    std::fill(grid.attrPlane.begin() + base + first, grid.attrPlane.begin() + base + last + 1,
              kAttrBlank);
}
