// Arbitrary bytes as a ttyrec recording, walked by playback under options the first 16 bytes
// choose (emulation, -fps, -realtime, -idle, -speed, -from, -to, -at, -stop, -last). Painting
// and emission are replaced here by checks: each screen handed to painting is checked (its
// cells at the end), and the frame spans must follow one another without gap or overlap.
// Nothing is painted or written.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz_support.h"
#include "grid_checks.h"
#include "playback/playback.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "walk_stand_ins.h"

namespace {

constexpr size_t kOptionBytes = 16;

uint32_t read24(const uint8_t* bytes) { return bytes[0] | bytes[1] << 8 | static_cast<uint32_t>(bytes[2]) << 16; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kOptionBytes) return 0;
    const uint8_t flags = data[0];
    walkChecks = WalkChecks{};
    if (flags & 0x40) walkChecks.failingPaint = data[13] % 8;
    Terminal terminal({.columns = 1 + data[14] % 200,
                       .rows = 1 + data[15] % 80,
                       .emulation = (flags & 0x20) ? Emulation::xterm : Emulation::basic});
    Painter painter(RenderOptions{});
    Emission emission(EmissionOptions{});
    PlaybackOptions options;
    options.fps = 1 + data[1] * 4;
    options.frameInterval = 1000000 / options.fps;
    options.progress = Progress::none;
    options.realtime = flags & 0x01;
    if (flags & 0x02) options.from = {.given = true, .micros = int64_t{read24(data + 6)} * 10000};
    if (flags & 0x04) options.to = {.given = true, .micros = int64_t{read24(data + 9)} * 10000};
    options.poster = (flags & 0x08) && options.from.given;
    if (options.poster) options.to = {};
    if (flags & 0x10) options.idleLimit = int64_t{read24(data + 3)} * 1000;
    if (flags & 0x80) options.speed = std::pow(10.0, data[2] / 255.0 * 6 - 2);  // 0.01 to 10000
    options.stopFrame = data[12] == 0 ? -1 : data[12] * 8;
    options.finalFrames = data[13];
    options.log = false;
    Recording recording;
    recording.ttyrec.assign(data + kOptionBytes, data + size);
    EventSource events(recording);
    PlaybackStages stages{terminal, painter, emission};
    Playback(options).walk(events, stages);
    if (terminal.options().emulation == Emulation::basic) {
        checkBasicGrid(terminal.grid());
    } else {
        checkXtermScreen(terminal);
    }
    return 0;
}
