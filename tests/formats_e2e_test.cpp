// Whole runs of the converter with the other movie containers and with asciicast recordings.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "fixtures.h"
#include "movie_reader.h"
#include "render/theme.h"
#include "test_support.h"

namespace {

struct Record {
    uint32_t seconds;
    uint32_t micros;
    std::string payload;
};

// Three records 0.1 s apart: at 30 frames per second they end at frames 1, 4 and 7. The
// second one holds UTF-8 text beyond ASCII.
const std::vector<Record> kRecords = {
    {1000, 0, "Hello\r\n"},
    {1000, 100000, "\x1b[31mR\xC3\xA9" "d \xE2\x9C\x93\x1b[0m world \"quoted\" \\"},
    {1000, 200000, "\r\nthird"},
};

std::string ttyrecOf(const std::vector<Record>& records) {
    std::string out;
    for (const Record& record : records) out += ttyrecRecord(record.seconds, record.micros, record.payload);
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The same records as asciicast events, timed from the first: version 2 events with the given
// header, version 3 events timed from the one before, or version 1 pairs after a header that is
// left open for them.
std::string asciicastOf(const std::vector<Record>& records, const std::string& header, int version = 2) {
    std::string out = header + (version == 1 ? ",\n  \"stdout\": [" : "\n");
    int64_t previous = 0;
    for (const Record& record : records) {
        int64_t micros = (int64_t{record.seconds} - records[0].seconds) * 1000000 + record.micros - records[0].micros;
        int64_t shown = version == 2 ? micros : micros - previous;
        previous = micros;
        char time[32];
        std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(shown / 1000000),
                      static_cast<long long>(shown % 1000000));
        if (version == 1) {
            out += std::string(&record == &records[0] ? "\n" : ",\n") + "    [" + time + ", " + jsonString(record.payload) + "]";
        } else {
            out += std::string("[") + time + ", \"o\", " + jsonString(record.payload) + "]\n";
        }
    }
    return version == 1 ? out + "\n  ]\n}\n" : out;
}

std::vector<std::string> linesStartingWith(const std::string& output, const std::string& start) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        std::string line = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.rfind(start, 0) == 0) lines.push_back(line);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

// Top-level MP4 boxes in file order; an empty name marks bytes that are not a whole box.
std::vector<std::string> mp4Boxes(const std::string& bytes) {
    std::vector<std::string> boxes;
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 8) {
            boxes.push_back("");
            break;
        }
        uint32_t size = static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24 |
                        static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8 |
                        static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3]));
        if (size < 8 || size > bytes.size() - at) {
            boxes.push_back("");
            break;
        }
        boxes.push_back(bytes.substr(at + 4, 4));
        at += size;
    }
    return boxes;
}

class FormatsRunTest : public RunDirTest {
protected:
    void SetUp() override {
        RunDirTest::SetUp();
        writeFile(dir / "rec.ttyrec", ttyrecOf(kRecords));
    }

    RunResult run(const std::string& recording, std::vector<std::string> options, const fs::path& in = {}) {
        options.insert(options.begin(), recording);
        return runReelcap(in.empty() ? dir : in, options);
    }
};

TEST_F(FormatsRunTest, EveryContainerPlaysBackTheFrames) {
    struct Case {
        const char* output;
        const char* codec;  // nullptr: the container's default
        AVCodecID expected;
        const char* demuxer;
        bool exact;
    };
    const Case cases[] = {
        {"talk.mp4", nullptr, AV_CODEC_ID_H264, "mov,mp4,m4a,3gp,3g2,mj2", false},
        {"talk.mkv", nullptr, AV_CODEC_ID_H264, "matroska,webm", false},
        {"talk.webm", nullptr, AV_CODEC_ID_VP9, "matroska,webm", false},
        {"talk.gif", nullptr, AV_CODEC_ID_GIF, "gif", true},
        {"TALK.GIF", "gif", AV_CODEC_ID_GIF, "gif", true},
        {"vp9.mp4", "vp9", AV_CODEC_ID_VP9, "mov,mp4,m4a,3gp,3g2,mj2", false},
        {"av1.mp4", "av1", AV_CODEC_ID_AV1, "mov,mp4,m4a,3gp,3g2,mj2", false},
        {"av1.webm", "av1", AV_CODEC_ID_AV1, "matroska,webm", false},
        {"av1.mkv", "AV1", AV_CODEC_ID_AV1, "matroska,webm", false},
        {"vp9.mkv", "vp9", AV_CODEC_ID_VP9, "matroska,webm", false},
        {"zmbv.mkv", "zmbv", AV_CODEC_ID_ZMBV, "matroska,webm", true},
        {"ffv1.mkv", "ffv1", AV_CODEC_ID_FFV1, "matroska,webm", true},
        {"mjpeg.mkv", "mjpeg", AV_CODEC_ID_MJPEG, "matroska,webm", false},
    };
    ASSERT_EQ(run("rec.ttyrec", {"-output", "plain.avi"}).status, 0);
    DecodedMovie plain = readMovie((dir / "plain.avi").string());
    ASSERT_EQ(plain.frames.size(), 7u);
    ASSERT_NE(plain.frames[0], plain.frames[6]);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> options{"-output", c.output};
        if (c.codec != nullptr) options.insert(options.end(), {"-codec", c.codec});
        RunResult result = run("rec.ttyrec", options);
        EXPECT_EQ(result.status, 0) << result.output;
        // Frames last 33 ms at 30 a second: 97 of them take 3.2 s, not 3.23.
        DecodedMovie movie = readMovie((dir / c.output).string(), 1000.0 / 33);
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.formatName, c.demuxer);
        EXPECT_EQ(movie.streamCount, 1);
        EXPECT_EQ(movie.type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(movie.codec, c.expected);
        EXPECT_EQ(movie.width, 800);
        EXPECT_EQ(movie.height, 500);
        // These containers end on the final screen, three seconds of it.
        ASSERT_EQ(movie.frames.size(), plain.frames.size() + 90);
        for (size_t i = 0; i < plain.frames.size(); ++i) {
            if (c.exact) {
                EXPECT_TRUE(movie.frames[i] == plain.frames[i]) << "frame " << i;
            } else {
                EXPECT_LT(meanDifference(movie.frames[i], plain.frames[i]), 3.0) << "frame " << i;
            }
        }
    }
}

// -padding's border in the theme's background and -cursor's block, in every kind of output:
// 30 x 4 cells of 10 x 20 pixels and 6 pixels around them; the final screen's cursor stands
// after "third", on a blank cell at row 2, column 5, which the block fills with the text colour.
TEST_F(FormatsRunTest, PaddingAndCursorReachEveryOutput) {
    constexpr uint32_t kBackground = 0x2E3440;  // nord
    constexpr uint32_t kText = 0xD8DEE9;
    struct Case {
        std::vector<std::string> options;
        std::string movie;  // "": PNG files
        int scale;
        bool lossy;
    };
    const Case cases[] = {
        {{"-png"}, "", 1, false},
        {{"-png", "-double"}, "", 2, false},
        {{"-at", "0.3", "-output", "poster.png"}, "", 1, false},
        {{"-output", "dib.avi", "-last", "1"}, "dib.avi", 1, false},  // ending on the final screen
        {{"-output", "double.avi", "-double", "-codec", "zmbv", "-last", "1"}, "double.avi", 2, false},
        {{"-output", "talk.mp4"}, "talk.mp4", 1, true},
        {{"-output", "talk.webm"}, "talk.webm", 1, true},
        {{"-output", "talk.gif"}, "talk.gif", 1, false},
    };
    auto near = [](uint32_t a, uint32_t b, bool lossy) {
        for (int shift : {0, 8, 16}) {
            int difference = static_cast<int>(a >> shift & 0xFF) - static_cast<int>(b >> shift & 0xFF);
            if (std::abs(difference) > (lossy ? 8 : 0)) return false;
        }
        return true;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.back());
        fs::remove_all(dir / "frames");
        fs::create_directory(dir / "frames");
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-width", "30", "-height", "4", "-theme", "nord", "-padding", "6", "-cursor",
                                       "block", "-quiet"});
        RunResult result = run("rec.ttyrec", options);
        ASSERT_EQ(result.status, 0) << result.output;
        // The last frame's colour at (x, y) of the unscaled frame.
        std::vector<fs::path> files = filesIn(dir / "frames", ".png");
        const fs::path file = !c.movie.empty() ? dir / c.movie : files.empty() ? dir / "poster.png" : files.back();
        const LastPicture picture = readLastPicture(file, !c.movie.empty(), c.scale);
        ASSERT_GT(picture.width, 0);
        const int width = picture.width;
        const int height = picture.height;
        const auto& colour = picture.colour;
        EXPECT_EQ(width, 312 * c.scale);
        EXPECT_EQ(height, 92 * c.scale);
        for (auto [x, y] : {std::pair{0, 0}, std::pair{311, 91}, std::pair{5, 50}, std::pair{150, 88}}) {
            EXPECT_TRUE(near(colour(x, y), kBackground, c.lossy)) << x << "," << y << ": " << std::hex << colour(x, y);
        }
        if (c.options[0] != "-at") {
            EXPECT_TRUE(near(colour(6 + 55, 6 + 50), kText, c.lossy)) << std::hex << colour(61, 56);
        }
    }
}

TEST_F(FormatsRunTest, WebmAndMatroskaFilesSayWhichTheyAre) {
    ASSERT_EQ(run("rec.ttyrec", {"-output", "talk.webm", "-codec", "vp9"}).status, 0);
    ASSERT_EQ(run("rec.ttyrec", {"-output", "talk.mkv", "-codec", "vp9"}).status, 0);
    std::string webm = readFile(dir / "talk.webm").substr(0, 64);
    std::string matroska = readFile(dir / "talk.mkv").substr(0, 64);
    EXPECT_NE(webm.find("webm"), std::string::npos);
    EXPECT_EQ(webm.find("matroska"), std::string::npos);
    EXPECT_NE(matroska.find("matroska"), std::string::npos);
}

TEST_F(FormatsRunTest, Mp4IndexComesBeforeTheFrames) {
    ASSERT_EQ(run("rec.ttyrec", {"-output", "talk.mp4"}).status, 0);
    std::vector<std::string> boxes = mp4Boxes(readFile(dir / "talk.mp4"));
    std::vector<std::string> expected{"ftyp", "moov", "free", "mdat"};
    EXPECT_EQ(boxes, expected);  // and nothing after the frames
}

TEST_F(FormatsRunTest, GifFramesLastWholeHundredthsThatAddUp) {
    ASSERT_EQ(run("rec.ttyrec", {"-output", "talk.gif", "-last", "0"}).status, 0);
    DecodedMovie movie = readMovie((dir / "talk.gif").string());
    EXPECT_EQ(av_cmp_q(movie.timeBase, AVRational{1, 100}), 0);
    // 33 ms a frame: each frame starts at the hundredth nearest its own time. A screen is stored
    // once, for its first frame (0 and 4); the last frame, and the one before it, end the GIF on
    // time.
    std::vector<int64_t> expected{0, 13, 17, 20};
    EXPECT_EQ(movie.packetTimes, expected);
    RunResult fast = run("rec.ttyrec", {"-output", "fast.gif", "-fps", "51"});
    EXPECT_EQ(fast.status, 1);
    EXPECT_EQ(fast.errors, "Error: GIF frames last whole hundredths of a second, at least two; -fps must be at "
                           "most 50 for a .gif file.\n");
    EXPECT_FALSE(fs::exists(dir / "fast.gif"));
    EXPECT_EQ(run("rec.ttyrec", {"-output", "fifty.gif", "-fps", "50"}).status, 0);
}

// The basic emulation paints in the theme's colours alone: the GIF's global palette holds all of
// them from the start, the colours no screen of the recording shows too.
TEST_F(FormatsRunTest, BasicGifPaletteIsTheThemesWhole) {
    ASSERT_EQ(run("rec.ttyrec", {"-output", "nord.gif", "-theme", "nord"}).status, 0);
    std::string gif = readFile(dir / "nord.gif");
    ASSERT_GT(gif.size(), 13u);
    ASSERT_TRUE(static_cast<uint8_t>(gif[10]) & 0x80);  // a global colour table
    const size_t entries = size_t{2} << (gif[10] & 7);
    std::set<Colour> table;
    for (size_t i = 0; i < entries && 13 + 3 * i + 2 < gif.size(); ++i) {
        const auto byte = [&](size_t at) { return static_cast<Colour>(static_cast<uint8_t>(gif[13 + 3 * i + at])); };
        table.insert(byte(0) << 16 | byte(1) << 8 | byte(2));
    }
    Theme nord = *builtInTheme("nord");
    for (Colour colour : nord.palette) EXPECT_TRUE(table.contains(colour)) << std::hex << colour;
    EXPECT_TRUE(table.contains(nord.foreground) && table.contains(nord.background));
}

TEST_F(FormatsRunTest, CodecsAContainerCannotHoldAreRefusedBeforeAnything) {
    struct Case {
        std::vector<std::string> options;
        const char* output;
        std::string message;
    };
    const Case cases[] = {
        {{"-codec", "zmbv", "-output", "x.webm"}, "x.webm", "Error: WebM files cannot hold zmbv; choose one of: vp9, av1."},
        {{"-output", "x.mp4", "-codec", "DIB"}, "x.mp4", "Error: MP4 files cannot hold dib; choose one of: h264, vp9, av1."},
        {{"-codec", "h264", "-output", "x.gif"}, "x.gif", "Error: GIF files cannot hold h264; choose one of: gif."},
        {{"-codec", "gif", "-output", "x.mkv"}, "x.mkv",
         "Error: Matroska files cannot hold gif; choose one of: h264, zmbv, ffv1, mjpeg, vp9, av1."},
        {{"-codec", "vp9"}, "output.avi", "Error: AVI files cannot hold vp9; choose one of: dib, zmbv, ffv1, mjpeg, h264."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        RunResult result = run("rec.ttyrec", c.options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, c.message + "\n");
        EXPECT_EQ(result.output.find("Processing file"), std::string::npos) << result.output;
        EXPECT_FALSE(fs::exists(dir / c.output));
    }
    // Without a movie there is no container to hold anything.
    EXPECT_EQ(run("rec.ttyrec", {"-codec", "vp9", "-png"}).status, 0);
}

TEST_F(FormatsRunTest, MovieWithoutFramesIsAnErrorOutsideAvi) {
    RunResult result = run("rec.ttyrec", {"-skip", "100", "-output", "talk.mp4"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "Error: writing talk.mp4 failed: no frame to write, and only an AVI file can be "
                             "left without one\n");
    EXPECT_FALSE(fs::exists(dir / "talk.mp4"));
}

TEST_F(FormatsRunTest, NamesWithoutAKnownExtensionGetTheSameAviAsBefore) {
    for (const char* name : {"movie", "movie.avi", "movie.mp4.bak"}) {
        SCOPED_TRACE(name);
        RunResult result = run("rec.ttyrec", {"-codec", "zmbv", "-output", name});
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(readMovie((dir / name).string()).formatName, "avi");
    }
    EXPECT_EQ(readFile(dir / "movie"), readFile(dir / "movie.avi"));
    EXPECT_EQ(readFile(dir / "movie.mp4.bak"), readFile(dir / "movie.avi"));
}

TEST_F(FormatsRunTest, AsciicastOfTheSameBytesGivesTheSameScreens) {
    struct Case {
        int version;
        std::string header;
    };
    const Case cases[] = {
        {2, R"({"version": 2, "width": 80, "height": 25, "timestamp": 1000})"},
        {3, R"({"version": 3, "term": {"cols": 80, "rows": 25}, "timestamp": 1000})"},
        {1, "{\n  \"version\": 1,\n  \"width\": 80,\n  \"height\": 25"},
    };
    fs::create_directory(dir / "ttyrec");
    installFont(dir / "ttyrec");
    RunResult fromTtyrec = run((dir / "rec.ttyrec").string(), {"-png"}, dir / "ttyrec");
    ASSERT_EQ(fromTtyrec.status, 0) << fromTtyrec.output;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        fs::path in = dir / ("cast" + std::to_string(c.version));
        fs::create_directory(in);
        installFont(in);
        writeFile(dir / "rec.cast", asciicastOf(kRecords, c.header, c.version));
        RunResult fromCast =
            run((dir / "rec.cast").string(), {"-png", "-emulation", "basic", "-record-frames", "-theme", "classic"}, in);
        ASSERT_EQ(fromCast.status, 0) << fromCast.output;
        EXPECT_EQ(linesStartingWith(fromCast.output, "Frame "), linesStartingWith(fromTtyrec.output, "Frame "));
        EXPECT_EQ(linesStartingWith(fromCast.output, "Using"), std::vector<std::string>{"Using terminal size 80 x 25..."});
        size_t compared = 0;
        for (const auto& entry : fs::directory_iterator(dir / "ttyrec" / "frames")) {
            fs::path twin = in / "frames" / entry.path().filename();
            ASSERT_TRUE(fs::exists(twin)) << twin;
            EXPECT_TRUE(readFile(entry.path()) == readFile(twin)) << twin;
            ++compared;
        }
        EXPECT_EQ(compared, 7u);
        EXPECT_EQ(std::distance(fs::directory_iterator(in / "frames"), fs::directory_iterator{}), 7);
    }
}

TEST_F(FormatsRunTest, AsciicastHeaderSizeCountsWhereNoneIsGiven) {
    struct Case {
        std::string header;
        std::vector<std::string> options;
        std::string announced;
        int width;  // of the frames, in pixels
        int height;
    };
    const std::string sized = R"({"version": 2, "width": 40, "height": 10})";
    const Case cases[] = {
        {sized, {}, "Using terminal size 40 x 10...", 400, 200},
        {sized, {"-width", "50"}, "Using terminal size 50 x 10...", 500, 200},
        {sized, {"-HEIGHT", "5"}, "Using terminal size 40 x 5...", 400, 100},
        {sized, {"-width", "90", "-height", "30"}, "Using terminal size 90 x 30...", 900, 600},
        {R"({"version": 2})", {}, "Using terminal size 80 x 25...", 800, 500},
        {R"({"version": 2, "height": 12})", {}, "Using terminal size 80 x 12...", 800, 240},
        {R"({"version": 2, "width": 200, "height": 80})", {}, "Using terminal size 200 x 80...", 2000, 1600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.announced);
        writeFile(dir / "rec.cast", asciicastOf(kRecords, c.header));
        fs::remove(dir / "output.avi");
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-codec", "zmbv", "-record-frames"});
        RunResult result = run("rec.cast", options);
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(linesStartingWith(result.output, "Using"), std::vector<std::string>{c.announced});
        DecodedMovie movie = readMovie((dir / "output.avi").string());
        EXPECT_EQ(movie.width, c.width);
        EXPECT_EQ(movie.height, c.height);
        EXPECT_EQ(movie.frames.size(), 7u);
    }
}

TEST_F(FormatsRunTest, AsciicastThatCannotBePlayedEndsTheRunBeforeAnything) {
    struct Case {
        std::string contents;
        std::vector<std::string> options;
        std::string message;
    };
    const std::string header = R"({"version": 2, "width": 80, "height": 25})";
    const Case cases[] = {
        {header + "\n[0, \"o\", \"a\"]\n[0.5, \"o\"]\n", {}, "Error: rec.cast line 3: an event must be [time, type, data]"},
        {header + "\n[0, \"o\", \"a\"]\n[0.5, \"o\", \"b\xC3\"]\n", {"-png"},
         "Error: rec.cast line 3: not valid JSON (column 15: syntax error while parsing value - invalid string: "
         "ill-formed UTF-8 byte)"},
        {R"({"version": 2, "width": 250, "height": 25})" "\n", {},
         "Error: rec.cast has a terminal width of 250; at most 200 can be converted (-width plays it at another)."},
        {R"({"version": 2, "width": 80, "height": 81})" "\n", {"-width", "100"},
         "Error: rec.cast has a terminal height of 81; at most 80 can be converted (-height plays it at another)."},
        {R"({"version": 4, "term": {"cols": 80, "rows": 25}})" "\n", {},
         "Error: rec.cast line 1: asciicast version 4; only versions 1, 2 and 3 are read"},
        {"{\n  \"version\": 1,\n  \"stdout\": [\n    [0, \"a\"],\n    [-2, \"b\"]\n  ]\n}\n", {},
         "Error: rec.cast line 5: the delay must be a number of seconds from 0 on, not -2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        writeFile(dir / "rec.cast", c.contents);
        RunResult result = run("rec.cast", c.options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, c.message + "\n");
        EXPECT_EQ(result.output.find("Processing file"), std::string::npos) << result.output;
        EXPECT_FALSE(fs::exists(dir / "output.avi"));
    }
    // A size given on the command line plays a header's size that is out of range.
    writeFile(dir / "rec.cast", asciicastOf(kRecords, R"({"version": 2, "width": 250, "height": 25})"));
    RunResult given = run("rec.cast", {"-width", "200", "-png"});
    EXPECT_EQ(given.status, 0) << given.output;
    EXPECT_EQ(linesStartingWith(given.output, "Using"), std::vector<std::string>{"Using terminal size 200 x 25..."});
}

}  // namespace
