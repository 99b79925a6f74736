#include "render/renderer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/settings.h"
#include "emission/bmp_writer.h"
#include "render/glyph_font.h"
#include "terminal/screen_grid.h"
#include "fixtures.h"
#include "test_support.h"

namespace {

std::string entry(const std::string& key, int offset, const std::vector<std::string>& rows) {
    std::string text = key + " " + std::to_string(offset) + "\n";
    for (const std::string& row : rows) text += row + "\n";
    return text;
}

std::vector<std::string> solidRows() { return std::vector<std::string>(16, "##########"); }
std::vector<std::string> blankRows() { return std::vector<std::string>(16, ".........."); }

// The test font: 'M' is solid ink from the cell's top row, 'N' solid ink two rows above its
// cell, 'O' solid ink from row 6 down into the cell below, 254 a blank glyph; nothing else.
std::string testFont() {
    return entry("M", 0, solidRows()) + entry("N", -2, solidRows()) + entry("O", 6, solidRows()) +
           entry("\xFE", 0, blankRows()) + "end\n";
}

bool allBlack(const Surface& surface) {
    for (uint8_t byte : surface.pixels) {
        if (byte != 0) return false;
    }
    return true;
}

// A small screen in a temporary working directory that holds the test font; the working
// directory and PATH are restored afterwards.
class RendererTest : public FontSearchTest {
protected:
    void SetUp() override {
        FontSearchTest::SetUp();
        writeFile(dir_ / "font.txt", testFont());
        settings.columns = 4;
        settings.rows = 3;
        resetGrid(grid_);
        start();
    }

    // The driver's stages for settings; the grid takes the terminal's size.
    void start() {
        stages_ = startStages(settings);
        grid_.columns = settings.columns;
        grid_.rows = settings.rows;
    }

    bool renderScreen() { return stages_->painter.paint(grid_).painted; }
    const Surface& frame() const { return stages_->painter.frame(); }

    // The doubled picture -double writes for the frame.
    Surface doubledFrame() const {
        Surface doubled;
        writeDoubledBmp((dir_ / "doubled.bmp").string(), frame(), doubled);
        return doubled;
    }

    // Colour counts over one cell of the frame.
    std::map<Colour, int> cellColours(int32_t row, int32_t column) const {
        std::map<Colour, int> counts;
        for (int32_t y = row * kCellHeight; y < (row + 1) * kCellHeight; ++y) {
            for (int32_t x = column * kCellWidth; x < (column + 1) * kCellWidth; ++x) {
                ++counts[colourAt(frame(), x, y)];
            }
        }
        return counts;
    }

    void setCell(int32_t row, int32_t column, uint8_t code, CellAttr attr) {
        grid_.charPlane[static_cast<size_t>(row * kGridColumns + column)] = code;
        grid_.attrPlane[static_cast<size_t>(row * kGridColumns + column)] = attr;
    }

    ScreenGrid grid_;
    std::unique_ptr<RunStages> stages_;
};

TEST_F(RendererTest, DefaultSizeSurfaces) {
    settings = RunSettings{};
    start();
    renderScreen();
    EXPECT_EQ(frame().width, 800);
    EXPECT_EQ(frame().height, 500);
    EXPECT_EQ(doubledFrame().width, 1600);
    EXPECT_EQ(doubledFrame().height, 1000);
}

TEST_F(RendererTest, SurfacesKeepTheirFirstSizeWhilePaintersLast) {
    renderScreen();
    grid_.columns = 2;
    grid_.rows = 3;
    renderScreen();
    EXPECT_EQ(frame().width, 40);
    EXPECT_EQ(doubledFrame().width, 80);
    stages_->painter = Painter(RenderOptions{});
    renderScreen();
    EXPECT_EQ(frame().width, 20);
    EXPECT_EQ(frame().height, 60);
    EXPECT_EQ(doubledFrame().width, 40);
    EXPECT_EQ(doubledFrame().height, 120);
}

TEST_F(RendererTest, OversizedScreenIsCutToTheGrid) {
    settings.columns = 500;
    settings.rows = -3;
    start();
    renderScreen();
    EXPECT_EQ(frame().width, kGridColumns * kCellWidth);
    EXPECT_EQ(frame().height, 0);
}

TEST_F(RendererTest, ClearedGridIsAllBlack) {
    renderScreen();
    EXPECT_TRUE(allBlack(frame()));
    setCell(0, 0, 'M', 0x017);
    setCell(2, 3, 196, 0x447);
    renderScreen();
    EXPECT_FALSE(allBlack(frame()));
    resetGrid(grid_);
    renderScreen();
    EXPECT_TRUE(allBlack(frame()));
}

TEST_F(RendererTest, AttributesChooseColours) {
    struct Case {
        CellAttr attr;
        Colour foreground;
        Colour background;
    };
    const Case cases[] = {
        {0x007, 0xBBBBBB, 0x000000},  // normal
        {0x107, 0xFFFFFF, 0x000000},  // bold
        {0x100, 0x777777, 0x000000},  // bold black shows grey
        {0x207, 0x000000, 0xBBBBBB},  // reverse
        {0x347, 0x0000FF, 0xFFFFFF},  // bold reverse on blue
        {0x041, 0xAF0000, 0x004080},
        {0x141, 0xFF0000, 0x0000FF},
        {0x152, 0x00FF00, 0xFF00FF},
        {0x063, 0xC0C000, 0x00A8A8},
        {0x015, 0xA800A8, 0xAF0000},
        {0x126, 0x00FFFF, 0x00FF00},
        {0x034, 0x004080, 0xC0C000},
        {0x173, 0xFFFF00, 0xFFFFFF},
        {0x009, 0xFFFFFF, 0x000000},  // foreground index above 7
        {0x10F, 0xFFFFFF, 0x000000},
        {0x097, 0xBBBBBB, 0x000000},  // background index above 7
        {0x1F7, 0xFFFFFF, 0x000000},
        {0x101, 0xFF0000, 0x000000},  // bold keeps background 0 black
        {0x2F8, 0x000000, 0xFFFFFF},  // reverse of the out-of-table colours
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "attr 0x" << std::hex << c.attr);
        resetGrid(grid_);
        setCell(1, 2, 'M', c.attr);
        renderScreen();
        // 'M' inks the top 16 rows; the bottom 4 rows keep the background.
        EXPECT_EQ(colourAt(frame(), 20, 20), c.foreground);
        EXPECT_EQ(colourAt(frame(), 29, 35), c.foreground);
        EXPECT_EQ(colourAt(frame(), 20, 36), c.background);
        EXPECT_EQ(colourAt(frame(), 29, 39), c.background);
        std::map<Colour, int> counts = cellColours(1, 2);
        if (c.foreground != c.background) {
            EXPECT_EQ(counts, (std::map<Colour, int>{{c.foreground, 160}, {c.background, 40}}));
        }
    }
}

TEST_F(RendererTest, GlyphsBeyondTheCellAreOverpaintedBelowButNotAbove) {
    resetGrid(grid_);
    setCell(1, 0, 'N', 0x007);  // reaches two rows into the cell above
    setCell(0, 1, 'O', 0x007);  // reaches two rows into the cell below
    renderScreen();
    EXPECT_EQ(colourAt(frame(), 0, 18), 0xBBBBBB);
    EXPECT_EQ(colourAt(frame(), 9, 19), 0xBBBBBB);
    EXPECT_EQ(colourAt(frame(), 0, 17), 0);
    EXPECT_EQ(colourAt(frame(), 10, 19), 0xBBBBBB);
    EXPECT_EQ(cellColours(1, 1), (std::map<Colour, int>{{0, 200}}));
}

TEST_F(RendererTest, FallbackSpillIsOverpaintedAndClipped) {
    resetGrid(grid_);
    setCell(0, 0, 'A', 0x017);  // drawn by the fallback font, two columns too wide
    setCell(0, 1, ' ', 0x027);
    setCell(1, 0, ' ', 0x037);
    setCell(1, 3, 'W', 0x017);  // spill at the right edge must not wrap into the row above it
    renderScreen();
    EXPECT_EQ(cellColours(0, 1), (std::map<Colour, int>{{0x00AF00, 200}}));
    EXPECT_EQ(cellColours(1, 0), (std::map<Colour, int>{{0xC0C000, 200}}));
    EXPECT_EQ(colourAt(frame(), 4, 0), 0xBBBBBB);  // fallback 'A' row 0 is 0C
    EXPECT_EQ(colourAt(frame(), 30, 20), 0xBBBBBB);  // 'W' row 0 is 21
}

TEST_F(RendererTest, UnderlineIsDashedOnTheBottomRow) {
    resetGrid(grid_);
    setCell(2, 0, ' ', 0x417);
    setCell(2, 1, ' ', 0x417);
    renderScreen();
    std::vector<int32_t> inked;
    for (int32_t x = 0; x < 20; ++x) {
        if (colourAt(frame(), x, 59) == 0xBBBBBB) inked.push_back(x);
    }
    EXPECT_EQ(inked, (std::vector<int32_t>{1, 2, 3, 4, 7, 8, 11, 14, 15, 16, 17, 18}));
    EXPECT_EQ(cellColours(2, 0), (std::map<Colour, int>{{0xBBBBBB, 6}, {0xAF0000, 194}}));
    EXPECT_EQ(cellColours(2, 1), (std::map<Colour, int>{{0xBBBBBB, 6}, {0xAF0000, 194}}));
}

// A line-drawing shape is the centre pixel (X + 5, Y + 10) and some of four arms reaching
// to the cell's edges: up (X + 5, Y..Y + 9), down (X + 5, Y + 11..Y + 19), left
// (X..X + 4, Y + 10) and right (X + 6..X + 9, Y + 10).
TEST_F(RendererTest, LineDrawingShapes) {
    struct Case {
        uint8_t code;
        bool up, down, left, right;
        int pixels;
    };
    const Case cases[] = {
        {179, true, true, false, false, 20},  {180, true, true, true, false, 25},
        {191, false, true, true, false, 15},  {192, true, false, false, true, 15},
        {193, true, false, true, true, 20},   {194, false, true, true, true, 19},
        {195, true, true, false, true, 24},   {196, false, false, true, true, 10},
        {197, true, true, true, true, 29},    {217, true, false, true, false, 16},
        {218, false, true, false, true, 14},
    };
    constexpr int32_t X = 10;
    constexpr int32_t Y = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        resetGrid(grid_);
        setCell(1, 1, c.code, 0x017);
        renderScreen();
        int count = 0;
        for (int32_t y = Y; y < Y + 20; ++y) {
            for (int32_t x = X; x < X + 10; ++x) {
                bool vertical = x == X + 5 && ((y < Y + 10 && c.up) || (y > Y + 10 && c.down));
                bool horizontal =
                    y == Y + 10 && ((x < X + 5 && c.left) || (x > X + 5 && c.right));
                bool centre = x == X + 5 && y == Y + 10;
                bool ink = vertical || horizontal || centre;
                count += ink;
                ASSERT_EQ(colourAt(frame(), x, y), ink ? 0xBBBBBB : 0xAF0000)
                    << "pixel (" << x << ", " << y << ")";
            }
        }
        EXPECT_EQ(count, c.pixels);
    }
}

TEST_F(RendererTest, HorizontalLineInRowOneColumnTwo) {
    resetGrid(grid_);
    setCell(1, 2, 196, 0x007);
    renderScreen();
    for (int32_t x = 20; x <= 29; ++x) EXPECT_EQ(colourAt(frame(), x, 30), 0xBBBBBB);
    EXPECT_EQ(cellColours(1, 2), (std::map<Colour, int>{{0xBBBBBB, 10}, {0, 190}}));
}

TEST_F(RendererTest, DotAndSquare) {
    writeFile(dir_ / "font.txt", entry("M", 0, solidRows()) + "end\n");  // no glyph for 254
    resetGrid(grid_);
    setCell(0, 0, 249, 0x017);
    setCell(0, 1, 254, 0x017);
    renderScreen();
    for (int32_t y = 0; y < 20; ++y) {
        for (int32_t x = 0; x < 10; ++x) {
            bool dot = x >= 4 && x <= 5 && y >= 9 && y <= 10;
            bool square = x >= 3 && x <= 6 && y >= 8 && y <= 11;
            EXPECT_EQ(colourAt(frame(), x, y), dot ? 0xBBBBBB : 0xAF0000) << x << "," << y;
            EXPECT_EQ(colourAt(frame(), 10 + x, y), square ? 0xBBBBBB : 0xAF0000)
                << x << "," << y;
        }
    }
}

TEST_F(RendererTest, GlyphForSquarePaintsOverIt) {
    resetGrid(grid_);
    setCell(0, 0, 254, 0x017);
    renderScreen();
    EXPECT_EQ(cellColours(0, 0), (std::map<Colour, int>{{0xAF0000, 200}}));
}

TEST_F(RendererTest, FontIsLoadedOnceAndCodeZeroDrawsNothing) {
    // A key token starting with a NUL byte gives a glyph for code 0, which is still not drawn.
    writeFile(dir_ / "font.txt", entry(std::string(1, '\0'), 0, solidRows()) + "end\n");
    for (int32_t c = 0; c < 4; ++c) setCell(0, c, 0, 0x017);
    renderScreen();
    ASSERT_EQ(stages_->painter.glyphs().glyphs.size(), 1u);
    EXPECT_EQ(cellColours(0, 0), (std::map<Colour, int>{{0xAF0000, 200}}));
    renderScreen();
    EXPECT_EQ(stages_->painter.glyphs().glyphs.size(), 1u);
}


// Line-drawing shapes never consult the font, so a screen of them renders without one;
// any other cell, even code 0, needs it.
TEST_F(RendererTest, OnlyGlyphCellsNeedTheFont) {
    fs::remove(dir_ / "font.txt");
    settings.columns = 2;
    settings.rows = 1;
    start();
    setCell(0, 0, 196, 0x007);
    setCell(0, 1, 249, 0x007);
    EXPECT_TRUE(renderScreen());
    EXPECT_FALSE(stages_->painter.glyphs().loaded);
    setCell(0, 1, 0, 0x007);
    EXPECT_FALSE(renderScreen());
}

}  // namespace
