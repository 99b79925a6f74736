#pragma once
// Paints the xterm emulation's screen into canvasSurface, 10 x 20 pixels per cell, with the
// palettes, strokes and fonts of the default renderer: box drawing and block elements as
// strokes and fills, then font.txt, the Unicode font and the fallback font, in that order.

#include <cstdint>

// Loads font.txt on first need and repaints the rows that changed since the last call; false,
// painting nothing, when font.txt cannot be read.
bool renderXtermScreen();

// The character code page 437 gives a code of 128-255 (the meaning of font.txt keys 128-255).
uint32_t codePage437Character(uint8_t code);

// Forgets what was painted, so that the next call repaints every row.
void resetXtermRenderer();
