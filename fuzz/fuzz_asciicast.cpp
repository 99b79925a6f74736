// Arbitrary bytes as an asciicast recording of any version: detected, converted, its events
// checked, and fed to the terminal in order, output and resizes, the grid checked after each
// output. Inputs of odd length go to the xterm emulation, the others to the basic one,
// so that both meet what asciicast recordings hold. Nothing is painted.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "grid_checks.h"
#include "playback/asciicast.h"
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
    // Every event lies between the start and the end, its time fits a record's stamp, and the
    // largest size holds every resize.
    for (const StoredEvent& event : recording.events) {
        if (event.time < recording.startTime || event.time > recording.endTime ||
            event.time / 1000000 > int64_t{UINT32_MAX}) {
            std::abort();
        }
        if (event.kind == EventKind::resize &&
            (event.columns > recording.largestColumns || event.rows > recording.largestRows || event.columns < 1 ||
             event.rows < 1)) {
            std::abort();
        }
    }
    if (recording.endTime < recording.startTime) std::abort();
    if (recording.columns > recording.largestColumns || recording.rows > recording.largestRows) std::abort();

    const bool xterm = size % 2 == 1;
    // The driver refuses a size beyond the grid's storage.
    Terminal terminal({.columns = recording.columns > 0 ? std::min(recording.columns, kGridColumns) : 80,
                       .rows = recording.rows > 0 ? std::min(recording.rows, kGridRows) : 25,
                       .emulation = xterm ? Emulation::xterm : Emulation::basic});
    Recording held;
    held.format = RecordingFormat::asciicast;
    held.asciicast = std::move(recording);
    EventSource events(held);
    while (std::optional<Event> event = events.next()) {
        if (event->kind == EventKind::resize) terminal.resize(event->columns, event->rows);
        if (event->kind != EventKind::output) continue;
        terminal.feed(event->data);
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
