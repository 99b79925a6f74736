// End-to-end runs with -emulation: the option itself, and frames that come out under the same
// names and timing as in the default mode but with the full emulation's screens.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fixtures.h"
#include "test_support.h"

namespace {

std::set<std::string> fileNames(const fs::path& dir) {
    std::set<std::string> names;
    if (!fs::is_directory(dir)) return names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

PngImage decodedPng(const fs::path& path) {
    PngImage image = readPng(path);
    EXPECT_EQ(image.error, 0u) << path;
    return image;
}

class XtermEndToEndTest : public RunDirTest {
protected:
    // A run of input.ttyrec in its own subdirectory, so that two runs can be compared.
    RunResult runIn(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), (dir / "input.ttyrec").string());
        return RunDirTest::runIn(name, args);
    }
};

TEST_F(XtermEndToEndTest, BadEmulationNamesEndTheRun) {
    writeFile(dir / "input.ttyrec", ttyrecRecord(0, 0, "x"));
    RunResult missing = runReelcap(dir, {"input.ttyrec", "-png", "-emulation"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.errors, "Error: need to specify emulation name.\n");
    RunResult unknown = runReelcap(dir, {"input.ttyrec", "-png", "-emulation", "vt52"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.errors, "Error: unknown emulation \"vt52\"; the choices are basic and xterm.\n");
    EXPECT_FALSE(fs::exists(dir / "frames" / "0000001.png"));
}

// A scroll region, multi-parameter SGR, 24-bit colour: the screens differ, the frames do not.
TEST_F(XtermEndToEndTest, SameFramesAndProgressAsTheDefaultMode) {
    writeFile(dir / "input.ttyrec",
              ttyrecRecord(10, 0, "\x1b[1;38;2;1;2;3m\xe2\x96\x88\x1b[0m") +
                  ttyrecRecord(10, 100000, "\x1b[2;3r\x1b[3;1Ha\nb\nc") + ttyrecRecord(10, 250000, "\x1b[m") +
                  ttyrecRecord(11, 0, "\x1b[9;9H\x1b[41m \x1b[0m"));
    RunResult basic = runIn("basic", {"-png", "-width", "20", "-height", "10"});
    RunResult xterm = runIn("xterm", {"-png", "-width", "20", "-height", "10", "-EMULATION", "XTerm"});
    ASSERT_EQ(basic.status, 0) << basic.output;
    ASSERT_EQ(xterm.status, 0) << xterm.output;
    EXPECT_EQ(xterm.output, basic.output);
    EXPECT_EQ(readFile(dir / "xterm" / "output"), readFile(dir / "basic" / "output"));
    std::set<std::string> frames = fileNames(dir / "xterm" / "frames");
    EXPECT_EQ(frames, fileNames(dir / "basic" / "frames"));
    EXPECT_EQ(frames.size(), 30u);

    PngImage first = decodedPng(dir / "xterm" / "frames" / "0000003.png");
    ASSERT_EQ(first.width, 200u);
    ASSERT_EQ(first.height, 200u);
    EXPECT_EQ(first.rgbAt(0, 0), 0x010203u);
    PngImage last = decodedPng(dir / "xterm" / "frames" / "0000030.png");
    EXPECT_EQ(last.rgbAt(85, 170), 0xAF0000u);  // the red space at row 9, column 9
    EXPECT_NE(last.rgba, decodedPng(dir / "basic" / "frames" / "0000030.png").rgba);
}

TEST_F(XtermEndToEndTest, SkipStopAndDoubleWorkAsInTheDefaultMode) {
    std::string recording;
    for (uint32_t i = 0; i < 6; ++i) recording += ttyrecRecord(i, 0, "\x1b[38;5;196m#" + std::to_string(i));
    writeFile(dir / "input.ttyrec", recording);
    const std::vector<std::string> options = {"-png", "-fps", "2", "-skip", "3", "-stop", "5", "-double",
                                              "-width", "8", "-height", "2"};
    RunResult basic = runIn("basic", options);
    std::vector<std::string> xtermOptions = options;
    xtermOptions.insert(xtermOptions.end(), {"-emulation", "xterm"});
    RunResult xterm = runIn("xterm", xtermOptions);
    EXPECT_EQ(basic.status, xterm.status);
    EXPECT_EQ(xterm.output, basic.output);
    EXPECT_EQ(fileNames(dir / "xterm" / "frames"), fileNames(dir / "basic" / "frames"));
    EXPECT_FALSE(fileNames(dir / "xterm" / "frames").empty());
    for (const std::string& name : fileNames(dir / "xterm" / "frames")) {
        PngImage image = decodedPng(dir / "xterm" / "frames" / name);
        EXPECT_EQ(image.width, 160u);
        EXPECT_EQ(image.height, 80u);
    }
}

TEST_F(XtermEndToEndTest, MoviesHaveTheSameFramesAsInTheDefaultMode) {
    writeFile(dir / "input.ttyrec", ttyrecRecord(0, 0, "\x1b[?1049h\x1b[44mhello") + ttyrecRecord(0, 500000, "!"));
    RunResult basic = runIn("basic", {"-width", "10", "-height", "3"});
    RunResult xterm = runIn("xterm", {"-width", "10", "-height", "3", "-emulation", "xterm"});
    ASSERT_EQ(basic.status, 0) << basic.output;
    ASSERT_EQ(xterm.status, 0) << xterm.output;
    EXPECT_EQ(xterm.output, basic.output);
    // Uncompressed frames: equal sizes mean equal frame counts and dimensions.
    EXPECT_EQ(fs::file_size(dir / "xterm" / "output.avi"), fs::file_size(dir / "basic" / "output.avi"));
}

TEST_F(XtermEndToEndTest, MissingFontEndsTheRunAsInTheDefaultMode) {
    writeFile(dir / "input.ttyrec", ttyrecRecord(0, 0, "x"));
    fs::remove(dir / "font.txt");
    // A copy of the binary without the build tree's font.txt beside it.
    fs::create_directory(dir / "bin");
    fs::copy_file(REELCAP_BINARY, dir / "bin/reelcap");
    RunOptions options;
    options.extraEnv = {"PATH=/nonexistent"};
    options.binary = (dir / "bin/reelcap").string();
    RunResult result = runReelcapWith(dir, {"input.ttyrec", "-png", "-emulation", "xterm"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("Unable to find the file \"font.txt\"... copy to this directory \n"
                                 "or check %PATH% environment variable?\n"),
              std::string::npos)
        << result.output;
}

}  // namespace
