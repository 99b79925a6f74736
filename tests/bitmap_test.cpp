#include "platform/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "emission/bmp_writer.h"
#include "output_test_support.h"
#include "platform/little_endian.h"

namespace {

using BitmapTest = ScratchDirTest;

void putU32(std::string& file, size_t offset, uint32_t value) {
    std::vector<uint8_t> field;
    putU32le(field, value);
    std::copy(field.begin(), field.end(), file.begin() + static_cast<ptrdiff_t>(offset));
}

std::string bmpFile(int32_t width, int32_t height, const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> bytes = encodeBmp(width, height, pixels.data());
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(BitmapTest, LoadsWhatTheBmpWriterWrites) {
    std::vector<uint8_t> pixels = patternPixels(30, 20);
    writeBmp("0000001.bmp", 30, 20, pixels.data());
    std::unique_ptr<Bitmap> bitmap = loadBitmapFile("0000001.bmp");
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->bits, pixels);

    DibSection section;
    ASSERT_EQ(getBitmapObject(bitmap.get(), section), kDibSectionSize);
    EXPECT_EQ(section.bmBits, bitmap->bits.data());
    const BitmapInfoHeader& header = section.dsBmih;
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 30);
    EXPECT_EQ(header.biHeight, 20);
    EXPECT_EQ(header.biPlanes, 1);
    EXPECT_EQ(header.biBitCount, 32);
    EXPECT_EQ(header.biCompression, 0u);
    EXPECT_EQ(header.biSizeImage, 30u * 20u * 4u);
    EXPECT_EQ(header.biXPelsPerMeter, 1000);
    EXPECT_EQ(header.biYPelsPerMeter, 1000);
    EXPECT_EQ(header.biClrUsed, 0u);
}

TEST_F(BitmapTest, ZeroImageSizeIsWorkedOutAndTrailingBytesIgnored) {
    std::vector<uint8_t> pixels = patternPixels(3, 2);
    std::string file = bmpFile(3, 2, pixels);
    putU32(file, 34, 0);
    writeFile("frame.bmp", file + "trailer");
    std::unique_ptr<Bitmap> bitmap = loadBitmapFile("frame.bmp");
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->header.biSizeImage, 24u);
    EXPECT_EQ(bitmap->bits, pixels);
}

TEST_F(BitmapTest, MissingFileIsNoBitmapWithEnoent) {
    errno = 0;
    EXPECT_EQ(loadBitmapFile("0000001.bmp"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(BitmapTest, FilesNotOfOurFormatAreRefusedWithEinval) {
    const std::string good = bmpFile(3, 2, patternPixels(3, 2));
    struct Case {
        const char* name;
        std::function<std::string()> make;
    };
    const std::vector<Case> cases = {
        {"empty", [] { return std::string(); }},
        {"header cut short", [&] { return good.substr(0, 40); }},
        {"pixels cut short", [&] { return good.substr(0, good.size() - 1); }},
        {"no BM signature", [&] { std::string f = good; f[0] = 'X'; return f; }},
        {"larger info header", [&] { std::string f = good; putU32(f, 14, 108); return f; }},
        {"24 bits per pixel", [&] { std::string f = good; f[28] = 24; return f; }},
        {"compressed", [&] { std::string f = good; putU32(f, 30, 3); return f; }},
        {"colour table", [&] { std::string f = good; putU32(f, 46, 2); return f; }},
        {"top-down rows", [&] { std::string f = good; putU32(f, 22, static_cast<uint32_t>(-2)); return f; }},
        {"zero width", [&] { std::string f = good; putU32(f, 18, 0); return f; }},
        {"pixel offset past the end", [&] { std::string f = good; putU32(f, 10, 1000); return f; }},
        {"pixel offset inside the header", [&] { std::string f = good; putU32(f, 10, 20); return f; }},
        {"size beyond 32 bits", [&] { std::string f = good; putU32(f, 18, 0x10000); putU32(f, 22, 0x10000); return f; }},
    };
    for (const Case& test : cases) {
        writeFile("frame.bmp", test.make());
        errno = 0;
        EXPECT_EQ(loadBitmapFile("frame.bmp"), nullptr) << test.name;
        EXPECT_EQ(errno, EINVAL) << test.name;
    }
}

TEST(BitmapObject, NoBitmapGivesZeroWithErrno) {
    DibSection section;
    errno = 0;
    EXPECT_EQ(getBitmapObject(nullptr, section), 0);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(section.bmBits, nullptr);
}

// Bands that meet or touch join; a band beyond the four joins its nearest; every row added stays
// held, and a row between bands far apart is not.
TEST(RowBandsTest, JoinWhereTheyMeetAndBeyondTheirNumber) {
    using Bands = std::vector<std::pair<int32_t, int32_t>>;
    const struct {
        const char* name;
        Bands added;
        std::vector<int32_t> free;  // rows not held
    } cases[] = {
        {"apart", {{0, 1}, {10, 11}}, {2, 9, 12}},
        {"touching and within", {{0, 1}, {2, 3}, {1, 2}, {8, 9}}, {4, 7, 10}},
        {"a fifth joins its nearest", {{0, 0}, {10, 10}, {20, 20}, {30, 30}, {33, 33}}, {1, 9, 11, 19, 21, 29}},
        {"one spanning them all", {{0, 0}, {10, 10}, {20, 20}, {30, 30}, {-5, 40}}, {-6, 41}},
        {"empty ones nothing", {{5, 4}, {7, 7}}, {4, 5, 6, 8}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RowBands bands;
        for (auto [top, bottom] : c.added) bands.add(top, bottom);
        EXPECT_LE(bands.count, RowBands::kMost);
        for (auto [top, bottom] : c.added) {
            for (int32_t row = top; row <= bottom; ++row) EXPECT_TRUE(bands.holds(row)) << row;
        }
        for (int32_t row : c.free) EXPECT_FALSE(bands.holds(row)) << row;
    }
}

}  // namespace
