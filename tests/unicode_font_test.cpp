// The PCF reader: every format variant of the container, gzip, damaged files, and Debian's
// Terminus checked against font.txt, which tools/make_font.py derived from it on its own.

#include "render/unicode_font.h"

#include <gtest/gtest.h>

#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "pcf_test_font.h"
#include "render/glyph_font.h"
#include "test_support.h"

namespace {

std::vector<PcfTestGlyph> sampleGlyphs() {
    return {
        {'A', 1, 3, {"..#..", ".#.#.", "#####", "#...#"}},  // one row below the baseline
        {0x3BB, 0, 2, {"#.........", ".#.......#"}},        // ten columns: two bytes a row
        {0x3C0, 2, 4, {"#################.#.", "....#...#...#...#..#"}},  // three bytes a row
    };
}

std::span<const uint8_t> asSpan(const std::string& data) {
    return {reinterpret_cast<const uint8_t*>(data.data()), data.size()};
}

// The glyph's rows as '#' and '.', read back through the decoded bits.
std::vector<std::string> decodedRows(const UnicodeFont& font, const UnicodeGlyph& glyph) {
    std::vector<std::string> rows;
    for (int32_t row = 0; row < glyph.height; ++row) {
        std::string text;
        uint32_t bits = font.rows[glyph.firstRow + static_cast<uint32_t>(row)];
        for (int32_t column = 0; column < glyph.width; ++column) text += (bits & (0x80000000u >> column)) ? '#' : '.';
        rows.push_back(text);
    }
    return rows;
}

TEST(UnicodeFontTest, EveryFormatVariantDecodesTheSameGlyphs) {
    std::vector<PcfTestFormat> formats;
    for (bool bigEndian : {false, true}) {
        for (bool bitMsb : {false, true}) {
            for (int padShift : {0, 1, 2, 3}) {
                for (int scanUnitShift : {0, 1, 2}) {
                    if ((size_t{1} << scanUnitShift) > (size_t{1} << padShift)) continue;
                    for (bool compressed : {false, true}) {
                        formats.push_back({bigEndian, bitMsb, padShift, scanUnitShift, compressed});
                    }
                }
            }
        }
    }
    for (const PcfTestFormat& format : formats) {
        SCOPED_TRACE(::testing::Message() << "big-endian " << format.bigEndian << ", msb bits " << format.bitMsb
                                          << ", pad " << format.padShift << ", unit " << format.scanUnitShift
                                          << ", compressed " << format.compressedMetrics);
        UnicodeFont font;
        ASSERT_TRUE(parsePcfFont(asSpan(buildPcfFont(sampleGlyphs(), 16, 4, format)), font));
        EXPECT_EQ(font.ascent, 16);
        EXPECT_EQ(font.descent, 4);
        for (const PcfTestGlyph& expected : sampleGlyphs()) {
            const UnicodeGlyph* glyph = findUnicodeGlyph(font, expected.codePoint);
            ASSERT_NE(glyph, nullptr) << expected.codePoint;
            EXPECT_EQ(glyph->left, expected.leftBearing);
            EXPECT_EQ(glyph->top, 16 - expected.ascent);
            EXPECT_EQ(decodedRows(font, *glyph), expected.rows);
        }
    }
}

TEST(UnicodeFontTest, CodePointsWithoutGlyphsFindNothing) {
    UnicodeFont font;
    ASSERT_TRUE(parsePcfFont(asSpan(buildPcfFont(sampleGlyphs(), 16, 4)), font));
    for (uint32_t codePoint : {0x42u, 0x3BAu, 0x3C1u, 0x20u, 0x1F600u, 0x110000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(findUnicodeGlyph(font, codePoint), nullptr) << codePoint;
    }
    EXPECT_EQ(findUnicodeGlyph(UnicodeFont{}, 'A'), nullptr);
}

// Every cut of a valid file, and a few damaged bytes, fail cleanly (the sanitizers watch).
TEST(UnicodeFontTest, DamagedFilesAreRefused) {
    std::string data = buildPcfFont(sampleGlyphs(), 16, 4);
    for (size_t length = 0; length < data.size(); ++length) {
        UnicodeFont font;
        EXPECT_FALSE(parsePcfFont(asSpan(data.substr(0, length)), font)) << length;
        EXPECT_TRUE(font.glyphs.empty());
    }
    std::string wrongMagic = data;
    wrongMagic[1] = 'x';
    UnicodeFont font;
    EXPECT_FALSE(parsePcfFont(asSpan(wrongMagic), font));
    for (size_t at = 8; at < data.size(); at += 3) {
        std::string damaged = data;
        damaged[at] = static_cast<char>(0xFF);
        parsePcfFont(asSpan(damaged), font);  // may or may not decode; must not read astray
    }
}

TEST(UnicodeFontTest, ReadsCompressedAndPlainFiles) {
    fs::path dir = makeTempDir();
    std::string data = buildPcfFont(sampleGlyphs(), 16, 4);
    writeGzipFile(dir / "font.pcf.gz", data);
    writeFile(dir / "font.pcf", data);
    writeFile(dir / "cut.pcf.gz", readFile(dir / "font.pcf.gz").substr(0, 40));
    for (const char* name : {"font.pcf.gz", "font.pcf"}) {
        UnicodeFont font;
        EXPECT_TRUE(readPcfFile((dir / name).string(), font)) << name;
        EXPECT_NE(findUnicodeGlyph(font, 0x3BB), nullptr) << name;
    }
    UnicodeFont font;
    EXPECT_FALSE(readPcfFile((dir / "cut.pcf.gz").string(), font));
    EXPECT_FALSE(readPcfFile((dir / "missing.pcf.gz").string(), font));
    fs::remove_all(dir);
}

TEST(UnicodeFontTest, ActiveFontIsEmptyWhenItsFileIsMissing) {
    UnicodeFontSlot missing;
    missing.path = "/nonexistent/font.pcf.gz";
    EXPECT_EQ(findUnicodeGlyph(activeUnicodeFont(missing), 'A'), nullptr);
    fs::path dir = makeTempDir();
    writeGzipFile(dir / "font.pcf.gz", buildPcfFont(sampleGlyphs(), 16, 4));
    UnicodeFontSlot present;
    present.path = (dir / "font.pcf.gz").string();
    EXPECT_NE(findUnicodeGlyph(activeUnicodeFont(present), 'A'), nullptr);
    fs::remove_all(dir);
}

// font.txt holds Terminus's printable ASCII, each cropped to 16 rows at its offset; both were
// read from the PCF by different readers (ours and tools/make_font.py).
TEST(UnicodeFontTest, TerminusAgreesWithFontTxt) {
    UnicodeFont font;
    if (!readPcfFile(kTerminusFontPath, font)) GTEST_SKIP() << "xfonts-terminus is not installed";
    EXPECT_EQ(font.ascent + font.descent, 20);
    std::ifstream stream(sourcePath("font.txt"));
    GlyphTable table;
    parseGlyphs(stream, table);
    int compared = 0;
    for (const Glyph& glyph : table) {
        uint8_t key = static_cast<uint8_t>(glyph.key);
        if (key < 0x21 || key > 0x7E) continue;
        const UnicodeGlyph* terminus = findUnicodeGlyph(font, key);
        ASSERT_NE(terminus, nullptr) << key;
        for (int32_t y = 0; y < 20; ++y) {
            for (int32_t x = 0; x < 10; ++x) {
                bool ink = false;
                int32_t row = y - terminus->top;
                int32_t column = x - terminus->left;
                if (row >= 0 && row < terminus->height && column >= 0 && column < terminus->width) {
                    ink = font.rows[terminus->firstRow + static_cast<uint32_t>(row)] & (0x80000000u >> column);
                }
                int32_t markRow = y - glyph.offset;
                bool mark = markRow >= 0 && markRow < 16 && glyph.marks[static_cast<size_t>(markRow * 10 + x)] != '.';
                EXPECT_EQ(ink, mark) << "key " << key << " at " << x << "," << y;
            }
        }
        ++compared;
    }
    EXPECT_EQ(compared, 94);
}

}  // namespace
