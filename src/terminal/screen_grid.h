#pragma once
// The emulated screen: characters, attribute words, cursor, current attribute, line-drawing switch.

#include <array>
#include <cstdint>

constexpr int kGridColumns = 200;  // row stride of both planes
constexpr int kGridRows = 80;
constexpr int kGridCells = kGridColumns * kGridRows;

// CellAttr: foreground index in bits 0-3, background in 4-7, and the three flags.
using CellAttr = uint32_t;
constexpr CellAttr kAttrBold = 0x100;
constexpr CellAttr kAttrReverse = 0x200;
constexpr CellAttr kAttrUnderline = 0x400;
constexpr CellAttr kAttrNormal = 7;
constexpr CellAttr kAttrBlank = 0;

// A new grid's storage holds NUL cells of attribute 0 until something blanks it.
struct ScreenGrid {
    std::array<uint8_t, kGridCells> charPlane{};
    std::array<CellAttr, kGridCells> attrPlane{};
    int32_t cursorRow = 0;
    int32_t cursorCol = 0;
    CellAttr currentAttr = kAttrNormal;
    uint8_t lineDrawing = 0;
    int32_t columns = 80;  // the visible part of the storage: the terminal's size
    int32_t rows = 25;
};

// Blank storage, cursor home, currentAttr 7, line drawing off; the size stays.
void resetGrid(ScreenGrid& grid);

// Blanks the whole storage and homes the cursor; attribute and line drawing stay.
void clearScreen(ScreenGrid& grid);

void applySgr(ScreenGrid& grid, int32_t code);
uint8_t mapLineDrawing(const ScreenGrid& grid, uint8_t ch);
void putChar(ScreenGrid& grid, uint8_t ch);

// The grid shows columns x rows of its storage (each side at least 1, at most the storage's),
// the cells it newly shows blank and the cursor kept within the new size.
void resizeGrid(ScreenGrid& grid, int32_t columns, int32_t rows);

// Blanks cells [fromCol, toCol] of row; positions outside the storage are dropped.
void eraseCells(ScreenGrid& grid, int32_t row, int32_t fromCol, int32_t toCol);

// True when (row, col) lies in the 80 x 200 storage.
bool inStorage(int32_t row, int32_t col);
