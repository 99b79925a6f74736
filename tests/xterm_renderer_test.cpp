// Pixels of the xterm screen: palettes and RGB colours, underline, the cursor, box drawing
// against the default renderer, wide characters, the font order (font.txt, the Unicode font,
// the fallback font, the installed fonts) and repainting only the rows that changed.

#include "render/xterm_renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "emission/bmp_writer.h"
#include "pcf_test_font.h"
#include "render/fallback_font.h"
#include "render/renderer.h"
#include "render/unicode_font.h"
#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"
#include "fixtures.h"
#include "test_support.h"

namespace {

// A cell's pixels as text, '#' for the colour ink and '.' for anything else; rows from the top.
std::vector<std::string> cellPicture(const Surface& surface, int32_t x, int32_t y, int32_t width, Colour ink) {
    std::vector<std::string> rows;
    for (int32_t row = 0; row < kCellHeight; ++row) {
        std::string text;
        for (int32_t column = 0; column < width; ++column) text += colourAt(surface, x + column, y + row) == ink ? '#' : '.';
        rows.push_back(text);
    }
    return rows;
}

std::string fontEntry(const std::string& key, int offset, const std::vector<std::string>& rows) {
    std::string text = key + " " + std::to_string(offset) + "\n";
    for (const std::string& row : rows) text += row + "\n";
    return text;
}

// font.txt of these tests: 'A' and CP437 130 (é) as a 16-row frame.
std::vector<std::string> frameRows() {
    std::vector<std::string> rows(16, "#........#");
    rows.front() = rows.back() = "##########";
    return rows;
}

// The Unicode font of these tests: 'A' and 'B' (never the same as font.txt's), ü, a narrow
// glyph for U+4E2D and a two-cell one for U+3042; ascent 16, descent 4.
std::vector<PcfTestGlyph> unicodeGlyphs() {
    return {
        {'A', 0, 16, {"#.#.#.#.#."}},
        {'B', 1, 12, {"########", "#......#", "########"}},
        {0xFC, 2, 10, {"#..#", "....", "#..#"}},
        {0x4E2D, 0, 16, {"##########", "#........#"}},
        {0x3042, 0, 16, {"####################"}},
    };
}

class XtermRendererTest : public FontSearchTest {
protected:
    void SetUp() override {
        FontSearchTest::SetUp();
        writeFile(dir_ / "font.txt", fontEntry("A", 0, frameRows()) + fontEntry("\x82", 2, frameRows()) + "end\n");
        writeGzipFile(dir_ / "unicode.pcf.gz", buildPcfFont(unicodeGlyphs(), 16, 4));
        renderOptions_ = {.fontPath = "font.txt", .unicodeFontPath = (dir_ / "unicode.pcf.gz").string()};
        terminal_.emplace(TerminalOptions{.columns = 6, .rows = 3, .emulation = Emulation::xterm});
        painter_.emplace(renderOptions_);
    }

    void render(const std::string& bytes) {
        terminal_->feed(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        painter_->paint(*terminal_);
    }

    // A fresh terminal of the same size and emulation.
    void restartTerminal() {
        const TerminalOptions options = terminal_->options();
        terminal_.emplace(options);
    }

    const Surface& frame() const { return painter_->frame(); }

    RenderOptions renderOptions_;
    std::optional<Terminal> terminal_;
    std::optional<Painter> painter_;
};

TEST_F(XtermRendererTest, SurfacesFitTheScreen) {
    render("");
    EXPECT_EQ(frame().width, 60);
    EXPECT_EQ(frame().height, 60);
    Surface doubled;
    writeDoubledBmp((dir_ / "doubled.bmp").string(), frame(), doubled);
    EXPECT_EQ(doubled.width, 120);
    EXPECT_EQ(doubled.height, 120);
    for (int32_t y = 0; y < 60; ++y) {
        for (int32_t x = 0; x < 60; ++x) ASSERT_EQ(colourAt(frame(), x, y), 0) << x << "," << y;
    }
}

// Each case paints a full block (foreground everywhere) and a space (background everywhere).
TEST_F(XtermRendererTest, ColoursFollowThePalettesAndRgb) {
    struct Case {
        std::string sgr;
        Colour foreground;
        Colour background;
    };
    const Case cases[] = {
        {"0", 0xBBBBBB, 0x000000},
        {"1", 0xFFFFFF, 0x000000},
        {"31", 0xAF0000, 0x000000},
        {"1;31", 0xFF0000, 0x000000},
        {"1;30", 0x777777, 0x000000},
        {"91", 0xFF0000, 0x000000},
        {"90", 0x777777, 0x000000},
        {"44", 0xBBBBBB, 0x004080},
        {"1;44", 0xFFFFFF, 0x004080},  // bold brightens the text, not the background
        {"1;40", 0xFFFFFF, 0x000000},
        {"100", 0xBBBBBB, 0x777777},
        {"104", 0xBBBBBB, 0x0000FF},
        {"38;5;3", 0xC0C000, 0x000000},
        {"38;5;11", 0xFFFF00, 0x000000},
        {"38;5;16", 0x000000, 0x000000},
        {"38;5;21", 0x0000FF, 0x000000},
        {"38;5;110", 0x87AFD7, 0x000000},
        {"38;5;196", 0xFF0000, 0x000000},
        {"38;5;231", 0xFFFFFF, 0x000000},
        {"38;5;232", 0x080808, 0x000000},
        {"48;5;244", 0xBBBBBB, 0x808080},
        {"38;2;1;2;3", 0x010203, 0x000000},
        {"1;38;2;1;2;3;48;2;250;128;7", 0x010203, 0xFA8007},
        {"7", 0x000000, 0xBBBBBB},
        {"7;31;42", 0x00AF00, 0xAF0000},
        {"7;38;2;9;9;9", 0x000000, 0x090909},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sgr);
        restartTerminal();
        render("\x1b[" + c.sgr + "m\xe2\x96\x88 ");
        for (auto [x, y] : {std::pair{0, 0}, std::pair{9, 19}, std::pair{4, 11}}) {
            EXPECT_EQ(colourAt(frame(), x, y), c.foreground);
            EXPECT_EQ(colourAt(frame(), 10 + x, y), c.background);
        }
    }
}

TEST_F(XtermRendererTest, UnderlineIsDashedAlongTheBottomRow) {
    render("\x1b[4;31m  \x1b[24m ");
    std::string bottom;
    for (int32_t x = 0; x < 30; ++x) bottom += colourAt(frame(), x, 19) == 0xAF0000 ? '#' : '.';
    EXPECT_EQ(bottom, ".####..##..#..#####...........");
}

TEST_F(XtermRendererTest, CursorIsNotDrawn) {
    render("\x1b[2;3H");
    for (int32_t y = 0; y < 60; ++y) {
        for (int32_t x = 0; x < 60; ++x) ASSERT_EQ(colourAt(frame(), x, y), 0);
    }
}

// The same bytes through both emulations give the same picture where both understand them:
// line drawing (the default renderer's strokes) and text from the project's font.txt.
TEST_F(XtermRendererTest, LineDrawingAndTextLookAsInTheDefaultMode) {
    fs::copy_file(sourcePath("font.txt"), dir_ / "font.txt", fs::copy_options::overwrite_existing);
    const std::string payload = "\x1b(0lqkxmjtuvwn\x1b(B\x1b[2;1H\x1b[1m\x1b[34mHello, world! {x} [y]~@";
    Terminal basicTerminal({.columns = 30, .rows = 2, .emulation = Emulation::basic});
    basicTerminal.feed(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    painter_.emplace(renderOptions_);
    painter_->paint(basicTerminal);
    std::vector<uint8_t> basic = frame().pixels;
    painter_.emplace(renderOptions_);
    terminal_.emplace(TerminalOptions{.columns = 30, .rows = 2, .emulation = Emulation::xterm});
    render(payload);
    EXPECT_TRUE(frame().pixels == basic);
}

TEST_F(XtermRendererTest, WideCharactersSpanTwoCells) {
    render("\x1b[44m\xe4\xb8\xad\x1b[4m\xf0\xbf\xbf\xbd\x1b[24m\xe3\x81\x82");
    // 中: background over both cells, the narrow glyph centred in them
    std::vector<std::string> middle = cellPicture(frame(), 0, 0, 20, 0xBBBBBB);
    EXPECT_EQ(middle[0], ".....##########.....");
    EXPECT_EQ(middle[1], ".....#........#.....");
    EXPECT_EQ(colourAt(frame(), 0, 1), 0x004080);
    EXPECT_EQ(colourAt(frame(), 19, 19), 0x004080);
    // U+3FFFD: no glyph anywhere, a box over both cells, underlined across both
    std::vector<std::string> missing = cellPicture(frame(), 20, 0, 20, 0xBBBBBB);
    EXPECT_EQ(missing[2], ".##################.");
    EXPECT_EQ(missing[10], ".#................#.");
    EXPECT_EQ(missing[19], ".#####..#..##..####.");
    // あ: a glyph two cells wide keeps its place
    EXPECT_EQ(cellPicture(frame(), 40, 0, 20, 0xBBBBBB)[0], "####################");
}

// font.txt first (its keys 128-255 as code page 437), then the Unicode font, then the
// fallback font, and a box for what no installed font has.
TEST_F(XtermRendererTest, FontOrder) {
    render("ABC\xc3\xa9\xc3\xbc\xf4\x8f\xbf\xbd");
    const Colour ink = 0xBBBBBB;
    EXPECT_EQ(cellPicture(frame(), 0, 0, 10, ink)[0], "##########");  // A from font.txt
    EXPECT_EQ(cellPicture(frame(), 0, 0, 10, ink)[15], "##########");
    EXPECT_EQ(cellPicture(frame(), 10, 0, 10, ink)[4], ".########.");  // B from the Unicode font
    EXPECT_EQ(cellPicture(frame(), 10, 0, 10, ink)[5], ".#......#.");
    Surface fallback;
    allocSurface(fallback, 10, 20);
    fillRect(fallback, 0, 0, 9, 19, 0);
    drawFallbackChar(fallback, 'C', 0, 0, ink, 0);
    EXPECT_EQ(cellPicture(frame(), 20, 0, 10, ink), cellPicture(fallback, 0, 0, 10, ink));  // C
    EXPECT_EQ(cellPicture(frame(), 30, 0, 10, ink)[2], "##########");  // é: font.txt key 130
    EXPECT_EQ(cellPicture(frame(), 40, 0, 10, ink)[6], "..#..#....");  // ü from the Unicode font
    EXPECT_EQ(cellPicture(frame(), 50, 0, 10, ink)[2], ".########.");  // U+10FFFD: nowhere
}

// What the bitmap fonts lack comes from the installed fonts, whichever fontconfig picks: ink
// inside each cell the character spans (where a box is empty), emoji in their own colours.
TEST_F(XtermRendererTest, CharactersTheBitmapFontsLackComeFromInstalledFonts) {
    struct Case {
        std::string text;
        int32_t span;
        bool colour;
    };
    for (const Case& c : {Case{"\xe2\x98\x85", 1, false}, Case{"\xe6\x96\x87", 2, false}, Case{"\xf0\x9f\x9a\x80", 2, true}}) {
        SCOPED_TRACE(c.text);
        restartTerminal();
        render(c.text + "|");
        ASSERT_EQ(terminal_->xtermScreen().at(0, c.span).codePoint, uint32_t{'|'});
        bool coloured = false;
        for (int32_t cell = 0; cell < c.span; ++cell) {
            int32_t inside = 0;
            for (int32_t y = 3; y < kCellHeight - 3; ++y) {
                for (int32_t x = 2; x < kCellWidth - 2; ++x) {
                    Colour pixel = colourAt(frame(), cell * kCellWidth + x, y);
                    inside += pixel != 0;
                    int32_t red = pixel >> 16 & 0xFF, green = pixel >> 8 & 0xFF, blue = pixel & 0xFF;
                    coloured = coloured || std::max({red, green, blue}) - std::min({red, green, blue}) > 60;
                }
            }
            EXPECT_GT(inside, 0) << "cell " << cell;
        }
        EXPECT_EQ(coloured, c.colour);
    }
}

// Without the Unicode font (xfonts-terminus missing), ASCII comes from the fallback font.
TEST_F(XtermRendererTest, MissingUnicodeFontFallsBackQuietly) {
    renderOptions_.unicodeFontPath = (dir_ / "missing.pcf.gz").string();
    painter_.emplace(renderOptions_);
    render("AB\xf4\x8f\xbf\xbd");
    Surface fallback;
    allocSurface(fallback, 10, 20);
    fillRect(fallback, 0, 0, 9, 19, 0);
    drawFallbackChar(fallback, 'B', 0, 0, 0xBBBBBB, 0);
    EXPECT_EQ(cellPicture(frame(), 0, 0, 10, 0xBBBBBB)[0], "##########");
    EXPECT_EQ(cellPicture(frame(), 10, 0, 10, 0xBBBBBB), cellPicture(fallback, 0, 0, 10, 0xBBBBBB));
    EXPECT_EQ(cellPicture(frame(), 20, 0, 10, 0xBBBBBB)[2], ".########.");
}

// Rows are repainted only when they change; the picture must be the one a full repaint gives.
TEST_F(XtermRendererTest, RepaintingChangedRowsGivesTheFullPicture) {
    const std::vector<std::string> payloads = {
        "AB\x1b[31mC\r\n\x1b[44mxy\xe4\xb8\xad", "\x1b[2;2H\x1b[0mz", "\r\n\r\n\r\nscrolled\x1b[1;1H\x1b[2K",
        "\x1b[?1049h\x1b[3;3H\x1b(0lqk", "", "\x1b[?1049l\x1b[1;3H\x1b[7m \xc3\xbc", "\x1b[3;1H\x1b[0mxy", "\x1b[3;1Hz",
    };
    const std::string inCells = fontEntry("A", 0, frameRows()) + fontEntry("\x82", 2, frameRows()) + "end\n";
    const std::string leavingRow = fontEntry("A", 0, frameRows()) + fontEntry("C", 7, frameRows()) + "end\n";
    // Without the Unicode font, ASCII comes from the fallback font, whose pictures reach into
    // the next cell.
    const struct {
        const std::string& font;
        bool unicodeFont;
    } variants[] = {{inCells, true}, {leavingRow, true}, {inCells, false}};
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.font + (variant.unicodeFont ? "" : " without the Unicode font"));
        writeFile(dir_ / "font.txt", variant.font);
        if (!variant.unicodeFont) renderOptions_.unicodeFontPath = (dir_ / "missing.pcf.gz").string();
        painter_.emplace(renderOptions_);
        restartTerminal();
        for (const std::string& payload : payloads) {
            render(payload);
            Painter whole(renderOptions_);
            whole.paint(*terminal_);
            ASSERT_TRUE(whole.frame().pixels == frame().pixels) << payload;
        }
    }
}

// A painter that only gathers colours, handed the screens a painter paints, knows every colour
// of their frames: the cells' own, the installed fonts' blends and colour emoji, the cursor's.
TEST_F(XtermRendererTest, GatheredColoursHoldEveryColourOfTheFrames) {
    const std::vector<std::string> payloads = {
        "AB\x1b[31mC\r\n\x1b[44mxy\xe4\xb8\xad", "\x1b[2;2H\x1b[0;4mz\xe2\x98\x85", "\r\n\r\n\x1b[38;5;208m\xe2\x94\x8c\xe2\x96\x92",
        "\x1b[1;1H\x1b[7m \xc3\xbc\xf0\x9f\x9a\x80", "\x1b[?25l\x1b[0m\x1b[3;3H\x1b(0lqk",
        // The cursor over a cell whose colours are both the theme's foreground: drawn inverted.
        "\x1b[?25h\x1b(B\x1b[38;2;187;187;187;48;2;187;187;187m\x1b[2;1HQ\x1b[D",
    };
    for (CursorStyle cursor : {CursorStyle::none, CursorStyle::block, CursorStyle::bar}) {
        SCOPED_TRACE(static_cast<int>(cursor));
        renderOptions_.cursor = cursor;
        painter_.emplace(renderOptions_);
        RenderOptions gathering = renderOptions_;
        gathering.coloursOnly = true;
        Painter gatherer(gathering);
        restartTerminal();
        std::set<uint32_t> shown;
        for (const std::string& payload : payloads) {
            render(payload);
            ASSERT_TRUE(gatherer.paint(*terminal_).painted);
            for (int32_t y = 0; y < frame().height; ++y) {
                for (int32_t x = 0; x < frame().width; ++x) shown.insert(colourAt(frame(), x, y));
            }
        }
        const GatheredColours gathered = gatherer.gatheredColours();
        EXPECT_TRUE(gathered.complete);
        const std::set<uint32_t> known(gathered.colours.begin(), gathered.colours.end());
        for (uint32_t colour : shown) EXPECT_TRUE(known.contains(colour)) << std::hex << colour;
    }
}

// Every kind of glyph (font.txt, the PCF font, fontconfig's, box drawing) painted over rows that
// a scroll turned, with and without a cursor: the frames are a full repaint's.
TEST_F(XtermRendererTest, EveryKindOfGlyphOverScrolledRowsMatchesAFullRepaint) {
    const std::vector<std::string> payloads = {
        "AB\x1b[31mC\r\n\x1b[44mxy\xe4\xb8\xad", "\r\n\r\n\x1b[38;5;208m\xe2\x94\x8c\xe2\x96\x92\r\n",
        "\x1b[1;1H\x1b[7m \xc3\xbc\xf0\x9f\x9a\x80\xe2\x98\x85", "\x1b[3;1H\r\n\x1b[0;4mzA\x82\xf0\x9f\x9a\x80"};
    for (CursorStyle cursor : {CursorStyle::none, CursorStyle::block}) {
        renderOptions_.cursor = cursor;
        painter_.emplace(renderOptions_);
        RenderOptions plainOptions = renderOptions_;
        plainOptions.plainPaths = true;
        Painter plain(plainOptions);
        restartTerminal();
        for (size_t i = 0; i < payloads.size(); ++i) {
            render(payloads[i]);
            plain.paint(*terminal_);
            int32_t differing = 0;
            for (int32_t y = 0; y < frame().height; ++y) {
                for (int32_t x = 0; x < frame().width; ++x) differing += colourAt(frame(), x, y) != colourAt(plain.frame(), x, y);
            }
            EXPECT_EQ(differing, 0) << "payload " << i << ", cursor " << static_cast<int>(cursor);
        }
    }
}

TEST_F(XtermRendererTest, MissingFontTxtStopsTheRun) {
    fs::remove(dir_ / "font.txt");
    EXPECT_FALSE(painter_->paint(*terminal_).painted);
}

}  // namespace
