// An asciicast recording's markers as chapters of MP4 and Matroska movies, read back by ffprobe.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "movie_reader.h"
#include "test_support.h"

namespace {

// Markers at 0 ("Intro"), 1 s (no label) and 2.5 s; the last output at 3 s, then -last's 3 s.
constexpr const char* kRecording =
    "{\"version\": 2, \"width\": 20, \"height\": 4}\n"
    "[0, \"m\", \"Intro\"]\n[0, \"o\", \"intro\"]\n[0.5, \"o\", \"\\r\\nls\"]\n[1, \"m\", \"\"]\n"
    "[1.2, \"o\", \"\\r\\na b\"]\n[2.5, \"m\", \"Build\"]\n[2.6, \"o\", \"\\r\\nmake\"]\n[3, \"o\", \"!\"]\n";

struct Chapter {
    double start;
    double end;
    std::string title;
};

std::vector<Chapter> probedChapters(const fs::path& movie) {
    std::istringstream lines(runCommand("ffprobe -v error -show_entries chapter=start_time,end_time:chapter_tags=title "
                                        "-of csv=p=0 " + shellQuoted(movie.string())).output);
    std::vector<Chapter> chapters;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string start, end, title;
        std::getline(fields, start, ',');
        std::getline(fields, end, ',');
        std::getline(fields, title);
        chapters.push_back({std::stod(start), std::stod(end), title});
    }
    return chapters;
}

class ChaptersTest : public RunDirTest {};

TEST_F(ChaptersTest, MarkersBecomeChaptersAtTheirVideoTimes) {
    writeFile(dir / "rec.cast", kRecording);
    struct Case {
        std::vector<std::string> options;
        std::vector<Chapter> chapters;  // starts within a frame (40 ms at 25 fps)
        std::string note = "";          // on standard error, which is otherwise empty
    };
    const std::vector<Chapter> marked = {{0, 1, "Intro"}, {1, 2.5, "Marker 2"}, {2.5, 6, "Build"}};
    const std::vector<Case> cases = {
        {{"-output", "m.mp4"}, marked},
        {{"-output", "m.mkv"}, marked},
        {{"-output", "m.mkv", "-record-frames"}, marked},
        {{"-output", "m.mkv", "-speed", "2"}, {{0, 0.5, "Intro"}, {0.5, 1.25, "Marker 2"}, {1.25, 4.5, "Build"}}},
        {{"-output", "m.mkv", "-from", "marker:2", "-to", "2.5"}, {{0, 4.5, "Marker 2"}}},
        {{"-output", "m.mkv", "-chapters", "off"}, {}},
        {{"-output", "m.mp4", "-chapter-every", "2.5"}, marked, "Note: -chapter-every 2.5 is left aside"},
        {{"-output", "m.mp4", "-chapters", "off", "-chapter-every", "2.5"},
         {{0, 2.5, "Chapter 1"}, {2.5, 5, "Chapter 2"}, {5, 6, "Chapter 3"}}},
        {{"-output", "m.avi", "-chapter-every", "2.5"}, {}, "Warning: -chapter-every is left aside"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& option : c.options) shown += option + " ";
        SCOPED_TRACE(shown);
        std::vector<std::string> args = {"rec.cast", "-fps", "25"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult result = run(args);
        ASSERT_EQ(result.status, 0) << result.errors;
        EXPECT_TRUE(c.note.empty() ? result.errors.empty() : result.errors.find(c.note) != std::string::npos)
            << result.errors;
        const std::vector<Chapter> chapters = probedChapters(dir / c.options[1]);
        ASSERT_EQ(chapters.size(), c.chapters.size());
        for (size_t i = 0; i < chapters.size(); ++i) {
            EXPECT_EQ(chapters[i].title, c.chapters[i].title);
            EXPECT_NEAR(chapters[i].start, c.chapters[i].start, 0.04) << chapters[i].title;
            EXPECT_NEAR(chapters[i].end, c.chapters[i].end, 0.04) << chapters[i].title;
        }
    }
    // The chapters leave the pictures as they are.
    ASSERT_EQ(run({"rec.cast", "-fps", "25", "-quiet", "-output", "off.mp4", "-chapters", "off"}).status, 0);
    const DecodedMovie with = readMovie((dir / "m.mp4").string());
    const DecodedMovie without = readMovie((dir / "off.mp4").string());
    ASSERT_FALSE(with.frames.empty());
    EXPECT_TRUE(with.frames == without.frames);
}

}  // namespace
