#pragma once
// PNG frames: mainSurface as 8-bit RGBA, doubled with -double, encoded by LodePNG.

#include <cstdint>
#include <string>
#include <vector>

#include "render/surface.h"

// Top-down RGBA rows of surface, each pixel repeated factor x factor times (factor 1 or 2).
std::vector<uint8_t> pngImageBuffer(const Surface& surface, int32_t factor);

// Encodes mainSurface to path; an encoder failure prints "encoder error N: text".
void writePngFrame(const std::string& path);
