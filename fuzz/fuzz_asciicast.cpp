// Arbitrary bytes as an asciicast recording of any version: detected, converted, the events beside
// the records checked, and the records fed to the terminal with the resizes between them, the grid
// checked after each. Inputs of odd length go to the xterm emulation, the others to the basic one,
// so that both meet what asciicast recordings hold. Nothing is painted.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "grid_checks.h"
#include "playback/asciicast.h"
#include "playback/ttyrec_record.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    if (!isAsciicast(bytes)) return 0;
    AsciicastRecording recording;
    std::string error;
    if (!convertAsciicast(bytes, recording, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (!error.empty() || recording.version < 1 || recording.version > 3) std::abort();
    // The records are whole, each event between records names where the next record starts, and
    // the largest size holds every resize.
    const std::span<const uint8_t> records(recording.records);
    std::vector<size_t> starts;
    for (size_t at = 0; at < records.size();) {
        if (records.size() - at < kRecordHeaderSize) std::abort();
        starts.push_back(at);
        const size_t length = readRecordHeader(records.subspan(at)).length;
        if (length > records.size() - at - kRecordHeaderSize) std::abort();
        at += kRecordHeaderSize + length;
    }
    starts.push_back(records.size());
    auto placed = [&](size_t index, size_t offset) { return index < starts.size() && starts[index] == offset; };
    for (const AsciicastResize& resize : recording.resizes) {
        if (!placed(resize.recordIndex, resize.recordOffset) || resize.columns > recording.largestColumns ||
            resize.rows > recording.largestRows || resize.columns < 1 || resize.rows < 1) {
            std::abort();
        }
    }
    for (const AsciicastMarker& marker : recording.markers) {
        if (!placed(marker.recordIndex, marker.recordOffset)) std::abort();
    }
    if (recording.endTime < recording.startTime) std::abort();
    if (recording.columns > recording.largestColumns || recording.rows > recording.largestRows) std::abort();

    const bool xterm = size % 2 == 1;
    // The driver refuses a size beyond the grid's storage.
    Terminal terminal({.columns = recording.columns > 0 ? std::min(recording.columns, kGridColumns) : 80,
                       .rows = recording.rows > 0 ? std::min(recording.rows, kGridRows) : 25,
                       .emulation = xterm ? Emulation::xterm : Emulation::basic});
    size_t nextResize = 0;
    for (size_t index = 0; index + 1 < starts.size(); ++index) {
        while (nextResize < recording.resizes.size() && recording.resizes[nextResize].recordIndex <= index) {
            const AsciicastResize& resize = recording.resizes[nextResize++];
            terminal.resize(resize.columns, resize.rows);
        }
        terminal.feed(records.subspan(starts[index] + kRecordHeaderSize,
                                     starts[index + 1] - starts[index] - kRecordHeaderSize));
        if (xterm) {
            checkXtermCursor(terminal);
        } else {
            checkBasicPen(terminal.grid());
        }
    }
    if (xterm) {
        checkXtermScreen(terminal);
    } else {
        checkBasicGrid(terminal.grid());
    }
    return 0;
}
