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

struct ScreenGrid {
    std::array<uint8_t, kGridCells> charPlane;
    std::array<CellAttr, kGridCells> attrPlane;
    int32_t cursorRow = 0;
    int32_t cursorCol = 0;
    CellAttr currentAttr = kAttrNormal;
    uint8_t lineDrawing = 0;
};

ScreenGrid& screenGrid();

// Blank storage, cursor home, currentAttr 7, line drawing off.
void resetGrid();

// Blanks the whole storage and homes the cursor; attribute and line drawing stay.
void clearScreen();

void applySgr(int32_t code);
uint8_t mapLineDrawing(uint8_t ch);
void putChar(uint8_t ch);

// Blanks cells [fromCol, toCol] of row; positions outside the storage are dropped.
void eraseCells(int32_t row, int32_t fromCol, int32_t toCol);

// True when (row, col) lies in the 80 x 200 storage.
bool inStorage(int32_t row, int32_t col);
