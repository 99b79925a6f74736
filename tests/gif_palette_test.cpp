#include "platform/gif_palette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kPadding = 0xABCDEF;  // between rows, never a pixel: it must not be learned

// Distinct colours 0xRRGGBB for i below 65536.
uint32_t colourNumber(uint32_t i) { return (i / 256) << 16 | (i % 256) << 8 | ((i * 53) & 0xFF); }

std::vector<uint32_t> colourRange(uint32_t first, uint32_t end) {
    std::vector<uint32_t> colours(end - first);
    std::iota(colours.begin(), colours.end(), first);
    for (uint32_t& colour : colours) colour = colourNumber(colour);
    return colours;
}

// Two rows, the second the first reversed, with padding after each row.
struct Frame {
    std::vector<uint32_t> colours;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> indexes;
    int width;
    int stride;

    explicit Frame(std::vector<uint32_t> rowColours)
        : colours(std::move(rowColours)), width(static_cast<int>(colours.size())), stride(width * 4 + 8) {
        for (int row = 0; row < 2; ++row) {
            for (int x = 0; x < width; ++x) put(colours[static_cast<size_t>(row == 0 ? x : width - 1 - x)]);
            put(kPadding);
            put(kPadding);
        }
        indexes.assign(static_cast<size_t>(stride) * 2, 0);
    }
    void put(uint32_t colour) {
        bytes.insert(bytes.end(), {uint8_t(colour), uint8_t(colour >> 8), uint8_t(colour >> 16), 0x5A});
    }
    PixelRows pixels() const { return {bytes.data(), stride, width, 2}; }
    IndexRows indexRows() { return {indexes.data(), stride}; }
    uint32_t colourAt(int x, int row) const { return colours[static_cast<size_t>(row == 0 ? x : width - 1 - x)]; }
    uint8_t indexAt(int x, int row) const { return indexes[static_cast<size_t>(row * stride + x)]; }
};

int channelDistance(uint32_t a, uint32_t b) {
    int most = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        most = std::max(most, std::abs(static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF)));
    }
    return most;
}

TEST(GifPalette, FramesShareOnePaletteUntilOneDoesNotFit) {
    struct Case {
        const char* name;
        std::vector<std::vector<uint32_t>> frames;
        std::vector<bool> own;     // the frame gets a palette of its own
        std::vector<bool> exact;   // every pixel keeps its colour
    };
    const Case cases[] = {
        {"a few colours", {{0x000000, 0xFFFFFF, 0x123456}}, {false}, {true}},
        {"later frames add to the shared palette", {{1, 2, 3}, {3, 4, 5}, {5, 1}}, {false, false, false},
         {true, true, true}},
        {"255 colours fit", {colourRange(0, 255)}, {false}, {true}},
        {"the frame that does not fit, and every later one, get their own",
         {colourRange(0, 200), colourRange(200, 300), {colourNumber(1)}}, {false, true, true}, {true, true, true}},
        {"more than 255 colours in one frame come close", {colourRange(0, 300)}, {true}, {false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SharedPalette shared;
        for (size_t f = 0; f < c.frames.size(); ++f) {
            SCOPED_TRACE("frame " + std::to_string(f));
            Frame frame(c.frames[f]);
            Palette palette = mapToPalette(shared, frame.pixels(), frame.indexRows());
            EXPECT_EQ(shared.ownPalettes, c.own[f]);
            EXPECT_EQ(palette[kTransparentIndex], c.own[f] ? 0x00FFFFFFu : 0u);
            for (int row = 0; row < 2; ++row) {
                for (int x = 0; x < frame.width; ++x) {
                    uint8_t index = frame.indexAt(x, row);
                    ASSERT_NE(index, kTransparentIndex);
                    uint32_t colour = frame.colourAt(x, row);
                    if (c.exact[f]) {
                        ASSERT_EQ(palette[index], 0xFF000000 | colour) << "at " << x << ", " << row;
                    } else {
                        ASSERT_EQ(palette[index] >> 24, 0xFFu);
                        ASSERT_LE(channelDistance(palette[index], colour), 25) << "at " << x << ", " << row;
                    }
                }
            }
        }
        EXPECT_EQ(shared.indexOf.count(kPadding), 0u);
    }
}

TEST(GifPalette, UnusedEntriesAreOpaqueBlack) {
    Frame frame({0x102030, 0x405060});
    SharedPalette shared;
    Palette palette = mapToPalette(shared, frame.pixels(), frame.indexRows());
    EXPECT_EQ(palette[0], 0xFF102030u);
    EXPECT_EQ(palette[1], 0xFF405060u);
    for (int i = 2; i < kTransparentIndex; ++i) ASSERT_EQ(palette[static_cast<size_t>(i)], 0xFF000000u) << i;
}

}  // namespace
