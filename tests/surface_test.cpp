#include "render/renderer.h"
#include "render/surface.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using PixelSet = std::set<std::pair<int32_t, int32_t>>;

constexpr Colour kInk = 0x123456;
constexpr Colour kPaper = 0xFFFFFF;

PixelSet pixelsOf(const Surface& surface, Colour colour) {
    PixelSet found;
    for (int32_t y = 0; y < surface.height; ++y) {
        for (int32_t x = 0; x < surface.width; ++x) {
            if (colourAt(surface, x, y) == colour) found.insert({x, y});
        }
    }
    return found;
}

PixelSet row(int32_t y, std::initializer_list<int32_t> xs) {
    PixelSet pixels;
    for (int32_t x : xs) pixels.insert({x, y});
    return pixels;
}

PixelSet column(int32_t x, std::initializer_list<int32_t> ys) {
    PixelSet pixels;
    for (int32_t y : ys) pixels.insert({x, y});
    return pixels;
}

Surface whiteSurface(int32_t width, int32_t height) {
    Surface surface;
    allocSurface(surface, width, height);
    return surface;
}

class SurfaceTest : public testing::Test {
protected:
    void SetUp() override { resetAll(); }
};

TEST_F(SurfaceTest, AllocPaintsWhiteInBmpByteOrder) {
    Surface surface = whiteSurface(2, 2);
    EXPECT_EQ(surface.width, 2);
    EXPECT_EQ(surface.height, 2);
    const Bytes white{0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(surface.pixels, white);
}

TEST_F(SurfaceTest, ReallocRepaintsWhiteAtNewSize) {
    Surface surface = whiteSurface(2, 2);
    fillRect(surface, 0, 0, 1, 1, kInk);
    allocSurface(surface, 3, 1);
    EXPECT_EQ(surface.width, 3);
    EXPECT_EQ(surface.height, 1);
    EXPECT_EQ(surface.pixels,
              (Bytes{0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0}));
}

TEST_F(SurfaceTest, NegativeSizeGivesEmptySurface) {
    Surface surface = whiteSurface(-3, 4);
    EXPECT_EQ(surface.width, 0);
    EXPECT_TRUE(surface.pixels.empty());
    putPixel(surface, 0, 0, kInk);  // nothing to write into, nothing to crash
}

// Rows are stored bottom-up: the top image row is the last row in memory.
TEST_F(SurfaceTest, PutPixelWritesAtBottomUpByteOffset) {
    struct Case {
        int32_t x, y;
        size_t offset;
    };
    for (Case c : {Case{0, 0, 12}, Case{2, 1, 8}, Case{0, 1, 0}, Case{2, 0, 20}}) {
        SCOPED_TRACE(testing::Message() << "(" << c.x << ", " << c.y << ")");
        Surface surface = whiteSurface(3, 2);
        putPixel(surface, c.x, c.y, 0x004080);
        Bytes expected(24, 0xFF);
        for (size_t i = 3; i < 24; i += 4) expected[i] = 0;
        expected[c.offset] = 0x80;
        expected[c.offset + 1] = 0x40;
        expected[c.offset + 2] = 0x00;
        expected[c.offset + 3] = 0x00;
        EXPECT_EQ(surface.pixels, expected);
    }
}

TEST_F(SurfaceTest, PutPixelStoresAllFourColourBytesLowFirst) {
    Surface surface = whiteSurface(1, 1);
    putPixel(surface, 0, 0, 0x7A123456);
    EXPECT_EQ(surface.pixels, (Bytes{0x56, 0x34, 0x12, 0x7A}));
}

TEST_F(SurfaceTest, PutPixelOutsideChangesNothing) {
    struct Case {
        int32_t x, y;
    };
    for (Case c : {Case{3, 0}, Case{0, 2}, Case{-1, 0}, Case{0, -1}, Case{INT32_MIN, INT32_MAX}}) {
        SCOPED_TRACE(testing::Message() << "(" << c.x << ", " << c.y << ")");
        Surface surface = whiteSurface(3, 2);
        Bytes before = surface.pixels;
        putPixel(surface, c.x, c.y, kInk);
        EXPECT_EQ(surface.pixels, before);
    }
}

TEST_F(SurfaceTest, LinesFollowAbsoluteDashPattern) {
    struct Case {
        const char* name;
        int32_t from, to;
        bool dashed;
        std::initializer_list<int32_t> drawn;
    };
    const Case cases[] = {
        {"dashed 0..13", 0, 13, true, {0, 1, 2, 3, 4, 7, 8, 9, 10, 11}},
        {"solid 0..13", 0, 13, false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
        {"dashed from a gap", 5, 15, true, {7, 8, 9, 10, 11, 14, 15}},
        {"dashed from below zero", -20, 2, true, {0, 1, 2}},
        {"reversed", 8, 3, false, {}},
        {"reversed dashed", 8, 3, true, {}},
        {"single pixel in a gap", 13, 13, true, {}},
        {"beyond both edges", INT32_MIN, INT32_MAX, true, {0, 1, 2, 3, 4, 7, 8, 9, 10, 11, 14, 15}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Surface horizontal = whiteSurface(16, 3);
        drawHLine(horizontal, c.from, c.to, 1, kInk, c.dashed);
        EXPECT_EQ(pixelsOf(horizontal, kInk), row(1, c.drawn));

        Surface vertical = whiteSurface(3, 16);
        drawVLine(vertical, 2, c.from, c.to, kInk, c.dashed);
        EXPECT_EQ(pixelsOf(vertical, kInk), column(2, c.drawn));
    }
}

TEST_F(SurfaceTest, LineOffTheSurfaceDrawsNothing) {
    Surface surface = whiteSurface(4, 4);
    drawHLine(surface, 0, 3, 4, kInk, false);
    drawHLine(surface, 0, 3, -1, kInk, false);
    drawVLine(surface, 4, 0, 3, kInk, false);
    drawVLine(surface, -1, 0, 3, kInk, false);
    EXPECT_TRUE(pixelsOf(surface, kInk).empty());
}

TEST_F(SurfaceTest, OutlineRectColoursTheBorderOnly) {
    Surface small = whiteSurface(8, 12);
    outlineRect(small, 4, 9, 5, 10, kInk);
    EXPECT_EQ(pixelsOf(small, kInk), (PixelSet{{4, 9}, {5, 9}, {4, 10}, {5, 10}}));

    Surface large = whiteSurface(8, 8);
    outlineRect(large, 1, 2, 5, 5, kInk);
    PixelSet border;
    for (int32_t x = 1; x <= 5; ++x) border.insert({{x, 2}, {x, 5}});
    for (int32_t y = 2; y <= 5; ++y) border.insert({{1, y}, {5, y}});
    EXPECT_EQ(pixelsOf(large, kInk), border);
}

TEST_F(SurfaceTest, OutlineRectClipsAtTheEdges) {
    Surface surface = whiteSurface(4, 4);
    outlineRect(surface, -1, 1, 2, 6, kInk);
    // Left and bottom sides lie outside; the top side and the right side remain.
    PixelSet expected{{0, 1}, {1, 1}, {2, 1}, {2, 2}, {2, 3}};
    EXPECT_EQ(pixelsOf(surface, kInk), expected);
}

TEST_F(SurfaceTest, FillRectClipsWithoutWrapping) {
    struct Case {
        const char* name;
        int32_t x0, y0, x1, y1;
        PixelSet drawn;
    };
    const Case cases[] = {
        {"past the right edge", 2, 1, 9, 1, {{2, 1}, {3, 1}}},
        {"past the left edge", -5, 0, 0, 0, {{0, 0}}},
        {"past top and bottom", 1, -3, 1, 7, {{1, 0}, {1, 1}, {1, 2}}},
        {"reversed x", 3, 0, 2, 2, {}},
        {"reversed y", 0, 2, 3, 1, {}},
        {"wholly outside", 4, 0, 9, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Surface surface = whiteSurface(4, 3);
        fillRect(surface, c.x0, c.y0, c.x1, c.y1, kInk);
        EXPECT_EQ(pixelsOf(surface, kInk), c.drawn);
    }
}

TEST_F(SurfaceTest, FillRectWithExtremeBoundsCoversTheSurface) {
    Surface surface = whiteSurface(5, 3);
    fillRect(surface, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, kInk);
    EXPECT_EQ(pixelsOf(surface, kInk).size(), 15u);
}

TEST_F(SurfaceTest, PutPixelRowClipsEachPixel) {
    const Colour colours[] = {1, 2, 3, 4, 5};
    Surface surface = whiteSurface(4, 2);
    putPixelRow(surface, -2, 0, colours);
    putPixelRow(surface, 2, 1, colours);
    putPixelRow(surface, 0, 2, colours);
    putPixelRow(surface, INT32_MAX - 1, 1, colours);
    EXPECT_EQ(colourAt(surface, 0, 0), 3);
    EXPECT_EQ(colourAt(surface, 1, 0), 4);
    EXPECT_EQ(colourAt(surface, 2, 0), 5);
    EXPECT_EQ(colourAt(surface, 3, 0), kPaper);
    EXPECT_EQ(colourAt(surface, 0, 1), kPaper);
    EXPECT_EQ(colourAt(surface, 1, 1), kPaper);
    EXPECT_EQ(colourAt(surface, 2, 1), 1);
    EXPECT_EQ(colourAt(surface, 3, 1), 2);
}

// Rows and rectangles store whole pixels at a time; each must leave the bytes that putPixel
// leaves, for colours using all four bytes, the top one included.
TEST_F(SurfaceTest, RowsAndRectanglesStoreThePutPixelBytes) {
    const Colour colours[] = {0x7A123456, -1, static_cast<Colour>(0x80FF0001u), 0x00ABCDEF};
    Surface expected = whiteSurface(6, 3);
    for (int32_t x = 0; x < 4; ++x) putPixel(expected, x + 1, 1, colours[x]);
    for (int32_t y = 0; y < 3; ++y) putPixel(expected, 5, y, colours[0]);

    Surface drawn = whiteSurface(6, 3);
    putPixelRow(drawn, 1, 1, colours);
    fillRect(drawn, 5, 0, 5, 2, colours[0]);
    EXPECT_EQ(drawn.pixels, expected.pixels);
    EXPECT_EQ(colourAt(drawn, 1, 1), 0x7A123456);
    EXPECT_EQ(colourAt(drawn, 2, 1), -1);
}

TEST_F(SurfaceTest, NewPaintersStartWithoutPixels) {
    RenderOptions padded;
    padded.padding = 2;
    Painter first(RenderOptions{});
    const Painter second(padded);
    for (const Surface* surface : {&first.frame(), &second.frame(), &second.canvas()}) {
        EXPECT_TRUE(surface->pixels.empty());
        EXPECT_EQ(surface->width, 0);
        EXPECT_EQ(surface->height, 0);
    }
}

TEST_F(SurfaceTest, EveryAllocationTakesANewGeneration) {
    Surface surface;
    allocSurface(surface, 4, 4);
    const uint64_t first = surface.generation;
    allocSurface(surface, 4, 4);
    EXPECT_NE(surface.generation, first);
}

// Turning the ring shows rows further down (wrapping), in any number of turns either way; settling
// lays the same picture out as a BMP's.
TEST_F(SurfaceTest, TurnedRowsShowTheRowsBelowAndSettleIntoTheSamePicture) {
    constexpr int32_t kRows = 5;
    for (std::vector<int32_t> turns : std::vector<std::vector<int32_t>>{{1}, {-1}, {2, 2}, {7}, {-12, 4}, {5}}) {
        Surface surface;
        allocSurface(surface, 3, kRows);
        for (int32_t y = 0; y < kRows; ++y) fillRect(surface, 0, y, 2, y, 0x101010 * (y + 1));
        int32_t total = 0;
        for (int32_t rows : turns) {
            turnRows(surface, rows);
            total += rows;
        }
        auto shownAt = [&](int32_t y) { return 0x101010 * (((y + total) % kRows + kRows) % kRows + 1); };
        for (int32_t y = 0; y < kRows; ++y) {
            fillRect(surface, 1, y, 1, y, 0xABCDEF);  // painting goes through the ring as well
            EXPECT_EQ(colourAt(surface, 0, y), shownAt(y)) << "turned by " << total << ", row " << y;
        }
        settleRows(surface);
        EXPECT_EQ(surface.turn, 0);
        for (int32_t y = 0; y < kRows; ++y) {
            const uint8_t* memory = surface.pixels.data() + 12 * static_cast<size_t>(kRows - 1 - y);
            EXPECT_EQ(memory[0] | memory[1] << 8 | memory[2] << 16, shownAt(y)) << "settled, row " << y;
            EXPECT_EQ(memory[4] | memory[5] << 8 | memory[6] << 16, 0xABCDEF) << "settled, row " << y;
        }
    }
}

}  // namespace
