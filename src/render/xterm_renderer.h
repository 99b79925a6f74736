#pragma once
// Paints the xterm emulation's screen into a painter's canvas (paintXtermScreen), 10 x 20 pixels per cell, with the
// palettes, strokes and fonts of the default renderer: box drawing and block elements as
// strokes and fills, then font.txt, the Unicode font and the fallback font, in that order.

#include <cstdint>

// The character code page 437 gives a code of 128-255 (the meaning of font.txt keys 128-255).
uint32_t codePage437Character(uint8_t code);
