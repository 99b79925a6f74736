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

TEST_F(AviFileTest, EveryOfferedCompressorIsAvailableWhereItIsHeld) {
    for (const MovieContainerInfo& container : movieContainers()) {
        SCOPED_TRACE(container.extension);
        std::string name = std::string("offered") + container.extension;
        ASSERT_EQ(aviFileOpen(&file, (dir / name).string()), 0u);
        ASSERT_EQ(aviFileCreateStream(file, &video, videoInfo(8, 8)), 0u);
        size_t held = 0;
        for (const CodecChoice& choice : codecChoices()) {
            AviCompressOptions options;
            options.fccHandler = choice.fourcc;
            AviStream* stream = nullptr;
            bool holds = movieContainerHolds(container.container, choice.fourcc);
            EXPECT_EQ(aviMakeCompressedStream(&stream, video, options), holds ? 0u : ffmpegCode(AVERROR(EINVAL)))
                << choice.name;
            EXPECT_EQ(stream != nullptr, holds) << choice.name;
            aviStreamRelease(stream);
            held += holds ? 1 : 0;
        }
        EXPECT_GT(held, 0u);
        EXPECT_TRUE(movieContainerHolds(container.container, container.defaultCompressor));
        aviStreamRelease(video);
        video = nullptr;
        aviFileRelease(file);  // no frames: refused, except for AVI files
        file = nullptr;
    }
    openWithStream("offered.avi", 8, 8);
    AviCompressOptions unknown;
    unknown.fccHandler = fourcc("XVID");
    AviStream* stream = nullptr;
    EXPECT_EQ(aviMakeCompressedStream(&stream, video, unknown), ffmpegCode(AVERROR_ENCODER_NOT_FOUND));
    EXPECT_EQ(stream, nullptr);
}

TEST_F(AviFileTest, ContainerFollowsTheExtension) {
    struct Case {
        const char* path;
        MovieContainer expected;
    };
    const Case cases[] = {
        {"talk.mp4", MovieContainer::mp4},         {"TALK.MP4", MovieContainer::mp4},
        {"a/b/talk.mkv", MovieContainer::matroska}, {"talk.webm", MovieContainer::webm},
        {"talk.Gif", MovieContainer::gif},          {"talk.avi", MovieContainer::avi},
        {"talk", MovieContainer::avi},              {"talk.mp4.avi", MovieContainer::avi},
        {"talk.avi.gif", MovieContainer::gif},      {"clips.mp4/talk", MovieContainer::avi},
        {"talk.mp", MovieContainer::avi},           {"talk.mp4 ", MovieContainer::avi},
        {"", MovieContainer::avi},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(movieContainerFor(c.path).container, c.expected) << c.path;
    }
}

// Frames with more colours than one GIF palette holds: those that fit stay exact, and a single
// frame beyond 255 colours comes out close.
TEST_F(AviFileTest, GifColoursStayExactWhereAPaletteCanHoldThem) {
    constexpr int32_t kWidth = 20;
    constexpr int32_t kHeight = 16;  // 320 pixels
    auto picture = [](uint32_t firstColour, uint32_t colourCount) {
        std::vector<uint8_t> pixels;
        for (uint32_t i = 0; i < kWidth * kHeight; ++i) {
            uint32_t colour = (firstColour + i % colourCount) * 0x010307u;
            pixels.insert(pixels.end(), {uint8_t(colour), uint8_t(colour >> 8), uint8_t(colour >> 16), 0});
        }
        return pixels;
    };
    const std::vector<uint8_t> frames[] = {
        picture(0, 3),       // the file's palette starts with these
        picture(100, 200),   // 203 colours so far
        picture(100, 200),   // the same screen again
        picture(400, 200),   // 403: more than one palette holds
        picture(0, 3),
        picture(1000, 300),  // more than this frame's own palette holds
        picture(100, 200),
        picture(100, 200),
    };
    constexpr size_t kApproximate = 5;
    std::string path = openWithStream("colours.gif", kWidth, kHeight);
    AviCompressOptions options;
    options.fccHandler = kCompressorGif;
    ASSERT_EQ(aviMakeCompressedStream(&compressed, video, options), 0u);
    BitmapInfoHeader header = bitmapHeader(kWidth, -kHeight);
    ASSERT_EQ(aviStreamSetFormat(compressed, 0, &header, 40), 0u);
    for (size_t i = 0; i < std::size(frames); ++i) {
        ASSERT_EQ(aviStreamWrite(compressed, static_cast<int32_t>(i), 1, frames[i].data(),
                                 static_cast<int32_t>(frames[i].size()), kAviKeyFrameFlag),
                  0u);
    }
    closeAll();

    DecodedMovie movie = readMovie(path);
    EXPECT_EQ(movie.codec, AV_CODEC_ID_GIF);
    ASSERT_EQ(movie.frames.size(), std::size(frames));
    for (size_t i = 0; i < std::size(frames); ++i) {
        if (i == kApproximate) {
            EXPECT_LT(meanDifference(movie.frames[i], frames[i]), 12.0);
        } else {
            EXPECT_TRUE(movie.frames[i] == frames[i]) << "frame " << i;
        }
    }
}

TEST_F(AviFileTest, OnlyAviFilesMayHaveNoFrames) {
    for (const MovieContainerInfo& container : movieContainers()) {
        SCOPED_TRACE(container.extension);
        fs::path path = dir / (std::string("empty") + container.extension);
        ASSERT_EQ(aviFileOpen(&file, path.string()), 0u);
        uint32_t result = aviFileRelease(file);
        file = nullptr;
        if (container.container == MovieContainer::avi) {
            EXPECT_EQ(result, 0u);
            EXPECT_TRUE(fs::exists(path));
        } else {
            EXPECT_EQ(aviFileErrorText(result), "no frame to write, and only an AVI file can be left without one");
            EXPECT_FALSE(fs::exists(path));  // an empty file would pose as a movie
        }
    }
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
