#include "render/glyph_font.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "driver/font_search.h"
#include "fixtures.h"
#include "test_support.h"

namespace {

// Opens stream on the font findFontPath finds.
bool findFontFile(std::ifstream& stream) {
    std::string path = findFontPath();
    if (path.empty()) return false;
    stream.open(path);
    return stream.is_open();
}

constexpr Colour kInk = 0xFFFFFF;
constexpr Colour kPaper = 0x000000;
constexpr Colour kUntouched = 0x00AA55;

// Sixteen distinct rows: row r has ink in column r % 10 and, from row 10 on, in column 9.
std::vector<std::string> diagonalRows() {
    std::vector<std::string> rows;
    for (int r = 0; r < 16; ++r) {
        std::string row(10, '.');
        row[static_cast<size_t>(r % 10)] = '#';
        if (r >= 10) row[9] = '@';
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> solidRows(char mark) {
    return std::vector<std::string>(16, std::string(10, mark));
}

std::string entry(const std::string& key, const std::string& offset,
                  const std::vector<std::string>& rows) {
    std::string text = key + " " + offset + "\n";
    for (const std::string& row : rows) text += row + "\n";
    return text;
}

std::string currentDir() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
}

class GlyphFontTest : public FontSearchTest {
protected:
    void writeFont(const std::string& text) { writeFile(dir_ / "font.txt", text); }

    // Loads font.txt from the working directory and returns what was printed.
    std::string load() {
        testing::internal::CaptureStdout();
        loadGlyphs(font_, findFontPath());
        return testing::internal::GetCapturedStdout();
    }

    void drawGlyph(int32_t code, int32_t x, int32_t y, Colour foreground, Colour background) {
        ::drawGlyph(font_, surface_, code, x, y, foreground, background);
    }

    const GlyphTable& glyphTable() const { return font_.glyphs; }

    GlyphFont font_;
    Surface surface_;

    void prepareSurface(int32_t width, int32_t height) {
        allocSurface(surface_, width, height);
        fillRect(surface_, 0, 0, width - 1, height - 1, kUntouched);
    }

    // Checks the whole of mainSurface: rows[r][c] at (x + c, top + r), untouched elsewhere.
    void expectGlyphAt(const std::vector<std::string>& rows, int32_t x, int32_t top) {
        for (int32_t py = 0; py < surface_.height; ++py) {
            for (int32_t px = 0; px < surface_.width; ++px) {
                int32_t r = py - top;
                int32_t c = px - x;
                Colour expected = kUntouched;
                if (r >= 0 && r < 16 && c >= 0 && c < 10) {
                    char mark = rows[static_cast<size_t>(r)][static_cast<size_t>(c)];
                    expected = mark == '.' ? kPaper : kInk;
                }
                ASSERT_EQ(colourAt(surface_, px, py), expected)
                    << "pixel (" << px << ", " << py << ")";
            }
        }
    }

};

TEST_F(GlyphFontTest, ReadsKeysAndOffsets) {
    struct Case {
        std::string keyToken;
        std::string offsetToken;
        int32_t key;
        int32_t offset;
    };
    const std::vector<Case> cases = {
        {"a", "2", 'a', 2},         {"b", "-3", 'b', -3},     {"c", "+4", 'c', 4},
        {"d", "7px", 'd', 7},       {"e", "px7", 'e', 0},     {"f", "0x10", 'f', 0},
        {"xyz", "1", 'x', 1},       {"\xB0", "0", -80, 0},    {"\xFF", "0", -1, 0},
        {"g", "99999999999", 'g', INT32_MAX},
    };
    std::string text;
    for (const Case& c : cases) text += entry(c.keyToken, c.offsetToken, diagonalRows());
    writeFont(text + "end\n");
    EXPECT_EQ(load(), "");
    ASSERT_EQ(glyphTable().size(), cases.size());
    std::string allRows;
    for (const std::string& row : diagonalRows()) allRows += row;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].keyToken + " " + cases[i].offsetToken);
        EXPECT_EQ(glyphTable()[i].key, cases[i].key);
        EXPECT_EQ(glyphTable()[i].offset, cases[i].offset);
        EXPECT_EQ(glyphTable()[i].marks, allRows);
    }
}

TEST_F(GlyphFontTest, LineStructureDoesNotMatter) {
    std::string text = "q\t1";
    for (const std::string& row : diagonalRows()) text += " \r\n" + row;
    writeFont(text + "\r\nend");
    EXPECT_EQ(load(), "");
    ASSERT_EQ(glyphTable().size(), 1u);
    EXPECT_EQ(glyphTable()[0].key, 'q');
    EXPECT_EQ(glyphTable()[0].offset, 1);
    EXPECT_EQ(glyphTable()[0].marks.size(), 160u);
}

TEST_F(GlyphFontTest, DrawsRowsBelowTheOffset) {
    writeFont(entry("x", "2", diagonalRows()) + "end\n");
    load();
    prepareSurface(30, 30);
    drawGlyph('x', 10, 5, kInk, kPaper);
    expectGlyphAt(diagonalRows(), 10, 7);
}

TEST_F(GlyphFontTest, FirstDefinitionWins) {
    writeFont(entry("k", "0", diagonalRows()) + entry("k", "3", solidRows('#')) + "end\n");
    load();
    prepareSurface(12, 20);
    drawGlyph('k', 1, 0, kInk, kPaper);
    expectGlyphAt(diagonalRows(), 1, 0);
}

TEST_F(GlyphFontTest, HighByteKeysMatchTheirCode) {
    writeFont(entry("\xB0", "1", diagonalRows()) + "end\n");
    load();
    for (int32_t code : {176, -80}) {
        SCOPED_TRACE(code);
        prepareSurface(10, 20);
        drawGlyph(code, 0, 0, kInk, kPaper);
        expectGlyphAt(diagonalRows(), 0, 1);
    }
}

TEST_F(GlyphFontTest, BadRowIsReportedAndLaterRowsMoveUp) {
    std::vector<std::string> rows = diagonalRows();
    rows[3] = "#########";  // nine marks
    writeFont(entry("Q", "0", rows) + "end\n");
    EXPECT_EQ(load(), "Error loading font character Q\n");

    // The accepted rows close up and the missing last row shows as background.
    std::vector<std::string> shown = diagonalRows();
    shown.erase(shown.begin() + 3);
    shown.push_back(std::string(10, '.'));
    prepareSurface(10, 20);
    drawGlyph('Q', 0, 0, kInk, kPaper);
    expectGlyphAt(shown, 0, 0);
}

TEST_F(GlyphFontTest, OverlongTokenIsOneBadRow) {
    std::vector<std::string> rows = diagonalRows();
    rows[0] = std::string(100, '#');
    writeFont(entry("L", "0", rows) + entry("M", "0", diagonalRows()) + "end\n");
    EXPECT_EQ(load(), "Error loading font character L\n");
    ASSERT_EQ(glyphTable().size(), 2u);
    EXPECT_EQ(glyphTable()[0].marks.size(), 150u);
    EXPECT_EQ(glyphTable()[1].key, 'M');
}

TEST_F(GlyphFontTest, EndStopsLoading) {
    writeFont(entry("a", "0", diagonalRows()) + "end\n" + entry("b", "0", diagonalRows()));
    EXPECT_EQ(load(), "");
    ASSERT_EQ(glyphTable().size(), 1u);
    EXPECT_EQ(glyphTable()[0].key, 'a');
}

TEST_F(GlyphFontTest, FileEndCutsEntries) {
    struct Case {
        const char* name;
        std::string text;
        std::string printed;
        std::vector<std::pair<int32_t, size_t>> glyphs;  // key and number of marks
    };
    std::string error = "Error loading font character ";
    std::string full = entry("a", "0", diagonalRows());
    auto repeat = [](const std::string& line, int times) {
        std::string text;
        for (int i = 0; i < times; ++i) text += line;
        return text;
    };
    const std::vector<Case> cases = {
        {"no end token", full, "", {{'a', 160}}},
        {"last row ends the file", full.substr(0, full.size() - 1), "", {{'a', 160}}},
        {"key token ends the file", full + "b", "", {{'a', 160}}},
        {"key then line end", full + "b\n", repeat(error + "b\n", 16), {{'a', 160}, {'b', 0}}},
        {"entry cut after a row", "c 1 ##########\n", repeat(error + "c\n", 15), {{'c', 10}}},
        {"only end", "end\n", "", {}},
        {"only whitespace", " \n\t\n", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        font_ = GlyphFont{};
        writeFont(c.text);
        EXPECT_EQ(load(), c.printed);
        ASSERT_EQ(glyphTable().size(), c.glyphs.size());
        for (size_t i = 0; i < c.glyphs.size(); ++i) {
            EXPECT_EQ(glyphTable()[i].key, c.glyphs[i].first);
            EXPECT_EQ(glyphTable()[i].marks.size(), c.glyphs[i].second);
        }
    }
}

TEST_F(GlyphFontTest, MissingGlyphUsesFallbackWithoutOffset) {
    writeFont(entry("b", "3", solidRows('#')) + "end\n");
    load();
    prepareSurface(12, 20);
    drawGlyph('A', 0, 0, kInk, kPaper);
    // Fallback 'A' begins with bitmap row 0C at y = 0 and 1, not at the font's offset.
    for (int32_t x = 0; x < 12; ++x) {
        EXPECT_EQ(colourAt(surface_, x, 0), x >= 4 && x <= 7 ? kInk : kPaper) << x;
    }
}

TEST_F(GlyphFontTest, EmptyTableUsesFallback) {
    writeFont("end\n");
    load();
    EXPECT_TRUE(glyphTable().empty());
    prepareSurface(12, 20);
    drawGlyph('A', 0, 0, kInk, kPaper);
    EXPECT_EQ(colourAt(surface_, 4, 0), kInk);
    EXPECT_EQ(colourAt(surface_, 0, 0), kPaper);
}

TEST_F(GlyphFontTest, GlyphIsClippedAtTheSurfaceEdges) {
    writeFont(entry("s", "-2", diagonalRows()) + "end\n");
    load();
    prepareSurface(14, 20);
    drawGlyph('s', 7, 0, kInk, kPaper);
    expectGlyphAt(diagonalRows(), 7, -2);
    prepareSurface(14, 20);
    drawGlyph('s', -4, 10, kInk, kPaper);
    expectGlyphAt(diagonalRows(), -4, 8);
}

TEST_F(GlyphFontTest, EmptyFontHereIsSkippedForOneAlongPath) {
    writeFont("");
    fs::path first = makeTempDir();
    fs::path second = makeTempDir();
    writeFile(first / "font.txt", "");
    writeFile(second / "font.txt", "from second");
    for (const char* separator : {":", ";"}) {
        SCOPED_TRACE(separator);
        std::string path = "/nonexistent-reelcap-dir" + std::string(separator) + first.string() +
                           separator + second.string();
        setenv("PATH", path.c_str(), 1);
        std::ifstream stream;
        ASSERT_TRUE(findFontFile(stream));
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "from second");
        EXPECT_EQ(currentDir(), fs::canonical(dir_).string());
    }
    fs::remove_all(first);
    fs::remove_all(second);
}

// The directory is not restored between entries, so a relative entry starts from the
// directory entered for the entry before it.
TEST_F(GlyphFontTest, RelativePathEntriesFollowOneAnother) {
    fs::create_directories(dir_ / "work");
    fs::create_directories(dir_ / "fonts" / "inner");
    writeFile(dir_ / "fonts" / "inner" / "font.txt", "inner");
    fs::create_directories(dir_ / "work" / "inner");
    writeFile(dir_ / "work" / "inner" / "font.txt", "wrong");
    ASSERT_EQ(chdir("work"), 0);
    std::string start = currentDir();
    setenv("PATH", "../fonts:inner", 1);
    std::ifstream stream;
    ASSERT_TRUE(findFontFile(stream));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "inner");
    EXPECT_EQ(currentDir(), start);
}

TEST_F(GlyphFontTest, NoFontAnywhere) {
    fs::path other = makeTempDir();
    writeFile(other / "font.txt", "");
    fs::create_directories(dir_ / "font.txt" / "not a file");
    std::string start = currentDir();
    const char* const paths[] = {"", "/nonexistent-reelcap-dir", "relative-missing:;", nullptr};
    for (const char* path : paths) {
        SCOPED_TRACE(path ? path : "(unset)");
        if (path) {
            setenv("PATH", (other.string() + ":" + path).c_str(), 1);
        } else {
            unsetenv("PATH");
        }
        std::ifstream stream;
        EXPECT_FALSE(findFontFile(stream));
        EXPECT_EQ(currentDir(), start);
    }
    fs::remove_all(other);
}

// The run ends with this message and status 1 (DriverTest.MissingFontEndsTheRunWithStatusOne).
TEST_F(GlyphFontTest, MissingFontIsToldInTwoLines) {
    EXPECT_FALSE(loadGlyphs(font_, findFontPath()));
    EXPECT_EQ(missingFontMessage() + "\n",
              "Unable to find the file \"font.txt\"... copy to this directory \n"
              "or check %PATH% environment variable?\n");
}

}  // namespace

namespace {

// The font the project ships: every printable ASCII character and the light shade, each whole
// and inside its cell; no 254, so the renderer's square shows for it.
TEST(ShippedFont, DefinesWhatTheRendererExpects) {
    std::ifstream file(sourcePath("font.txt"));
    ASSERT_TRUE(file);
    GlyphTable table;
    testing::internal::CaptureStdout();
    parseGlyphs(file, table);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no bad rows";
    std::set<int32_t> keys;
    for (const Glyph& glyph : table) {
        SCOPED_TRACE(glyph.key);
        EXPECT_TRUE(keys.insert(glyph.key).second) << "defined twice";
        EXPECT_EQ(glyph.marks.size(), 160u);
        EXPECT_GE(glyph.offset, 0);
        EXPECT_LE(glyph.offset + 16, 20) << "runs out of the cell";
    }
    std::set<int32_t> expected;
    for (int32_t code = 0x21; code <= 0x7e; ++code) expected.insert(code);
    expected.insert(static_cast<int8_t>(176));
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(keys.count(static_cast<int8_t>(254)), 0u);
}

}  // namespace
