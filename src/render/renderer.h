#pragma once
// Paints the visible part of the screen grid into mainSurface, 10 x 20 pixels per cell.

#include <array>

#include "render/surface.h"

constexpr int kCellWidth = 10;
constexpr int kCellHeight = 20;

extern const std::array<Colour, 8> normalPalette;
extern const std::array<Colour, 8> brightPalette;  // index 0 is 0x777777 for foregrounds only

void renderScreen();

// Clears surfacesReady so that the next renderScreen allocates the surfaces again.
void resetRenderer();
