// Arbitrary bytes as a recording: walked, interpreted and rendered; no frame is written.

#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/driver.h"
#include "driver/settings.h"
#include "emission/emission.h"
#include "fuzz_support.h"
#include "playback/recording.h"
#include "terminal/screen_grid.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetSettings();
    settings.writeFrames = false;
    startStages(settings);
    resetGrid();
    resetEmission();
    walkRecording(std::span(data, size));
    return 0;
}
