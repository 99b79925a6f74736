// End-to-end runs of the binary: banner, options, announcements, the recording walk and the log.

#include <gtest/gtest.h>
#include <lodepng.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

namespace {

const std::string kBanner =
    "TTY to AVI/PNG conversion utility\n"
    "reelcap version 0.0.1\n"
    "Documentation: README.md in the source distribution\n"
    "\n";

const std::string kUsage =
    "Usage: reelcap <input file> (options)\n"
    "Options: \n"
    "\t-width (#columns)  Sets terminal width in characters\n"
    "\t-height (#rows)    Sets terminal height in characters\n"
    "\t-output (filename) Sets output AVI name (overwritten if it exists)\n"
    "\t-fps (#)           Sets frames-per-second of output AVI\n"
    "\t-skip (# frames)   Skip specified number of frames from start in output\n"
    "\t-stop (# frames)   Stop output after specified number of frames\n"
    "\t-double            Doubles the output frame size\n"
    "\t-png               Output a series of .PNG images containing the frames\n"
    " Parameters are optional, reelcap will default to a 80 x 25 terminal at 30 fps\n"
    " .PNG frames are output to a subdirectory named 'frames'\n"
    " .AVI movies are saved by default to 'output.avi'\n";

const std::string kRule(80, '-');

std::string logEntry(int frame, const std::string& time, int length) {
    return kRule + "\nFrame " + std::to_string(frame) + ", " + time + ", payload " + std::to_string(length) +
           "\n" + kRule + "\n";
}

// Lines of output starting with "Frame ".
std::vector<std::string> progressLines(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end - start);
        if (line.rfind("Frame ", 0) == 0) lines.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

using DriverTest = RunDirTest;

TEST_F(DriverTest, NoArgumentPrintsBannerAndUsage) {
    RunResult result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, kBanner + "\n" + kUsage);
}

// The listing after the usage is held against the options table in options_test.cpp.
TEST_F(DriverTest, HelpOptionsPrintBannerUsageAndEveryOption) {
    for (const char* option : {"-h", "--help", "-help", "--HELP"}) {
        RunResult result = run({option, "-png"});
        EXPECT_EQ(result.status, 0) << option;
        EXPECT_EQ(result.output.substr(0, kBanner.size() + 1 + kUsage.size()), kBanner + "\n" + kUsage) << option;
        EXPECT_NE(result.output.find("\n  -cursor block|bar|underline "), std::string::npos) << option;
        EXPECT_NE(result.output.find("man reelcap"), std::string::npos) << option;
    }
    EXPECT_FALSE(fs::exists(dir / "frames"));
}

TEST_F(DriverTest, MissingFontEndsTheRunWithStatusOne) {
    fs::remove(dir / "font.txt");
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "x"));
    RunOptions options;
    options.extraEnv = {"PATH=/nonexistent"};
    // A copy of the binary without the build tree's font.txt beside it.
    fs::create_directory(dir / "bin");
    fs::copy_file(REELCAP_BINARY, dir / "bin/reelcap");
    options.binary = (dir / "bin/reelcap").string();
    for (const char* output : {"-png", "-at"}) {
        RunResult result =
            runReelcapWith(dir, {"rec.ttyrec", output, output == std::string("-at") ? "0" : "-png"}, options);
        EXPECT_EQ(result.status, 1) << output;
        const std::string message =
            "Unable to find the file \"font.txt\"... copy to this directory \nor check %PATH% environment variable?\n";
        ASSERT_GE(result.output.size(), message.size()) << output;
        EXPECT_EQ(result.output.substr(result.output.size() - message.size()), message) << output;
    }
}

// FFmpeg's and LodePNG's numbers are those of the libraries this process loaded too; libvterm's
// is the one built against.
TEST_F(DriverTest, VersionNamesReelcapAndTheLibrariesLoaded) {
    auto version = [](unsigned number) {
        return std::to_string(AV_VERSION_MAJOR(number)) + "." + std::to_string(AV_VERSION_MINOR(number)) + "." +
               std::to_string(AV_VERSION_MICRO(number));
    };
    RunResult result = run({"--version", "-png"});
    EXPECT_EQ(result.status, 0);
    std::smatch vterm;
    ASSERT_TRUE(std::regex_search(result.output, vterm, std::regex("\nlibvterm [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << result.output;
    EXPECT_EQ(std::string(vterm.prefix()) + "\n" + std::string(vterm.suffix()),
              std::string("reelcap ") + REELCAP_VERSION + "\nFFmpeg " + av_version_info() + "\nlibavformat " +
                  version(avformat_version()) + "\nlibavcodec " + version(avcodec_version()) + "\nlibavutil " +
                  version(avutil_version()) + "\nlibswscale " + version(swscale_version()) + "\nLodePNG " +
                  LODEPNG_VERSION_STRING + "\n");
    EXPECT_FALSE(fs::exists(dir / "frames"));
}

TEST_F(DriverTest, MissingOptionValuesEndTheRun) {
    struct Case {
        std::string option;
        std::string message;
        bool transcript;  // a fixed message, on standard output; else on standard error
    };
    const Case cases[] = {
        {"-width", "Error: need to specify width.", true},
        {"-height", "Error: need to specify height.", true},
        {"-fps", "Error: need to specify fps value.", true},
        {"-stop", "Error: need to specify maximum number of output frames.", true},
        {"-skip", "Error: need to specify number of frames to skip.", true},
        {"-output", "Error: no output .AVI file name?", true},
        {"-codec", "Error: need to specify codec name.", false},
        {"-SKIP", "Error: need to specify number of frames to skip.", true},
    };
    for (const Case& c : cases) {
        RunResult result = run({"rec.ttyrec", c.option});
        EXPECT_EQ(result.status, 1) << c.option;
        EXPECT_EQ(result.output, kBanner + (c.transcript ? c.message + "\n" : "")) << c.option;
        EXPECT_EQ(result.errors, c.transcript ? "" : c.message + "\n") << c.option;
    }
}

TEST_F(DriverTest, SettingsOutOfRangeAreRefusedBeforePlayback) {
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "x"));
    struct Case {
        std::vector<std::string> args;
        std::string message;  // empty: accepted
    };
    const Case cases[] = {
        {{"-png", "-fps", "0"}, "Error: -fps must be between 1 and 1000000, not 0."},
        {{"-png", "-fps", "-5"}, "Error: -fps must be between 1 and 1000000, not -5."},
        {{"-png", "-fps", "1000001"}, "Error: -fps must be between 1 and 1000000, not 1000001."},
        {{"-png", "-fps", "1000000"}, ""},
        {{"-png", "-fps", "1"}, ""},
        // A movie frame lasts whole milliseconds.
        {{"-codec", "zmbv", "-fps", "1001"}, "Error: -fps must be between 1 and 1000, not 1001."},
        {{"-codec", "zmbv", "-fps", "1000"}, ""},
        {{"-png", "-width", "201"}, "Error: -width 201: the terminal's width counts characters, from 1 to 200."},
        {{"-png", "-width", "0"}, "Error: -width 0: the terminal's width counts characters, from 1 to 200."},
        {{"-png", "-width", "4294967297"},
         "Error: -width 4294967297: the terminal's width counts characters, from 1 to 200."},
        {{"-png", "-width", "200"}, ""},
        {{"-png", "-height", "81"}, "Error: -height 81: the terminal's height counts characters, from 1 to 80."},
        {{"-png", "-height", "abc"}, "Error: -height abc: the terminal's height counts characters, from 1 to 80."},
        {{"-png", "-height", "80"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"rec.ttyrec"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args[args.size() - 2] + " " + args.back());
        fs::remove(dir / "output");
        RunResult result = run(args);
        if (c.message.empty()) {
            EXPECT_EQ(result.status, 0) << result.output;
            EXPECT_EQ(progressLines(result.output).size(), 1u);
        } else {
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.output, kBanner);
            EXPECT_EQ(result.errors, c.message + "\n");
            EXPECT_FALSE(fs::exists(dir / "output")) << "playback must not have started";
        }
    }
}

TEST_F(DriverTest, AnnouncesSettings) {
    writeFile(dir / "rec.ttyrec", "");
    struct Case {
        std::vector<std::string> args;
        std::string announcements;
    };
    const Case cases[] = {
        {{"-png"}, "Processing file \"rec.ttyrec\" at 30 fps\nUsing terminal size 80 x 25...\n"},
        {{"-png", "-FPS", "10", "-Width", "100", "-HEIGHT", "40"},
         "Processing file \"rec.ttyrec\" at 10 fps\nUsing terminal size 100 x 40...\n"},
        {{"-png", "-skip", "100", "-stop", "50"},
         "Processing file \"rec.ttyrec\" at 30 fps\nUsing terminal size 80 x 25...\n"
         "Skipping 100 frames at the beginning.\nOutputting a maximum of 50 frames.\n"},
        {{"-png", "-stop", "-skip", "5"},
         "Processing file \"rec.ttyrec\" at 30 fps\nUsing terminal size 80 x 25...\n"
         "Outputting a maximum of 0 frames.\n"},
        {{"-png", "-fps", "7", "-fps", "12", "-unknown", "-width", " 90x"},
         "Processing file \"rec.ttyrec\" at 12 fps\nUsing terminal size 90 x 25...\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"rec.ttyrec"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult result = run(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, kBanner + c.announcements);
    }
}

TEST_F(DriverTest, EmptyFirstArgumentStillMakesFramesDirectory) {
    RunResult result = run({"", "-png"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kBanner + "Error: no input .ttyrec file?\n");
    EXPECT_TRUE(fs::is_directory(dir / "frames"));
}

TEST_F(DriverTest, RecordingFileErrorsFailWithStatusOne) {
    fs::create_directory(dir / "adir");
    struct Case {
        std::vector<std::string> args;
        std::string last;
    };
    std::vector<Case> cases = {
        {{"missing.ttyrec", "-png"}, "errno 2\n"},
        {{"-rec.ttyrec", "-png"}, "errno 2\n"},  // a first argument named like no option is the recording's
        {{"adir", "-png"}, "errno 21\n"},
    };
    // A kernel file announces a page but holds a line: the read falls short of the size.
    const fs::path shortFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    std::error_code error;
    if (fs::file_size(shortFile, error) > readFile(shortFile).size()) {
        cases.push_back({{shortFile.string(), "-png"}, "error in fread()?\n"});
    }
    for (const Case& c : cases) {
        RunResult result = run(c.args);
        EXPECT_EQ(result.status, 1) << c.args[0];
        ASSERT_GE(result.output.size(), c.last.size());
        EXPECT_EQ(result.output.substr(result.output.size() - c.last.size()), c.last) << result.output;
    }
}

TEST_F(DriverTest, EmptyRecordingCreatesEmptyLog) {
    writeFile(dir / "rec.ttyrec", "");
    RunResult result = run({"rec.ttyrec", "-png"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(progressLines(result.output).empty());
    EXPECT_TRUE(fs::exists(dir / "output"));
    EXPECT_EQ(readFile(dir / "output"), "");
    EXPECT_TRUE(fs::is_empty(dir / "frames"));
}

TEST_F(DriverTest, FrameClockProgressAndLog) {
    std::string recording = ttyrecRecord(100, 0, "a") +           // first: 1 frame
                            ttyrecRecord(102, 500000, "bc") +     // 2.5 s: 75 frames
                            ttyrecRecord(162, 500000, "") +       // 60 s exactly: 1800 frames
                            ttyrecRecord(222, 500001, "d") +      // 60 s and 1 us: 1 frame
                            ttyrecRecord(222, 400000, "e") +      // earlier than its predecessor: 1 frame
                            ttyrecRecord(100 + 3665, 5000, "f");  // more than a minute: 1 frame
    writeFile(dir / "rec.ttyrec", recording);
    RunResult result = run({"rec.ttyrec", "-png"});
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> expected = {
        "Frame 1, time 00:00:00...",    "Frame 76, time 00:00:02...", "Frame 1876, time 00:01:02...",
        "Frame 1877, time 00:02:02...", "Frame 1878, time 00:02:02...", "Frame 1879, time 01:01:05...",
    };
    EXPECT_EQ(progressLines(result.output), expected);
    EXPECT_EQ(readFile(dir / "output"), logEntry(1, "100.0", 1) + logEntry(76, "102.500000", 2) +
                                            logEntry(1876, "162.500000", 0) + logEntry(1877, "222.500001", 1) +
                                            logEntry(1878, "222.400000", 1) + logEntry(1879, "3765.5000", 1));
}

TEST_F(DriverTest, RecordTimeBorrowsMicroseconds) {
    writeFile(dir / "rec.ttyrec",
              ttyrecRecord(10, 900000, "") + ttyrecRecord(11, 300000, "") + ttyrecRecord(11, 900000, ""));
    RunResult result = run({"rec.ttyrec", "-png"});
    std::vector<std::string> expected = {"Frame 1, time 00:00:00...", "Frame 13, time 00:00:00...",
                                         "Frame 31, time 00:00:01..."};
    EXPECT_EQ(progressLines(result.output), expected);
}

TEST_F(DriverTest, SkipMarksEarlyRecords) {
    std::string recording;
    for (int i = 0; i < 5; ++i) recording += ttyrecRecord(1, i * 100000, "x");  // frames 1, 4, 7, 10, 13
    writeFile(dir / "rec.ttyrec", recording);
    RunResult result = run({"rec.ttyrec", "-png", "-skip", "10"});
    std::vector<std::string> expected = {
        "Frame 1, time 00:00:00 (skipping) ", "Frame 4, time 00:00:00 (skipping) ",
        "Frame 7, time 00:00:00 (skipping) ", "Frame 10, time 00:00:00...", "Frame 13, time 00:00:00...",
    };
    EXPECT_EQ(progressLines(result.output), expected);
}

TEST_F(DriverTest, StopLimitEndsTheRunAfterItsRecord) {
    std::string recording;
    for (int i = 0; i < 10; ++i) recording += ttyrecRecord(1 + i, 0, "x");  // 30 frames apart
    writeFile(dir / "rec.ttyrec", recording);
    RunResult result = run({"rec.ttyrec", "-png", "-stop", "100"});
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> lines = progressLines(result.output);
    ASSERT_EQ(lines.size(), 5u);  // frames 1, 31, 61, 91, 121
    EXPECT_EQ(lines.back(), "Frame 121, time 00:00:04...");
    EXPECT_TRUE(result.output.ends_with("Frame 121, time 00:00:04...\nExiting...\n"));
    EXPECT_TRUE(fs::exists(dir / "frames/0000121.png"));
    EXPECT_FALSE(fs::exists(dir / "frames/0000122.png"));
}

// -quiet keeps errors and warnings only; -progress puts one status line on standard error
// (a line every ten seconds when that is no terminal, and the last) instead of a line per record.
TEST_F(DriverTest, QuietAndProgressReplaceTheProgressLines) {
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "x") + ttyrecRecord(3, 0, "y") + ttyrecRecord(4, 0, "z"));
    installFont(dir);
    RunOptions merged;
    merged.errorsToOutput = true;
    RunResult quiet = runReelcapWith(dir, {"rec.ttyrec", "-png", "-QUIET"}, merged);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.output, "");
    EXPECT_TRUE(runReelcapWith(dir, {"missing.ttyrec", "-output", "-quiet", "-quiet"}, merged)
                    .output.starts_with("errno 2\nError: cannot open the recording missing.ttyrec: "));
    RunResult progress = runReelcapWith(dir, {"rec.ttyrec", "-png", "-progress"}, merged);
    EXPECT_EQ(progress.status, 0);
    EXPECT_TRUE(progressLines(progress.output).empty());
    EXPECT_NE(progress.output.find("Using terminal size 80 x 25...\n"), std::string::npos);
    EXPECT_NE(progress.output.find("\n3/3 records, frame 91, recording 00:00:03, "), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "frames/0000091.png"));
    // A record stamped before the first counts as at it.
    writeFile(dir / "back.ttyrec", ttyrecRecord(5, 0, "x") + ttyrecRecord(2, 999999, "y"));
    const std::string back = runReelcapWith(dir, {"back.ttyrec", "-png", "-progress"}, merged).output;
    const size_t last = back.find("2/2 records, frame ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(back.substr(back.find(", recording ", last), 22), ", recording 00:00:00, ");
}

TEST_F(DriverTest, StopZeroPlaysTheWholeRecording) {
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "x") + ttyrecRecord(2, 0, "y"));
    RunResult result = run({"rec.ttyrec", "-png", "-stop", "0"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(progressLines(result.output).size(), 2u);
    EXPECT_EQ(result.output.find("Exiting..."), std::string::npos);
}

TEST_F(DriverTest, TimestampsAnywhereInTheUnsignedRangePlayNormally) {
    // Seconds 0 and the signed-overflow boundary are where a "nothing seen yet" time would collide.
    const uint32_t firsts[] = {0u, 0x7fffffffu, 0x90000000u, 0xfffffffeu};
    for (uint32_t first : firsts) {
        SCOPED_TRACE(first);
        writeFile(dir / "rec.ttyrec", ttyrecRecord(first, 0, "a") + ttyrecRecord(first + 1, 0, "b"));
        RunResult result = run({"rec.ttyrec", "-png"});
        std::vector<std::string> expected = {"Frame 1, time 00:00:00...", "Frame 31, time 00:00:01..."};
        EXPECT_EQ(progressLines(result.output), expected);
        std::string second = std::to_string(static_cast<uint64_t>(first) + 1);
        EXPECT_NE(readFile(dir / "output").find("Frame 31, " + second + ".0, payload 1"), std::string::npos);
    }
}

// Frames of two recordings that must show the same screens.
void expectSameFrames(const fs::path& a, const fs::path& b) {
    ASSERT_TRUE(fs::exists(a / "frames/0000001.png"));
    for (const auto& entry : fs::directory_iterator(a / "frames")) {
        EXPECT_EQ(readFile(entry.path()), readFile(b / "frames" / entry.path().filename()))
            << entry.path().filename();
    }
}

// Two subdirectories of dir, each with the font, for runs whose frames are compared.
std::pair<fs::path, fs::path> twoRunDirs(const fs::path& dir) {
    fs::path first = dir / "first";
    fs::path second = dir / "second";
    for (const fs::path& sub : {first, second}) {
        fs::create_directory(sub);
        installFont(sub);
    }
    return {first, second};
}

TEST_F(DriverTest, TruncatedRecordIsPlayedWithWhatIsThere) {
    auto [cut, whole] = twoRunDirs(dir);
    std::string recording = ttyrecRecord(1, 0, "abc") + ttyrecRecord(2, 0, "defghij");
    recording.resize(recording.size() - 4);  // the second payload loses 4 of its 7 bytes
    writeFile(cut / "rec.ttyrec", recording);
    writeFile(whole / "rec.ttyrec", ttyrecRecord(1, 0, "abc") + ttyrecRecord(2, 0, "def"));
    RunResult result = runReelcap(cut, {"rec.ttyrec", "-png"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "Warning: the recording is cut at byte offset 30: the record at offset 15 has "
                             "3 of its 7 payload bytes\n");
    EXPECT_EQ(progressLines(result.output).size(), 2u);
    EXPECT_EQ(runReelcap(whole, {"rec.ttyrec", "-png"}).status, 0);
    expectSameFrames(whole, cut);
}

TEST_F(DriverTest, TrailingFragmentShorterThanAHeaderIsIgnored) {
    std::string recording = ttyrecRecord(1, 0, "abc") + std::string("\x01\x02\x03\x04\x05", 5);
    writeFile(dir / "rec.ttyrec", recording);
    RunResult result = run({"rec.ttyrec", "-png"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "Warning: the recording is cut at byte offset 20: the 5 bytes from offset 15 are "
                             "too short for a record header and are ignored\n");
    EXPECT_EQ(progressLines(result.output).size(), 1u);
}

// After a sound first record; a first record that cannot fit is no recording at all.
TEST_F(DriverTest, LengthPointingFarBeyondTheFile) {
    std::string header = ttyrecRecord(1, 0, "");
    header[8] = header[9] = header[10] = header[11] = '\xff';
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "a") + header + "hello");
    RunResult result = run({"rec.ttyrec", "-png"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.errors.find("Warning: the recording is cut at byte offset 30"), std::string::npos);
    EXPECT_NE(readFile(dir / "output").find("payload -1"), std::string::npos);
}

TEST_F(DriverTest, NulBytesAndLongPayloadsAreInterpretedWhole) {
    auto [plain, tricky] = twoRunDirs(dir);
    std::string longPayload(70000, '\0');
    longPayload += "\x1b[5;5Hend";
    writeFile(plain / "rec.ttyrec", ttyrecRecord(1, 0, "abcd") + ttyrecRecord(2, 0, "\x1b[5;5Hend"));
    writeFile(tricky / "rec.ttyrec", ttyrecRecord(1, 0, std::string("ab\0cd", 5)) + ttyrecRecord(2, 0, longPayload));
    EXPECT_EQ(runReelcap(plain, {"rec.ttyrec", "-png"}).status, 0);
    EXPECT_EQ(runReelcap(tricky, {"rec.ttyrec", "-png"}).status, 0);
    expectSameFrames(plain, tricky);
}

TEST_F(DriverTest, EmptyPayloadStillFillsItsFrames) {
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "a") + ttyrecRecord(1, 100000, ""));
    ASSERT_EQ(run({"rec.ttyrec", "-png"}).status, 0);
    std::string first = readFile(dir / "frames/0000001.png");
    ASSERT_FALSE(first.empty());
    for (const char* name : {"0000002.png", "0000003.png", "0000004.png"}) {
        EXPECT_EQ(readFile(dir / "frames" / name), first) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "frames/0000005.png"));
}

TEST_F(DriverTest, SkipAndStopTogetherStopAtTheirSum) {
    std::string recording;
    for (int i = 0; i < 8; ++i) recording += ttyrecRecord(1 + i, 0, std::to_string(i));  // frames 1, 31, ... 211
    writeFile(dir / "rec.ttyrec", recording);
    RunResult result = run({"rec.ttyrec", "-png", "-skip", "100", "-stop", "50"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output.ends_with("Frame 151, time 00:00:05...\nExiting...\n")) << result.output;
    EXPECT_FALSE(fs::exists(dir / "frames/0000100.png"));
    EXPECT_TRUE(fs::exists(dir / "frames/0000101.png"));
    EXPECT_TRUE(fs::exists(dir / "frames/0000151.png"));
    EXPECT_FALSE(fs::exists(dir / "frames/0000152.png"));
}

TEST_F(DriverTest, PngSeriesIgnoresTheOutputName) {
    writeFile(dir / "rec.ttyrec", ttyrecRecord(1, 0, "x"));
    writeFile(dir / "x.avi", "an older movie");
    RunResult result = run({"rec.ttyrec", "-png", "-output", "x.avi"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.find("Output to"), std::string::npos) << result.output;
    EXPECT_EQ(readFile(dir / "x.avi"), "an older movie");
    EXPECT_FALSE(fs::exists(dir / "output.avi"));
    EXPECT_TRUE(fs::exists(dir / "frames/0000001.png"));
}

TEST_F(DriverTest, NamesLongerThanAnyFixedBuffer) {
    fs::path deep = dir;
    for (int level = 0; level < 12; ++level) deep /= std::string(100, static_cast<char>('a' + level));
    fs::create_directories(deep);
    writeFile(deep / "rec.ttyrec", ttyrecRecord(1, 0, "x"));
    std::string recording = (deep / "rec.ttyrec").string();
    std::string movie = (deep / "movie.avi").string();
    ASSERT_GT(recording.size(), 1100u);
    RunResult result = run({recording, "-codec", "zmbv", "-output", movie});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Processing file \"" + recording + "\""), std::string::npos);
    EXPECT_NE(result.output.find("Output to " + movie + "..."), std::string::npos);
    EXPECT_GT(fs::file_size(movie), 0u);
}

}  // namespace
