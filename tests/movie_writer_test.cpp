#include "emission/movie_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <vector>

#include "movie_reader.h"
#include "platform/compression_dialog.h"
#include "platform/little_endian.h"
#include "test_support.h"

namespace {

// Blocks of strong colours, different for each seed, and unlike itself upside down.
std::unique_ptr<Bitmap> blockBitmap(int32_t width, int32_t height, uint32_t seed) {
    auto bitmap = std::make_unique<Bitmap>();
    bitmap->header.biWidth = width;
    bitmap->header.biHeight = height;
    bitmap->header.biSizeImage = static_cast<uint32_t>(width * height * 4);
    bitmap->bits.resize(bitmap->header.biSizeImage);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint32_t block = static_cast<uint32_t>((x / 16) * 7 + (y / 16) * 13) + seed * 5;
            uint8_t* pixel = &bitmap->bits[static_cast<size_t>((y * width + x) * 4)];
            pixel[0] = static_cast<uint8_t>((block * 37) % 256);
            pixel[1] = static_cast<uint8_t>((block * 91 + static_cast<uint32_t>(y)) % 256);
            pixel[2] = static_cast<uint8_t>((block * 53) % 256);
            pixel[3] = 0;
        }
    }
    return bitmap;
}

// Pixels no compressor can shrink much.
std::unique_ptr<Bitmap> noiseBitmap(int32_t width, int32_t height, uint32_t seed) {
    auto bitmap = blockBitmap(width, height, seed);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < bitmap->bits.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        bitmap->bits[i] = i % 4 == 3 ? 0 : static_cast<uint8_t>(state >> 24);
    }
    return bitmap;
}

AviResult ffmpegCode(int averror) { return static_cast<AviResult>(averror); }

class MovieWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        writer->compressionDialog().preset = findCodecChoice("dib");
        dir = makeTempDir();
    }
    void TearDown() override {
        writer.reset();
        fs::remove_all(dir);
    }

    std::string open(const std::string& name, int32_t framePeriod = 33) {
        std::string path = (dir / name).string();
        EXPECT_TRUE(writer->open(path, framePeriod)) << path;
        writer->resetCompressionOptions();
        return path;
    }

    void close() { writer->close(); }

    // Writes frames with codec in a child process held to a file size limit, its standard error
    // going to messages; returns how many frames addMovieFrame took, -1 when the child failed.
    int writeUnderFileLimit(const std::string& path, const char* codec, rlim_t limitBytes,
                                   const std::vector<const Bitmap*>& frames, const char* messages) {
        std::fflush(stdout);
        pid_t child = fork();
        if (child < 0) return -1;
        if (child == 0) {
            int messageFile = ::open(messages, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(messageFile, STDERR_FILENO);
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{limitBytes, limitBytes};
            setrlimit(RLIMIT_FSIZE, &limit);
            writer->compressionDialog().preset = findCodecChoice(codec);
            writer->open(path, 33);
            int written = 0;
            for (const Bitmap* frame : frames) {
                writer->setCompression(frame);
                if (writer->addFrame(frame) == kAviErrOk) ++written;
            }
            close();
            std::fflush(stdout);
            _exit(written);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<AviResult> appendFrame(const Bitmap* bitmap) {
        return {writer->setCompression(bitmap), writer->addFrame(bitmap)};
    }

    fs::path dir;
    std::unique_ptr<MovieWriter> writer = std::make_unique<MovieWriter>();
};

TEST_F(MovieWriterTest, FramesReadBackAsWrittenWithEachCompressor) {
    struct Case {
        const char* codec;
        AVCodecID expectedCodec;
        uint32_t expectedTag;
        bool lossless;
    };
    const Case cases[] = {
        {"dib", AV_CODEC_ID_RAWVIDEO, 0, true},  // BI_RGB
        {"zmbv", AV_CODEC_ID_ZMBV, fourcc("ZMBV"), true},
        {"ffv1", AV_CODEC_ID_FFV1, fourcc("FFV1"), true},
        {"mjpeg", AV_CODEC_ID_MJPEG, fourcc("MJPG"), false},
        {"h264", AV_CODEC_ID_H264, fourcc("H264"), false},
    };
    std::vector<std::unique_ptr<Bitmap>> screens;
    for (uint32_t seed = 0; seed < 3; ++seed) screens.push_back(blockBitmap(160, 96, seed));
    const std::vector<const Bitmap*> order = {screens[0].get(), screens[1].get(), screens[1].get(),
                                              screens[2].get(), screens[0].get()};

    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        writer->compressionDialog().preset = findCodecChoice(c.codec);
        std::string path = open(std::string(c.codec) + ".avi");
        for (size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(appendFrame(order[i]),
                      (std::vector<AviResult>{i == 0 ? kAviErrOk : kAviErrCompressor, kAviErrOk}));
        }
        close();
        EXPECT_FALSE(writer->writeFailed());

        DecodedMovie movie = readMovie(path);
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.streamCount, 1);
        EXPECT_EQ(movie.type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(movie.codec, c.expectedCodec);
        EXPECT_EQ(movie.codecTag, c.expectedTag);
        EXPECT_EQ(movie.width, 160);
        EXPECT_EQ(movie.height, 96);
        EXPECT_EQ(av_cmp_q(movie.timeBase, AVRational{33, 1000}), 0)
            << movie.timeBase.num << "/" << movie.timeBase.den;
        ASSERT_EQ(movie.frames.size(), order.size());
        for (size_t i = 0; i < order.size(); ++i) {
            SCOPED_TRACE(i);
            if (c.lossless) {
                EXPECT_TRUE(movie.frames[i] == topDownPicture(*order[i]));
            } else {
                EXPECT_LT(meanDifference(movie.frames[i], topDownPicture(*order[i])), 4.0);
            }
        }
    }
}

TEST_F(MovieWriterTest, UncompressedFramesAreStoredBottomUpAsKeyFrames) {
    auto first = blockBitmap(48, 32, 1);
    auto second = blockBitmap(48, 32, 2);
    std::string path = open("raw.avi");
    appendFrame(first.get());
    appendFrame(second.get());
    close();

    DecodedMovie movie = readMovie(path);
    ASSERT_EQ(movie.packets.size(), 2u);
    // Stored exactly as the bitmap holds them, and shown upright: the format says bottom-up.
    EXPECT_TRUE(movie.packets[0] == first->bits);
    EXPECT_TRUE(movie.packets[1] == second->bits);
    EXPECT_EQ(movie.keyPackets, (std::vector<bool>{true, true}));
    ASSERT_EQ(movie.frames.size(), 2u);
    EXPECT_TRUE(movie.frames[0] == topDownPicture(*first));
}

uint32_t u32At(const std::string& bytes, size_t at) {
    std::string_view field = std::string_view(bytes).substr(at, 4);  // throws when at is past the end
    return field.size() == 4 ? readU32le(bytesOf(field)) : 0;
}

// The headers as stored: the stream's timing and quality, and a format that says bottom-up
// (positive height), 32-bit, uncompressed.
TEST_F(MovieWriterTest, StreamHeadersDescribeUprightUncompressedFrames) {
    auto bitmap = blockBitmap(48, 32, 1);
    std::string path = open("headers.avi");
    appendFrame(bitmap.get());
    close();
    std::string file = readFile(path);
    size_t strh = file.find("strh");
    ASSERT_NE(strh, std::string::npos);
    const uint8_t* fields = reinterpret_cast<const uint8_t*>(file.data() + strh + 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fields), 4), "vids");
    EXPECT_EQ(u32At(file, strh + 8 + 20), 33u);    // scale
    EXPECT_EQ(u32At(file, strh + 8 + 24), 1000u);  // rate
    EXPECT_EQ(u32At(file, strh + 8 + 40), 0u);     // quality
    size_t strf = file.find("strf");
    ASSERT_NE(strf, std::string::npos);
    EXPECT_EQ(u32At(file, strf + 8), 40u);                                  // biSize
    EXPECT_EQ(static_cast<int32_t>(u32At(file, strf + 8 + 4)), 48);         // biWidth
    EXPECT_EQ(static_cast<int32_t>(u32At(file, strf + 8 + 8)), 32);         // biHeight: bottom-up
    EXPECT_EQ(u32At(file, strf + 8 + 12), 32u << 16 | 1u);                  // planes 1, 32 bits
    EXPECT_EQ(u32At(file, strf + 8 + 16), 0u);                              // BI_RGB
}

TEST(MovieWriterCodes, ResultCodesAndPrefilledOptionsAreTheVfwValues) {
    EXPECT_EQ(kAviErrOk, 0u);
    EXPECT_EQ(kAviErrBadHandle, 0x8004406Cu);
    EXPECT_EQ(kAviErrBadParam, 0x8004406Au);
    EXPECT_EQ(kAviErrError, 0x800440C7u);
    EXPECT_EQ(kAviErrCompressor, 0x80044070u);
    EXPECT_EQ(kAviErrUserAbort, 0x800440C6u);
    auto writer = std::make_unique<MovieWriter>();
    writer->compressionOptions().fccHandler = 1234;
    writer->compressionOptions().dwQuality = 5;
    writer->resetCompressionOptions();
    EXPECT_EQ(writer->compressionOptions().fccType, 0u);
    EXPECT_EQ(writer->compressionOptions().fccHandler, 0u);
    EXPECT_EQ(writer->compressionOptions().dwQuality, 0u);
    EXPECT_EQ(writer->compressionOptions().dwFlags, 9u);  // valid, interleave
    EXPECT_EQ(writer->compressionOptions().dwInterleaveEvery, 1u);
    EXPECT_EQ(writer->compressionOptions().lpFormat, nullptr);
}

TEST_F(MovieWriterTest, FramesAddedWithoutAChoiceGoInUncompressed) {
    writer->compressionDialog().preset = findCodecChoice("h264");
    auto bitmap = blockBitmap(32, 16, 4);
    std::string path = open("unchosen.avi");
    EXPECT_EQ(writer->addFrame(bitmap.get()), kAviErrOk);
    // The stream is made by now: the compressor can no longer change.
    EXPECT_EQ(writer->setCompression(bitmap.get()), kAviErrCompressor);
    EXPECT_EQ(writer->addFrame(bitmap.get()), kAviErrOk);
    close();
    DecodedMovie movie = readMovie(path);
    EXPECT_EQ(movie.codec, AV_CODEC_ID_RAWVIDEO);
    EXPECT_EQ(movie.frames.size(), 2u);
}

TEST_F(MovieWriterTest, StreamTimingComesFromTheFramePeriod) {
    struct Case {
        int32_t framePeriod;
        AVRational secondsPerFrame;
    };
    // 0 would come from more than 1000 frames per second; it is kept at 1 ms.
    const Case cases[] = {{33, {33, 1000}}, {40, {1, 25}}, {16, {2, 125}}, {1000, {1, 1}}, {0, {1, 1000}}};
    auto bitmap = blockBitmap(32, 32, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.framePeriod);
        std::string path = open("timing" + std::to_string(c.framePeriod) + ".avi", c.framePeriod);
        appendFrame(bitmap.get());
        close();
        DecodedMovie movie = readMovie(path);
        EXPECT_EQ(av_cmp_q(movie.timeBase, c.secondsPerFrame), 0) << movie.timeBase.num << "/" << movie.timeBase.den;
        EXPECT_EQ(movie.frames.size(), 1u);
    }
}

TEST_F(MovieWriterTest, WithoutWriterEveryCallIsBadHandle) {
    auto bitmap = blockBitmap(16, 16, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(appendFrame(bitmap.get()), (std::vector<AviResult>{kAviErrBadHandle, kAviErrBadHandle}));
    EXPECT_EQ(appendFrame(nullptr), (std::vector<AviResult>{kAviErrBadHandle, kAviErrBadHandle}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(MovieWriterTest, UndescribableBitmapIsReportedAndLeavesNoGap) {
    auto first = blockBitmap(32, 16, 1);
    auto second = blockBitmap(32, 16, 2);
    Bitmap truncated = *first;
    truncated.bits.resize(10);
    std::string path = open("gaps.avi");

    testing::internal::CaptureStdout();
    EXPECT_EQ(appendFrame(nullptr), (std::vector<AviResult>{kAviErrBadParam, kAviErrBadParam}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetObject: Invalid argument\n\n");

    EXPECT_EQ(appendFrame(first.get()), (std::vector<AviResult>{kAviErrOk, kAviErrOk}));

    testing::internal::CaptureStdout();
    EXPECT_EQ(appendFrame(&truncated), (std::vector<AviResult>{kAviErrCompressor, kAviErrBadParam}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetObject: Invalid argument\n\n");

    EXPECT_EQ(appendFrame(second.get()), (std::vector<AviResult>{kAviErrCompressor, kAviErrOk}));
    close();
    EXPECT_FALSE(writer->writeFailed());

    DecodedMovie movie = readMovie(path);
    ASSERT_EQ(movie.frames.size(), 2u);
    EXPECT_TRUE(movie.frames[0] == topDownPicture(*first));
    EXPECT_TRUE(movie.frames[1] == topDownPicture(*second));
}

TEST_F(MovieWriterTest, LastErrorTextIsTheSystemTextWithItsLineEnd) {
    struct Case {
        int error;
        const char* text;
    };
    const Case cases[] = {
        {ENOENT, "No such file or directory\n"},
        {ENOSPC, "No space left on device\n"},
        {0, "error with Win32_LastError"},
    };
    for (const Case& c : cases) {
        errno = c.error;
        EXPECT_EQ(lastErrorText(), c.text);
    }
}

TEST_F(MovieWriterTest, CompressionIsChosenOnceAtTheFirstFrame) {
    writer->compressionDialog().preset = nullptr;
    std::FILE* input = fmemopen(const_cast<char*>("zmbv\nffv1\n"), 10, "r");
    char* menu = nullptr;
    size_t menuSize = 0;
    std::FILE* output = open_memstream(&menu, &menuSize);
    writer->compressionDialog().input = input;
    writer->compressionDialog().output = output;

    auto bitmap = blockBitmap(32, 32, 3);
    std::string path = open("once.avi");
    EXPECT_EQ(appendFrame(bitmap.get()), (std::vector<AviResult>{kAviErrOk, kAviErrOk}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(appendFrame(bitmap.get()), (std::vector<AviResult>{kAviErrCompressor, kAviErrOk}));
    }
    close();
    std::fclose(input);
    std::fclose(output);
    std::string shown(menu, menuSize);
    std::free(menu);

    EXPECT_EQ(shown.find("Video compression"), shown.rfind("Video compression"));
    EXPECT_NE(shown.find("Video compression"), std::string::npos);
    EXPECT_EQ(writer->compressionOptions().fccHandler, fourcc("ZMBV"));
    DecodedMovie movie = readMovie(path);
    EXPECT_EQ(movie.codec, AV_CODEC_ID_ZMBV);
    EXPECT_EQ(movie.frames.size(), 4u);
}

TEST_F(MovieWriterTest, CancelledChoiceWritesNoFrameButClosesTheFile) {
    const std::string answers[] = {"q\n", "", "what\n"};  // the last ends the input unanswered
    auto bitmap = blockBitmap(64, 32, 0);
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer);
        writer = std::make_unique<MovieWriter>();
        writer->compressionDialog().preset = nullptr;
        std::string text = answer;
        std::FILE* input = fmemopen(text.data(), text.size() + 1, "r");
        if (text.empty()) input = std::fopen("/dev/null", "r");
        std::FILE* output = std::fopen("/dev/null", "w");
        writer->compressionDialog().input = input;
        writer->compressionDialog().output = output;

        std::string path = open("cancelled.avi");
        testing::internal::CaptureStdout();
        EXPECT_EQ(writer->setCompression(bitmap.get()), kAviErrUserAbort);
        EXPECT_EQ(writer->addFrame(bitmap.get()), kAviErrError);
        EXPECT_EQ(appendFrame(bitmap.get()), (std::vector<AviResult>{kAviErrError, kAviErrError}));
        close();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_FALSE(writer->writeFailed());
        std::fclose(input);
        std::fclose(output);

        // The file is complete: the stream's header, without frames.
        DecodedMovie movie = readMovie(path);
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.streamCount, 1);
        EXPECT_EQ(movie.width, 64);
        EXPECT_EQ(movie.height, 32);
        EXPECT_EQ(av_cmp_q(movie.timeBase, AVRational{33, 1000}), 0);
        EXPECT_EQ(movie.packets.size(), 0u);
    }
}

TEST_F(MovieWriterTest, FailedWriteIsReportedOnceAndTrapsTheWriter) {
    ASSERT_TRUE(writer->open("/dev/full", 33));
    auto bitmap = blockBitmap(16, 16, 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(writer->setCompression(bitmap.get()), ffmpegCode(AVERROR(ENOSPC)));
    EXPECT_EQ(writer->addFrame(bitmap.get()), kAviErrError);
    EXPECT_EQ(appendFrame(bitmap.get()), (std::vector<AviResult>{kAviErrError, kAviErrError}));
    close();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: writing /dev/full failed: No space left on device\n");
    EXPECT_TRUE(writer->writeFailed());
}

TEST_F(MovieWriterTest, RefusedFrameSizeStillLeavesAPlayableFile) {
    // 4:2:0 H.264 needs even sizes.
    writer->compressionDialog().preset = findCodecChoice("h264");
    auto bitmap = blockBitmap(33, 17, 0);
    std::string path = open("odd.avi");

    testing::internal::CaptureStderr();
    AviResult result = writer->setCompression(bitmap.get());
    EXPECT_EQ(writer->addFrame(bitmap.get()), kAviErrError);
    close();
    std::string output = testing::internal::GetCapturedStderr();

    EXPECT_NE(result, kAviErrOk);
    EXPECT_EQ(output.rfind("Error: writing " + path + " failed: ", 0), 0u) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1);
    EXPECT_TRUE(writer->writeFailed());
    DecodedMovie movie = readMovie(path);
    ASSERT_TRUE(movie.opened);
    EXPECT_EQ(movie.streamCount, 1);
    EXPECT_EQ(movie.width, 33);
    EXPECT_EQ(movie.packets.size(), 0u);
}

TEST_F(MovieWriterTest, FullDiskKeepsEveryFrameWrittenBeforeIt) {
    struct Case {
        const char* codec;
        bool delaysFrames;  // frames wait inside the encoder, so the failure shows at closing
    };
    const Case cases[] = {{"dib", false}, {"zmbv", false}, {"ffv1", false}, {"mjpeg", false}, {"h264", true}};
    constexpr int kFrames = 60;
    constexpr rlim_t kFileLimit = 1000000;
    std::vector<std::unique_ptr<Bitmap>> screens;
    for (uint32_t seed = 0; seed < kFrames; ++seed) screens.push_back(noiseBitmap(256, 192, seed));
    std::vector<const Bitmap*> frames;
    for (const auto& screen : screens) frames.push_back(screen.get());

    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        std::string path = (dir / (std::string(c.codec) + ".avi")).string();
        fs::path messages = dir / (std::string(c.codec) + ".txt");
        int accepted = writeUnderFileLimit(path, c.codec, kFileLimit, frames, messages.c_str());
        ASSERT_GE(accepted, 0);

        EXPECT_EQ(readFile(messages), "Error: writing " + path + " failed: File too large\n");
        EXPECT_LE(fs::file_size(path), kFileLimit);
        DecodedMovie movie = readMovie(path);
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.streamCount, 1);
        if (c.delaysFrames) {
            // Some frames the encoder accepted were still held in it when the disk was full.
            EXPECT_GT(accepted, 0);
            EXPECT_GT(movie.frames.size(), 0u);
            EXPECT_LT(movie.frames.size(), static_cast<size_t>(accepted));
        } else {
            EXPECT_GT(accepted, 0);
            EXPECT_LT(accepted, kFrames);
            EXPECT_EQ(movie.frames.size(), static_cast<size_t>(accepted));
            EXPECT_EQ(movie.packets.size(), static_cast<size_t>(accepted));
        }
        bool lossless = std::string(c.codec) != "mjpeg" && std::string(c.codec) != "h264";
        for (size_t i = 0; lossless && i < movie.frames.size(); ++i) {
            EXPECT_TRUE(movie.frames[i] == topDownPicture(*screens[i])) << "frame " << i;
        }
    }
}

// Disk space is held well ahead of large frames; where that much is not allowed, the frame is
// still taken as long as it fits with room left to close the file.
TEST_F(MovieWriterTest, LargeFramesFillTheAllowedSizeToTheLastFrameThatFits) {
    constexpr rlim_t kFileLimit = 40 << 20;
    constexpr uintmax_t kFrameBytes = 800 * 500 * 4;
    constexpr uintmax_t kClosingRoom = (1 << 16) + 64 * 1024;  // closing reserve and the index
    std::unique_ptr<Bitmap> screen = noiseBitmap(800, 500, 7);
    std::string path = (dir / "limit.avi").string();
    int accepted = writeUnderFileLimit(path, "dib", kFileLimit, std::vector<const Bitmap*>(40, screen.get()), "/dev/null");
    ASSERT_GE(accepted, 0);
    const uintmax_t size = fs::file_size(path);
    EXPECT_LE(size, kFileLimit);
    EXPECT_GT(size + kFrameBytes + kClosingRoom, kFileLimit) << "a frame that fitted was refused";
    DecodedMovie movie = readMovie(path);
    ASSERT_TRUE(movie.opened);
    EXPECT_EQ(movie.frames.size(), static_cast<size_t>(accepted));
}

TEST_F(MovieWriterTest, FileThatCannotBeCreatedGivesNoWriter) {
    errno = 0;
    EXPECT_FALSE(writer->open((dir / "missing" / "movie.avi").string(), 33));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(MovieWriterTest, OpeningCreatesTheFileAtOnce) {
    std::string path = open("early.avi");
    EXPECT_TRUE(fs::exists(path));
    close();
}

TEST_F(MovieWriterTest, RunWithoutFramesLeavesAReadableFileWithoutStreams) {
    std::string path = open("empty.avi");
    close();
    EXPECT_FALSE(writer->writeFailed());
    DecodedMovie movie = readMovie(path);
    EXPECT_TRUE(movie.opened);
    EXPECT_EQ(movie.streamCount, 0);
}

}  // namespace

namespace {

// The colours of a GIF file's global colour table (0xRRGGBB).
std::vector<uint32_t> globalColours(const std::string& gif) {
    std::vector<uint32_t> colours;
    const auto packed = static_cast<uint8_t>(gif.at(10));
    if ((packed & 0x80) == 0) return colours;
    for (size_t at = 13; at < 13 + 3 * (size_t{2} << (packed & 7)); at += 3) {
        colours.push_back(static_cast<uint32_t>(static_cast<uint8_t>(gif.at(at))) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(gif.at(at + 1))) << 8 |
                          static_cast<uint8_t>(gif.at(at + 2)));
    }
    return colours;
}

// A first pass learns a colour that a bitmap brings in a row it tells as changed, and none that
// it shows in rows it tells as unchanged.
TEST_F(MovieWriterTest, FirstPassLearnsTheColoursOfTheRowsToldChanged) {
    auto plain = [](uint64_t version, uint32_t bgr) {
        auto bitmap = std::make_unique<Bitmap>();
        bitmap->header.biWidth = 4;
        bitmap->header.biHeight = 4;
        bitmap->header.biSizeImage = 64;
        for (int pixel = 0; pixel < 16; ++pixel) {
            for (int byte = 0; byte < 4; ++byte) bitmap->bits.push_back(static_cast<uint8_t>(bgr >> (8 * byte)));
        }
        bitmap->version = version;
        return bitmap;
    };
    std::unique_ptr<Bitmap> first = plain(1, 0x102030);
    std::unique_ptr<Bitmap> second = plain(2, 0x102030);
    second->changedSince = 1;
    second->changed = RowsChanged{.top = 1, .bottom = 2, .exact = true, .repainted = {{{{2, 2}}}, 1}};
    std::memset(&second->bits[4 * 4 * 1], 0x55, 16);  // file row 1, picture row 2: told
    std::memset(&second->bits[4 * 4 * 3], 0x77, 16);  // picture row 0, outside the band: not told
    writer->compressionDialog().preset = findCodecChoice("gif");
    const std::string path = open("learned.gif");
    writer->learnColours(true);
    for (const Bitmap* bitmap : {first.get(), second.get()}) appendFrame(bitmap);
    writer->learnColours(false);
    for (const Bitmap* bitmap : {first.get(), second.get()}) appendFrame(bitmap);
    close();
    const std::vector<uint32_t> colours = globalColours(readFile(path));
    EXPECT_NE(std::find(colours.begin(), colours.end(), 0x102030u), colours.end());
    EXPECT_NE(std::find(colours.begin(), colours.end(), 0x555555u), colours.end());
    EXPECT_EQ(std::find(colours.begin(), colours.end(), 0x777777u), colours.end());
}

}  // namespace
