// Terminals and painters hold all their state: two pairs fed different recordings on two
// threads paint what each pair paints alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
