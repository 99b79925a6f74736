#pragma once
// The built-in 6 x 8 font, drawn at twice its size, for characters font.txt lacks.

#include "render/surface.h"

// Only the low byte of code counts (176 and -80 are the same character). A negative
// background leaves background pixels untouched.
void drawFallbackChar(Surface& surface, int32_t code, int32_t x, int32_t y, Colour foreground,
                      Colour background);
