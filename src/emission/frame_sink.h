#pragma once
// Where an emission's movie frames go: the movie writer, or one worker's segment of the movie.

#include <cstdint>

#include "platform/bitmap.h"

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Results as the AVI calls give them: 0 when taken. A missing or unreadable bitmap is
    // refused, and its frame is not written.
    virtual uint32_t setCompression(const Bitmap* bitmap) = 0;
    virtual uint32_t addFrame(const Bitmap* bitmap) = 0;
};
