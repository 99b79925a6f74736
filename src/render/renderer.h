#pragma once
// Paints the visible part of the screen grid into canvasSurface, 10 x 20 pixels per cell.

#include <array>
#include <cstdint>
#include <string>

#include "render/surface.h"
#include "render/theme.h"

constexpr int kCellWidth = 10;
constexpr int kCellHeight = 20;

extern const std::array<Colour, 8> normalPalette;
extern const std::array<Colour, 8> brightPalette;  // index 0 is 0x777777 for foregrounds only

// -cursor: how the cursor is drawn, if at all.
enum class CursorStyle { none, block, bar, underline };

struct RenderOptions {
    Theme theme{};             // the colours of every cell
    std::string outlineFont{}; // -font: a font file or fontconfig pattern; "" paints with font.txt
    int32_t fontSize = 16;     // -font-size, in pixels
    double lineHeight = 1.0;   // -line-height: the cell's height over the font's
    bool plainPaths = false;   // every screen painted whole
    std::string fontPath;      // font.txt, read on the first cell that needs it; "" when none was found
    // The picture's size in cells, which a terminal that is resized may not fill: what lies
    // outside the terminal's size is black. 0: the terminal's size when the first screen is painted.
    int32_t pictureColumns = 0;
    int32_t pictureRows = 0;
    int32_t padding = 0;                    // -padding: pixels of the theme's background around the cells
    CursorStyle cursor = CursorStyle::none;  // -cursor
};

// Both renderers paint with these from here on; the surfaces are allocated again.
void startRenderer(const RenderOptions& options);
const RenderOptions& renderOptions();

// Reads the font when no font is loaded yet; false when it cannot be read.
bool ensureFont();

// Paints the grid of the basic emulation. False when a cell needed font.txt and it could not
// be read: the run cannot go on.
bool renderScreen();

// Paints the screen of the terminal's emulation with its renderer, and finishes the frame
// around it (-padding, -cursor); false as renderScreen.
bool paintScreen();

// Default options, no font, surfaces to be allocated again.
void resetRenderer();
