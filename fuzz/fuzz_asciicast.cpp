// Arbitrary bytes as an asciicast recording of any version: detected, converted, the events beside
// the records checked, and the records walked.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

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
    // Each event between records names where the next record starts, and the largest size holds
    // every resize.
    std::vector<size_t> starts;
    for (size_t at = 0; at < recording.records.size();) {
        starts.push_back(at);
        const uint8_t* length = recording.records.data() + at + 8;
        at += 12 + (length[0] | length[1] << 8 | length[2] << 16 | static_cast<size_t>(length[3]) << 24);
    }
    starts.push_back(recording.records.size());
    auto placed = [&](size_t index, size_t offset) { return index < starts.size() && starts[index] == offset; };
    for (const AsciicastResize& resize : recording.resizes) {
        if (!placed(resize.recordIndex, resize.recordOffset) || resize.columns > recording.largestColumns ||
            resize.rows > recording.largestRows) {
            std::abort();
        }
    }
    for (const AsciicastMarker& marker : recording.markers) {
        if (!placed(marker.recordIndex, marker.recordOffset)) std::abort();
    }
    if (recording.endTime < recording.startTime) std::abort();
    resetSettings();
    settings.writeFrames = false;
    startStages(settings);
    resetGrid();
    resetEmission();
    walkRecording(recording.records);
    return 0;
}
