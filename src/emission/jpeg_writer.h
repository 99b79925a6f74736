#pragma once
// A painted picture as one JPEG file, at full quality, through FFmpeg's JPEG encoder.

#include <cstdint>
#include <string>
#include <vector>

#include "render/surface.h"

struct EncodedJpeg {
    std::string error;           // why it could not be encoded; bytes is empty then
    std::vector<uint8_t> bytes;  // the whole JPEG file
};

// surface, each pixel repeated factor x factor times (factor 1 or 2), with its colours unshared
// (4:4:4) and the finest quantizer.
EncodedJpeg encodeJpeg(const Surface& surface, int32_t factor);

// Whether name ends in .jpg or .jpeg, whatever its letter case.
bool namesJpeg(const std::string& name);
