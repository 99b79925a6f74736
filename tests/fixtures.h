#pragma once
// Shared fixtures: a working directory and PATH for the font search, and pixel reads from
// surfaces and frame files.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "render/surface.h"
#include "test_support.h"

// Each test starts from fresh process-wide state in a new temporary working directory with PATH
// empty, so that the font search finds only the font.txt a test puts in dir_; the working
// directory and PATH are restored afterwards.
class FontSearchTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    fs::path dir_;

private:
    fs::path startDir_;
    std::optional<std::string> savedPath_;
};

// Pixel (x, y), y = 0 at the top, of a bottom-up 32-bit block.
inline const uint8_t* pixelAt(const uint8_t* block, int32_t width, int32_t height, int32_t x, int32_t y) {
    return block + 4 * (static_cast<size_t>(x) + static_cast<size_t>(height - 1 - y) * static_cast<size_t>(width));
}

// The colour at (x, y) of a surface, y = 0 at the top: all four bytes of the pixel.
Colour colourAt(const Surface& surface, int32_t x, int32_t y);

// A PNG file decoded to 8-bit RGBA, rows from the top.
struct PngImage {
    unsigned error = 0;  // LodePNG's error code; 0 when the file decoded
    unsigned width = 0;
    unsigned height = 0;
    std::vector<uint8_t> rgba;

    const uint8_t* at(unsigned x, unsigned y) const { return rgba.data() + 4 * (static_cast<size_t>(y) * width + x); }
    uint32_t rgbAt(unsigned x, unsigned y) const {
        const uint8_t* p = at(x, y);
        return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    }
};

PngImage readPng(const fs::path& path);
