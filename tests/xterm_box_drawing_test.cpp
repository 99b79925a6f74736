// Box drawing and block elements: exact pixels for the shapes that must join the default
// renderer's strokes, and the structure of the rest.

#include "render/box_drawing.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"

namespace {

constexpr Colour kInk = 0x123456;
constexpr int32_t kCellX = 10;  // the cell under test: column 1, row 1 of a 3 x 3 surface
constexpr int32_t kCellY = 20;

using Pixels = std::set<std::pair<int32_t, int32_t>>;  // (x, y) inside the cell

// Draws code point in the middle cell and returns the inked pixels, cell-relative; pixels inked
// outside the cell are returned with their offset too, so that they show up as errors.
Pixels drawn(uint32_t codePoint, bool* handled = nullptr) {
    Surface surface;
    allocSurface(surface, 30, 60);
    fillRect(surface, 0, 0, 29, 59, 0);
    bool result = drawBoxDrawing(surface, codePoint, kCellX, kCellY, kInk);
    if (handled != nullptr) *handled = result;
    Pixels pixels;
    for (int32_t y = 0; y < 60; ++y) {
        for (int32_t x = 0; x < 30; ++x) {
            if (colourAt(surface, x, y) == kInk) pixels.insert({x - kCellX, y - kCellY});
        }
    }
    return pixels;
}

Pixels hLine(int32_t x0, int32_t x1, int32_t y) {
    Pixels pixels;
    for (int32_t x = x0; x <= x1; ++x) pixels.insert({x, y});
    return pixels;
}

Pixels vLine(int32_t x, int32_t y0, int32_t y1) {
    Pixels pixels;
    for (int32_t y = y0; y <= y1; ++y) pixels.insert({x, y});
    return pixels;
}

Pixels rect(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    Pixels pixels;
    for (int32_t y = y0; y <= y1; ++y) {
        for (int32_t x = x0; x <= x1; ++x) pixels.insert({x, y});
    }
    return pixels;
}

Pixels join(std::initializer_list<Pixels> parts) {
    Pixels all;
    for (const Pixels& part : parts) all.insert(part.begin(), part.end());
    return all;
}

// The eleven single light lines are the default renderer's strokes: one pixel on column 5 and
// row 10, arms from the edge to the centre inclusive.
TEST(BoxDrawingTest, SingleLinesAreTheDefaultStrokes) {
    const Pixels left = hLine(0, 5, 10), right = hLine(5, 9, 10), up = vLine(5, 0, 10), down = vLine(5, 10, 19);
    const std::vector<std::pair<uint32_t, Pixels>> cases = {
        {0x2500, join({left, right})},          {0x2502, join({up, down})},
        {0x250C, join({right, down})},          {0x2510, join({left, down})},
        {0x2514, join({up, right})},            {0x2518, join({up, left})},
        {0x251C, join({up, down, right})},      {0x2524, join({up, down, left})},
        {0x252C, join({left, right, down})},    {0x2534, join({left, right, up})},
        {0x253C, join({left, right, up, down})}, {0x2574, left},
        {0x2575, up},                           {0x2576, right},
        {0x2577, down},
    };
    for (const auto& [codePoint, pixels] : cases) EXPECT_EQ(drawn(codePoint), pixels) << std::hex << codePoint;
}

TEST(BoxDrawingTest, HeavyLinesAreThreePixelsWide) {
    EXPECT_EQ(drawn(0x2501), rect(0, 9, 9, 11));  // ━
    EXPECT_EQ(drawn(0x2503), rect(4, 0, 6, 19));  // ┃
    EXPECT_EQ(drawn(0x250F), join({rect(4, 9, 9, 11), rect(4, 9, 6, 19)}));  // ┏ square corner
    // ┍: heavy right, light down
    EXPECT_EQ(drawn(0x250D), join({rect(4, 9, 9, 11), vLine(5, 10, 19)}));
}

TEST(BoxDrawingTest, DoubleLinesAreTwoStrokesTwoPixelsFromTheCentre) {
    EXPECT_EQ(drawn(0x2550), join({hLine(0, 9, 8), hLine(0, 9, 12)}));  // ═
    EXPECT_EQ(drawn(0x2551), join({vLine(3, 0, 19), vLine(7, 0, 19)}));  // ║
    // ╔: the outer stroke turns the corner, the inner one meets it inside
    EXPECT_EQ(drawn(0x2554), join({hLine(3, 9, 8), vLine(3, 8, 19), hLine(7, 9, 12), vLine(7, 12, 19)}));
    // ╬: four corners, nothing through the middle
    EXPECT_EQ(drawn(0x256C), join({hLine(0, 3, 8), hLine(0, 3, 12), hLine(7, 9, 8), hLine(7, 9, 12),
                                   vLine(3, 0, 8), vLine(7, 0, 8), vLine(3, 12, 19), vLine(7, 12, 19)}));
    // ╦: a straight top stroke over two inner corners
    EXPECT_EQ(drawn(0x2566), join({hLine(0, 9, 8), hLine(0, 3, 12), hLine(7, 9, 12), vLine(3, 12, 19),
                                   vLine(7, 12, 19)}));
}

TEST(BoxDrawingTest, MixedSingleAndDoubleLinesJoin) {
    // ╒: down single, right double: the single line runs up to the upper stroke
    EXPECT_EQ(drawn(0x2552), join({hLine(5, 9, 8), hLine(5, 9, 12), vLine(5, 8, 19)}));
    // ╢: vertical double, left single: the single line stops at the near stroke
    EXPECT_EQ(drawn(0x2562), join({vLine(3, 0, 19), vLine(7, 0, 19), hLine(0, 3, 10)}));
    // ╫: vertical double crossed by a single horizontal
    EXPECT_EQ(drawn(0x256B), join({vLine(3, 0, 19), vLine(7, 0, 19), hLine(0, 9, 10)}));
    // ╪: horizontal double crossed by a single vertical
    EXPECT_EQ(drawn(0x256A), join({hLine(0, 9, 8), hLine(0, 9, 12), vLine(5, 0, 19)}));
}

TEST(BoxDrawingTest, DashedLinesHaveGaps) {
    struct Case {
        uint32_t codePoint;
        Pixels pixels;
    };
    const Case cases[] = {
        {0x254C, join({hLine(0, 2, 10), hLine(5, 7, 10)})},                   // ╌
        {0x2504, join({hLine(0, 1, 10), hLine(3, 4, 10), hLine(6, 7, 10)})},  // ┄
        {0x250A, join({vLine(5, 0, 2), vLine(5, 5, 7), vLine(5, 10, 12), vLine(5, 15, 17)})},  // ┊
        {0x254F, join({rect(4, 0, 6, 6), rect(4, 10, 6, 16)})},               // ╏
    };
    for (const Case& c : cases) EXPECT_EQ(drawn(c.codePoint), c.pixels) << std::hex << c.codePoint;
}

TEST(BoxDrawingTest, RoundedCornersCutTheCorner) {
    EXPECT_EQ(drawn(0x256D), join({hLine(7, 9, 10), vLine(5, 12, 19), {{6, 11}}}));  // ╭
    EXPECT_EQ(drawn(0x256F), join({hLine(0, 3, 10), vLine(5, 0, 8), {{4, 9}}}));     // ╯
}

TEST(BoxDrawingTest, DiagonalsRunCornerToCorner) {
    Pixels falling = drawn(0x2572);
    EXPECT_EQ(falling.size(), 20u);
    EXPECT_TRUE(falling.count({0, 0}) && falling.count({9, 19}));
    Pixels rising = drawn(0x2571);
    EXPECT_TRUE(rising.count({9, 0}) && rising.count({0, 19}));
    EXPECT_EQ(drawn(0x2573), join({falling, rising}));
}

TEST(BoxDrawingTest, BlockElementsFillTheirPart) {
    struct Case {
        uint32_t codePoint;
        Pixels pixels;
    };
    const Case cases[] = {
        {0x2580, rect(0, 0, 9, 9)},    // ▀
        {0x2581, rect(0, 17, 9, 19)},  // ▁ one eighth of 20 rows, rounded: 3
        {0x2584, rect(0, 10, 9, 19)},  // ▄
        {0x2587, rect(0, 2, 9, 19)},   // ▇
        {0x2588, rect(0, 0, 9, 19)},   // █
        {0x2589, rect(0, 0, 8, 19)},   // ▉
        {0x258C, rect(0, 0, 4, 19)},   // ▌
        {0x258F, rect(0, 0, 0, 19)},   // ▏
        {0x2590, rect(5, 0, 9, 19)},   // ▐
        {0x2594, rect(0, 0, 9, 2)},    // ▔
        {0x2595, rect(9, 0, 9, 19)},   // ▕
        {0x2596, rect(0, 10, 4, 19)},  // ▖
        {0x259A, join({rect(0, 0, 4, 9), rect(5, 10, 9, 19)})},                     // ▚
        {0x259F, join({rect(5, 0, 9, 9), rect(0, 10, 4, 19), rect(5, 10, 9, 19)})},  // ▟
    };
    for (const Case& c : cases) EXPECT_EQ(drawn(c.codePoint), c.pixels) << std::hex << c.codePoint;
}

TEST(BoxDrawingTest, ShadesCoverAQuarterAHalfAndThreeQuarters) {
    EXPECT_EQ(drawn(0x2591).size(), 50u);
    EXPECT_EQ(drawn(0x2592).size(), 100u);
    EXPECT_EQ(drawn(0x2593).size(), 150u);
    Pixels medium = drawn(0x2592);
    EXPECT_TRUE(medium.count({0, 0}) && !medium.count({1, 0}) && medium.count({1, 1}));
}

// Every code point of the range draws something, and only inside its own cell.
TEST(BoxDrawingTest, EveryShapeStaysInItsCell) {
    for (uint32_t codePoint = kFirstBoxDrawing; codePoint <= kLastBlockElement; ++codePoint) {
        bool handled = false;
        Pixels pixels = drawn(codePoint, &handled);
        EXPECT_TRUE(handled) << std::hex << codePoint;
        EXPECT_FALSE(pixels.empty()) << std::hex << codePoint;
        for (const auto& [x, y] : pixels) {
            EXPECT_TRUE(x >= 0 && x < 10 && y >= 0 && y < 20) << std::hex << codePoint << " at " << x << "," << y;
        }
    }
}

TEST(BoxDrawingTest, OtherCodePointsAreLeftAlone) {
    for (uint32_t codePoint : {0x24FFu, 0x25A0u, uint32_t{'q'}, 0u}) {
        bool handled = true;
        EXPECT_TRUE(drawn(codePoint, &handled).empty());
        EXPECT_FALSE(handled);
    }
}

}  // namespace
