// Stages hold all their state: two terminal and painter pairs fed different recordings on two
// threads paint what each pair paints alone, and two whole conversions on two threads, each
// writing in its own directory, write what they write one after the other.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "fixtures.h"
#include "render/renderer.h"
#include "terminal/terminal.h"
#include "test_support.h"

namespace {

// A digest of the frame after every payload.
std::vector<uint64_t> paintAll(const std::vector<std::string>& payloads, Emulation emulation) {
    Terminal terminal({.columns = 80, .rows = 25, .emulation = emulation});
    RenderOptions options;
    options.fontPath = sourcePath("font.txt").string();
    options.cursor = CursorStyle::block;
    Painter painter(options);
    std::vector<uint64_t> digests;
    for (const std::string& payload : payloads) {
        terminal.feed(bytesOf(payload));
        if (!painter.paint(terminal).painted) return {};
        uint64_t digest = 0xCBF29CE484222325u;
        for (uint8_t byte : painter.frame().pixels) digest = (digest ^ byte) * 0x100000001B3u;
        digests.push_back(digest);
    }
    return digests;
}

TEST(ParallelStages, TwoTerminalsAndPaintersOnTwoThreadsPaintAsEachAlone) {
    const std::vector<std::string> demo = ttyrecPayloads(readFile(sourcePath("samples/demo.ttyrec")));
    std::vector<std::string> reversed(demo.rbegin(), demo.rend());
    for (Emulation emulation : {Emulation::basic, Emulation::xterm}) {
        SCOPED_TRACE(emulation == Emulation::xterm ? "xterm" : "basic");
        const std::vector<uint64_t> first = paintAll(demo, emulation);
        const std::vector<uint64_t> second = paintAll(reversed, emulation);
        ASSERT_EQ(first.size(), demo.size());
        ASSERT_NE(first, second);
        std::vector<uint64_t> firstThreaded;
        std::vector<uint64_t> secondThreaded;
        std::thread one([&] { firstThreaded = paintAll(demo, emulation); });
        std::thread other([&] { secondThreaded = paintAll(reversed, emulation); });
        one.join();
        other.join();
        EXPECT_EQ(firstThreaded, first);
        EXPECT_EQ(secondThreaded, second);
    }
}

// Every file a conversion left in its directory, by name.
using Files = std::map<std::string, std::string>;

Files convert(const fs::path& directory, std::vector<std::string> arguments) {
    fs::create_directory(directory);
    RunSettings defaults;
    defaults.directory = directory;
    arguments.insert(arguments.begin(), "reelcap");
    EXPECT_EQ(runConverter(arguments, defaults), 0) << directory;
    Files files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        files[entry.path().filename().string()] = readFile(entry.path());
    }
    return files;
}

// The working directory holds font.txt for the basic emulation's run.
class ConversionsSideBySide : public FontSearchTest {};

TEST_F(ConversionsSideBySide, TwoThreadsWriteTheFilesOfTwoRunsOneAfterTheOther) {
    installFont(dir_);
    const std::vector<std::string> gif = {sourcePath("samples/demo.ttyrec").string(), "-quiet", "-output", "movie.gif",
                                          "-stop", "40"};
    const std::vector<std::string> mp4 = {sourcePath("samples/demo.cast").string(), "-quiet", "-emulation", "xterm",
                                          "-font", "DejaVu Sans Mono", "-output", "movie.mp4", "-stop", "40"};
    const Files gifAlone = convert("gif-alone", gif);
    const Files mp4Alone = convert("mp4-alone", mp4);
    ASSERT_TRUE(gifAlone.contains("movie.gif") && gifAlone.contains("output"));
    ASSERT_TRUE(mp4Alone.contains("movie.mp4") && mp4Alone.contains("output"));
    EXPECT_FALSE(gifAlone.at("output").empty());

    Files gifThreaded;
    Files mp4Threaded;
    std::thread one([&] { gifThreaded = convert("gif-threaded", gif); });
    std::thread other([&] { mp4Threaded = convert("mp4-threaded", mp4); });
    one.join();
    other.join();
    EXPECT_TRUE(gifThreaded == gifAlone);
    EXPECT_TRUE(mp4Threaded == mp4Alone);
    // Nothing of either run went to the working directory.
    std::set<std::string> here;
    for (const auto& entry : fs::directory_iterator(dir_)) here.insert(entry.path().filename().string());
    EXPECT_EQ(here, (std::set<std::string>{"font.txt", "gif-alone", "gif-threaded", "mp4-alone", "mp4-threaded"}));
}

}  // namespace
