#include "emission/emission.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "driver/driver.h"
#include "driver/settings.h"
#include "emission/movie_writer.h"
#include "emission/png_queue.h"
#include "emission/bmp_writer.h"
#include "emission/frame_files.h"
#include "emission/png_writer.h"
#include "movie_reader.h"
#include "output_test_support.h"
#include "platform/compression_dialog.h"
#include "render/surface.h"

namespace {

constexpr int32_t kWidth = 16;
constexpr int32_t kHeight = 10;

struct Record {
    int32_t frameStart;
    int32_t frameEnd;
};

// Records at 0, 0.1 and 0.2 s at 30 frames per second.
constexpr std::array<Record, 3> kWorkedExample = {{{0, 1}, {1, 4}, {4, 7}}};

Surface screen(uint32_t number) {
    Surface surface;
    surface.width = kWidth;
    surface.height = kHeight;
    surface.pixels = patternPixels(kWidth, kHeight, number);
    return surface;
}

// The same picture with its rows turned as a ring (painting leaves them so after a scroll):
// what is emitted from it must not differ.
Surface turned(const Surface& flat) {
    Surface surface = flat;
    surface.turn = 3;
    for (int32_t y = 0; y < flat.height; ++y) {
        std::memcpy(pixelRow(surface, y), pixelRow(flat, y), static_cast<size_t>(flat.width) * 4);
    }
    return surface;
}

std::set<std::string> filesIn(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

std::string pngOf(const Surface& surface, int32_t factor) {
    EncodedPng png = encodePng(surface, factor);
    return std::string(png.bytes.begin(), png.bytes.end());
}

std::string bmpOf(const Surface& surface) {
    std::vector<uint8_t> bytes = encodeBmp(surface.width, surface.height, surface.pixels.data());
    return std::string(bytes.begin(), bytes.end());
}

// The plain path copies the previous file for a gap frame; the fast one writes the bytes it
// kept. Both must give the same files, so the PNG cases run on each.
constexpr bool kBothPaths[] = {false, true};

Surface noiseScreen(int32_t width, int32_t height, unsigned seed) {
    Surface noise;
    noise.width = width;
    noise.height = height;
    noise.pixels.resize(static_cast<size_t>(width) * height * 4);
    std::mt19937 random(seed);
    for (uint8_t& byte : noise.pixels) byte = static_cast<uint8_t>(random());
    return noise;
}

class EmissionTest : public ScratchDirTest {
protected:
    // Emits one record as playback would, shown being the painted screen, and lets the frames
    // still being made (PNG encodings, the newest BMP file) complete, as the end of a run would.
    // The run's stages are made from settings on its first record.
    void emitRecord(const Record& record, const Surface& shown) {
        if (!stages_) stages_ = startStages(settings, movie_, &pngQueue_);
        stages_->emission.emitFrames(shown, ScreenChanges{}, {record.frameStart, record.frameEnd});
        stages_->emission.finish();
    }

    // Fresh settings and no stages: the next record starts a new run.
    void restart() {
        resetAll();
        stages_.reset();
        movie_ = nullptr;
    }

    void startPngRun(bool plain) {
        restart();
        settings.movieOutput = false;
        settings.plainPaths = plain;
        fs::remove_all("frames");
        fs::create_directory("frames");
    }

    MovieWriter* movie_ = nullptr;
    PngQueue pngQueue_;
    std::unique_ptr<RunStages> stages_;
};

TEST(FrameNames, SevenDigitsAtLeast) {
    EXPECT_EQ(bmpFrameName(0), "0000000.bmp");
    EXPECT_EQ(bmpFrameName(12), "0000012.bmp");
    EXPECT_EQ(bmpFrameName(12345678), "12345678.bmp");
    EXPECT_EQ(pngFrameName(42), "frames/0000042.png");
    EXPECT_EQ(pngFrameName(1234567), "frames/1234567.png");
}

// Frames 1 to 7 of the worked example show screens 1, 1, 1, 2, 2, 2, 3. Frames within the
// skip limit are never written, so the stale files placed there beforehand stay as they were
// and must not leak into the frames above the limit.
TEST_F(EmissionTest, PngSeriesOfWorkedExampleForEverySkipLimit) {
    const std::array<uint32_t, 8> shownAt = {0, 1, 1, 1, 2, 2, 2, 3};
    const Surface stale = screen(99);
    for (auto [plain, factor] : {std::pair{false, 1}, std::pair{false, 2}, std::pair{true, 1}, std::pair{true, 2}}) {
        for (int32_t skip : {0, 1, 2, 3, 4, 5, 6, 7}) {
            SCOPED_TRACE(std::string(plain ? "plain" : "fast") + ", factor " + std::to_string(factor) + ", skip " +
                         std::to_string(skip));
            startPngRun(plain);
            settings.sizeFactor = factor;
            settings.skipFrames = skip;
            for (int32_t frame = 0; frame <= 7; ++frame) writeFile(pngFrameName(frame), pngOf(stale, factor));

            for (size_t i = 0; i < kWorkedExample.size(); ++i) emitRecord(kWorkedExample[i], turned(screen(i + 1)));

            EXPECT_EQ(filesIn("frames").size(), 8u);
            EXPECT_EQ(readFile(pngFrameName(0)), pngOf(stale, factor));
            for (int32_t frame = 1; frame <= 7; ++frame) {
                const Surface expected = frame > skip ? screen(shownAt[frame]) : stale;
                EXPECT_EQ(readFile(pngFrameName(frame)), pngOf(expected, factor)) << "frame " << frame;
            }
        }
    }
}

TEST_F(EmissionTest, PngGapFrameWhoseSourceVanishedShowsThePreviousScreen) {
    for (bool plain : kBothPaths) {
        SCOPED_TRACE(plain ? "plain" : "fast");
        startPngRun(plain);
        emitRecord({0, 1}, screen(1));
        fs::remove(pngFrameName(1));
        emitRecord({1, 4}, screen(2));
        EXPECT_EQ(readFile(pngFrameName(2)), pngOf(screen(1), 1));
        EXPECT_EQ(readFile(pngFrameName(3)), pngOf(screen(1), 1));
        EXPECT_EQ(readFile(pngFrameName(4)), pngOf(screen(2), 1));
    }
}

TEST_F(EmissionTest, PngCopyLargerThanTheCopyBufferIsWhole) {
    const Surface noise = noiseScreen(800, 500, 7);
    for (bool plain : kBothPaths) {
        SCOPED_TRACE(plain ? "plain" : "fast");
        startPngRun(plain);
        emitRecord({0, 1}, noise);
        emitRecord({1, 3}, noise);
        std::string original = readFile(pngFrameName(1));
        ASSERT_GT(original.size(), 3u * 65536u);
        EXPECT_EQ(readFile(pngFrameName(2)), original);
        EXPECT_EQ(readFile(pngFrameName(3)), original);
    }
}

TEST_F(EmissionTest, PngCopyCutShortLeavesNoPartialFileAndTheRunGoesOn) {
    const Surface noise = noiseScreen(400, 300, 3);
    Surface plainScreen = noise;
    std::fill(plainScreen.pixels.begin(), plainScreen.pixels.end(), 0x40);
    for (bool plain : kBothPaths) {
        SCOPED_TRACE(plain ? "plain" : "fast");
        startPngRun(plain);
        emitRecord({0, 1}, noise);
        ASSERT_GT(fs::file_size(pngFrameName(1)), 100000u);
        {
            FileSizeLimit limit(100000);
            emitRecord({1, 3}, plainScreen);
        }
        EXPECT_FALSE(fs::exists(pngFrameName(2)));
        EXPECT_EQ(readFile(pngFrameName(3)), pngOf(plainScreen, 1));
    }
}

TEST(FrameFiles, CopiesAreWholeOrNotThere) {
    fs::path dir = makeTempDir();
    std::string source = (dir / "source").string();
    std::string data(3 * 65536 + 123, '\0');
    std::mt19937 random(11);
    for (char& byte : data) byte = static_cast<char>(random());
    writeFile(source, data);
    struct Case {
        const char* name;
        size_t bufferSize;
        long sizeLimit;  // -1: none
        std::string from;
        CopyResult result;
        bool targetExists;
    };
    const Case cases[] = {
        {"pieces of 64 KiB", 65536, -1, source, CopyResult::copied, true},
        {"pieces of 7 bytes", 7, -1, source, CopyResult::copied, true},
        {"a missing source", 65536, -1, (dir / "missing").string(), CopyResult::sourceUnreadable, false},
        {"a target cut short", 65536, 100000, source, CopyResult::targetUnwritable, false},
    };
    for (auto [way, wayName] : {std::pair{CopyWay::clone, "clone"}, std::pair{CopyWay::kernel, "kernel"},
                                std::pair{CopyWay::plain, "plain"}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", from the " + wayName + " way");
            std::string target = (dir / "target").string();
            fs::remove(target);
            std::vector<uint8_t> buffer(c.bufferSize);
            CopyResult result;
            if (c.sizeLimit >= 0) {
                FileSizeLimit limit(static_cast<rlim_t>(c.sizeLimit));
                result = copyWholeFile(c.from, target, buffer, way);
            } else {
                result = copyWholeFile(c.from, target, buffer, way);
            }
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(fs::exists(target), c.targetExists);
            if (c.targetExists) {
                EXPECT_EQ(readFile(target), data);
            }
        }
    }
    std::vector<uint8_t> buffer(65536);
    EXPECT_EQ(copyWholeFile(source, (dir / "no/such/dir").string(), buffer), CopyResult::targetUnwritable);
    fs::remove_all(dir);
}

TEST_F(EmissionTest, PngWithoutFramesDirectoryWritesNothingAndSaysNothing) {
    settings.movieOutput = false;
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < kWorkedExample.size(); ++i) emitRecord(kWorkedExample[i], turned(screen(i + 1)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(filesIn(".").empty());
}

// After each record of the worked example, the temporary BMP files left in the working
// directory; each holds the screen of the record it is named after.
TEST_F(EmissionTest, MovieKeepsOnlyTheNewestScreenFile) {
    struct Case {
        int32_t skip;
        std::array<const char*, 3> leftAfterRecord;  // "" when none
    };
    const std::vector<Case> cases = {
        {0, {"0000001.bmp", "0000004.bmp", "0000007.bmp"}},
        {2, {"", "0000004.bmp", "0000007.bmp"}},
        {4, {"", "", "0000007.bmp"}},
        {7, {"", "", ""}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE("skip " + std::to_string(test.skip));
        restart();
        settings.skipFrames = test.skip;
        for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
        for (size_t i = 0; i < kWorkedExample.size(); ++i) {
            emitRecord(kWorkedExample[i], turned(screen(i + 1)));
            std::string left = test.leftAfterRecord[i];
            EXPECT_EQ(filesIn("."), left.empty() ? std::set<std::string>{} : std::set<std::string>{left})
                << "after record " << i + 1;
            if (!left.empty()) {
                EXPECT_EQ(readFile(left), bmpOf(screen(i + 1)));
            }
        }
    }
}

// Within a run each screen's file takes the place of the one before, on either path; a
// directory already at a screen file's name stays, and the file before is removed all the same.
TEST_F(EmissionTest, MovieScreenFilesFollowOneAnotherWithinARun) {
    for (const auto& [plain, obstacle] : {std::pair{false, false}, {false, true}, {true, false}, {true, true}}) {
        SCOPED_TRACE(std::string(plain ? "plain, " : "") + (obstacle ? "a directory at 0000004.bmp" : "nothing in the way"));
        restart();
        settings.plainPaths = plain;
        for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
        if (obstacle) fs::create_directory("0000004.bmp");
        stages_ = startStages(settings, movie_, &pngQueue_);
        for (size_t i = 0; i < kWorkedExample.size(); ++i) {
            const Record& record = kWorkedExample[i];
            stages_->emission.emitFrames(turned(screen(i + 1)), ScreenChanges{}, {record.frameStart, record.frameEnd});
        }
        std::set<std::string> left = {"0000007.bmp"};
        if (obstacle) left.insert("0000004.bmp");
        EXPECT_EQ(filesIn("."), left);
        stages_->emission.finish();
        EXPECT_EQ(readFile("0000007.bmp"), bmpOf(screen(3)));
    }
}

// Screen number shown, as a movie frame reads back: top row first, fourth bytes 0, doubled
// when factor is 2.
std::vector<uint8_t> movieFrameOf(uint32_t number, int32_t factor) {
    Surface shown = screen(number);
    std::vector<uint8_t> picture;
    for (int32_t y = 0; y < kHeight * factor; ++y) {
        for (int32_t x = 0; x < kWidth * factor; ++x) {
            const uint8_t* pixel = pixelAt(shown.pixels.data(), kWidth, kHeight, x / factor, y / factor);
            picture.insert(picture.end(), {pixel[0], pixel[1], pixel[2], 0});
        }
    }
    return picture;
}

TEST_F(EmissionTest, MovieOfWorkedExampleShowsEachScreenUntilTheNextRecord) {
    struct Case {
        const char* name;
        int32_t skip;
        int32_t stop;
        int32_t factor;
        std::vector<uint32_t> shown;  // screen number of each movie frame
    };
    const std::vector<Case> cases = {
        {"plain", 0, -1, 1, {1, 1, 1, 1, 2, 2, 2}},
        {"doubled", 0, -1, 2, {1, 1, 1, 1, 2, 2, 2}},
        {"skip 2: the first kept record fills its own gap", 2, -1, 1, {2, 2, 2, 2}},
        {"stop 5", 0, 5, 1, {1, 1, 1, 1, 2, 2}},
    };
    for (size_t index = 0; index < cases.size(); ++index) {
        const Case& test = cases[index];
        SCOPED_TRACE(test.name);
        restart();
        MovieWriter writer;
        movie_ = &writer;
        settings.skipFrames = test.skip;
        settings.stopFrame = test.stop;
        settings.sizeFactor = test.factor;
        std::string path = (dir / ("movie" + std::to_string(index) + ".avi")).string();
        ASSERT_TRUE(writer.open(path, 33));
        writer.resetCompressionOptions();
        writer.compressionDialog().preset = findCodecChoice("dib");
        for (size_t i = 0; i < kWorkedExample.size(); ++i) emitRecord(kWorkedExample[i], turned(screen(i + 1)));
        writer.close();

        DecodedMovie movie = readMovie(path);
        ASSERT_EQ(movie.frames.size(), test.shown.size());
        for (size_t frame = 0; frame < test.shown.size(); ++frame) {
            EXPECT_EQ(movie.frames[frame], movieFrameOf(test.shown[frame], test.factor)) << "frame " << frame;
        }
    }
}

TEST_F(EmissionTest, DoubledMovieFramesAreTwiceTheSize) {
    settings.sizeFactor = 2;
    emitRecord({0, 1}, turned(screen(1)));
    Surface doubled;
    writeDoubledBmp("expected.bmp", screen(1), doubled);
    std::string written = readFile("0000001.bmp");
    ASSERT_EQ(written.size(), 54u + 4u * 2 * kWidth * 2 * kHeight);
    EXPECT_EQ(written, readFile("expected.bmp"));
}

TEST_F(EmissionTest, MovieInUnwritableDirectoryWritesNothingAndSaysNothing) {
    fs::create_directory("gone");
    fs::current_path("gone");
    fs::remove("../gone");  // file creation in the working directory now fails
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < kWorkedExample.size(); ++i) emitRecord(kWorkedExample[i], turned(screen(i + 1)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    fs::current_path(dir);
    EXPECT_TRUE(filesIn(".").empty());
}

}  // namespace
