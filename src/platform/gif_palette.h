#pragma once
// GIF palettes: frames of B, G, R, x pixels in, palettes of 256 colours and one index a pixel
// out. On terminal screens one exact palette, learned from the colours of every frame before
// the first is written, serves the whole file: the GIF's global one, against which the encoder
// stores only what changed.
// When the frames hold more colours than that, the frames that need others, and all after
// them, get palettes of their own.

#include <array>
#include <cstdint>
#include <span>
#include <unordered_map>

// Pixels of four bytes, B, G, R and one ignored, top row first; rows stride bytes apart (a
// negative stride walks a bottom-up block from its last row).
struct PixelRows {
    const uint8_t* top = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
};

// One palette index a pixel, as many rows as the pixels, stride bytes apart.
struct IndexRows {
    uint8_t* top = nullptr;
    int stride = 0;
};

// 0xAARRGGBB, as FFmpeg's paletted frames hold them. The last index is transparent and never a
// colour: the encoder marks unchanged pixels with it. Unused entries are opaque black, so that
// the encoder finds the transparent one at the end.
using Palette = std::array<uint32_t, 256>;

constexpr int kTransparentIndex = 255;

// The colours learned so far for the palette that the frames share.
struct SharedPalette {
    std::array<uint32_t, 256> colours{};  // 0xRRGGBB
    int count = 0;
    std::unordered_map<uint32_t, uint8_t> indexOf;
    bool ownPalettes = false;  // a frame did not fit: it and every later one get their own
};

// A shared palette holding these colours (0xRRGGBB, each once), for frames whose colours are
// known before the run.
SharedPalette sharedPaletteOf(std::span<const uint32_t> colours);

// Indexes in the shared palette, which takes in new colours while it has room; false when the
// frame has a colour it cannot take (the indexes are then incomplete). With indexes.top null
// the colours are only learned.
bool mapToSharedPalette(SharedPalette& shared, PixelRows pixels, IndexRows indexes);

// A palette for this frame alone: exact up to 255 colours, else the nearest of 6 x 7 x 6
// levels. It never equals a shared palette: the encoder would take the frame for one on the
// shared palette and compare its indexes with the previous frame's, which mean other colours.
Palette mapToOwnPalette(PixelRows pixels, IndexRows indexes);

// The frame's indexes and palette: the shared one while the frames fit it, then their own.
Palette mapToPalette(SharedPalette& shared, PixelRows pixels, IndexRows indexes);

// The shared palette's colours as a frame carries them.
Palette sharedPaletteColours(const SharedPalette& shared);
