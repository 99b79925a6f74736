#pragma once
// PNG frames: a painted picture as 8-bit RGBA, doubled with -double, encoded by LodePNG.

#include <cstdint>
#include <string>
#include <vector>

#include "emission/frame_files.h"
#include "render/surface.h"

// Top-down RGBA rows of surface, each pixel repeated factor x factor times (factor 1 or 2).
std::vector<uint8_t> pngImageBuffer(const Surface& surface, int32_t factor);

struct EncodedPng {
    unsigned error = 0;          // LodePNG's code; bytes is empty when it is not 0
    std::vector<uint8_t> bytes;  // the whole PNG file
};

// The same bytes LodePNG's encode-to-file call would save, with its default settings.
EncodedPng encodePng(const Surface& surface, int32_t factor);

// Encodes surface and writes path as a frame file. An encoder failure prints "encoder error N:
// text"; a file that cannot be written is counted among the unwritten frames. True when the
// file was written.
bool writePngImage(const std::string& path, const Surface& surface, int32_t factor, UnwrittenFrames& unwritten);

