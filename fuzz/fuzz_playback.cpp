// Arbitrary bytes after 8 option bytes as a recording (asciicast when they are one, else ttyrec)
// walked with what shows where it is: the progress lines, the status line or nothing, the log,
// -keys' caption, and -from, -to or -at at a time or a marker, under options the option bytes
// choose. Painting and emission are replaced by checks (walk_stand_ins.h); the markers the walk
// places must come in the recording's order, on frames that do not go back, and a marker named
// that the recording lacks must end the walk before it starts.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "playback/asciicast.h"
#include "playback/playback.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "walk_stand_ins.h"

namespace {

constexpr size_t kOptionBytes = 8;

// -from, -to or -at from one byte: the marker value % 8 when asked, else tenths of seconds.
TimePoint timeOf(uint8_t value, bool marker) {
    if (marker) return {.given = true, .micros = 0, .marker = value % 8};
    return {.given = true, .micros = int64_t{value} * 100000};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kOptionBytes) return 0;
    const uint8_t flags = data[0];
    const uint8_t more = data[1];
    const std::span<const uint8_t> bytes(data + kOptionBytes, size - kOptionBytes);
    Recording recording;
    recording.name = "recording";
    if (isAsciicast(bytes)) {
        std::string error;
        if (!convertAsciicast(bytes, recording.asciicast, error)) return 0;
        recording.format = RecordingFormat::asciicast;
    } else {
        recording.ttyrec.assign(bytes.begin(), bytes.end());
    }

    PlaybackOptions options;
    options.fps = 1 + data[2] % 60;
    options.frameInterval = 1000000 / options.fps;
    options.realtime = flags & 0x01;
    options.progress = more % 3 == 0 ? Progress::lines : more % 3 == 1 ? Progress::statusLine : Progress::none;
    options.log = more & 0x04;
    options.skipFrames = data[7] % 16;
    if (flags & 0x02) options.from = timeOf(data[3], more & 0x08);
    if (flags & 0x04) options.to = timeOf(data[4], more & 0x10);
    options.poster = (flags & 0x08) && options.from.given;
    if (flags & 0x10) options.idleLimit = int64_t{data[5]} * 20000;
    if (flags & 0x80) options.speed = std::pow(10.0, data[5] / 255.0 * 4 - 2);  // 0.01 to 100
    options.keys.on = flags & 0x20;
    options.keys.symbols = !(flags & 0x40);
    options.keys.hold = int64_t{data[6]} * 20000;
    options.keys.mostCells = data[6] % 50;
    options.finalFrames = data[6] % 8;
    options.stopFrame = (more & 0x20) ? data[7] : -1;
    options.recordLimit = (more & 0x40) ? data[7] % 32 : -1;
    options.columnsFixed = more & 0x80;
    options.rowsFixed = more & 0x80;

    walkChecks = WalkChecks{};
    const AsciicastRecording& asciicast = recording.asciicast;
    Terminal terminal({.columns = asciicast.columns > 0 ? std::min(asciicast.columns, kGridColumns) : 80,
                       .rows = asciicast.rows > 0 ? std::min(asciicast.rows, kGridRows) : 25});
    Painter painter(RenderOptions{});
    Emission emission(EmissionOptions{});
    KeyCaption caption(RenderOptions{}, options.keys.mostCells);
    PlaybackStages stages{terminal, painter, emission};
    if (options.keys.on) stages.caption = &caption;
    EventSource events(recording);
    const PlaybackResult result = Playback(options).walk(events, stages);

    const size_t markers = markerCount(recording);
    const bool missing = (options.from.given && static_cast<size_t>(options.from.marker) > markers) ||
                         (!options.poster && options.to.given && static_cast<size_t>(options.to.marker) > markers);
    if (missing != (result.end == PlaybackEnd::recordingError) || missing == result.message.empty()) std::abort();
    int32_t number = 0;
    int64_t frame = 0;
    for (const VideoMarker& marker : result.markers) {
        if (marker.number <= number || static_cast<size_t>(marker.number) > markers || marker.frame < frame) {
            std::abort();
        }
        number = marker.number;
        frame = marker.frame;
    }
    checkBasicGrid(terminal.grid());
    return 0;
}
