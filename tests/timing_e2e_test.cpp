// Whole runs with the timing options: -idle, -speed, -realtime, -last, -from, -to and -at, on
// hand-made recordings whose frame numbers and screens are worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "movie_reader.h"
#include "test_support.h"

namespace {

struct Timed {
    int64_t micros;  // from the first record
    std::string payload;
};

std::string ttyrecOf(const std::vector<Timed>& records) {
    std::string out;
    for (const Timed& record : records) {
        int64_t at = 1000000000 + record.micros;
        out += ttyrecRecord(static_cast<uint32_t>(at / 1000000), static_cast<uint32_t>(at % 1000000), record.payload);
    }
    return out;
}

// The frame numbers of the progress lines, one a record.
std::vector<int> progressFrames(const std::string& output) {
    std::vector<int> frames;
    size_t at = 0;
    while ((at = output.find("Frame ", at)) != std::string::npos) {
        frames.push_back(std::stoi(output.substr(at + 6)));
        at += 6;
    }
    return frames;
}

size_t countFiles(const fs::path& dir) {
    if (!fs::is_directory(dir)) return 0;
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}));
}

std::string pngName(int frame) {
    char name[32];
    std::snprintf(name, sizeof name, "%07d.png", frame);
    return name;
}

// A screen of one letter each second: A at 0 s, B at 1 s, C at 2 s, D at 3 s.
const std::vector<Timed> kLetters = {
    {0, "\x1b[2J\x1b[HA"}, {1000000, "\x1b[2J\x1b[HB"}, {2000000, "\x1b[2J\x1b[HC"}, {3000000, "\x1b[2J\x1b[HD"}};

class TimingTest : public testing::Test {
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { fs::remove_all(dir); }

    // A run in its own directory (with the font) on a recording written there.
    RunResult runIn(const std::string& name, const std::string& recordingName, const std::string& recording,
                    std::vector<std::string> options) {
        fs::path runDir = dir / name;
        fs::create_directory(runDir);
        installFont(runDir);
        writeFile(runDir / recordingName, recording);
        options.insert(options.begin(), recordingName);
        return runReelcap(runDir, options);
    }

    fs::path dir;
};

TEST_F(TimingTest, OptionsMoveTheFramesOfEachRecord) {
    // Gaps of 0.5 s, 20 ms, 10 s and 90 s.
    const std::vector<Timed> records = {{0, "a"}, {500000, "b"}, {520000, "c"}, {10520000, "d"}, {100520000, "e"}};
    struct Case {
        std::vector<std::string> options;
        std::vector<int> frames;
    };
    const Case cases[] = {
        // At least a frame a gap, and a gap over a minute one frame.
        {{}, {1, 16, 17, 317, 318}},
        // The idle limit replaces the minute rule.
        {{"-idle", "2"}, {1, 16, 17, 77, 137}},
        {{"-speed", "2"}, {1, 8, 9, 159, 1509}},
        {{"-realtime"}, {0, 15, 16, 316, 3016}},
        // Gaps limited, then divided: 1 s, 0.04 s, 2 s, 2 s.
        {{"-realtime", "-idle", "1", "-speed", "0.5"}, {0, 30, 32, 92, 152}},
        {{"-realtime", "-skip", "20", "-stop", "100"}, {0, 15, 16, 316}},
    };
    // Frames are skipped where only their numbers count.
    for (const Case& c : cases) {
        std::string label;
        for (const std::string& option : c.options) label += option + " ";
        SCOPED_TRACE(label);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-png"});
        if (std::find(options.begin(), options.end(), "-skip") == options.end()) options.insert(options.end(), {"-skip", "5000"});
        RunResult result = runIn("run" + std::to_string(&c - cases), "rec.ttyrec", ttyrecOf(records), options);
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(progressFrames(result.output), c.frames) << result.output;
    }
}

TEST_F(TimingTest, RealtimeBurstIsOneFrameShowingItsLastScreen) {
    // A record at 0 s, a burst of 100 within 10 ms from 0.501 s, a record at 1 s.
    std::vector<Timed> records = {{0, "start"}};
    for (int i = 0; i < 100; ++i) {
        // Appended in two steps: GCC 12's -O3 warns (-Wrestrict) on "\r" + a temporary string.
        std::string counter = "\r";
        records.push_back({501000 + i * 100, counter.append(std::to_string(i + 1))});
    }
    records.push_back({1000000, "\r\nend"});
    RunResult result = runIn("realtime", "rec.ttyrec", ttyrecOf(records), {"-png", "-realtime"});
    ASSERT_EQ(result.status, 0) << result.output;
    std::vector<int> expected = {0};
    expected.insert(expected.end(), 100, 16);
    expected.push_back(30);
    EXPECT_EQ(progressFrames(result.output), expected);
    EXPECT_EQ(countFiles(dir / "realtime/frames"), 31u);  // frames 0 to 30

    // Frame 16 shows the burst's last screen: the same as a recording of that screen alone.
    const std::vector<Timed> last = {{0, "start"}, {501000, "\r100"}, {1000000, "\r\nend"}};
    ASSERT_EQ(runIn("last", "rec.ttyrec", ttyrecOf(last), {"-png", "-realtime"}).status, 0);
    for (int frame : {0, 15, 16, 29, 30}) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(readFile(dir / "realtime/frames" / pngName(frame)), readFile(dir / "last/frames" / pngName(frame)));
    }
    EXPECT_NE(readFile(dir / "last/frames" / pngName(15)), readFile(dir / "last/frames" / pngName(16)));

    // The default clock gives each record a frame at least.
    RunResult stretched = runIn("stretched", "rec.ttyrec", ttyrecOf(records), {"-png"});
    EXPECT_EQ(progressFrames(stretched.output).back(), 129);
}

TEST_F(TimingTest, AsciicastIdleTimeLimitCountsUnlessIdleIsGiven) {
    const std::string cast = "{\"version\": 2, \"width\": 80, \"height\": 25, \"idle_time_limit\": 0.5}\n"
                             "[0, \"o\", \"a\"]\n[2, \"o\", \"b\"]\n";
    // In real time, as its player plays it; on the frame clock when asked.
    EXPECT_EQ(progressFrames(runIn("own", "rec.cast", cast, {"-png"}).output), (std::vector<int>{0, 15}));
    EXPECT_EQ(progressFrames(runIn("given", "rec.cast", cast, {"-png", "-idle", "1"}).output),
              (std::vector<int>{0, 30}));
    EXPECT_EQ(progressFrames(runIn("frames", "rec.cast", cast, {"-png", "-record-frames"}).output),
              (std::vector<int>{1, 16}));
}

TEST_F(TimingTest, FromToAndAtShowTheScreensOfTheirTimes) {
    // The whole recording at 10 frames a second: frame k shows letter k / 10, D from frame 30.
    ASSERT_EQ(runIn("whole", "rec.ttyrec", ttyrecOf(kLetters), {"-png", "-realtime", "-fps", "10"}).status, 0);
    ASSERT_EQ(countFiles(dir / "whole/frames"), 31u);
    auto whole = [&](int frame) { return readFile(dir / "whole/frames" / pngName(frame)); };
    ASSERT_NE(whole(9), whole(10));

    struct Case {
        std::vector<std::string> options;
        std::vector<int> shows;  // for each frame of the cut, the frame of the whole run it equals
    };
    std::vector<int> fromOne;
    for (int k = 10; k < 25; ++k) fromOne.push_back(k);
    std::vector<int> toTwo;
    for (int k = 0; k < 20; ++k) toTwo.push_back(k);
    const Case cases[] = {
        // 1 s to 2.5 s: frames at 1.0, 1.1, ..., 2.4 s.
        {{"-from", "1", "-to", "2.5"}, fromOne},
        {{"-from", "0:01", "-to", "00:02.5"}, fromOne},
        {{"-to", "2"}, toTwo},
        // From 2.95 s: C, then D from 3 s, the video's frame 1.
        {{"-from", "2.95"}, {20, 30}},
    };
    for (const Case& c : cases) {
        const std::string name = "cut" + std::to_string(&c - cases);
        SCOPED_TRACE(name);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-png", "-realtime", "-fps", "10"});
        RunResult result = runIn(name, "rec.ttyrec", ttyrecOf(kLetters), options);
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(countFiles(dir / name / "frames"), c.shows.size());
        for (size_t k = 0; k < c.shows.size(); ++k) {
            EXPECT_TRUE(readFile(dir / name / "frames" / pngName(static_cast<int>(k))) == whole(c.shows[k])) << "frame " << k;
        }
    }

    // -at: one PNG, of the screen at that time (a record exactly then counts).
    struct Poster {
        std::vector<std::string> options;
        const char* file;
        int shows;
    };
    const Poster posters[] = {
        {{"-at", "1.5"}, "poster.png", 15},
        {{"-at", "2", "-output", "thumb.png"}, "thumb.png", 20},
        {{"-at", "0"}, "poster.png", 0},
        {{"-at", "1:00"}, "poster.png", 30},
    };
    for (const Poster& p : posters) {
        const std::string name = "poster" + std::to_string(&p - posters);
        SCOPED_TRACE(name);
        RunResult result = runIn(name, "rec.ttyrec", ttyrecOf(kLetters), p.options);
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(readFile(dir / name / p.file) == whole(p.shows));
        EXPECT_FALSE(fs::exists(dir / name / "output.avi"));
        EXPECT_FALSE(fs::exists(dir / name / "frames"));
    }
}

TEST_F(TimingTest, MarkersNameTimes) {
    // Markers at 1.5 s and 2.2 s; the idle limit makes the 5 s gap before D 1 s.
    const std::string cast = "{\"version\": 3, \"term\": {\"cols\": 80, \"rows\": 25}, \"idle_time_limit\": 1}\n"
                             "[0, \"o\", \"\\u001b[2J\\u001b[HA\"]\n[1, \"o\", \"\\u001b[2J\\u001b[HB\"]\n"
                             "[0.5, \"m\", \"one\"]\n[0.5, \"o\", \"\\u001b[2J\\u001b[HC\"]\n[0.2, \"m\", \"\"]\n"
                             "[4.8, \"o\", \"\\u001b[2J\\u001b[HD\"]\n";
    ASSERT_EQ(runIn("whole", "rec.cast", cast, {"-png", "-realtime", "-fps", "10"}).status, 0);
    ASSERT_EQ(countFiles(dir / "whole/frames"), 31u);  // D at 3 s after the idle limit
    RunResult cut = runIn("cut", "rec.cast", cast, {"-png", "-realtime", "-fps", "10", "-from", "marker:1", "-to", "marker:2"});
    ASSERT_EQ(cut.status, 0) << cut.output;
    ASSERT_EQ(countFiles(dir / "cut/frames"), 7u);  // 1.5 s up to 2.2 s
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(readFile(dir / "cut/frames" / pngName(k)), readFile(dir / "whole/frames" / pngName(15 + k))) << k;
    }
    RunResult missing = runIn("missing", "rec.cast", cast, {"-from", "marker:3"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.errors, "Error: rec.cast has no marker 3 (it has 2)\n");
    EXPECT_EQ(missing.output.find("Processing file"), std::string::npos);
}

TEST_F(TimingTest, LastScreenStaysAtTheEnd) {
    struct Case {
        std::vector<std::string> options;
        size_t frames;  // of the movie
    };
    // At 10 frames a second the final screen, D, begins at frame 31; -to 2.5 -realtime shows C
    // in frames 20 to 24.
    const Case cases[] = {
        {{"-output", "x.avi", "-codec", "zmbv"}, 31},                  // an AVI ends before it
        {{"-output", "x.avi", "-codec", "zmbv", "-last", "1"}, 41},
        {{"-output", "x.mkv", "-codec", "zmbv"}, 61},                  // 3 s of it
        {{"-output", "x.mkv", "-codec", "zmbv", "-last", "0.5"}, 36},
        {{"-output", "x.mkv", "-codec", "zmbv", "-last", "0"}, 31},
        {{"-output", "x.mkv", "-codec", "zmbv", "-realtime", "-to", "2.5"}, 55},
    };
    for (const Case& c : cases) {
        const std::string name = "run" + std::to_string(&c - cases);
        SCOPED_TRACE(name);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-fps", "10"});
        RunResult result = runIn(name, "rec.ttyrec", ttyrecOf(kLetters), options);
        ASSERT_EQ(result.status, 0) << result.output;
        fs::path movie = dir / name / (std::string(c.options[1]));
        DecodedMovie decoded = readMovie(movie.string(), 10);
        ASSERT_EQ(decoded.frames.size(), c.frames);
        EXPECT_TRUE(decoded.frames.back() == decoded.frames[c.frames - 5]);
        EXPECT_FALSE(decoded.frames[0] == decoded.frames.back());
    }
    // A PNG series holds the final screen in its own frame and -last's copies.
    RunResult png = runIn("png", "rec.ttyrec", ttyrecOf(kLetters), {"-png", "-fps", "10", "-last", "2"});
    ASSERT_EQ(png.status, 0) << png.output;
    EXPECT_EQ(countFiles(dir / "png/frames"), 50u);  // frames 1 to 50, D from 31
    EXPECT_EQ(readFile(dir / "png/frames" / pngName(50)), readFile(dir / "png/frames" / pngName(31)));
}

TEST_F(TimingTest, BadTimingValuesEndTheRunBeforeAnything) {
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const Case cases[] = {
        {{"-speed", "0"}, "Error: -speed must be a number from 0.01 to 10000, not \"0\"."},
        {{"-idle", "-1"}, "Error: -idle must be a number of seconds above 0, not \"-1\"."},
        {{"-last", "1e3"}, "Error: -last must be a number of seconds from 0 on, not \"1e3\"."},
        {{"-from", "1:2:3:4"}, "Error: -from must be seconds (12.5), [h:]mm:ss or marker:N, not \"1:2:3:4\"."},
        {{"-to", "marker:0"}, "Error: -to must be seconds (12.5), [h:]mm:ss or marker:N, not \"marker:0\"."},
        {{"-at", "1.5:00"}, "Error: -at must be seconds (12.5), [h:]mm:ss or marker:N, not \"1.5:00\"."},
        {{"-from", "2", "-to", "1:00", "-to", "1.5"}, "Error: -to must come after -from."},
        {{"-from", "marker:1"}, "Error: rec.ttyrec has no marker 1 (it has 0)"},
        {{"-idle"}, "Error: need to specify idle seconds."},
    };
    for (const Case& c : cases) {
        const std::string name = "run" + std::to_string(&c - cases);
        SCOPED_TRACE(c.message);
        RunResult result = runIn(name, "rec.ttyrec", ttyrecOf(kLetters), c.options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, c.message + "\n");
        EXPECT_EQ(result.output.find("Processing file"), std::string::npos) << result.output;
        EXPECT_FALSE(fs::exists(dir / name / "output.avi"));
    }
}

}  // namespace
