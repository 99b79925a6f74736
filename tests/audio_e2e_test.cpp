// -audio: a narration under the movie, read back with ffprobe and ffmpeg as a player would.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "platform/cores.h"
#include "platform/little_endian.h"
#include "test_support.h"

namespace {

constexpr int kWavRate = 44100;
constexpr double kFrame = 1.0 / 30;  // the runs' frame length

// A 440 Hz tone from the first sample on, mono 16-bit PCM.
std::string toneWav(double seconds) {
    const auto samples = static_cast<uint32_t>(seconds * kWavRate);
    std::vector<uint8_t> out;
    putFourcc(out, "RIFF");
    putU32le(out, 36 + samples * 2);
    putFourcc(out, "WAVE");
    putFourcc(out, "fmt ");
    putU32le(out, 16);
    putU16le(out, 1);  // PCM
    putU16le(out, 1);  // mono
    putU32le(out, kWavRate);
    putU32le(out, kWavRate * 2);
    putU16le(out, 2);
    putU16le(out, 16);
    putFourcc(out, "data");
    putU32le(out, samples * 2);
    for (uint32_t i = 0; i < samples; ++i) {
        const double value = 16000 * std::sin(2 * std::numbers::pi * 440 * i / kWavRate);
        putU16le(out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(value))));
    }
    return {out.begin(), out.end()};
}

struct ProbedStream {
    std::string codec;
    double start = 0;
    double duration = -1;  // Matroska keeps it as a tag
};

std::vector<ProbedStream> probeStreams(const fs::path& movie) {
    std::istringstream lines(runCommand("ffprobe -v error -show_entries stream=codec_name,start_time,duration:"
                                        "stream_tags=DURATION -of default=nw=1 " +
                                        shellQuoted(movie.string()))
                                 .output);
    std::vector<ProbedStream> streams;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("codec_name=", 0) == 0) streams.push_back({line.substr(11)});
        if (streams.empty()) continue;
        int hours = 0;
        int minutes = 0;
        double seconds = 0;
        ProbedStream& stream = streams.back();
        if (line.rfind("start_time=", 0) == 0 && line != "start_time=N/A") stream.start = std::stod(line.substr(11));
        if (line.rfind("duration=", 0) == 0 && line != "duration=N/A") stream.duration = std::stod(line.substr(9));
        if (line.rfind("TAG:DURATION=", 0) == 0 &&
            std::sscanf(line.c_str() + 13, "%d:%d:%lf", &hours, &minutes, &seconds) == 3) {
            stream.duration = hours * 3600 + minutes * 60 + seconds;
        }
    }
    return streams;
}

// When the decoded sound first gets loud, in seconds on the movie's clock; -1: never.
double soundOnset(const fs::path& movie) {
    const std::string samples = runCommand("ffmpeg -v error -i " + shellQuoted(movie.string()) +
                                           " -map 0:a -ac 1 -ar 48000 -f f32le -")
                                    .output;
    for (size_t i = 0; i + 4 <= samples.size(); i += 4) {
        float value = 0;
        std::memcpy(&value, samples.data() + i, 4);
        if (std::fabs(value) > 0.2f) return static_cast<double>(i / 4) / 48000;
    }
    return -1;
}

class AudioRunTest : public RunDirTest {
protected:
    void SetUp() override {
        RunDirTest::SetUp();
        // Two seconds of records, then the final screen's three: a movie of five seconds.
        writeFile(dir / "talk.ttyrec", ttyrecRecord(10, 0, "one") + ttyrecRecord(11, 0, "\r\ntwo") +
                                           ttyrecRecord(12, 0, "\r\nthree"));
        writeFile(dir / "voice.wav", toneWav(8));
    }
};

TEST_F(AudioRunTest, NarrationGoesUnderTheMovieWhereTheContainerHoldsIt) {
    struct Case {
        std::string output;
        std::string offset;
        std::string codec;  // the sound's; empty: the run is refused
        double onset;       // seconds after the picture's start
    };
    const Case cases[] = {
        {"talk.mp4", "0", "aac", 0},
        {"talk.webm", "0", "opus", 0},
        {"talk.mkv", "0", "opus", 0},
        {"later.mp4", "1.5", "aac", 1.5},
        {"later.webm", "1.5", "opus", 1.5},
        {"talk.gif", "0", "", 0},
        {"talk.avi", "0", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " -audio-offset " + c.offset);
        RunResult result = run({"talk.ttyrec", "-audio", "voice.wav", "-audio-offset", c.offset, "-output", c.output});
        if (c.codec.empty()) {
            EXPECT_EQ(result.status, 1);
            EXPECT_NE(result.errors.find("MP4, Matroska or WebM"), std::string::npos) << result.errors;
            EXPECT_FALSE(fs::exists(dir / c.output));
            continue;
        }
        ASSERT_EQ(result.status, 0) << result.errors;
        const std::vector<ProbedStream> streams = probeStreams(dir / c.output);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[1].codec, c.codec);
        EXPECT_NEAR(streams[0].duration, 5, kFrame / 2);  // frames last 1 / 30 s, not 33 ms
        EXPECT_NEAR(streams[1].duration, streams[0].duration, kFrame);
        // The tone starts at once in the file; the encoder's priming may take a moment of it.
        EXPECT_NEAR(soundOnset(dir / c.output) - streams[0].start, c.onset, kFrame);
    }
    // The one encoder under a narration: x264 runs on the jobs (its settings are in the file).
    for (const std::string jobs : {"1", "2"}) {
        ASSERT_EQ(run({"talk.ttyrec", "-audio", "voice.wav", "-jobs", jobs, "-output", "threads.mp4"}).status, 0);
        const bool two = readFile(dir / "threads.mp4").find(" threads=2 ") != std::string::npos;
        EXPECT_EQ(two, jobs == "2" && usableCores() > 1) << "-jobs " << jobs;
    }
}

// A negative offset cuts the narration's start, -to cuts its end at the same recording time,
// and a clock that would drift from it is refused unless -realtime asks for it.
TEST_F(AudioRunTest, NarrationKeepsTheRecordingsClock) {
    ASSERT_EQ(run({"talk.ttyrec", "-audio", "voice.wav", "-audio-offset", "-7", "-to", "0.5", "-output", "cut.mp4"})
                  .status,
              0);
    const std::vector<ProbedStream> streams = probeStreams(dir / "cut.mp4");
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_NEAR(streams[1].duration, 0.5, kFrame);  // -to before the narration ends, a second in
    EXPECT_NEAR(soundOnset(dir / "cut.mp4"), 0, kFrame);

    for (const std::vector<std::string>& clock :
         {std::vector<std::string>{"-speed", "2"}, {"-idle", "0.5"}, {"-record-frames"}}) {
        std::vector<std::string> args = {"talk.ttyrec", "-audio", "voice.wav", "-output", "drift.mp4"};
        args.insert(args.end(), clock.begin(), clock.end());
        RunResult refused = run(args);
        EXPECT_EQ(refused.status, 1) << clock[0];
        EXPECT_NE(refused.errors.find("-realtime"), std::string::npos) << refused.errors;
        EXPECT_FALSE(fs::exists(dir / "drift.mp4"));
    }
    EXPECT_EQ(run({"talk.ttyrec", "-audio", "voice.wav", "-output", "fast.mp4", "-speed", "2", "-realtime"}).status, 0);

    writeFile(dir / "notes.wav", "not a sound");
    RunResult unreadable = run({"talk.ttyrec", "-audio", "notes.wav", "-output", "notes.mp4"});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_NE(unreadable.errors.find("notes.wav"), std::string::npos) << unreadable.errors;
    EXPECT_FALSE(fs::exists(dir / "notes.mp4"));
}

}  // namespace
