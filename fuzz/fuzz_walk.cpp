// Arbitrary bytes as a recording, end to end as a run takes it: walked, interpreted, painted and
// emitted (no frame file is written). Inputs of odd length are played with the xterm emulation,
// the others with the basic one, so that both renderers are reached.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "driver/driver.h"
#include "driver/settings.h"
#include "fuzz_support.h"
#include "playback/playback.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

namespace {

std::unique_ptr<RunStages> stages;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    RunSettings settings;
    settings.writeFrames = false;
    stages = startStages(settings);
    return 0;
}

// The surfaces and what was painted on them carry over from input to input, as from record to
// record; the terminal and the walk start afresh.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    stages->terminal = Terminal({.emulation = size % 2 == 1 ? Emulation::xterm : Emulation::basic});
    PlaybackOptions options;
    options.log = false;
    Recording recording;
    recording.ttyrec.assign(data, data + size);
    EventSource events(recording);
    PlaybackStages walked = stages->playback();
    Playback(options).walk(events, walked);
    return 0;
}
