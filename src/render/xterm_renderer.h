#pragma once
// Paints the xterm emulation's screen into mainSurface, 10 x 20 pixels per cell, with the
// palettes, strokes and fonts of the default renderer: box drawing and block elements as
// strokes and fills, then font.txt, the Unicode font and the fallback font, in that order.

// Loads font.txt on first need and repaints the rows that changed since the last call; false,
// painting nothing, when font.txt cannot be read.
bool renderXtermScreen();

// Forgets what was painted, so that the next call repaints every row.
void resetXtermRenderer();
