#include "platform/avi_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "movie_reader.h"
#include "platform/compression_dialog.h"
#include "test_support.h"

namespace {

uint32_t ffmpegCode(int averror) { return static_cast<uint32_t>(averror); }

AviStreamInfo videoInfo(int32_t width, int32_t height) {
    AviStreamInfo info;
    info.fccType = kStreamTypeVideo;
    info.dwScale = 40;
    info.dwRate = 1000;
    info.rcFrame = {0, 0, width, height};
    return info;
}

BitmapInfoHeader bitmapHeader(int32_t width, int32_t height) {
    BitmapInfoHeader header;
    header.biWidth = width;
    header.biHeight = height;
    header.biSizeImage = static_cast<uint32_t>(width * (height < 0 ? -height : height) * 4);
    return header;
}

class AviFileTest : public ::testing::Test {
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override {
        aviStreamRelease(compressed);
        aviStreamRelease(video);
        aviFileRelease(file);
        fs::remove_all(dir);
    }

    std::string openWithStream(const std::string& name, int32_t width, int32_t height) {
        std::string path = (dir / name).string();
        EXPECT_EQ(aviFileOpen(&file, path), 0u);
        EXPECT_EQ(aviFileCreateStream(file, &video, videoInfo(width, height)), 0u);
        return path;
    }

    void closeAll() {
        EXPECT_EQ(aviStreamRelease(compressed), 0u);
        EXPECT_EQ(aviStreamRelease(video), 0u);
        EXPECT_EQ(aviFileRelease(file), 0u);
        compressed = nullptr;
        video = nullptr;
        file = nullptr;
    }

    fs::path dir;
    AviFile* file = nullptr;
    AviStream* video = nullptr;
    AviStream* compressed = nullptr;
};

TEST_F(AviFileTest, StreamHeadersThatCannotBeTimedOrTypedAreRefused) {
    struct Case {
        const char* what;
        AviStreamInfo info;
    };
    AviStreamInfo noScale = videoInfo(8, 8);
    noScale.dwScale = 0;
    AviStreamInfo noRate = videoInfo(8, 8);
    noRate.dwRate = 0;
    AviStreamInfo audio = videoInfo(8, 8);
    audio.fccType = fourcc("auds");
    const Case cases[] = {{"scale 0", noScale}, {"rate 0", noRate}, {"not video", audio}};
    ASSERT_EQ(aviFileOpen(&file, (dir / "refused.avi").string()), 0u);
    for (const Case& c : cases) {
        AviStream* stream = nullptr;
        EXPECT_EQ(aviFileCreateStream(file, &stream, c.info), ffmpegCode(AVERROR(EINVAL))) << c.what;
        EXPECT_EQ(stream, nullptr) << c.what;
    }
    ASSERT_EQ(aviFileCreateStream(file, &video, videoInfo(8, 8)), 0u);
    AviStream* second = nullptr;
    EXPECT_EQ(aviFileCreateStream(file, &second, videoInfo(8, 8)), ffmpegCode(AVERROR(EINVAL))) << "second stream";
}

TEST_F(AviFileTest, OnlyUncompressed32BitFormatsAreTaken) {
    struct Case {
        const char* what;
        BitmapInfoHeader header;
        int32_t length;
    };
    BitmapInfoHeader truecolour = bitmapHeader(8, 8);
    truecolour.biBitCount = 24;
    BitmapInfoHeader bitfields = bitmapHeader(8, 8);
    bitfields.biCompression = 3;
    const Case cases[] = {
        {"24 bits", truecolour, 40},
        {"BI_BITFIELDS", bitfields, 40},
        {"no width", bitmapHeader(0, 8), 40},
        {"no height", bitmapHeader(8, 0), 40},
        {"short header", bitmapHeader(8, 8), 12},
    };
    openWithStream("formats.avi", 8, 8);
    for (const Case& c : cases) {
        AviStream* stream = nullptr;
        ASSERT_EQ(aviMakeCompressedStream(&stream, video, AviCompressOptions{}), 0u);
        EXPECT_NE(aviStreamSetFormat(stream, 0, &c.header, c.length), 0u) << c.what;
        aviStreamRelease(stream);
    }
}

TEST_F(AviFileTest, WritesMustMatchTheFormat) {
    openWithStream("sizes.avi", 4, 4);
    std::vector<uint8_t> pixels(4 * 4 * 4, 0x40);
    ASSERT_EQ(aviMakeCompressedStream(&compressed, video, AviCompressOptions{}), 0u);
    EXPECT_NE(aviStreamWrite(compressed, 0, 1, pixels.data(), 64, kAviKeyFrameFlag), 0u) << "before the format";
    BitmapInfoHeader header = bitmapHeader(4, 4);
    ASSERT_EQ(aviStreamSetFormat(compressed, 0, &header, 40), 0u);
    EXPECT_NE(aviStreamWrite(compressed, 0, 1, pixels.data(), 60, kAviKeyFrameFlag), 0u) << "short frame";
    EXPECT_EQ(aviStreamWrite(compressed, 0, 1, pixels.data(), 64, kAviKeyFrameFlag), 0u);
    closeAll();
}

TEST_F(AviFileTest, TopDownBitmapsAreShownUprightToo) {
    const char* codecs[] = {"dib", "zmbv"};
    for (const char* codec : codecs) {
        SCOPED_TRACE(codec);
        std::string path = openWithStream(std::string(codec) + ".avi", 3, 2);
        // Top row red, bottom row blue.
        std::vector<uint8_t> topDown = {0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0,
                                        255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0};
        AviCompressOptions options;
        options.fccHandler = findCodecChoice(codec)->fourcc;
        ASSERT_EQ(aviMakeCompressedStream(&compressed, video, options), 0u);
        BitmapInfoHeader header = bitmapHeader(3, -2);
        ASSERT_EQ(aviStreamSetFormat(compressed, 0, &header, 40), 0u);
        ASSERT_EQ(aviStreamWrite(compressed, 0, 1, topDown.data(), 24, kAviKeyFrameFlag), 0u);
        closeAll();

        DecodedMovie movie = readMovie(path);
        ASSERT_EQ(movie.frames.size(), 1u);
        EXPECT_EQ(movie.frames[0], topDown);
    }
}

TEST_F(AviFileTest, EveryOfferedCompressorIsAvailable) {
    openWithStream("offered.avi", 8, 8);
    for (const CodecChoice& choice : codecChoices()) {
        AviCompressOptions options;
        options.fccHandler = choice.fourcc;
        AviStream* stream = nullptr;
        EXPECT_EQ(aviMakeCompressedStream(&stream, video, options), 0u) << choice.name;
        aviStreamRelease(stream);
    }
    AviCompressOptions unknown;
    unknown.fccHandler = fourcc("XVID");
    AviStream* stream = nullptr;
    EXPECT_EQ(aviMakeCompressedStream(&stream, video, unknown), ffmpegCode(AVERROR_ENCODER_NOT_FOUND));
    EXPECT_EQ(stream, nullptr);
}

TEST_F(AviFileTest, ErrorTextsAreFFmpegs) {
    EXPECT_EQ(aviFileErrorText(ffmpegCode(AVERROR(ENOSPC))), "No space left on device");
    EXPECT_EQ(aviFileErrorText(ffmpegCode(AVERROR_ENCODER_NOT_FOUND)), "Encoder not found");
}

TEST_F(AviFileTest, FileThatCannotBeCreatedSetsErrno) {
    errno = 0;
    EXPECT_EQ(aviFileOpen(&file, (dir / "no" / "such.avi").string()), ffmpegCode(AVERROR(ENOENT)));
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
