#include "emission/bmp_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "output_test_support.h"
#include "render/surface.h"

namespace {

using BmpWriterTest = ScratchDirTest;

TEST_F(BmpWriterTest, DefaultScreenFileIsHeaderThenPixelsUnchanged) {
    std::vector<uint8_t> pixels = patternPixels(800, 500);
    std::vector<uint8_t> file = encodeBmp(800, 500, pixels.data());
    ASSERT_EQ(file.size(), 1600054u);
    const std::array<uint8_t, 54> expectedHeader = {
        0x42, 0x4D, 0x36, 0x6A, 0x18, 0x00,  // "BM", file size
        0x00, 0x00, 0x00, 0x00,              // reserved
        0x36, 0x00, 0x00, 0x00,              // pixel data offset 54
        0x28, 0x00, 0x00, 0x00,              // info header size 40
        0x20, 0x03, 0x00, 0x00,              // width 800
        0xF4, 0x01, 0x00, 0x00,              // height 500
        0x01, 0x00, 0x20, 0x00,              // planes 1, 32 bits
        0x00, 0x00, 0x00, 0x00,              // uncompressed
        0x00, 0x6A, 0x18, 0x00,              // image size
        0xE8, 0x03, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00,  // 1000 pixels per metre
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // no colour table
    };
    EXPECT_TRUE(std::equal(expectedHeader.begin(), expectedHeader.end(), file.begin()));
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), file.begin() + 54));

    writeBmp("0000001.bmp", 800, 500, pixels.data());
    EXPECT_EQ(asBytes(readFile("0000001.bmp")), file);
}

TEST_F(BmpWriterTest, RewritingReplacesTheWholeFile) {
    std::vector<uint8_t> large = patternPixels(30, 20);
    std::vector<uint8_t> small(4 * 3 * 2, 0x42);
    writeBmp("frame.bmp", 30, 20, large.data());
    writeBmp("frame.bmp", 3, 2, small.data());
    EXPECT_EQ(asBytes(readFile("frame.bmp")), encodeBmp(3, 2, small.data()));
}

TEST_F(BmpWriterTest, DoubledScreenMakesEachPixelATwoByTwoBlock) {
    Surface picture;
    picture.width = 800;
    picture.height = 500;
    picture.pixels = patternPixels(800, 500);
    // Earlier contents of the doubled surface must not survive anywhere.
    Surface doubledSurface;
    doubledSurface.width = 1600;
    doubledSurface.height = 1000;
    doubledSurface.pixels.assign(1600 * 1000 * 4, 0xEE);

    writeDoubledBmp("0000001.bmp", picture, doubledSurface);
    std::string file = readFile("0000001.bmp");
    ASSERT_EQ(file.size(), 6400054u);
    std::vector<uint8_t> bytes = asBytes(file);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 2, bytes.begin() + 6), (std::vector<uint8_t>{0x36, 0xA8, 0x61, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 18, bytes.begin() + 26),
              (std::vector<uint8_t>{0x40, 0x06, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 34, bytes.begin() + 38), (std::vector<uint8_t>{0x00, 0xA8, 0x61, 0x00}));

    int mismatches = 0;
    const uint8_t* doubled = bytes.data() + 54;
    for (int32_t y = 0; y < 1000; ++y) {
        for (int32_t x = 0; x < 1600; ++x) {
            const uint8_t* got = pixelAt(doubled, 1600, 1000, x, y);
            const uint8_t* source = pixelAt(picture.pixels.data(), 800, 500, x / 2, y / 2);
            uint8_t expected[4] = {source[0], source[1], source[2], 0};
            if (std::memcmp(got, expected, 4) != 0) ++mismatches;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(BmpWriterTest, DoublingDropsTheFourthByteThatThePlainFileKeeps) {
    Surface picture;
    picture.width = 1;
    picture.height = 1;
    picture.pixels = {0x01, 0x02, 0x03, 0x09};

    writeBmp("plain.bmp", 1, 1, picture.pixels.data());
    EXPECT_EQ(readFile("plain.bmp").substr(54), std::string("\x01\x02\x03\x09", 4));

    Surface doubledSurface;
    writeDoubledBmp("doubled.bmp", picture, doubledSurface);
    std::string doubled = readFile("doubled.bmp");
    ASSERT_EQ(doubled.size(), 54u + 16u);
    EXPECT_EQ(doubled.substr(18, 8), std::string("\x02\0\0\0\x02\0\0\0", 8));
    std::string block(std::string("\x01\x02\x03\0", 4));
    EXPECT_EQ(doubled.substr(54), block + block + block + block);
}

TEST_F(BmpWriterTest, UnwritablePathLeavesNoFileAndSaysNothing) {
    std::vector<uint8_t> pixels = patternPixels(8, 4);
    fs::create_directory("taken.bmp");
    testing::internal::CaptureStdout();
    writeBmp("missing/0000001.bmp", 8, 4, pixels.data());
    writeBmp("taken.bmp", 8, 4, pixels.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists("missing"));
    EXPECT_TRUE(fs::is_directory("taken.bmp"));
}

TEST_F(BmpWriterTest, WriteCutShortByFullDiskLeavesNoPartialFile) {
    std::vector<uint8_t> pixels = patternPixels(100, 100);
    {
        FileSizeLimit limit(1000);
        writeBmp("0000001.bmp", 100, 100, pixels.data());
    }
    EXPECT_FALSE(fs::exists("0000001.bmp"));
}

}  // namespace
