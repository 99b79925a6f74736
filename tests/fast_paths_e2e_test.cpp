// The converter makes its frames the fast way (screens painted where they changed, PNG files
// encoded once per screen on worker threads, movie frames handed over in memory), and
// REELCAP_PLAIN_PATHS=1 makes them the plain way (whole repaints, an encoding per file on one
// thread, every screen through its BMP file, every movie frame encoded). Both must leave the
// same files, byte for byte, and print the same lines, whatever the options and whatever fails
// along the way; only a movie with a compressor, which the fast way stores a screen once in, may
// differ in its bytes while it shows the same pictures.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "movie_reader.h"
#include "test_support.h"

namespace {

constexpr int kNobody = 65534;

// A recording with what changes the way frames are made: gaps of one frame and of many,
// a pause longer than a minute, records that leave the screen as it was (the cursor moves,
// a blank is written over a blank), line drawing, colours, underline, clears and erases.
std::string mixedRecording() {
    struct Step {
        int millis;
        std::string payload;
    };
    const std::vector<Step> steps = {
        {0, "\x1b[2J\x1b[H\x1b[1m\x1b[33mreelcap\x1b[0m mixed"},
        {40, "\x1b[3;5H\x1b(0lqqqqk\x1b(B"},
        {150, "\x1b[4;5H\x1b(0x\x1b(B\x1b[4mhi\x1b[24m\x1b(0x\x1b(B"},
        {30, "\x1b[10;10H"},
        {500, "\x1b[5;5H\x0emqqqqj\x0f"},
        {20, "\x1b[5;20H \x1b[5;21H "},
        {70000, "\x1b[7m\x1b[44m\x1b[8;1Hafter a long pause\x1b[0m"},
        {90, "\x1b[8;3H\x1b[K"},
        {10, "\x1b[2J"},
        {300, "\x1b[1;1H\x1b[31mred\x1b[32mgreen\x1b[1m\x1b[34mblue\x1b[0m ~a`h"},
        {60, "\x1b[2;1H\x1b(0~a`hnvwtu\x1b(B"},
        {1200, "\x1b[12;30Hlast"},
    };
    std::string recording;
    int64_t at = 0;
    for (const Step& step : steps) {
        at += step.millis;
        recording += ttyrecRecord(static_cast<uint32_t>(2000 + at / 1000), static_cast<uint32_t>(at % 1000 * 1000),
                                  step.payload);
    }
    return recording;
}

// Every file under dir but the inputs, by path relative to dir.
std::map<std::string, std::string> filesUnder(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        std::string name = fs::relative(entry.path(), dir).string();
        if (name == "font.txt" || name == "rec.ttyrec") continue;
        files[name] = entry.is_regular_file() ? readFile(entry.path()) : std::string("<directory>");
    }
    return files;
}

struct Outcome {
    RunResult result;
    std::map<std::string, std::string> files;
    fs::path dir;
};

class FastPathsTest : public testing::Test {
protected:
    void TearDown() override {
        for (const fs::path& dir : dirs_) fs::remove_all(dir);
    }

    // A working directory holding the font, the recording and, with -png, frames/.
    fs::path prepare(const std::string& recording, bool png, const std::vector<std::string>& extraFiles) {
        fs::path dir = makeTempDir();
        dirs_.push_back(dir);
        fs::permissions(dir, fs::perms::all);
        installFont(dir);
        writeFile(dir / "rec.ttyrec", recording);
        if (png) fs::create_directory(dir / "frames");
        for (const std::string& name : extraFiles) fs::create_directories(dir / name);
        return dir;
    }

    Outcome run(const std::string& recording, const std::vector<std::string>& options, bool plain,
            RunOptions runOptions = {}, const std::vector<std::string>& extraDirectories = {}) {
        bool png = std::find(options.begin(), options.end(), "-png") != options.end();
        fs::path dir = prepare(recording, png, extraDirectories);
        if (plain) runOptions.extraEnv.push_back("REELCAP_PLAIN_PATHS=1");
        std::vector<std::string> args{"rec.ttyrec"};
        args.insert(args.end(), options.begin(), options.end());
        Outcome made;
        made.result = runReelcapWith(dir, args, runOptions);
        made.files = filesUnder(dir);
        made.dir = dir;
        return made;
    }

    void expectSameRuns(const std::string& recording, const std::vector<std::string>& options,
                        const RunOptions& runOptions = {}, const std::vector<std::string>& extraDirectories = {}) {
        std::string label;
        for (const std::string& option : options) label += option + " ";
        SCOPED_TRACE(label);
        Outcome plain = run(recording, options, true, runOptions, extraDirectories);
        Outcome fast = run(recording, options, false, runOptions, extraDirectories);
        EXPECT_EQ(fast.result.status, plain.result.status);
        EXPECT_EQ(fast.result.output, plain.result.output);
        std::vector<std::string> plainNames;
        std::vector<std::string> fastNames;
        for (const auto& [name, bytes] : plain.files) plainNames.push_back(name);
        for (const auto& [name, bytes] : fast.files) fastNames.push_back(name);
        ASSERT_EQ(fastNames, plainNames);
        // A compressor stores a screen once, for the first frame that shows it: the movie shows
        // the same pictures, the lossy compressors nearly the same.
        auto option = std::find(options.begin(), options.end(), "-codec");
        std::string codec = option != options.end() && option + 1 != options.end() ? option[1] : "dib";
        for (const auto& [name, bytes] : plain.files) {
            if (!name.ends_with(".avi") || codec == "dib" || fast.files[name] == bytes) {
                EXPECT_TRUE(fast.files[name] == bytes) << name << " differs";
                continue;
            }
            DecodedMovie fastMovie = readMovie((fast.dir / name).string());
            DecodedMovie plainMovie = readMovie((plain.dir / name).string());
            ASSERT_EQ(fastMovie.frames.size(), plainMovie.frames.size()) << name;
            for (size_t i = 0; i < plainMovie.frames.size(); ++i) {
                if (codec == "zmbv" || codec == "ffv1") {
                    EXPECT_TRUE(fastMovie.frames[i] == plainMovie.frames[i]) << name << " frame " << i;
                } else {
                    EXPECT_LT(meanDifference(fastMovie.frames[i], plainMovie.frames[i]), 3.0) << name << " frame " << i;
                }
            }
        }
    }

    std::vector<fs::path> dirs_;
};

// Most runs use a small screen: the frames are smaller, what they exercise is the same.
std::vector<std::string> small(std::vector<std::string> options) {
    options.insert(options.end(), {"-width", "40", "-height", "13"});
    return options;
}

TEST_F(FastPathsTest, PngSeries) {
    const std::vector<std::vector<std::string>> optionSets = {
        {"-png", "-fps", "10"},
        small({"-png", "-fps", "10", "-double"}),
        small({"-png", "-fps", "10", "-skip", "7"}),
        small({"-png", "-fps", "10", "-stop", "25"}),
        {"-png", "-fps", "10", "-skip", "4", "-stop", "12", "-width", "30", "-height", "9"},
    };
    for (const auto& options : optionSets) expectSameRuns(mixedRecording(), options);
    expectSameRuns(readFile(sourcePath("samples/demo.ttyrec")), {"-png", "-fps", "2"});
}

TEST_F(FastPathsTest, PngSeriesWithAScalableFont) {
    for (const char* emulation : {"basic", "xterm"}) {
        expectSameRuns(mixedRecording(), small({"-png", "-fps", "10", "-font", "DejaVu Sans Mono", "-font-size", "13",
                                                "-theme", "nord", "-emulation", emulation}));
    }
}

// The cursor moves with most records; the frames are finished around the painted screen, in a
// window whose corners round the cells beneath them.
TEST_F(FastPathsTest, PngSeriesWithPaddingAndCursor) {
    expectSameRuns(mixedRecording(), small({"-png", "-fps", "10", "-window", "-cursor", "block", "-margin", "5"}));
    expectSameRuns(mixedRecording(), small({"-codec", "zmbv", "-fps", "10", "-window", "-cursor", "bar"}));
    expectSameRuns(mixedRecording(), small({"-png", "-fps", "10", "-padding", "3", "-cursor", "block"}));
    expectSameRuns(mixedRecording(), small({"-png", "-fps", "10", "-cursor", "bar", "-emulation", "xterm"}));
    expectSameRuns(mixedRecording(), small({"-png", "-fps", "10", "-font", "DejaVu Sans Mono", "-font-size", "13",
                                            "-padding", "2", "-cursor", "underline", "-emulation", "xterm"}));
}

TEST_F(FastPathsTest, MoviesWithEveryCompressor) {
    expectSameRuns(mixedRecording(), {"-codec", "dib", "-fps", "10"});
    for (const char* codec : {"zmbv", "ffv1", "mjpeg", "h264"}) {
        expectSameRuns(mixedRecording(), small({"-codec", codec, "-fps", "10"}));
    }
    const std::vector<std::vector<std::string>> optionSets = {
        small({"-codec", "dib", "-fps", "10", "-double"}),
        small({"-codec", "zmbv", "-fps", "10", "-double"}),
        small({"-codec", "dib", "-fps", "10", "-skip", "6"}),
        small({"-codec", "zmbv", "-fps", "10", "-stop", "9"}),
        {"-codec", "dib", "-fps", "10", "-skip", "3", "-stop", "14", "-width", "30", "-height", "9"},
    };
    for (const auto& options : optionSets) expectSameRuns(mixedRecording(), options);
    expectSameRuns(readFile(sourcePath("samples/demo.ttyrec")), {"-codec", "zmbv", "-fps", "2"});
}

// -keys: the caption's changes, inside pauses too, are rows the fast ways take up.
TEST_F(FastPathsTest, KeysCaption) {
    const std::string keys = readFile(sourcePath("samples/keys.cast"));
    expectSameRuns(keys, {"-png", "-fps", "10", "-keys", "-cursor", "block", "-keys-hold", "0.5"});
    expectSameRuns(keys, {"-png", "-fps", "10", "-keys", "-record-frames", "-padding", "3", "-skip", "20"});
    expectSameRuns(keys, {"-codec", "zmbv", "-fps", "10", "-keys", "-emulation", "basic", "-last", "2"});
}

// A screen file that cannot be written cannot be loaded: its frames are reported and left out.
TEST_F(FastPathsTest, MovieScreenFilesThatCannotBeWritten) {
    // Frame 4's screen file is in the way of a directory of that name.
    expectSameRuns(mixedRecording(), small({"-codec", "zmbv", "-fps", "10"}), {}, {"0000004.bmp", "0000009.bmp"});
    // No screen file fits under the file size limit (the movie's frames do not either).
    RunOptions limited;
    limited.fileSizeLimit = 1000000;
    expectSameRuns(mixedRecording(), {"-codec", "zmbv", "-fps", "10"}, limited);
    limited.fileSizeLimit = 300000;  // the small screens' files fit, the movie soon does not
    expectSameRuns(mixedRecording(), small({"-codec", "dib", "-fps", "10"}), limited);
    // A working directory that cannot take the screen files ends the run before anything is
    // written, even with the movie going elsewhere.
    if (geteuid() == 0) {
        RunOptions unprivileged;
        unprivileged.uid = kNobody;
        for (bool plain : {true, false}) {
            SCOPED_TRACE(plain ? "plain" : "fast");
            fs::path dir = prepare(mixedRecording(), false, {"movie"});
            fs::permissions(dir / "movie", fs::perms::all);
            makeReadOnly(dir);
            RunOptions options = unprivileged;
            if (plain) options.extraEnv.push_back("REELCAP_PLAIN_PATHS=1");
            RunResult result =
                runReelcapWith(dir, small({"rec.ttyrec", "-codec", "zmbv", "-fps", "10", "-output", "movie/out.avi"}), options);
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.errors.rfind("Error: cannot write the temporary frame bitmaps in ", 0), 0u) << result.errors;
            EXPECT_EQ(result.output.find("GetObject"), std::string::npos) << result.output;
            std::map<std::string, std::string> files = filesUnder(dir);
            EXPECT_EQ(files.size(), 1u);  // movie/: no movie, no log, no screen file
            fs::permissions(dir, fs::perms::all);
        }
    }
}

TEST_F(FastPathsTest, PngFilesThatCannotBeWritten) {
    RunOptions limited;
    limited.fileSizeLimit = 1800;  // the busier screens' files do not fit
    expectSameRuns(mixedRecording(), {"-png", "-fps", "10"}, limited);
    expectSameRuns(mixedRecording(), small({"-png", "-fps", "10"}), {}, {"frames/0000003.png", "frames/0000020.png"});
}

// Interrupted, a run still leaves every file it started complete: the PNG files up to the
// frame it names, the movie's last screen file.
TEST_F(FastPathsTest, InterruptedRunsLeaveCompleteFiles) {
    std::string recording;
    for (int i = 0; i < 4000; ++i) {
        recording += ttyrecRecord(static_cast<uint32_t>(1000 + i), 0,
                                  "\x1b[" + std::to_string(i % 25 + 1) + ";" + std::to_string(i % 60 + 1) + "Hrecord " +
                                      std::to_string(i));
    }
    for (bool png : {true, false}) {
        SCOPED_TRACE(png ? "png" : "movie");
        fs::path dir = prepare(recording, png, {});
        std::vector<std::string> args = small({"rec.ttyrec", "-fps", "1"});
        if (png) args.push_back("-png");
        if (!png) args.insert(args.end(), {"-codec", "zmbv"});
        RunningReelcap running = startReelcap(dir, args, RunOptions{});
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::error_code error;
        auto logSize = [&] { return fs::exists(dir / "output", error) ? fs::file_size(dir / "output", error) : 0; };
        while (logSize() < 30 * 180 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(running.pid, SIGINT);
        RunResult result = finishReelcap(running);
        EXPECT_EQ(result.status, 130);
        size_t at = result.errors.rfind("Interrupted at frame ");
        ASSERT_NE(at, std::string::npos) << result.errors;
        int last = std::stoi(result.errors.substr(at + 21));
        ASSERT_GT(last, 1);

        // The same records, stopped where the interruption stopped, the plain way.
        fs::path reference = prepare(recording, png, {});
        std::vector<std::string> stopped = args;
        stopped.insert(stopped.end(), {"-stop", std::to_string(last)});
        RunOptions plain;
        plain.extraEnv.push_back("REELCAP_PLAIN_PATHS=1");
        runReelcapWith(reference, stopped, plain);
        std::map<std::string, std::string> expected = filesUnder(reference);
        std::map<std::string, std::string> made = filesUnder(dir);
        expected.erase("output.avi");
        made.erase("output.avi");
        expected.erase("output");
        made.erase("output");
        EXPECT_EQ(made.size(), expected.size());
        for (const auto& [name, bytes] : expected) EXPECT_TRUE(made[name] == bytes) << name;
    }
}

}  // namespace
