#include "render/fallback_font.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fixtures.h"
#include "test_support.h"

namespace {

constexpr Colour kInk = 0xFFFFFF;
constexpr Colour kPaper = 0x000000;
constexpr Colour kUntouched = 0x00AA55;

Surface markedSurface(int32_t width, int32_t height) {
    Surface surface;
    allocSurface(surface, width, height);
    fillRect(surface, 0, 0, width - 1, height - 1, kUntouched);
    return surface;
}

// The picture expected around a character drawn at (x, y): its 12 x 16 block of doubled
// bitmap pixels starting `shift` rows lower, and everything else untouched.
Colour expectedAt(const std::array<uint8_t, 8>& rows, int32_t shift, int32_t x, int32_t y,
                  int32_t px, int32_t py, Colour background) {
    int32_t bx = px - x;
    int32_t by = py - y - shift;
    if (bx < 0 || bx >= 12 || by < 0 || by >= 16) return kUntouched;
    bool ink = (rows[static_cast<size_t>(by / 2)] >> (5 - bx / 2)) & 1;
    if (ink) return kInk;
    return background < 0 ? kUntouched : background;
}

class FallbackFontTest : public testing::Test {
protected:
    void SetUp() override { resetAll(); }
};

TEST_F(FallbackFontTest, CapitalAStartsWithItsTopRow) {
    Surface surface = markedSurface(14, 18);
    drawFallbackChar(surface, 'A', 0, 0, kInk, kPaper);
    for (int32_t y : {0, 1}) {
        for (int32_t x = 0; x < 12; ++x) {
            EXPECT_EQ(colourAt(surface, x, y), x >= 4 && x <= 7 ? kInk : kPaper)
                << "x=" << x << " y=" << y;
        }
        EXPECT_EQ(colourAt(surface, 12, y), kUntouched);
    }
}

TEST_F(FallbackFontTest, CharactersMatchTheirBitmapsAndShifts) {
    struct Case {
        int32_t code;
        int32_t shift;
        std::array<uint8_t, 8> rows;
    };
    const Case cases[] = {
        {'0', 0, {0x0C, 0x12, 0x21, 0x21, 0x21, 0x21, 0x12, 0x0C}},
        {'9', 0, {0x1E, 0x21, 0x21, 0x1F, 0x01, 0x01, 0x22, 0x1C}},
        {'Z', 0, {0x3F, 0x03, 0x04, 0x08, 0x10, 0x20, 0x20, 0x3F}},
        {'.', 0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
        {',', 2, {0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x04, 0x08}},
        {'@', 0, {0x0C, 0x12, 0x21, 0x2D, 0x2D, 0x2E, 0x20, 0x1E}},
        {'\'', 0, {0x08, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {'`', 0, {0x08, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {']', 0, {0x00, 0x1C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x1C}},
        {'a', 0, {0x00, 0x00, 0x1C, 0x02, 0x0E, 0x12, 0x12, 0x0F}},
        {'g', 4, {0x00, 0x0E, 0x12, 0x12, 0x0E, 0x02, 0x12, 0x0C}},
        {'p', 3, {0x00, 0x00, 0x3C, 0x12, 0x12, 0x1C, 0x10, 0x10}},
        {'q', 3, {0x00, 0x00, 0x0F, 0x12, 0x12, 0x0E, 0x02, 0x02}},
        {'y', 3, {0x00, 0x00, 0x11, 0x0A, 0x04, 0x08, 0x10, 0x10}},
        {'z', 0, {0x00, 0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F}},
        {';', 0, {0x00, 0x0C, 0x0C, 0x00, 0x00, 0x0C, 0x04, 0x08}},
        {176, 0, {0x2A, 0x15, 0x2A, 0x15, 0x2A, 0x15, 0x2A, 0x15}},
        {-80, 0, {0x2A, 0x15, 0x2A, 0x15, 0x2A, 0x15, 0x2A, 0x15}},  // 176 as a signed char
    };
    constexpr int32_t x = 3;
    constexpr int32_t y = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code);
        Surface surface = markedSurface(18, 24);
        drawFallbackChar(surface, c.code, x, y, kInk, kPaper);
        for (int32_t py = 0; py < surface.height; ++py) {
            for (int32_t px = 0; px < surface.width; ++px) {
                ASSERT_EQ(colourAt(surface, px, py),
                          expectedAt(c.rows, c.shift, x, y, px, py, kPaper))
                    << "pixel (" << px << ", " << py << ")";
            }
        }
    }
}

TEST_F(FallbackFontTest, NegativeBackgroundChangesOnlyInk) {
    const std::array<uint8_t, 8> rowsOfA{0x0C, 0x12, 0x21, 0x21, 0x3F, 0x21, 0x21, 0x21};
    Surface surface = markedSurface(16, 20);
    drawFallbackChar(surface, 'A', 1, 1, kInk, -1);
    for (int32_t py = 0; py < surface.height; ++py) {
        for (int32_t px = 0; px < surface.width; ++px) {
            ASSERT_EQ(colourAt(surface, px, py), expectedAt(rowsOfA, 0, 1, 1, px, py, -1))
                << "pixel (" << px << ", " << py << ")";
        }
    }
}

TEST_F(FallbackFontTest, CharactersWithoutBitmapDrawNothing) {
    const int32_t codes[] = {' ', '\\', '|', '~', 0, '\n', 127, 128, 175, 177, 254, 255};
    for (int32_t code : codes) {
        SCOPED_TRACE(testing::Message() << "code " << code);
        Surface surface = markedSurface(14, 20);
        std::vector<uint8_t> before = surface.pixels;
        drawFallbackChar(surface, code, 0, 0, kInk, kPaper);
        EXPECT_EQ(surface.pixels, before);
    }
}

// At the right edge the bitmap's last column lies outside and must not wrap into the row
// that follows in memory.
TEST_F(FallbackFontTest, BlockIsClippedAtTheSurfaceEdges) {
    const std::array<uint8_t, 8> rowsOfM{0x21, 0x33, 0x2D, 0x21, 0x21, 0x21, 0x21, 0x21};
    Surface surface = markedSurface(20, 20);
    drawFallbackChar(surface, 'M', 10, 4, kInk, kPaper);
    for (int32_t py = 0; py < surface.height; ++py) {
        for (int32_t px = 0; px < surface.width; ++px) {
            ASSERT_EQ(colourAt(surface, px, py), expectedAt(rowsOfM, 0, 10, 4, px, py, kPaper))
                << "pixel (" << px << ", " << py << ")";
        }
    }
    Surface bottom = markedSurface(12, 10);
    drawFallbackChar(bottom, 'M', 0, 2, kInk, kPaper);
    for (int32_t py = 0; py < bottom.height; ++py) {
        for (int32_t px = 0; px < bottom.width; ++px) {
            ASSERT_EQ(colourAt(bottom, px, py), expectedAt(rowsOfM, 0, 0, 2, px, py, kPaper))
                << "pixel (" << px << ", " << py << ")";
        }
    }
}

}  // namespace
