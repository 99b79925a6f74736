// Around the painted screen: the border (-padding) and the cursor (-cursor) on the frame, with
// both emulations and both kinds of font; and the -font picture at the size resizes reach.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "render/outline_font.h"
#include "render/outline_painter.h"
#include "render/renderer.h"
#include "render/theme.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "test_support.h"

namespace {

struct Look {
    Emulation emulation;
    bool outline;  // DejaVu Sans Mono, else font.txt
};

const Look kLooks[] = {{Emulation::basic, false}, {Emulation::xterm, false}, {Emulation::basic, true}, {Emulation::xterm, true}};

std::string describe(const Look& look) {
    return std::string(look.emulation == Emulation::xterm ? "xterm" : "basic") + (look.outline ? " -font" : " font.txt");
}

class FramingTest : public FontSearchTest {
protected:
    void SetUp() override {
        FontSearchTest::SetUp();
        installFont(dir_);
    }

    void start(const Look& look, int32_t padding, CursorStyle cursor, const Theme& theme = {}) {
        terminal_.emplace(TerminalOptions{.columns = 6, .rows = 3, .emulation = look.emulation});
        painter_.emplace(RenderOptions{.theme = theme,
                                       .outlineFont = look.outline ? "DejaVu Sans Mono" : "",
                                       .fontPath = "font.txt",
                                       .padding = padding,
                                       .cursor = cursor});
    }

    void feed(const std::string& bytes) {
        terminal_->feed(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        ASSERT_TRUE(painter_->paint(*terminal_).painted);
    }

    int32_t cellWidth(const Look& look) { return look.outline ? painter_->outlineMetrics().cellWidth : kCellWidth; }
    int32_t cellHeight(const Look& look) { return look.outline ? painter_->outlineMetrics().cellHeight : kCellHeight; }

    // Frame pixels (without a border) that differ from the painted canvas, outside the box.
    int32_t changedOutside(int32_t left, int32_t top, int32_t width, int32_t height) {
        int32_t changed = 0;
        for (int32_t y = 0; y < painter_->frame().height; ++y) {
            for (int32_t x = 0; x < painter_->frame().width; ++x) {
                bool inside = x >= left && x < left + width && y >= top && y < top + height;
                changed += !inside && colourAt(painter_->frame(), x, y) != colourAt(painter_->canvas(), x, y);
            }
        }
        return changed;
    }

    std::optional<Terminal> terminal_;
    std::optional<Painter> painter_;
};

TEST_F(FramingTest, PaddingSurroundsThePaintedScreenInTheThemeBackground) {
    const Theme nord = *builtInTheme("nord");
    for (const Look& look : kLooks) {
        SCOPED_TRACE(describe(look));
        start(look, 0, CursorStyle::none, nord);
        feed("hi");
        EXPECT_EQ(&painter_->canvas(), &painter_->frame());  // nothing asked: the painted screen is the frame
        for (int32_t padding : {1, 7}) {
            start(look, padding, CursorStyle::none, nord);
            feed("hi");
            const Surface& canvas = painter_->canvas();
            const Surface& frame = painter_->frame();
            ASSERT_NE(&canvas, &frame);
            ASSERT_EQ(frame.width, canvas.width + 2 * padding);
            ASSERT_EQ(frame.height, canvas.height + 2 * padding);
            int32_t wrong = 0;
            for (int32_t y = 0; y < frame.height; ++y) {
                for (int32_t x = 0; x < frame.width; ++x) {
                    bool inside = x >= padding && x < padding + canvas.width && y >= padding && y < padding + canvas.height;
                    Colour expected = inside ? colourAt(canvas, x - padding, y - padding) : nord.background;
                    wrong += colourAt(frame, x, y) != expected;
                }
            }
            EXPECT_EQ(wrong, 0) << padding;
        }
    }
}

TEST_F(FramingTest, CursorShapesAtTheCursorCell) {
    constexpr Colour kText = 0xBBBBBB;
    for (const Look& look : kLooks) {
        for (CursorStyle style : {CursorStyle::block, CursorStyle::bar, CursorStyle::underline}) {
            SCOPED_TRACE(describe(look) + " style " + std::to_string(static_cast<int>(style)));
            start(look, 0, style);
            feed("hi\x1b[1;2H");  // on the i
            const int32_t w = cellWidth(look);
            const int32_t h = cellHeight(look);
            EXPECT_EQ(changedOutside(w, 0, w, h), 0);
            int32_t wrong = 0;
            int32_t swappedInk = 0;
            for (int32_t y = 0; y < h; ++y) {
                for (int32_t x = 0; x < w; ++x) {
                    Colour painted = colourAt(painter_->canvas(), w + x, y);
                    Colour shown = colourAt(painter_->frame(), w + x, y);
                    if (style == CursorStyle::bar) {
                        wrong += shown != (x < std::max(2, w / 6) ? kText : painted);
                    } else if (style == CursorStyle::underline) {
                        wrong += shown != (y >= h - std::max(2, h / 10) ? kText : painted);
                    } else if (painted == 0 || painted == kText) {  // anti-aliased edges aside
                        wrong += shown != (painted == 0 ? kText : 0);
                        swappedInk += painted == kText;
                    }
                }
            }
            EXPECT_EQ(wrong, 0);
            // A blank cell (the basic emulation's erased cells are black on black) shows a
            // block of the text colour.
            if (style == CursorStyle::block) {
                EXPECT_GT(swappedInk, 0);
                feed("\x1b[2;3H");
                for (int32_t y = 0; y < h; ++y) {
                    for (int32_t x = 0; x < w; ++x) wrong += colourAt(painter_->frame(), 2 * w + x, h + y) != kText;
                }
                EXPECT_EQ(wrong, 0);
                EXPECT_EQ(changedOutside(2 * w, h, w, h), 0);  // the i shows again as painted
            }
        }
    }
}

TEST_F(FramingTest, HiddenCursorsAreNotDrawnAndWideCellsTakeTheBlockWhole) {
    for (bool outline : {false, true}) {
        SCOPED_TRACE(outline ? "-font" : "font.txt");
        start({Emulation::xterm, outline}, 0, CursorStyle::block);
        feed("hi\x1b[?25l");
        EXPECT_EQ(changedOutside(0, 0, 0, 0), 0);
        feed("\x1b[?25h");
        EXPECT_GT(changedOutside(0, 0, 0, 0), 0);
        // The basic emulation's cursor below its screen.
        start({Emulation::basic, outline}, 0, CursorStyle::block);
        feed("hi\x1b[9;1H");
        EXPECT_EQ(changedOutside(0, 0, 0, 0), 0);
    }
    start({Emulation::xterm, true}, 0, CursorStyle::block);
    feed("\xe4\xb8\xad\x1b[1;1H");  // U+4E2D, two cells wide
    const int32_t w = painter_->outlineMetrics().cellWidth;
    const int32_t h = painter_->outlineMetrics().cellHeight;
    EXPECT_EQ(changedOutside(0, 0, 2 * w, h), 0);
    EXPECT_GT(changedOutside(0, 0, w, h), 0);  // the right half too
}

TEST_F(FramingTest, ScalableFontPictureTakesTheSizeResizesReach) {
    const Theme nord = *builtInTheme("nord");
    for (Emulation emulation : {Emulation::basic, Emulation::xterm}) {
        terminal_.emplace(TerminalOptions{.columns = 10, .rows = 3, .emulation = emulation});
        painter_.emplace(
            RenderOptions{.theme = nord, .outlineFont = "DejaVu Sans Mono", .fontPath = "", .pictureColumns = 20, .pictureRows = 5});
        feed("x");
        const int32_t w = painter_->outlineMetrics().cellWidth;
        const int32_t h = painter_->outlineMetrics().cellHeight;
        EXPECT_EQ(painter_->frame().width, evenSide(20 * w));
        EXPECT_EQ(painter_->frame().height, evenSide(5 * h));
        EXPECT_EQ(colourAt(painter_->frame(), 15 * w, 4 * h), nord.background);
        terminal_->resize(20, 5);
        feed("\x1b[5;16H\x1b[7m \x1b[0m");  // reverse: a cell of the text colour, outside the first size
        EXPECT_EQ(painter_->frame().width, evenSide(20 * w));
        EXPECT_EQ(painter_->frame().height, evenSide(5 * h));
        EXPECT_EQ(colourAt(painter_->frame(), 15 * w + w / 2, 4 * h + h / 2), nord.foreground);
    }
}

}  // namespace
