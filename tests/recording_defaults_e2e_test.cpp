// What a run says about the recording and the output it was not told about: the size a
// recording needs, an uncompressed AVI, and the defaults an asciicast recording gets.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using RecordingDefaultsTest = RunDirTest;

RunResult runWithErrors(const fs::path& dir, const std::vector<std::string>& args) {
    RunOptions options;
    options.errorsToOutput = true;
    return runReelcapWith(dir, args, options);
}

TEST_F(RecordingDefaultsTest, WarnsOfCursorBeyondTheTerminalAndOfUncompressedFrames) {
    struct Case {
        std::string payloads[2];
        std::vector<std::string> options;
        std::string expected;  // "" when no warning or note is expected
    };
    const std::string needs = "-width 120 -height 43.";
    const std::string note = "Note: output.avi gets uncompressed frames, 800 x 500 pixels, 1600000 bytes each";
    const Case cases[] = {
        {{"\x1b[2J\x1b[43;120Hx", "\x1b[Hy"}, {"-codec", "zmbv"}, needs},
        // A sequence split between two records, and a bottom margin with a column move.
        {{"\x1b[4", "3;1H\x1b[120G"}, {"-codec", "zmbv"}, needs},
        {{"\x1b[1;43r\x1b[120G", "z"}, {"-codec", "zmbv", "-emulation", "xterm"}, needs},
        {{"\x1b[43;120Hx", ""}, {"-codec", "zmbv", "-width", "120", "-height", "43"}, ""},
        // Asking for the far corner to learn the size is no layout.
        {{"\x1b[999;999H\x1b[6n", "\x1b[25;80Hx"}, {"-codec", "zmbv"}, ""},
        {{"a", "b"}, {}, note},
        {{"a", "b"}, {"-double", "-padding", "5"}, "1620 x 1020 pixels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payloads[0]);
        writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, c.payloads[0]) + ttyrecRecord(2, 0, c.payloads[1]));
        std::vector<std::string> args = {"rec.ttyrec"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult plain = runReelcap(dir, args);
        const RunResult told = runWithErrors(dir, args);
        EXPECT_EQ(told.status, 0) << told.output;
        // Standard output keeps its transcript: what is told goes to standard error.
        EXPECT_EQ(plain.output.find("Warning"), std::string::npos);
        EXPECT_EQ(plain.output.find("Note"), std::string::npos);
        const bool warned = told.output.find("Warning") != std::string::npos;
        const bool noted = told.output.find("Note") != std::string::npos;
        if (c.expected.empty()) {
            EXPECT_FALSE(warned || noted) << told.output;
        } else {
            EXPECT_NE(told.output.find(c.expected), std::string::npos) << told.output;
            EXPECT_EQ(std::count(told.output.begin(), told.output.end(), '\n') -
                          std::count(plain.output.begin(), plain.output.end(), '\n'),
                      1);
        }
    }
}

TEST_F(RecordingDefaultsTest, AsciicastPlaysAsItsPlayerShowsIt) {
    // 256 colours, which only the xterm emulation reads, and a pause the real-time clock keeps.
    writeFile(dir / "rec.cast",
              "{\"version\": 2, \"width\": 20, \"height\": 5}\n"
              "[0, \"o\", \"\\u001b[38;5;196mred\"]\n[1.5, \"o\", \"\\u001b[0m!\"]\n");
    const RunResult byDefault = runIn("default", {"../rec.cast", "-png"});
    const RunResult spelled =
        runIn("spelled", {"../rec.cast", "-png", "-emulation", "xterm", "-realtime", "-theme", "asciinema"});
    const RunResult ttyrecLike = runIn("ttyrec", {"../rec.cast", "-png", "-emulation", "basic", "-record-frames"});
    ASSERT_EQ(byDefault.status, 0) << byDefault.output;
    ASSERT_EQ(spelled.output, byDefault.output);
    const std::vector<fs::path> frames = filesIn(dir / "default/frames", ".png");
    EXPECT_EQ(frames.size(), 46u);  // 0 to 1.5 s at 30 fps
    for (const fs::path& frame : frames) {
        EXPECT_TRUE(readFile(frame) == readFile(dir / "spelled/frames" / frame.filename())) << frame;
    }
    // The frame clock numbers frames from 1, the real-time clock from 0.
    EXPECT_FALSE(fs::exists(dir / "ttyrec/frames/0000000.png"));
    EXPECT_NE(readFile(dir / "default/frames/0000001.png"), readFile(dir / "ttyrec/frames/0000001.png"));
}

}  // namespace
