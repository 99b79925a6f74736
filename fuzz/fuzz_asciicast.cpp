// Arbitrary bytes as an asciicast recording: detected, converted, and the records walked.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "driver/driver.h"
#include "driver/settings.h"
#include "emission/emission.h"
#include "fuzz_support.h"
#include "playback/asciicast.h"
#include "playback/recording.h"
#include "terminal/screen_grid.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    if (!isAsciicast(bytes)) return 0;
    AsciicastRecording recording;
    std::string error;
    if (!convertAsciicast(bytes, recording, error)) return 0;
    resetSettings();
    settings.writeFrames = false;
    startStages(settings);
    resetGrid();
    resetEmission();
    walkRecording(recording.records);
    return 0;
}
