#include "emission/png_writer.h"

#include <gtest/gtest.h>
#include <lodepng.h>

#include <cstdlib>
#include <string>

#include "driver/settings.h"
#include "output_test_support.h"
#include "render/surface.h"

namespace {

class PngWriterTest : public ScratchDirTest {
protected:
    Surface picture_;
    UnwrittenFrames unwritten_;
};

Surface makeSurface(int32_t width, int32_t height, std::vector<uint8_t> pixels) {
    Surface surface;
    surface.width = width;
    surface.height = height;
    surface.pixels = std::move(pixels);
    return surface;
}

struct BufferCase {
    const char* name;
    int32_t width;
    int32_t height;
    std::vector<uint8_t> pixels;  // as a surface stores them: bottom row first, B G R x
    int32_t factor;
    std::vector<uint8_t> expected;  // top row first, R G B A
};

TEST(PngImageBuffer, TopRowFirstRgbaWithFullAlpha) {
    const std::vector<BufferCase> cases = {
        {"rows are flipped and channels swapped", 2, 2,
         {0x10, 0x20, 0x30, 0x00, 0x11, 0x21, 0x31, 0x77,    // bottom-left, bottom-right
          0x12, 0x22, 0x32, 0x99, 0x13, 0x23, 0x33, 0xFF},   // top-left, top-right
         1,
         {0x32, 0x22, 0x12, 0xFF, 0x33, 0x23, 0x13, 0xFF,
          0x30, 0x20, 0x10, 0xFF, 0x31, 0x21, 0x11, 0xFF}},
        {"doubling repeats pixels and rows", 2, 1,
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, 2,
         {0x03, 0x02, 0x01, 0xFF, 0x03, 0x02, 0x01, 0xFF, 0x07, 0x06, 0x05, 0xFF, 0x07, 0x06, 0x05, 0xFF,
          0x03, 0x02, 0x01, 0xFF, 0x03, 0x02, 0x01, 0xFF, 0x07, 0x06, 0x05, 0xFF, 0x07, 0x06, 0x05, 0xFF}},
        {"factor below one is plain size", 1, 1, {0x0A, 0x0B, 0x0C, 0x0D}, 0, {0x0C, 0x0B, 0x0A, 0xFF}},
        {"empty surface", 0, 0, {}, 1, {}},
        {"pixel block shorter than the size", 2, 2, {1, 2, 3, 4}, 1, {}},
    };
    for (const BufferCase& test : cases) {
        EXPECT_EQ(pngImageBuffer(makeSurface(test.width, test.height, test.pixels), test.factor), test.expected)
            << test.name;
    }
}

TEST(PngImageBuffer, HoldsExactlyTheOutputImage) {
    for (int32_t factor : {1, 2}) {
        Surface surface = makeSurface(800, 500, patternPixels(800, 500));
        EXPECT_EQ(pngImageBuffer(surface, factor).size(), 1600000u * factor * factor) << "factor " << factor;
    }
}

// Decodes path and compares it with surface scaled by factor: same red, green and blue,
// alpha 255 everywhere.
testing::AssertionResult pngShows(const std::string& path, const Surface& surface, int32_t factor) {
    PngImage decoded = readPng(path);
    if (decoded.error != 0) return testing::AssertionFailure() << path << ": " << lodepng_error_text(decoded.error);
    unsigned width = decoded.width;
    unsigned height = decoded.height;
    testing::AssertionResult result = testing::AssertionSuccess();
    if (width != static_cast<unsigned>(surface.width * factor) || height != static_cast<unsigned>(surface.height * factor)) {
        result = testing::AssertionFailure() << path << " is " << width << "x" << height;
    } else {
        for (unsigned y = 0; y < height && result; ++y) {
            for (unsigned x = 0; x < width && result; ++x) {
                const uint8_t* source = pixelAt(surface.pixels.data(), surface.width, surface.height,
                                                static_cast<int32_t>(x) / factor, static_cast<int32_t>(y) / factor);
                const uint8_t* got = decoded.at(x, y);
                if (got[0] != source[2] || got[1] != source[1] || got[2] != source[0] || got[3] != 0xFF) {
                    result = testing::AssertionFailure() << path << " differs at (" << x << ", " << y << ")";
                }
            }
        }
    }
    return result;
}

TEST_F(PngWriterTest, WrittenFileDecodesToTheScreen) {
    picture_ = makeSurface(800, 500, patternPixels(800, 500));
    for (int32_t factor : {1, 2}) {
        settings.sizeFactor = factor;
        std::string name = "frame" + std::to_string(factor) + ".png";
        writePngImage(name, picture_, settings.sizeFactor, unwritten_);
        EXPECT_TRUE(pngShows(name, picture_, factor));
    }
}

TEST_F(PngWriterTest, FileHasTheBytesOfLodePngsOwnFileWriter) {
    picture_ = makeSurface(64, 40, patternPixels(64, 40));
    for (int32_t factor : {1, 2}) {
        settings.sizeFactor = factor;
        writePngImage("ours.png", picture_, settings.sizeFactor, unwritten_);
        std::vector<uint8_t> image = pngImageBuffer(picture_, factor);
        ASSERT_EQ(lodepng_encode32_file("reference.png", image.data(), 64u * factor, 40u * factor), 0u);
        EXPECT_EQ(readFile("ours.png"), readFile("reference.png")) << "factor " << factor;
    }
}

TEST_F(PngWriterTest, FourthPixelByteNeverReachesTheFile) {
    std::vector<uint8_t> pixels = patternPixels(20, 10);
    picture_ = makeSurface(20, 10, pixels);
    writePngImage("a.png", picture_, settings.sizeFactor, unwritten_);
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] ^= 0x5A;
    picture_ = makeSurface(20, 10, pixels);
    writePngImage("b.png", picture_, settings.sizeFactor, unwritten_);
    EXPECT_EQ(readFile("a.png"), readFile("b.png"));
}

TEST_F(PngWriterTest, EncoderFailureIsReportedAndWritesNothing) {
    // A pixel block too short for the stated size is what the encoder's size check refuses.
    picture_ = makeSurface(4, 4, {1, 2, 3, 4});
    testing::internal::CaptureStdout();
    writePngImage("frame.png", picture_, settings.sizeFactor, unwritten_);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("encoder error 84: ") + lodepng_error_text(84) + "\n");
    EXPECT_FALSE(fs::exists("frame.png"));
}

TEST_F(PngWriterTest, UnwritableFileIsSkippedSilently) {
    picture_ = makeSurface(20, 10, patternPixels(20, 10));
    testing::internal::CaptureStdout();
    writePngImage("frames/0000001.png", picture_, settings.sizeFactor, unwritten_);  // no frames directory
    EXPECT_FALSE(writePngImage("frames/0000002.png", picture_, 2, unwritten_));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists("frames"));
    EXPECT_EQ(unwritten_.count, 2);
    EXPECT_EQ(unwritten_.first.rfind("frames/0000001.png: ", 0), 0u) << unwritten_.first;
}

TEST_F(PngWriterTest, WriteCutShortByFullDiskLeavesNoPartialFile) {
    picture_ = makeSurface(200, 100, patternPixels(200, 100));
    writePngImage("unlimited.png", picture_, settings.sizeFactor, unwritten_);
    ASSERT_GT(fs::file_size("unlimited.png"), 1000u);
    {
        FileSizeLimit limit(1000);
        writePngImage("frame.png", picture_, settings.sizeFactor, unwritten_);
    }
    EXPECT_FALSE(fs::exists("frame.png"));
}

}  // namespace
