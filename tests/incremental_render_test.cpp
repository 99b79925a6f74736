// Painting only what changed must give, after every record, the picture that repainting every
// cell gives; and the rows it reports as changed must hold every pixel that changed, and those
// it reports exactly as moved or kept must be those rows of the picture before.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/settings.h"
#include "render/renderer.h"
#include "render/screen_changes.h"
#include "render/surface.h"
#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "fixtures.h"
#include "test_support.h"

namespace {

// Payloads made of everything the interpreter understands, and some of what it does not,
// drawn from a fixed seed: text, line drawing, every attribute, erases, clears, cursor moves
// (some outside the screen), and characters drawn from the fallback font.
std::vector<std::string> randomPayloads(uint32_t seed, int count) {
    std::mt19937 random(seed);
    auto pick = [&](uint32_t n) { return static_cast<int>(random() % n); };
    const std::string text = "MNOWq@#.-,AZaz09 !%&()?*{}~hjklmnqtuvwx";
    const int sgrCodes[] = {0, 1, 3, 4, 5, 7, 22, 23, 24, 25, 27, 30, 31, 32, 33, 34, 35, 36, 37, 39,
                            40, 41, 42, 43, 44, 45, 46, 47, 49, 38, 48};
    std::vector<std::string> payloads;
    for (int i = 0; i < count; ++i) {
        std::string payload;
        int pieces = pick(10) == 0 ? 60 : 1 + pick(6);
        for (int p = 0; p < pieces; ++p) {
            switch (pick(14)) {
                case 0: case 1: case 2: case 3:
                    for (int n = 1 + pick(8); n > 0; --n) payload += text[static_cast<size_t>(pick(static_cast<uint32_t>(text.size())))];
                    break;
                case 4:
                    payload += "\x1b[" + std::to_string(pick(30)) + ";" + std::to_string(pick(50)) + "H";
                    break;
                case 5: case 6:
                    payload += "\x1b[" + std::to_string(sgrCodes[pick(std::size(sgrCodes))]) + "m";
                    break;
                case 7:
                    payload += pick(2) ? "\x0e" : "\x0f";
                    break;
                case 8:
                    payload += pick(2) ? "\x1b(0" : "\x1b(B";
                    break;
                case 9: {
                    const char* erases[] = {"\x1b[K", "\x1b[0K", "\x1b[1K", "\x1b[2K"};
                    payload += erases[pick(4)];
                    break;
                }
                case 10:
                    if (pick(8) == 0) payload += "\x1b[2J";
                    break;
                case 11: {
                    const char* moves[] = {"\x1b[A", "\x1b[B", "\x1b[C", "\x1b[D", "\r", "\n", "\b", "\x1b[H"};
                    payload += moves[pick(8)];
                    break;
                }
                case 12:
                    payload += "\x1b[" + std::to_string(pick(12)) + "H";
                    break;
                default:
                    payload += "\x1b[m";
                    break;
            }
        }
        payloads.push_back(payload);
    }
    return payloads;
}

std::string glyphEntry(const std::string& key, int offset, char mark) {
    std::string text = key + " " + std::to_string(offset) + "\n";
    for (int row = 0; row < 16; ++row) {
        for (int column = 0; column < 10; ++column) text += (row + column) % 3 == 0 ? mark : '.';
        text += "\n";
    }
    return text;
}

// Glyphs that reach into the cells above (by up to more than a cell) and below, glyphs for
// line-drawing codes (which never use them), and every other character left to the fallback
// font, whose pictures are two pixels wider than a cell.
std::string reachingFont() {
    return glyphEntry("M", 0, '#') + glyphEntry("N", -2, '#') + glyphEntry("O", 6, '#') +
           glyphEntry("W", -25, '#') + glyphEntry("q", 30, '#') + glyphEntry("\xB0", -3, '#') +
           glyphEntry("\xC4", 9, '#') + glyphEntry("@", 4, '#') + "end\n";
}

uint64_t digest(const Surface& surface) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t at = 0; at + 8 <= surface.pixels.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, &surface.pixels[at], 8);
        hash = (hash ^ word) * 1099511628211ull;
    }
    return hash ^ static_cast<uint64_t>(surface.width) << 32 ^ static_cast<uint64_t>(surface.height);
}

struct Screen {
    int32_t columns;
    int32_t rows;
    int32_t pictureColumns = 0;  // 0: the terminal's size
    int32_t pictureRows = 0;
    int32_t resizeEvery = 0;     // payloads between resizes, to sizes up to a little beyond the picture
    int32_t padding = 0;
    CursorStyle cursor = CursorStyle::none;
    bool window = false;
    std::string font = "";  // -font
    Emulation emulation = Emulation::basic;
    std::map<size_t, std::pair<int32_t, int32_t>> sizes = {};  // columns and rows taken before a payload
};

class IncrementalRenderTest : public FontSearchTest {
protected:
    // The picture after every payload, painted one way or the other. With changes tracked,
    // also checks that every row that differs from the previous picture was reported, and that
    // a row told exactly to be unpainted is the one it names.
    std::vector<uint64_t> paint(const std::vector<std::string>& payloads, Screen screen, bool plain) {
        resetAll();
        settings.columns = screen.columns;
        settings.rows = screen.rows;
        settings.plainPaths = plain;
        settings.pictureColumns = screen.pictureColumns;
        settings.pictureRows = screen.pictureRows;
        settings.padding = screen.padding;
        settings.cursor = screen.cursor;
        settings.window.shown = screen.window;
        settings.window.title = "incremental";
        settings.font = screen.font;
        settings.emulation = screen.emulation;
        std::unique_ptr<RunStages> stages = startStages(settings);
        Terminal& terminal = stages->terminal;
        std::vector<uint64_t> digests;
        std::vector<uint8_t> previous;
        for (size_t i = 0; i < payloads.size(); ++i) {
            const int32_t n = static_cast<int32_t>(i);
            if (screen.resizeEvery > 0 && n % screen.resizeEvery == screen.resizeEvery - 1) {
                terminal.resize(1 + n * 7 % (screen.pictureColumns + 3), 1 + n * 5 % (screen.pictureRows + 2));
            }
            if (auto size = screen.sizes.find(i); size != screen.sizes.end()) {
                terminal.resize(size->second.first, size->second.second);
            }
            const std::string& payload = payloads[i];
            terminal.feed(std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
            ScreenChanges changes = stages->painter.paint(terminal).changes;
            const Surface& frame = stages->painter.frame();
            digests.push_back(digest(frame));
            if (!plain && !previous.empty() && !changes.everything) {
                size_t rowBytes = static_cast<size_t>(frame.width) * 4;
                for (int32_t y = 0; y < frame.height; ++y) {
                    size_t at = static_cast<size_t>(frame.height - 1 - y) * rowBytes;
                    bool differs = std::memcmp(&previous[at], &frame.pixels[at], rowBytes) != 0;
                    if (differs && (y < changes.top || y > changes.bottom)) {
                        ADD_FAILURE() << "row " << y << " changed unreported after payload " << i;
                        return digests;
                    }
                    if (y < changes.top || y > changes.bottom || !changes.exact || changes.repainted.holds(y)) continue;
                    const int32_t from = ((y + changes.moved) % frame.height + frame.height) % frame.height;
                    const size_t fromAt = static_cast<size_t>(frame.height - 1 - from) * rowBytes;
                    if (std::memcmp(&previous[fromAt], &frame.pixels[at], rowBytes) != 0) {
                        ADD_FAILURE() << "row " << y << " is not row " << from << " before, after payload " << i;
                        return digests;
                    }
                }
            }
            previous = frame.pixels;
        }
        return digests;
    }

    void expectSamePictures(const std::vector<std::string>& payloads, Screen screen) {
        std::vector<uint64_t> tracked = paint(payloads, screen, false);
        std::vector<uint64_t> plain = paint(payloads, screen, true);
        ASSERT_EQ(tracked.size(), plain.size());
        for (size_t i = 0; i < plain.size(); ++i) {
            ASSERT_EQ(tracked[i], plain[i]) << "pictures differ after payload " << i;
        }
    }

};

TEST_F(IncrementalRenderTest, DemoRecordingWithOurFont) {
    installFont(dir_);
    expectSamePictures(ttyrecPayloads(readFile(sourcePath("samples/demo.ttyrec"))), {80, 25});
}

// A pager's screen of 40 x 12 redrawn a few lines further on or back.
std::vector<std::string> scrolledPayloads() {
    std::mt19937 random(5);
    std::vector<std::string> lines;
    for (int i = 0; i < 200; ++i) {
        std::string line = "\x1b[" + std::to_string(30 + random() % 8) + "m";
        for (size_t n = random() % 30; n > 0; --n) line += static_cast<char>('!' + random() % 90);
        lines.push_back(line + "\x1b[m");
    }
    std::vector<std::string> payloads;
    int32_t top = 0;
    for (int step = 0; step < 150; ++step) {
        int32_t move = static_cast<int32_t>(random() % 7) - 2;  // back up to 2, on up to 4
        top = std::clamp(top + move, 0, 200 - 12);
        std::string payload;
        for (int32_t row = 0; row < 12; ++row) {
            payload += "\x1b[" + std::to_string(row + 1) + ";1H" + lines[static_cast<size_t>(top + row)] + "\x1b[K";
        }
        payloads.push_back(payload);
    }
    return payloads;
}

// Rows whose cells moved are moved, the rest painted, and the picture is the full repaint's.
TEST_F(IncrementalRenderTest, ScrolledScreensMatchAFullRepaint) {
    installFont(dir_);
    expectSamePictures(scrolledPayloads(), {40, 12});
}

// The xterm emulation's painter and -font's turn scrolled rows with the ring (carrying what lies
// right of a narrower screen), paint and report the changed rows alone, and the pictures are a
// full repaint's; with a border and a cursor too, and when the screen does not fill the picture.
TEST_F(IncrementalRenderTest, XtermAndOutlineScreensMatchAFullRepaint) {
    installFont(dir_);
    const Emulation xterm = Emulation::xterm;
    expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .emulation = xterm});
    expectSamePictures(randomPayloads(8, 400), {.columns = 40, .rows = 12, .emulation = xterm});
    expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .pictureColumns = 44, .pictureRows = 12, .emulation = xterm});
    expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .pictureColumns = 40, .pictureRows = 14, .emulation = xterm});
    expectSamePictures(scrolledPayloads(),
                       {.columns = 40, .rows = 12, .padding = 3, .cursor = CursorStyle::block, .emulation = xterm});
    for (Emulation emulation : {Emulation::basic, xterm}) {
        expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .font = "DejaVu Sans Mono", .emulation = emulation});
        // An odd number of pixel rows: a strip below the cells turns with them and is filled again.
        expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 13, .font = "DejaVu Sans Mono", .emulation = emulation});
        expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .pictureColumns = 41, .pictureRows = 12,
                                                .cursor = CursorStyle::bar, .font = "DejaVu Sans Mono", .emulation = emulation});
    }
}

TEST_F(IncrementalRenderTest, RandomPayloadsWithOurFont) {
    installFont(dir_);
    expectSamePictures(randomPayloads(1, 600), {40, 12});
    expectSamePictures(randomPayloads(2, 300), {7, 3});
}

TEST_F(IncrementalRenderTest, RandomPayloadsWithGlyphsAndFallbacksLeavingTheirCells) {
    writeFile(dir_ / "font.txt", reachingFont());
    expectSamePictures(randomPayloads(3, 600), {40, 12});
    expectSamePictures(randomPayloads(4, 300), {9, 4});
    expectSamePictures(ttyrecPayloads(readFile(sourcePath("samples/demo.ttyrec"))), {80, 25});
}

// A terminal resized within a larger picture: the rest is black, whatever reached into it.
TEST_F(IncrementalRenderTest, ResizedTerminalsInALargerPicture) {
    writeFile(dir_ / "font.txt", reachingFont());
    expectSamePictures(randomPayloads(6, 600), {30, 8, 40, 12, 25});
    installFont(dir_);
    expectSamePictures(randomPayloads(7, 400), {20, 6, 40, 12, 20});
    expectSamePictures(scrolledPayloads(), {40, 12, 44, 15});
}

// The cursor moves with nearly every payload: the cells it leaves and enters are drawn again,
// over moved rows too, within the border, which tells the rows moved as the painter does.
TEST_F(IncrementalRenderTest, CursorAndPaddingMatchAFullRepaint) {
    installFont(dir_);
    expectSamePictures(randomPayloads(8, 400), {.columns = 40, .rows = 12, .cursor = CursorStyle::block});
    expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .padding = 3, .cursor = CursorStyle::underline});
    // Screens scrolled either way with a line in the middle changed as well.
    auto lines = [](int32_t first, int32_t changedRow) {
        std::string payload;
        for (int32_t row = 0; row < 12; ++row) {
            const std::string text = row == changedRow ? "changed" : "line " + std::to_string(first + row);
            payload += "\x1b[" + std::to_string(row + 1) + ";1H" + text + "\x1b[K";
        }
        return payload + "\x1b[H";
    };
    expectSamePictures({lines(0, -1), lines(1, 5), lines(0, 7), lines(2, -1)},
                       {.columns = 40, .rows = 12, .padding = 3, .cursor = CursorStyle::block});
    writeFile(dir_ / "font.txt", reachingFont());
    expectSamePictures(randomPayloads(9, 400),
                       {.columns = 30, .rows = 8, .pictureColumns = 40, .pictureRows = 12, .resizeEvery = 25, .padding = 5,
                        .cursor = CursorStyle::bar});
}

// The window's bottom corners round the cells beneath them: cells and cursors painted there
// anew are rounded again, once.
TEST_F(IncrementalRenderTest, WindowMatchesAFullRepaint) {
    installFont(dir_);
    expectSamePictures(randomPayloads(10, 400), {.columns = 40, .rows = 12, .cursor = CursorStyle::block, .window = true});
    expectSamePictures(scrolledPayloads(), {.columns = 40, .rows = 12, .padding = 2, .window = true});
    expectSamePictures(randomPayloads(11, 200), {.columns = 30, .rows = 8, .cursor = CursorStyle::bar, .window = true,
                                                 .font = "DejaVu Sans Mono"});
}

// -font keeps the cells of the rows the emulation left alone, through resizes and rows that
// change their colours alone.
TEST_F(IncrementalRenderTest, OutlineCellsOfUnchangedRowsMatchAFullRepaint) {
    installFont(dir_);
    for (Emulation emulation : {Emulation::basic, Emulation::xterm}) {
        const Screen outline{.columns = 30, .rows = 8, .pictureColumns = 26, .pictureRows = 12,
                             .font = "DejaVu Sans Mono", .emulation = emulation};
        expectSamePictures({"ABC\r\nABC", "\x1b[H\x1b[7mABC", "\x1b[H\x1b[27;1mAB", "\x1b[2;1H\x1b[0;4mABC"}, outline);
        // Among the resizes, 18 x 12 to 24 x 9: as many cells in other rows.
        Screen resized = outline;
        resized.resizeEvery = 5;
        expectSamePictures(randomPayloads(12, 400), resized);
    }
    // A wide character on a screen of one column (emulated two wide) keeps its cell through a
    // resize from two columns and one row, but spans one cell there.
    expectSamePictures({"\xe5\xad\x97", ""}, {.columns = 2, .rows = 1, .pictureColumns = 2, .pictureRows = 2,
                                               .font = "DejaVu Sans Mono", .emulation = Emulation::xterm,
                                               .sizes = {{1, {1, 2}}}});
}

// A font with no glyph at all: every character is a fallback picture.
TEST_F(IncrementalRenderTest, RandomPayloadsWithAnEmptyFont) {
    writeFile(dir_ / "font.txt", "end\n");
    expectSamePictures(randomPayloads(5, 400), {30, 10});
}

TEST_F(IncrementalRenderTest, UnchangedScreenReportsNoRowsAndSameLookingCellsNoneEither) {
    installFont(dir_);
    settings.columns = 10;
    settings.rows = 4;
    std::unique_ptr<RunStages> stages = startStages(settings);
    ScreenGrid grid;
    resetGrid(grid);
    grid.columns = 10;
    grid.rows = 4;
    EXPECT_TRUE(stages->painter.paint(grid).changes.everything);
    ScreenChanges none = stages->painter.paint(grid).changes;
    EXPECT_FALSE(none.everything);
    EXPECT_GT(none.top, none.bottom);
    // A blank written in the normal attribute looks like an erased cell.
    grid.attrPlane[kGridColumns + 3] = kAttrNormal;
    ScreenChanges same = stages->painter.paint(grid).changes;
    EXPECT_FALSE(same.everything);
    EXPECT_GT(same.top, same.bottom);
    grid.charPlane[2 * kGridColumns + 3] = 'x';
    grid.attrPlane[2 * kGridColumns + 3] = kAttrNormal;
    ScreenChanges row = stages->painter.paint(grid).changes;
    EXPECT_FALSE(row.everything);
    EXPECT_EQ(row.top, 40);
    EXPECT_EQ(row.bottom, 59);
    // Nothing reported at all counts as everything.
    EXPECT_TRUE(ChangedRows().take().everything);
}

}  // namespace
