// A movie holds each screen once, for the first frame that shows it; decoded at its constant
// rate it must show, frame for frame, what the one-frame-per-tick movie of the plain way
// (REELCAP_PLAIN_PATHS=1) shows: the same pictures for the lossless compressors, and for the
// lossy ones pictures within 40 dB of the lossless screens.

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr const char* kFps = "10";

// Screens that stay for long gaps, change within a frame, and come back as they were.
std::string gapsRecording() {
    struct Step {
        int millis;
        const char* payload;
    };
    const Step steps[] = {
        {0, "\x1b[2J\x1b[H\x1b[1m\x1b[33mfirst\x1b[0m screen"},
        {40, "\x1b[3;5H\x1b(0lqqk\x1b(B"},
        {60, "\x1b[4;5Hnext"},
        {3000, "\x1b[2J\x1b[Hsecond, after three seconds"},
        {20, "\x1b[2J\x1b[H\x1b[1m\x1b[33mfirst\x1b[0m screen\x1b[3;5H\x1b(0lqqk\x1b(B\x1b[4;5Hnext"},
        {6000, "\x1b[7;1H\x1b[44mlast\x1b[0m"},
        {2500, "\x1b[8;1H."},
    };
    std::string recording;
    int64_t at = 0;
    for (const Step& step : steps) {
        at += step.millis;
        recording += ttyrecRecord(static_cast<uint32_t>(500 + at / 1000), static_cast<uint32_t>(at % 1000 * 1000),
                                  step.payload);
    }
    return recording;
}

std::string commandOutput(const std::string& command) { return runCommand(command).output; }

// The digest of every picture of the movie decoded at the constant rate, in 24-bit RGB whatever
// the pixels stored (8-bit palette, 32-bit). The fps filter shows at
// each tick the picture whose time has come; ffmpeg's -fps_mode cfr would show a picture that
// follows a gap one tick early, since a stream stored with timestamps alone (as AVI files are)
// gives its pictures no durations.
std::vector<std::string> frameDigests(const fs::path& movie) {
    std::istringstream lines(commandOutput("ffmpeg -v error -i " + shellQuoted(movie.string()) + " -vf fps=" + kFps +
                                           ",format=rgb24 -f framemd5 -"));
    std::vector<std::string> digests;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        digests.push_back(line.substr(line.rfind(',') + 1));
    }
    return digests;
}

// The lowest PSNR of a frame of movie against the same frame of reference, and how many frames
// were compared. Both are taken to the 4:2:0 colour the lossy compressors store, so that what is
// measured is the compressor's loss, not the subsampling every player expects.
std::pair<double, int> leastPsnr(const fs::path& movie, const fs::path& reference) {
    std::string filter = std::string("[0:v]fps=") + kFps + ",format=yuv420p[a];[1:v]fps=" + kFps +
                         ",format=yuv420p[b];[a][b]psnr=stats_file=-";
    std::istringstream lines(commandOutput("ffmpeg -v error -i " + shellQuoted(movie.string()) + " -i " +
                                           shellQuoted(reference.string()) + " -lavfi '" + filter + "' -f null -"));
    double least = std::numeric_limits<double>::infinity();
    int frames = 0;
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("psnr_avg:");
        if (at == std::string::npos) continue;
        ++frames;
        std::string value = line.substr(at + 9, line.find(' ', at) - at - 9);
        if (value != "inf") least = std::min(least, std::stod(value));
    }
    return {least, frames};
}

struct Movie {
    const char* extension;
    const char* codec;
    bool lossless;
};

const Movie kEveryMovie[] = {
    {".avi", "dib", true},    {".avi", "zmbv", true},   {".avi", "ffv1", true},  {".avi", "mjpeg", false},
    {".avi", "h264", false},  {".mkv", "h264", false},  {".mkv", "zmbv", true},  {".mkv", "ffv1", true},
    {".mkv", "mjpeg", false}, {".mkv", "vp9", false},   {".mkv", "av1", false},  {".mp4", "h264", false},
    {".mp4", "vp9", false},   {".mp4", "av1", false},   {".webm", "vp9", false}, {".webm", "av1", false},
    {".gif", "gif", true},
};

// Every compressor and every container at least once.
const Movie kEachOnce[] = {
    {".avi", "dib", true},    {".avi", "zmbv", true}, {".avi", "ffv1", true}, {".avi", "mjpeg", false},
    {".avi", "h264", false},  {".mkv", "vp9", false}, {".mp4", "av1", false}, {".webm", "vp9", false},
    {".gif", "gif", true},
};

const Movie kSomeMovies[] = {
    {".avi", "zmbv", true}, {".avi", "h264", false}, {".mkv", "vp9", false}, {".gif", "gif", true},
};

class MovieFramesTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir();
        installFont(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path make(const std::string& name, const Movie& movie, const std::vector<std::string>& options, bool plain) {
        std::string output = name + movie.extension;
        // Every container ends where an AVI file does, without -last's final seconds.
        std::vector<std::string> args{"rec.ttyrec", "-codec", movie.codec, "-fps", kFps, "-output", output,
                                      "-last", "0"};
        args.insert(args.end(), options.begin(), options.end());
        RunOptions run;
        if (plain) run.extraEnv.push_back("REELCAP_PLAIN_PATHS=1");
        EXPECT_EQ(runReelcapWith(dir_, args, run).status, 0) << output;
        return dir_ / output;
    }

    void expectSameScreens(const std::string& recording, const std::vector<std::string>& options,
                           std::span<const Movie> movies) {
        writeFile(dir_ / "rec.ttyrec", recording);
        fs::path screens = make("screens", {".avi", "dib", true}, options, true);
        std::vector<std::string> expected = frameDigests(screens);
        ASSERT_FALSE(expected.empty());
        for (const Movie& movie : movies) {
            SCOPED_TRACE(std::string(movie.codec) + " in " + movie.extension);
            fs::path made = make("fast", movie, options, false);
            if (movie.lossless) {
                std::vector<std::string> digests = frameDigests(made);
                EXPECT_EQ(digests, frameDigests(make("plain", movie, options, true)));
                // A GIF's frames start on whole hundredths, off the screens' ticks.
                if (std::string_view(movie.extension) != ".gif") {
                    EXPECT_EQ(digests, expected);
                }
            } else {
                auto [least, frames] = leastPsnr(made, screens);
                EXPECT_EQ(frames, static_cast<int>(expected.size()));
                EXPECT_GE(least, 40.0);
            }
        }
    }

    fs::path dir_;
};

TEST_F(MovieFramesTest, DemoInEachContainerAndCompressor) {
    expectSameScreens(readFile(sourcePath("samples/demo.ttyrec")), {}, kEachOnce);
}

TEST_F(MovieFramesTest, LongGapsAndAScreenThatComesBack) {
    expectSameScreens(gapsRecording(), {"-width", "40", "-height", "10"}, kEveryMovie);
}

// With the xterm emulation and the bitmap fonts, zmbv takes 8-bit frames when the cells'
// colours fit 255, and 32-bit ones when they do not: the same pictures either way.
TEST_F(MovieFramesTest, ZmbvInEightBitsWhereTheCellsColoursFit) {
    std::string manyColours = ttyrecRecord(0, 0, "\x1b[2J\x1b[H");
    for (int second = 1; second <= 3; ++second) {
        std::string cells;
        for (int shade = 0; shade < 120; ++shade) {
            cells += "\x1b[48;2;" + std::to_string(second * 60) + ";" + std::to_string(shade * 2) + ";9m ";
        }
        manyColours += ttyrecRecord(static_cast<uint32_t>(second), 0, cells);
    }
    const struct {
        std::string recording;
        std::string format;
    } cases[] = {{gapsRecording(), "pal8"}, {manyColours, "bgr0"}};
    const Movie zmbv[] = {{".avi", "zmbv", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        expectSameScreens(c.recording, {"-emulation", "xterm", "-width", "40", "-height", "10"}, zmbv);
        EXPECT_EQ(runCommand("ffprobe -v error -show_entries stream=pix_fmt -of csv=p=0 " +
                             shellQuoted((dir_ / "fast.avi").string()))
                      .output,
                  c.format + "\n");
    }
}

TEST_F(MovieFramesTest, SkipAndStopInsideAGap) {
    const std::vector<std::vector<std::string>> optionSets = {
        {"-skip", "12"},
        {"-stop", "60"},
        {"-skip", "35", "-stop", "40"},
    };
    for (const auto& options : optionSets) {
        std::vector<std::string> small = options;
        small.insert(small.end(), {"-width", "40", "-height", "10"});
        expectSameScreens(gapsRecording(), small, kSomeMovies);
    }
}

// Players and editors count on an AVI's header and index: every frame is there, the repeats as
// empty chunks, and the file decodes without an error.
TEST_F(MovieFramesTest, AviCountsEveryFrame) {
    writeFile(dir_ / "rec.ttyrec", gapsRecording());
    for (const char* codec : {"zmbv", "h264"}) {
        SCOPED_TRACE(codec);
        fs::path fast = make("fast", {".avi", codec, true}, {"-width", "40", "-height", "10"}, false);
        fs::path plain = make("plain", {".avi", codec, true}, {"-width", "40", "-height", "10"}, true);
        auto count = [](const fs::path& movie) {
            return commandOutput("ffprobe -v error -select_streams v -show_entries stream=nb_frames -of csv=p=0 " +
                                 shellQuoted(movie.string()));
        };
        EXPECT_EQ(count(fast), count(plain));
        EXPECT_EQ(commandOutput("ffmpeg -v error -i " + shellQuoted(fast.string()) + " -f null -"), "");
        EXPECT_LT(fs::file_size(fast), fs::file_size(plain));
    }
}

}  // namespace
