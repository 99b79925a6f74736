#pragma once
// The basic emulation: applies one record's payload to the screen grid.

#include <cstdint>
#include <span>

#include "terminal/screen_grid.h"

void applyPayload(ScreenGrid& grid, std::span<const uint8_t> payload);
