// Whole runs of the converter in movie mode, read back as a player would.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "movie_reader.h"
#include "platform/compression_dialog.h"
#include "test_support.h"

namespace {

// Three records 0.1 s apart: at 30 frames per second they end at frames 1, 4 and 7.
std::string workedExample() {
    return ttyrecRecord(1000, 0, "Hello\r\n") + ttyrecRecord(1000, 100000, "\x1b[31mRed\x1b[0m world") +
           ttyrecRecord(1000, 200000, "\r\nthird");
}

class MovieRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        installFont(dir);
        writeFile(dir / "rec.ttyrec", workedExample());
    }
    void TearDown() override { fs::remove_all(dir); }

    RunResult run(std::vector<std::string> options) {
        options.insert(options.begin(), "rec.ttyrec");
        return runReelcap(dir, options);
    }

    fs::path dir;
};

TEST_F(MovieRunTest, FramesFollowTheRecordTimes) {
    struct Case {
        std::vector<std::string> options;
        std::vector<int> screens;  // which record's screen each frame shows
        int width;
        int height;
    };
    const Case cases[] = {
        {{}, {1, 1, 1, 1, 2, 2, 2}, 800, 500},
        {{"-stop", "5"}, {1, 1, 1, 1, 2, 2}, 800, 500},
        {{"-stop", "0"}, {1}, 800, 500},  // a limit of 0 lets frame number 0 through
        {{"-skip", "2"}, {2, 2, 2, 2}, 800, 500},  // frames 3 to 6
        {{"-double"}, {1, 1, 1, 1, 2, 2, 2}, 1600, 1000},
        {{"-width", "40", "-height", "10"}, {1, 1, 1, 1, 2, 2, 2}, 400, 200},
    };
    for (const Case& c : cases) {
        std::string options;
        for (const std::string& option : c.options) options += option + " ";
        SCOPED_TRACE(options);
        fs::remove(dir / "output.avi");
        RunResult result = run(c.options);
        EXPECT_EQ(result.status, 0) << result.output;
        DecodedMovie movie = readMovie((dir / "output.avi").string());
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.streamCount, 1);
        EXPECT_EQ(movie.codec, AV_CODEC_ID_RAWVIDEO);
        ASSERT_EQ(movie.frames.size(), c.screens.size());
        for (size_t i = 1; i < c.screens.size(); ++i) {
            EXPECT_EQ(movie.frames[i] == movie.frames[i - 1], c.screens[i] == c.screens[i - 1]) << "frame " << i;
        }
        EXPECT_EQ(movie.width, c.width);
        EXPECT_EQ(movie.height, c.height);
        EXPECT_EQ(av_cmp_q(movie.timeBase, AVRational{33, 1000}), 0);
    }
}

TEST_F(MovieRunTest, WithoutATerminalNoChoiceIsAskedAndNothingWaits) {
    for (RunInput input : {RunInput::devNull, RunInput::closed, RunInput::silentPipe}) {
        SCOPED_TRACE(static_cast<int>(input));
        fs::remove(dir / "output.avi");
        RunOptions options;
        options.input = input;
        options.alarmSeconds = 120;  // a run that waits for input is killed rather than hanging the suite
        RunResult result = runReelcapWith(dir, {"rec.ttyrec"}, options);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output.find("Video compression"), std::string::npos) << result.output;
        EXPECT_EQ(readMovie((dir / "output.avi").string()).codec, AV_CODEC_ID_RAWVIDEO);
    }
}

// A run at a terminal: standard input on a pseudo-terminal, and standard output too unless
// outputFile names a file for it. `answer` is typed at the menu's prompt; an empty one sends
// SIGINT there instead.
struct TerminalRun {
    int status = -1;
    std::string seen;  // what the terminal showed
};

TerminalRun runAtTerminal(const fs::path& dir, const std::string& answer, const char* outputFile = nullptr) {
    TerminalRun run;
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) return run;
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (outputFile != nullptr) dup2(open(outputFile, O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        alarm(120);
        execl(REELCAP_BINARY, REELCAP_BINARY, "rec.ttyrec", static_cast<char*>(nullptr));
        _exit(127);
    }
    bool answered = outputFile != nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wanted{terminal, POLLIN, 0};
        if (poll(&wanted, 1, 100) <= 0) continue;
        char buffer[4096];
        ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;  // the run has ended and closed the terminal
        run.seen.append(buffer, static_cast<size_t>(got));
        if (!answered && run.seen.find("(Enter: dib, q: cancel): ") != std::string::npos) {
            answered = true;
            if (answer.empty()) {
                kill(pid, SIGINT);
            } else if (write(terminal, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
                break;
            }
        }
    }
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

TEST_F(MovieRunTest, AtATerminalTheMenuDecides) {
    struct Case {
        const char* name;
        std::string answer;
        int status;
        AVCodecID codec;  // a cancelled choice leaves the stream as it was made, uncompressed and empty
        size_t frames;
    };
    const Case cases[] = {
        {"Enter keeps uncompressed frames", "\n", 0, AV_CODEC_ID_RAWVIDEO, 7},
        {"a number", "2\n", 0, AV_CODEC_ID_ZMBV, 7},
        {"q cancels", "q\n", 0, AV_CODEC_ID_RAWVIDEO, 0},
        {"end of input cancels", "\x04", 0, AV_CODEC_ID_RAWVIDEO, 0},
        {"Ctrl-C at the menu cancels and ends the run", "", 130, AV_CODEC_ID_RAWVIDEO, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "output.avi");
        TerminalRun run = runAtTerminal(dir, c.answer);
        EXPECT_EQ(run.status, c.status) << run.seen;
        EXPECT_NE(run.seen.find("Video compression for the movie:"), std::string::npos) << run.seen;
        DecodedMovie movie = readMovie((dir / "output.avi").string());
        EXPECT_TRUE(movie.opened) << "closed properly";
        EXPECT_EQ(movie.codec, c.codec);
        EXPECT_EQ(movie.frames.size(), c.frames);
    }
    // Output going to a file: nobody reads a menu there.
    fs::remove(dir / "output.avi");
    TerminalRun run = runAtTerminal(dir, "", "stdout.txt");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(dir / "stdout.txt").find("Video compression"), std::string::npos);
    EXPECT_EQ(readMovie((dir / "output.avi").string()).codec, AV_CODEC_ID_RAWVIDEO);
}

TEST_F(MovieRunTest, ChosenCompressorIsUsed) {
    struct Case {
        const char* codec;
        AVCodecID expected;
        bool lossless;
    };
    const Case cases[] = {{"zmbv", AV_CODEC_ID_ZMBV, true},
                          {"FFV1", AV_CODEC_ID_FFV1, true},
                          {"mjpeg", AV_CODEC_ID_MJPEG, false},
                          {"h264", AV_CODEC_ID_H264, false}};
    ASSERT_EQ(run({"-output", "plain.avi"}).status, 0);
    DecodedMovie plain = readMovie((dir / "plain.avi").string());
    ASSERT_EQ(plain.frames.size(), 7u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        std::string name = std::string(c.codec) + ".avi";
        RunResult result = run({"-codec", c.codec, "-output", name});
        EXPECT_EQ(result.status, 0) << result.output;
        DecodedMovie movie = readMovie((dir / name).string());
        EXPECT_EQ(movie.codec, c.expected);
        ASSERT_EQ(movie.frames.size(), 7u);
        for (size_t i = 0; i < movie.frames.size(); ++i) {
            if (c.lossless) {
                EXPECT_TRUE(movie.frames[i] == plain.frames[i]) << "frame " << i;
            } else {
                EXPECT_LT(meanDifference(movie.frames[i], plain.frames[i]), 3.0) << "frame " << i;
            }
        }
    }
}

TEST_F(MovieRunTest, UnknownCodecEndsTheRunBeforeAnyOutput) {
    RunResult result = run({"-CODEC", "xvid"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "Error: unknown codec \"xvid\"; -codec list shows the choices.\n");
    EXPECT_FALSE(fs::exists(dir / "output.avi"));
}

TEST_F(MovieRunTest, CodecNamesIgnoreCase) {
    RunResult result = run({"-Codec", "ZMBV", "-output", "upper.avi"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readMovie((dir / "upper.avi").string()).codec, AV_CODEC_ID_ZMBV);
    EXPECT_EQ(run({"-codec", "LIST"}).output, run({"-codec", "list"}).output);
}

// The first frame of an uncompressed movie holds the first screen file's pixels as they are.
TEST_F(MovieRunTest, UncompressedFramesAreTheScreenFilesPixels) {
    RunResult result = run({"-stop", "1", "-output", "first.avi"});
    EXPECT_EQ(result.status, 0) << result.output;
    std::string bmp = readFile(dir / "0000001.bmp");
    ASSERT_EQ(bmp.size(), 54u + 800u * 500u * 4u);
    DecodedMovie movie = readMovie((dir / "first.avi").string());
    ASSERT_GE(movie.packets.size(), 1u);
    EXPECT_TRUE(movie.packets[0] == std::vector<uint8_t>(bmp.begin() + 54, bmp.end()));
}

TEST_F(MovieRunTest, CodecListNamesEveryChoice) {
    RunResult result = run({"-codec", "list"});
    EXPECT_EQ(result.status, 0);
    std::istringstream lines(result.output);
    std::string line;
    size_t listed = 0;
    for (const CodecChoice& choice : codecChoices()) {
        while (std::getline(lines, line) && line.rfind(std::string(choice.name) + " ", 0) != 0) {
        }
        if (lines && line.find(choice.description) != std::string::npos) ++listed;
    }
    EXPECT_EQ(listed, codecChoices().size()) << result.output;
    EXPECT_FALSE(fs::exists(dir / "output.avi"));
}

TEST_F(MovieRunTest, MovieGoesUnderTheOutputName) {
    EXPECT_EQ(run({"-output", "talk.avi"}).status, 0);
    EXPECT_EQ(readMovie((dir / "talk.avi").string()).frames.size(), 7u);
    EXPECT_FALSE(fs::exists(dir / "output.avi"));
}

TEST_F(MovieRunTest, MovieThatCannotBeCreatedEndsTheRun) {
    RunResult result = run({"-output", "missing/movie.avi"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "Error: cannot create missing/movie.avi: No such file or directory\n");
    EXPECT_EQ(result.output.find("Frame "), std::string::npos);
}

TEST_F(MovieRunTest, RunWithNothingToWriteLeavesAMovieWithoutStreams) {
    RunResult result = run({"-skip", "100"});
    EXPECT_EQ(result.status, 0);
    DecodedMovie movie = readMovie((dir / "output.avi").string());
    EXPECT_TRUE(movie.opened);
    EXPECT_EQ(movie.streamCount, 0);
}

// What ffprobe reads as the video stream's length (Matroska keeps it as a tag) and the file's.
std::pair<double, double> probedLengths(const fs::path& movie) {
    std::istringstream lines(runCommand("ffprobe -v error -show_entries stream=duration:stream_tags=DURATION:"
                                        "format=duration -of default=nw=1 " +
                                        shellQuoted(movie.string()))
                                 .output);
    double stream = -1;
    double format = -1;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("TAG:DURATION=", 0) == 0) {
            int hours = 0;
            int minutes = 0;
            double seconds = 0;
            if (std::sscanf(line.c_str() + 13, "%d:%d:%lf", &hours, &minutes, &seconds) == 3) {
                stream = hours * 3600 + minutes * 60 + seconds;
            }
        } else if (line.rfind("duration=", 0) == 0 && line != "duration=N/A") {
            (stream < 0 ? stream : format) = std::stod(line.substr(9));
        }
    }
    return {stream, format};
}

// Players take a movie's length from its video track: it must reach the end of the last
// screen's hold, as the file's length does, whatever the encoder reorders.
TEST_F(MovieRunTest, TrackLastsAsLongAsTheMovie) {
    writeFile(dir / "rec.ttyrec", ttyrecRecord(10, 0, "one") + ttyrecRecord(10, 400000, "\r\ntwo") +
                                      ttyrecRecord(11, 300000, "\r\nthree"));
    const double expected = 1.3 + 2;  // the last record's time, then its hold
    const double frame = 0.1;
    const std::vector<std::vector<std::string>> cases = {
        {"-output", "m.mp4", "-jobs", "1"},  // H.264 with B-frames (one encoder has them)
        {"-output", "m.mkv"},
        {"-output", "m.webm"},
        {"-output", "m.mp4", "-codec", "vp9"},
        {"-output", "m.mkv", "-codec", "mjpeg"},
    };
    for (std::vector<std::string> options : cases) {
        SCOPED_TRACE(options[1] + " " + (options.size() > 2 ? options[3] : ""));
        const fs::path movie = dir / options[1];
        options.insert(options.end(), {"-fps", "10", "-last", "2"});
        ASSERT_EQ(run(options).status, 0);
        auto [stream, format] = probedLengths(movie);
        EXPECT_NEAR(stream, format, frame + 1e-3);
        EXPECT_NEAR(stream, expected, frame + 1e-3);
        EXPECT_NEAR(format, expected, frame + 1e-3);
        fs::remove(movie);
    }
}

}  // namespace
