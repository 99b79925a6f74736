// Arbitrary bytes as a recording, end to end as a run takes it: walked, interpreted, painted and
// emitted (no frame file is written). Inputs of odd length are played with the xterm emulation,
// the others with the basic one, so that both renderers are reached.

#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/driver.h"
#include "driver/settings.h"
#include "fuzz_support.h"
#include "playback/recording.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    RunSettings settings;
    settings.writeFrames = false;
    startStages(settings);
    return 0;
}

// The surfaces and what was painted on them carry over from input to input, as from record to
// record; the terminal and the clock start afresh.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    startTerminal({.emulation = size % 2 == 1 ? Emulation::xterm : Emulation::basic});
    resetGrid();
    startPlayback({});
    walkRecording(std::span(data, size));
    return 0;
}
