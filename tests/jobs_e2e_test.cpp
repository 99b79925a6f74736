// -jobs: a movie painted and encoded in segments at once shows, frame for frame, what one
// encoder makes of the same run (GIF files byte for byte, with the keys' caption too), a lossy
// one within 40 dB of the lossless screens, and a PNG series the same files; on a recording that
// scrolls, resizes, pauses and types long enough to take many segments.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Lines that scroll the screen, a resize every 90 events, a long pause every 130 and a key
// typed every 7.
std::string scrollingCast() {
    std::string cast = "{\"version\": 2, \"width\": 40, \"height\": 10}\n";
    double at = 0;
    char line[160];
    for (int event = 1; event <= 1300; ++event) {
        at += event % 130 == 0 ? 40 : 0.15;
        if (event % 90 == 0) {
            std::snprintf(line, sizeof line, "[%f, \"r\", \"%s\"]\n", at, event % 180 == 0 ? "40x10" : "32x8");
            cast += line;
        }
        if (event % 7 == 0) {
            std::snprintf(line, sizeof line, "[%f, \"i\", \"%c\"]\n", at - 0.05, 'a' + event % 26);
            cast += line;
        }
        std::snprintf(line, sizeof line, "[%f, \"o\", \"\\u001b[3%dmline %d \\u001b[0m%.*s\\r\\n\"]\n", at, event % 8,
                      event, event % 23, "#######################");
        cast += line;
    }
    return cast;
}

std::vector<std::string> frameDigests(const fs::path& movie) {
    std::istringstream lines(runCommand("ffmpeg -v error -i " + shellQuoted(movie.string()) +
                                        " -vf fps=10,format=rgb24 -f framemd5 -")
                                 .output);
    std::vector<std::string> digests;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') digests.push_back(line.substr(line.rfind(',') + 1));
    }
    return digests;
}

double leastPsnr(const fs::path& movie, const fs::path& reference) {
    std::istringstream lines(
        runCommand("ffmpeg -v error -i " + shellQuoted(movie.string()) + " -i " + shellQuoted(reference.string()) +
                   " -lavfi '[0:v]fps=10,format=yuv420p[a];[1:v]fps=10,format=yuv420p[b];[a][b]psnr=stats_file=-'"
                   " -f null -")
            .output);
    double least = 1000;
    int frames = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("psnr_avg:");
        if (at == std::string::npos) continue;
        ++frames;
        const std::string value = line.substr(at + 9, line.find(' ', at) - at - 9);
        if (value != "inf") least = std::min(least, std::stod(value));
    }
    return frames > 0 ? least : 0;
}

TEST(Jobs, SegmentsShowWhatOneJobShows) {
    const fs::path dir = makeTempDir();
    installFont(dir);
    writeFile(dir / "rec.cast", scrollingCast());
    auto make = [&](const std::string& output, const std::string& codec, const std::string& jobs,
                    const char* option = nullptr) {
        std::vector<std::string> arguments{"rec.cast", "-codec", codec, "-fps", "10", "-output", output,
                                           "-jobs",    jobs,     "-idle", "9", "-last", "0"};
        if (option != nullptr) arguments.push_back(option);
        const RunResult run = runReelcapWith(dir, arguments, {});
        EXPECT_EQ(run.status, 0) << output << run.output;
        return dir / output;
    };
    struct Case {
        const char* name;
        const char* extension;
        const char* codec;
        bool sameBytes;
        const char* option;
    };
    const Case cases[] = {{"zmbv", ".avi", "zmbv", false, nullptr},
                          {"gif", ".gif", "gif", true, nullptr},
                          {"keys", ".gif", "gif", true, "-keys"},
                          {"ffv1", ".mkv", "ffv1", false, nullptr}};
    for (const Case& movie : cases) {
        SCOPED_TRACE(movie.name);
        const fs::path one = make(std::string("one") + movie.name + movie.extension, movie.codec, "1", movie.option);
        const fs::path three =
            make(std::string("three") + movie.name + movie.extension, movie.codec, "3", movie.option);
        const std::vector<std::string> digests = frameDigests(one);
        EXPECT_GT(digests.size(), 1000u);
        EXPECT_EQ(frameDigests(three), digests);
        if (movie.sameBytes) {
            EXPECT_TRUE(readFile(three) == readFile(one)) << "the files' bytes differ";
        }
    }
    const fs::path lossy = make("three.mp4", "h264", "3");
    EXPECT_GE(leastPsnr(lossy, dir / "onezmbv.avi"), 40.0);

    for (const char* jobs : {"1", "3"}) {
        const fs::path frames = dir / (std::string("frames") + jobs);
        fs::create_directory(frames);
        writeFile(frames / "rec.cast", readFile(dir / "rec.cast"));
        installFont(frames);
        EXPECT_EQ(runReelcapWith(frames, {"rec.cast", "-png", "-fps", "10", "-jobs", jobs, "-idle", "9", "-stop", "300"}, {})
                      .status,
                  0);
    }
    for (int frame = 1; frame <= 300; frame += 37) {
        char name[32];
        std::snprintf(name, sizeof name, "frames/%07d.png", frame);
        const std::string one = readFile(dir / "frames1" / name);
        EXPECT_FALSE(one.empty()) << name;
        EXPECT_TRUE(readFile(dir / "frames3" / name) == one) << name;
    }
    fs::remove_all(dir);
}

}  // namespace
