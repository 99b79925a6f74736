// Arbitrary bytes as a recording: walked, interpreted and rendered; no frame is written.

#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/driver.h"
#include "driver/settings.h"
#include "fuzz_support.h"
#include "playback/recording.h"
#include "terminal/screen_grid.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    settings.writeFrames = false;
    startStages(settings);
    return 0;
}

// The surfaces and what was painted on them carry over from input to input, as from record to
// record; the grid and the clock start afresh.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetGrid();
    startPlayback({});
    walkRecording(std::span(data, size));
    return 0;
}
