// Whole runs on recordings as people keep them: compressed, piped into standard input, and
// asciicast recordings whose terminal is resized.

#include <gtest/gtest.h>
#include <lodepng.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Twelve records a tenth of a second apart.
std::string sampleRecording() {
    std::string recording;
    for (int i = 0; i < 12; ++i) {
        recording += ttyrecRecord(1700000000 + i / 10, (i % 10) * 100000, "line " + std::to_string(i) + "\r\n");
    }
    return recording;
}

const std::string kCast = "{\"version\": 2, \"width\": 40, \"height\": 10}\n[0, \"o\", \"cast\\r\\n\"]\n"
                          "[0.5, \"o\", \"\\u001b[31mred\"]\n";

struct Image {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<uint8_t> rgba;

    // True when every pixel from (left, top) on is black.
    bool blackFrom(unsigned left, unsigned top) const {
        for (unsigned y = 0; y < height; ++y) {
            for (unsigned x = 0; x < width; ++x) {
                const uint8_t* p = rgba.data() + 4 * (static_cast<size_t>(y) * width + x);
                if ((x >= left || y >= top) && (p[0] | p[1] | p[2]) != 0) return false;
            }
        }
        return true;
    }
};

Image readPng(const fs::path& path) {
    Image image;
    unsigned char* pixels = nullptr;
    EXPECT_EQ(lodepng_decode32_file(&pixels, &image.width, &image.height, path.c_str()), 0u) << path;
    if (pixels != nullptr) {
        image.rgba.assign(pixels, pixels + 4 * static_cast<size_t>(image.width) * image.height);
        std::free(pixels);
    }
    return image;
}

class InputsTest : public RunDirTest {
protected:
    void SetUp() override {
        RunDirTest::SetUp();
        writeFile(dir / "rec.ttyrec", sampleRecording());
        writeFile(dir / "rec.cast", kCast);
    }

    void compress(const Compressor& format, const std::string& from, const std::string& to) {
        std::string command = std::string("cd '") + dir.string() + "' && " + format.command + " < " + from + " > " + to;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // "SOURCE | reelcap - OPTIONS" run by the shell in dir.
    RunResult runPiped(const std::string& source, const std::string& options) {
        return runCommand("cd '" + dir.string() + "' && " + source + " | " + REELCAP_BINARY + " - " + options);
    }
};

TEST_F(InputsTest, CompressedRecordingsGiveThePlainFrames) {
    ASSERT_EQ(runReelcap(dir, {"rec.ttyrec", "-codec", "zmbv", "-output", "plain.avi"}).status, 0);
    ASSERT_EQ(runReelcap(dir, {"rec.cast", "-png"}).status, 0);
    fs::rename(dir / "frames", dir / "plain-frames");
    for (const Compressor& format : kCompressors) {
        SCOPED_TRACE(format.command);
        // Told by its bytes, whatever its name.
        const std::string name = &format == kCompressors.data() ? "packed" : std::string("rec.ttyrec") + format.extension;
        compress(format, "rec.ttyrec", name);
        RunResult result = runReelcap(dir, {name, "-codec", "zmbv", "-output", "packed.avi"});
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(readFile(dir / "packed.avi") == readFile(dir / "plain.avi")) << name;
        // An asciicast recording's header counts once decoded.
        compress(format, "rec.cast", "rec.cast.packed");
        RunResult cast = runReelcap(dir, {"rec.cast.packed", "-png"});
        EXPECT_NE(cast.output.find("Using terminal size 40 x 10..."), std::string::npos) << cast.output;
        for (const char* frame : {"0000001.png", "0000016.png"}) {
            EXPECT_TRUE(readFile(dir / "frames" / frame) == readFile(dir / "plain-frames" / frame)) << frame;
        }
        fs::remove_all(dir / "frames");
    }
}

TEST_F(InputsTest, CorruptCompressedRecordingsEndTheRunBeforeAnything) {
    compress(kCompressors[0], "rec.ttyrec", "rec.ttyrec.gz");
    std::string packed = readFile(dir / "rec.ttyrec.gz");
    writeFile(dir / "cut.gz", packed.substr(0, packed.size() / 2));
    RunResult cut = runReelcap(dir, {"cut.gz"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.errors, "Error: cut.gz corrupt gzip data (truncated gzip input)\n");
    EXPECT_EQ(cut.output.find("Processing file"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "output.avi"));

    RunResult piped = runPiped("head -c 100 rec.ttyrec.gz", "");
    EXPECT_EQ(piped.status, 1);
    EXPECT_NE(piped.output.find("Error: standard input corrupt gzip data"), std::string::npos) << piped.output;
    EXPECT_FALSE(fs::exists(dir / "output.avi"));
}

TEST_F(InputsTest, StandardInputIsReadFromAPipe) {
    ASSERT_EQ(runReelcap(dir, {"rec.ttyrec", "-codec", "zmbv", "-output", "plain.avi"}).status, 0);
    compress(kCompressors[1], "rec.ttyrec", "rec.ttyrec.bz2");
    for (const char* source : {"cat rec.ttyrec", "cat rec.ttyrec.bz2"}) {
        SCOPED_TRACE(source);
        RunResult result = runPiped(source, "-codec zmbv -output piped.avi");
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("Processing file \"-\""), std::string::npos);
        EXPECT_TRUE(readFile(dir / "piped.avi") == readFile(dir / "plain.avi"));
    }
    // An asciicast recording from a pipe: read once, for its size and for its records.
    RunResult cast = runPiped("cat rec.cast", "-png -record-frames");
    EXPECT_EQ(cast.status, 0) << cast.output;
    EXPECT_NE(cast.output.find("Using terminal size 40 x 10..."), std::string::npos) << cast.output;
    EXPECT_NE(cast.output.find("Frame 16, time 00:00:00..."), std::string::npos) << cast.output;
}

TEST_F(InputsTest, ResizedTerminalsFillTheLargestPicture) {
    // 20 x 5, then 30 x 8 with text in its far corner, then 10 x 3.
    const std::string cast = "{\"version\": 3, \"term\": {\"cols\": 20, \"rows\": 5}}\n"
                             "[0, \"o\", \"\\u001b[41mfirst\\u001b[0m\"]\n[0.5, \"r\", \"30x8\"]\n"
                             "[0, \"o\", \"\\u001b[8;25H\\u001b[42mcorner\\u001b[0m\"]\n[0.5, \"r\", \"10x3\"]\n"
                             "[0, \"o\", \"\\u001b[H\\u001b[44mx\\u001b[0m\"]\n";
    writeFile(dir / "resize.cast", cast);
    struct Case {
        std::vector<std::string> options;
        const char* size;
        unsigned width;  // of the picture
        unsigned height;
        unsigned firstWidth;  // of the terminal at each record: what lies beyond is black
        unsigned firstHeight;
        unsigned lastWidth;
        unsigned lastHeight;
    };
    const Case cases[] = {
        {{"-emulation", "basic"}, "20 x 5", 300, 160, 200, 100, 100, 60},
        {{"-emulation", "xterm"}, "20 x 5", 300, 160, 200, 100, 100, 60},
        {{"-width", "25"}, "25 x 5", 250, 160, 250, 100, 250, 60},
        // A fixed size: the text meant for the far corner lands in the fixed one's.
        {{"-emulation", "xterm", "-width", "25", "-height", "6"}, "25 x 6", 250, 120, 250, 120, 250, 120},
    };
    for (const Case& c : cases) {
        const std::string name = "run" + std::to_string(&c - cases);
        SCOPED_TRACE(name);
        fs::path runDir = dir / name;
        for (const char* paths : {"fast", "plain"}) {
            fs::create_directories(runDir / paths);
            installFont(runDir / paths);
            std::vector<std::string> options = c.options;
            options.insert(options.begin(), (dir / "resize.cast").string());
            options.insert(options.end(), {"-png", "-record-frames", "-theme", "classic"});
            std::vector<std::string> environment;
            if (std::string(paths) == "plain") environment.push_back("REELCAP_PLAIN_PATHS=1");
            RunResult result = runReelcap(runDir / paths, options, environment);
            ASSERT_EQ(result.status, 0) << result.output;
            EXPECT_NE(result.output.find(std::string("Using terminal size ") + c.size + "..."), std::string::npos);
        }
        // Frames 1, 16 and 31, the plain way and the fast way alike.
        for (const char* frame : {"0000001.png", "0000016.png", "0000031.png"}) {
            EXPECT_TRUE(readFile(runDir / "fast/frames" / frame) == readFile(runDir / "plain/frames" / frame)) << frame;
        }
        Image first = readPng(runDir / "fast/frames/0000001.png");
        Image corner = readPng(runDir / "fast/frames/0000016.png");
        Image last = readPng(runDir / "fast/frames/0000031.png");
        EXPECT_EQ(first.width, c.width);
        EXPECT_EQ(first.height, c.height);
        EXPECT_TRUE(first.blackFrom(c.firstWidth, c.firstHeight));
        EXPECT_FALSE(first.blackFrom(0, 0));
        EXPECT_TRUE(last.blackFrom(c.lastWidth, c.lastHeight));
        EXPECT_FALSE(corner.blackFrom(240, 100));
    }
}

}  // namespace
