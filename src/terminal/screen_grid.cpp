#include "terminal/screen_grid.h"

#include <algorithm>
#include <limits>

#include "driver/settings.h"

ScreenGrid screenGrid;

namespace {

constexpr uint8_t kSpace = 0x20;

}  // namespace

bool inStorage(int32_t row, int32_t col) {
    return row >= 0 && row < kGridRows && col >= 0 && col < kGridColumns;
}

void resetGrid() {
    clearScreen();
    screenGrid.currentAttr = kAttrNormal;
    screenGrid.lineDrawing = 0;
}

void clearScreen() {
    screenGrid.charPlane.fill(kSpace);
    screenGrid.attrPlane.fill(kAttrBlank);
    screenGrid.cursorRow = 0;
    screenGrid.cursorCol = 0;
}

void applySgr(int32_t code) {
    CellAttr& attr = screenGrid.currentAttr;
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

uint8_t mapLineDrawing(uint8_t ch) {
    if (screenGrid.lineDrawing == 0) return ch;
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

void putChar(uint8_t ch) {
    if (ch < 0x20 || ch > 0x7E) return;
    int32_t& row = screenGrid.cursorRow;
    int32_t& col = screenGrid.cursorCol;
    // Positions outside the storage keep the cursor moving but store nothing.
    if (inStorage(row, col)) {
        int index = row * kGridColumns + col;
        screenGrid.charPlane[index] = mapLineDrawing(ch);
        screenGrid.attrPlane[index] = screenGrid.currentAttr;
    }
    if (static_cast<int64_t>(col) + 1 >= settings.columns) {
        col = 0;
        if (row < std::numeric_limits<int32_t>::max()) ++row;
    } else {
        ++col;
    }
}

void eraseCells(int32_t row, int32_t fromCol, int32_t toCol) {
    if (row < 0 || row >= kGridRows) return;
    int32_t first = std::max(fromCol, 0);
    int32_t last = std::min(toCol, kGridColumns - 1);
    if (first > last) return;
    int base = row * kGridColumns;
    std::fill(screenGrid.charPlane.begin() + base + first, screenGrid.charPlane.begin() + base + last + 1,
              kSpace);
    std::fill(screenGrid.attrPlane.begin() + base + first, screenGrid.attrPlane.begin() + base + last + 1,
              kAttrBlank);
}
