#pragma once
// Uncompressed 32-bit BMP files: a 54-byte header and the surface's pixel block as it is.

#include <cstdint>
#include <string>
#include <vector>

#include "render/surface.h"

constexpr int kBmpHeaderSize = 54;

// The whole file in memory: header followed by width * height * 4 pixel bytes.
std::vector<uint8_t> encodeBmp(int32_t width, int32_t height, const uint8_t* pixels);

// A file that cannot be written is skipped silently.
void writeBmp(const std::string& path, int32_t width, int32_t height, const uint8_t* pixels);

// Scales picture into doubled (each pixel a 2 x 2 block) and writes that; doubled is the
// caller's buffer, kept to spare an allocation a frame.
void writeDoubledBmp(const std::string& path, const Surface& picture, Surface& doubled);
