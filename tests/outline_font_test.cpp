// Scalable fonts and themes: cell sizes from the font's metrics, gamma-correct blending,
// fallback to other fonts (CJK, colour emoji) and the empty box, bold and italic faces, box
// drawing joined at every size, theme names and files, and themes reaching the frames.
// The font asked for is Debian's DejaVu (tools/install-deps); what it lacks comes from whichever
// installed fonts fontconfig puts first for the character.

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <optional>

#include <string>
#include <vector>

#include "fixtures.h"
#include "render/box_drawing.h"
#include "render/outline_font.h"
#include "render/outline_painter.h"
#include "render/renderer.h"
#include "render/theme.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"
#include "test_support.h"

namespace {

// The file of the font fontconfig ranks first for family and codePoint (a colour one when
// colourOnly), or "" when no font has the character.
std::string fontconfigFirstWith(const std::string& family, uint32_t codePoint, bool colourOnly) {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family.c_str()));
    FcCharSet* wanted = FcCharSetCreate();
    FcCharSetAddChar(wanted, codePoint);
    FcPatternAddCharSet(pattern, FC_CHARSET, wanted);
    if (colourOnly) FcPatternAddBool(pattern, FC_COLOR, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcFontSet* sorted = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
    std::string file;
    for (int i = 0; sorted != nullptr && i < sorted->nfont && file.empty(); ++i) {
        FcCharSet* has = nullptr;
        FcBool colour = FcFalse;
        FcChar8* path = nullptr;
        if (FcPatternGetCharSet(sorted->fonts[i], FC_CHARSET, 0, &has) != FcResultMatch || !FcCharSetHasChar(has, codePoint)) continue;
        if (colourOnly && (FcPatternGetBool(sorted->fonts[i], FC_COLOR, 0, &colour) != FcResultMatch || !colour)) continue;
        if (FcPatternGetString(sorted->fonts[i], FC_FILE, 0, &path) == FcResultMatch) file = reinterpret_cast<const char*>(path);
    }
    if (sorted != nullptr) FcFontSetDestroy(sorted);
    FcCharSetDestroy(wanted);
    FcPatternDestroy(pattern);
    return file;
}

class OutlineFontTest : public testing::Test {
protected:
    void SetUp() override { resetAll(); }
    void TearDown() override { resetAll(); }

    // An xterm screen painted in DejaVu Sans Mono.
    void paint(const std::string& bytes, int32_t columns = 6, int32_t rows = 2, int32_t size = 16) {
        terminal_.emplace(TerminalOptions{.columns = columns, .rows = rows, .emulation = Emulation::xterm});
        painter_.emplace(RenderOptions{.outlineFont = "DejaVu Sans Mono", .fontSize = size, .fontPath = ""});
        ASSERT_GT(painter_->outlineMetrics().cellWidth, 0) << "the font is open";
        terminal_->feed(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        ASSERT_TRUE(painter_->paint(*terminal_).painted);
    }

    // Pixels of cell (column, row) over span cells that are not the background.
    int32_t inkIn(int32_t column, int32_t row, int32_t span, Colour background) {
        const OutlineMetrics& m = painter_->outlineMetrics();
        int32_t ink = 0;
        for (int32_t y = 0; y < m.cellHeight; ++y) {
            for (int32_t x = 0; x < span * m.cellWidth; ++x) {
                ink += colourAt(painter_->frame(), column * m.cellWidth + x, row * m.cellHeight + y) != background;
            }
        }
        return ink;
    }

    OutlineFont font_;
    std::optional<Terminal> terminal_;
    std::optional<Painter> painter_;
};

TEST_F(OutlineFontTest, CellsComeFromTheMetricsAndThePictureHasEvenSides) {
    struct Case {
        int32_t size;
        double lineHeight;
        int32_t width;  // DejaVu Sans Mono's advance is 0.602 em
        int32_t height;
    };
    for (const Case& c : {Case{12, 1.0, 7, 15}, Case{16, 1.0, 10, 19}, Case{24, 1.0, 14, 29}, Case{32, 1.0, 19, 38},
                          Case{16, 1.5, 10, 29}}) {
        std::string error;
        ASSERT_TRUE(font_.open("DejaVu Sans Mono", c.size, c.lineHeight, error)) << error;
        const OutlineMetrics& m = font_.metrics();
        EXPECT_EQ(m.cellWidth, c.width) << c.size;
        EXPECT_EQ(m.cellHeight, c.height) << c.size;
        EXPECT_GT(m.baseline, m.cellHeight / 2);
        EXPECT_LT(m.baseline, m.underlineTop + m.underlineRows);
        EXPECT_LT(m.strikeTop, m.baseline);
        font_ = OutlineFont();
    }
    paint("hi", 7, 3, 16);  // 70 x 57 pixels of cells
    EXPECT_EQ(painter_->frame().width, 70);
    EXPECT_EQ(painter_->frame().height, 58);
    EXPECT_EQ(evenSide(57), 58);
    EXPECT_EQ(evenSide(58), 58);
}

TEST_F(OutlineFontTest, BasicEmulationCodesAreTheirCharacters) {
    // Line drawing's q is code page 437's 196, ─ (a stroke across the cell), and ~ 249, ∙; bold
    // 'A' is heavier than 'A'.
    terminal_.emplace(TerminalOptions{.columns = 5, .rows = 1, .emulation = Emulation::basic});
    painter_.emplace(RenderOptions{.outlineFont = "DejaVu Sans Mono", .fontPath = ""});
    std::string bytes = "\x0eqq~\x0f" "A\x1b[1mA";
    terminal_->feed(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(painter_->paint(*terminal_).painted);
    const OutlineMetrics& m = painter_->outlineMetrics();
    for (int32_t x = 0; x < 2 * m.cellWidth; ++x) EXPECT_EQ(colourAt(painter_->frame(), x, m.cellHeight / 2), 0xBBBBBB) << x;
    EXPECT_GT(inkIn(2, 0, 1, 0), 0);
    EXPECT_GT(inkIn(4, 0, 1, 0), inkIn(3, 0, 1, 0));  // bold: brighter and heavier
}

TEST_F(OutlineFontTest, CoverageBlendsInLinearLight) {
    struct Case {
        uint8_t background, foreground, coverage, blended;
    };
    for (const Case& c : {Case{0, 255, 0, 0}, Case{0, 255, 255, 255}, Case{0, 255, 128, 188}, Case{255, 0, 128, 187},
                          Case{90, 90, 77, 90}, Case{0, 255, 64, 137}}) {
        EXPECT_EQ(blendChannel(c.background, c.foreground, c.coverage), c.blended)
            << int{c.background} << " " << int{c.foreground} << " " << int{c.coverage};
    }
}

TEST_F(OutlineFontTest, MissingCharactersComeFromTheNextFontOrAreABox) {
    std::string error;
    ASSERT_TRUE(font_.open("DejaVu Sans Mono", 16, 1.0, error)) << error;
    EXPECT_NE(font_.fileFor('A', 0).find("DejaVuSansMono.ttf"), std::string::npos);
    EXPECT_NE(font_.fileFor('A', kStyleBold).find("DejaVuSansMono-Bold.ttf"), std::string::npos);
    const std::string cjk = fontconfigFirstWith("DejaVu Sans Mono", 0x4E2D, false);
    const std::string emoji = fontconfigFirstWith("DejaVu Sans Mono", 0x1F600, true);
    ASSERT_FALSE(cjk.empty() || emoji.empty()) << "a CJK font and a colour emoji font are installed";
    EXPECT_EQ(font_.fileFor(0x4E2D, 0), cjk);
    EXPECT_EQ(font_.fileFor(0x1F600, 0), emoji);
    EXPECT_EQ(font_.fileFor(0x10FFFD, 0), "");

    std::string text = "a";
    appendUtf8(text, 0x4E2D);
    appendUtf8(text, 0x1F600);
    appendUtf8(text, 0x10FFFD);
    paint(text, 8, 1);
    const XtermScreen& screen = terminal_->xtermScreen();
    ASSERT_EQ(screen.at(0, 1).width, 2);
    ASSERT_EQ(screen.at(0, 3).width, 2);
    const OutlineMetrics& m = painter_->outlineMetrics();
    // The CJK character and the emoji each ink both of their cells; the emoji in colour.
    for (int32_t column : {1, 2, 3, 4}) EXPECT_GT(inkIn(column, 0, 1, 0), 0) << column;
    bool coloured = false;
    for (int32_t y = 0; y < m.cellHeight; ++y) {
        for (int32_t x = 3 * m.cellWidth; x < 5 * m.cellWidth; ++x) {
            Colour c = colourAt(painter_->frame(), x, y);
            coloured = coloured || ((c >> 16 & 0xFF) > (c & 0xFF) + 60);  // far redder than blue: yellow
        }
    }
    EXPECT_TRUE(coloured);
    // No font has U+10FFFD: a box, its middle empty and its left edge drawn.
    int32_t left = 5 * m.cellWidth;
    EXPECT_EQ(colourAt(painter_->frame(), left + m.cellWidth / 2, m.cellHeight / 2), 0);
    int32_t edge = 0;
    for (int32_t x = 0; x < m.cellWidth / 2; ++x) edge += colourAt(painter_->frame(), left + x, m.cellHeight / 2) == 0xBBBBBB;
    EXPECT_GT(edge, 0);
}

// A list is tried in order; a file's name is taken whole, commas and all.
TEST_F(OutlineFontTest, AListOfFontsOpensTheFirstThatOpens) {
    fs::path dir = makeTempDir();
    fs::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", dir / "mono,copy.ttf");
    struct Case {
        std::string list;
        std::string drawsA;  // the file that draws 'A'; "" when nothing opens
    };
    for (const Case& c : {Case{"No Such Font, DejaVu Sans Mono", "DejaVuSansMono.ttf"},
                          Case{"No Such Font,,/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "DejaVuSans.ttf"},
                          Case{(dir / "mono,copy.ttf").string(), "mono,copy.ttf"}, Case{"No Such Font, Nor This", ""}}) {
        std::string error;
        EXPECT_EQ(font_.open(c.list, 16, 1.0, error), !c.drawsA.empty()) << c.list;
        if (c.drawsA.empty()) {
            EXPECT_NE(error.find("No Such Font: no font named"), std::string::npos) << error;
            EXPECT_NE(error.find("Nor This: no font named"), std::string::npos) << error;
        } else {
            EXPECT_TRUE(font_.fileFor('A', 0).ends_with("/" + c.drawsA)) << font_.fileFor('A', 0);
        }
        font_ = OutlineFont();
    }
    fs::remove_all(dir);
}

TEST_F(OutlineFontTest, BoldAndItalicDifferFromRegular) {
    struct Case {
        const char* font;
        uint8_t style;
    };
    // The family's own faces, and a font file whose bold and italic are synthesised.
    for (const Case& c : {Case{"DejaVu Sans Mono", kStyleBold}, Case{"DejaVu Sans Mono", kStyleItalic},
                          Case{"/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", kStyleBold},
                          Case{"/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", kStyleItalic}}) {
        std::string error;
        ASSERT_TRUE(font_.open(c.font, 16, 1.0, error)) << error;
        OutlineGlyph regular;
        OutlineGlyph styled;
        ASSERT_TRUE(font_.drawGlyph('H', 0, 1, regular));
        ASSERT_TRUE(font_.drawGlyph('H', c.style, 1, styled));
        uint32_t inkRegular = 0;
        uint32_t inkStyled = 0;
        for (uint8_t v : regular.pixels) inkRegular += v;
        for (uint8_t v : styled.pixels) inkStyled += v;
        EXPECT_NE(regular.pixels, styled.pixels) << c.font << " " << int{c.style};
        if (c.style == kStyleBold) {
            EXPECT_GT(inkStyled, inkRegular * 11 / 10) << c.font;
        }
        font_ = OutlineFont();
    }
}

TEST_F(OutlineFontTest, BoxDrawingJoinsAcrossCellsAtEverySize) {
    for (int32_t size = 12; size <= 32; ++size) {
        std::string error;
        ASSERT_TRUE(font_.open("DejaVu Sans Mono", size, 1.0, error)) << error;
        int32_t w = font_.metrics().cellWidth;
        int32_t h = font_.metrics().cellHeight;
        // ┌─┐ over │┼│ over └─┘ (heavy cross in the middle): every stroke reaches the next cell.
        Surface surface;
        allocSurface(surface, 3 * w, 3 * h);
        const uint32_t shapes[3][3] = {{0x250C, 0x2500, 0x2510}, {0x2502, 0x254B, 0x2502}, {0x2514, 0x2550, 0x2518}};
        for (int32_t r = 0; r < 3; ++r) {
            for (int32_t c = 0; c < 3; ++c) drawBoxDrawingScaled(surface, shapes[r][c], c * w, r * h, w, h, 0xFFFFFF);
        }
        auto inkRun = [&](int32_t x0, int32_t y0, int32_t dx, int32_t dy, int32_t count) {
            for (int32_t i = 0; i < count; ++i) {
                if (colourAt(surface, x0 + i * dx, y0 + i * dy) != 0xFFFFFF) return false;
            }
            return true;
        };
        EXPECT_TRUE(inkRun(w / 2, h / 2, 1, 0, 2 * w)) << "top edge, size " << size;
        EXPECT_TRUE(inkRun(w / 2, h / 2, 0, 1, 2 * h)) << "left edge, size " << size;
        EXPECT_TRUE(inkRun(w + w / 2, 0, 0, 1, h)) << "top of the cross, size " << size;
        EXPECT_TRUE(inkRun(0, h + h / 2, 1, 0, 3 * w)) << "middle row, size " << size;
        EXPECT_TRUE(inkRun(5 * w / 2, h / 2, 0, 1, 2 * h)) << "right edge, size " << size;
        // Each corner's centre square, as wide as a line each way, is closed.
        int32_t line = boxLineWidth(h);
        for (int32_t r : {0, 2}) {
            for (int32_t c : {0, 2}) {
                for (int32_t d = 0; d < line; ++d) {
                    EXPECT_TRUE(inkRun(c * w + w / 2, r * h + h / 2 + d, 1, 0, line)) << "corner, size " << size;
                }
            }
        }
        font_ = OutlineFont();
    }
}

TEST(ThemeTest, NamesAndFiles) {
    for (const std::string& name : themeNames()) EXPECT_TRUE(builtInTheme(name).has_value()) << name;
    EXPECT_EQ(builtInTheme("CLASSIC"), Theme{});
    EXPECT_EQ(builtInTheme("Dracula")->background, 0x282A36);
    EXPECT_FALSE(builtInTheme("nonesuch").has_value());

    fs::path dir = makeTempDir();
    struct Case {
        std::string text;
        std::string error;  // "" when the file is good
    };
    const std::string eight = "#000001:#000002:#000003:#000004:#000005:#000006:#000007:#000008";
    for (const Case& c : {Case{R"({"fg": "#aabbcc", "bg": "#010203", "palette": ")" + eight + "\"}", ""},
                          Case{R"({"fg": "#aabbcc", "bg": "#010203", "palette": ")" + eight + ":" + eight + "\"}", ""},
                          Case{R"({"fg": "#aabbcc", "palette": ")" + eight + "\"}", "needs \"bg\" as \"#rrggbb\""},
                          Case{R"({"fg": "#aabbcc", "bg": "#01020", "palette": ")" + eight + "\"}", "needs \"bg\" as \"#rrggbb\""},
                          Case{R"({"fg": "#aabbcc", "bg": "#010203", "palette": "#000001:#000002"})",
                               "needs \"palette\" as 8 or 16 \"#rrggbb\" colours joined by ':'"},
                          Case{"fg #aabbcc", "is not a JSON object with fg, bg and palette"}}) {
        writeFile(dir / "theme.json", c.text);
        std::string error;
        Theme theme = readThemeFile((dir / "theme.json").string(), error);
        EXPECT_EQ(error, c.error) << c.text;
        if (!c.error.empty()) continue;
        EXPECT_EQ(theme.foreground, 0xAABBCC);
        EXPECT_EQ(theme.background, 0x010203);
        EXPECT_EQ(theme.palette[1], 2);
        EXPECT_EQ(theme.palette[9], 2);  // 8 colours: 8-15 repeat 0-7; 16: the same here
    }
    fs::remove_all(dir);
}

TEST(ThemeTest, ClassicGivesTheBitmapPalettes) {
    Theme classic;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(classic.palette[i], normalPalette[i]);
        EXPECT_EQ(classic.palette[i + 8], brightPalette[i]);
    }
    EXPECT_EQ(basicCellPaint(classic, 7).foreground, 0xBBBBBB);
    EXPECT_EQ(basicCellPaint(classic, 7 | kAttrBold).foreground, 0xFFFFFF);
    Theme dim = classic;
    dim.boldBright = false;
    EXPECT_EQ(basicCellPaint(dim, 1 | kAttrBold).foreground, normalPalette[1]);
}

class ThemeEndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        installFont(dir);
        writeFile(dir / "cast.json",
                  R"({"version": 2, "width": 10, "height": 3, "theme": {"fg": "#aabbcc", "bg": "#123456", "palette": )"
                  R"("#000000:#111111:#222222:#333333:#444444:#555555:#666666:#777777"}})"
                  "\n[0.0, \"o\", \"hi\"]\n[0.5, \"o\", \"!\"]\n");
    }
    void TearDown() override { fs::remove_all(dir); }

    // The colour of the first frame's top-left pixel.
    uint32_t corner(std::vector<std::string> args) {
        fs::remove_all(dir / "frames");
        args.insert(args.begin(), {"cast.json", "-png", "-stop", "1", "-quiet"});
        RunResult result = runReelcap(dir, args);
        EXPECT_EQ(result.status, 0) << result.output;
        PngImage image = readPng(dir / "frames" / "0000001.png");
        EXPECT_EQ(image.error, 0u);
        return image.error == 0 ? image.rgbAt(0, 0) : 0;
    }

    fs::path dir;
};

TEST_F(ThemeEndToEndTest, HeaderThemeAppliesAndThemeOptionOverridesIt) {
    writeFile(dir / "mine.json", R"({"fg": "#ffffff", "bg": "#654321", "palette": )"
                                 R"("#000000:#111111:#222222:#333333:#444444:#555555:#666666:#777777"})");
    EXPECT_EQ(corner({}), 0x123456u);
    EXPECT_EQ(corner({"-theme", "nord"}), 0x2E3440u);
    EXPECT_EQ(corner({"-theme", "mine.json"}), 0x654321u);
    EXPECT_EQ(corner({"-theme", "mine.json", "-font", "DejaVu Sans Mono"}), 0x654321u);
    EXPECT_EQ(corner({"-theme", "classic", "-emulation", "xterm"}), 0x000000u);
}

// -font-size and -line-height without -font size fontconfig's monospace font.
TEST_F(ThemeEndToEndTest, FontSizeWithoutFontSizesMonospace) {
    auto width = [&](std::vector<std::string> args) {
        fs::remove_all(dir / "frames");
        args.insert(args.begin(), {"cast.json", "-png", "-stop", "1", "-quiet"});
        EXPECT_EQ(runReelcap(dir, args).status, 0);
        return readPng(dir / "frames" / "0000001.png").width;
    };
    uint32_t large = width({"-font-size", "40"});
    EXPECT_EQ(large, width({"-font", "monospace", "-font-size", "40"}));
    EXPECT_GT(large, width({"-font-size", "10"}));
    EXPECT_NE(large, width({}));
}

TEST_F(ThemeEndToEndTest, BadLookOptionsEndTheRun) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const Case& c : {Case{{"-theme", "nonesuch"}, "Error: unknown theme \"nonesuch\"; the built-in themes are classic, xterm"},
                          Case{{"-theme", "cast.json"}, "Error: the theme file cast.json is not a JSON object with fg, bg and palette."},
                          Case{{"-font", "No Such Font Family"}, "Error: -font No Such Font Family: no font named"},
                          Case{{"-font-size", "2"}, "Error: -font-size must be between 4 and 200, not 2."},
                          Case{{"-line-height", "x"}, "Error: -line-height must be a number from 0.5 to 4, not \"x\"."},
                          Case{{"-bold-bright", "maybe"}, "Error: -bold-bright takes on or off, not \"maybe\"."},
                          Case{{"-padding", "-1"}, "Error: -padding must be a whole number of pixels from 0 to 500, not \"-1\"."},
                          Case{{"-padding", "501"}, "Error: -padding must be a whole number of pixels from 0 to 500, not \"501\"."},
                          Case{{"-padding", "2.5"}, "Error: -padding must be a whole number of pixels from 0 to 500, not \"2.5\"."},
                          Case{{"-cursor", "blink"}, "Error: -cursor takes block, bar or underline, not \"blink\"."}}) {
        std::vector<std::string> args{"cast.json", "-png"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult result = runReelcap(dir, args);
        EXPECT_EQ(result.status, 1) << c.args[0];
        EXPECT_NE(result.errors.find(c.message), std::string::npos) << result.errors;
    }
}

}  // namespace
