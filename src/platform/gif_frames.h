#pragma once
// GIF frames are held, losslessly compressed by zmbv in memory, until the last one has come:
// only then are all their colours known, and the palette built from them. Results are 0 or a
// negative FFmpeg error number.

#include <cstdint>
#include <functional>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

#include "platform/gif_palette.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

struct GifFrames {
    struct Held {
        int64_t position;
        std::vector<uint8_t> bytes;  // a zmbv packet
        bool repeat = false;         // the previous frame again, with no packet
    };
    AVCodecContext* holder = nullptr;
    AVFrame* frame = nullptr;  // the last frame held: B, G, R, 0, top row first
    AVPacket* packet = nullptr;
    std::vector<Held> held;
    int width = 0;
    int height = 0;

    GifFrames() = default;
    GifFrames(const GifFrames&) = delete;
    GifFrames& operator=(const GifFrames&) = delete;
    ~GifFrames();
};

// Frames of this size, at positions counted in timeBase.
int openGifFrames(GifFrames& frames, int width, int height, AVRational timeBase);

// A screen that stays for many frames is held once, the later frames as repeats.
int holdGifFrame(GifFrames& frames, PixelRows pixels, int64_t position);

// The frame held last, shown again at position.
int holdGifRepeat(GifFrames& frames, int64_t position);

// The holder hands over what it still keeps; no frame is held after this.
int finishHoldingGifFrames(GifFrames& frames);

// Hands every held frame, decoded, to use(pixels, position, repeat), in order; stops at the
// first failure and returns it. A repeat shows the pixels of the frame before it.
using HeldFrameUse = std::function<int(PixelRows pixels, int64_t position, bool repeat)>;
int replayGifFrames(const GifFrames& frames, const HeldFrameUse& use);
