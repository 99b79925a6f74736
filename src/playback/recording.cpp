#include "playback/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emission/emission.h"
#include "platform/decompress.h"
#include "platform/interrupts.h"
#include "playback/asciicast.h"
#include "playback/ttyrec_record.h"
#include "render/renderer.h"
#include "terminal/terminal.h"

namespace {

constexpr int64_t kLongestGap = 60000000;  // a pause longer than a minute shrinks to one frame

// The status line of Progress::statusLine.
struct StatusLine {
    size_t records = 0;  // in the whole recording
    size_t done = 0;
    double started = 0;      // monotonic seconds
    double lastShown = -1;
    bool terminal = false;   // standard error is a terminal: the line is rewritten in place
    bool lineOpen = false;   // the line on the terminal waits for its end
    uint32_t firstSeconds = 0;
    int32_t firstMicros = 0;
};

// What -from, -to and the idle time limit come to for the walk, in microseconds.
struct Cut {
    int64_t idle = -1;          // gaps longer than this play as this long; negative: none
    bool hasFrom = false;       // records up to from share the first screen's frame
    int64_t from = 0;
    int64_t to = -1;            // negative: none
    int64_t lastToFrame = -1;   // -realtime: the last frame before -to
    bool reachedTo = false;     // a record after -to ended the walk
};

struct Playback {
    PlaybackOptions options;
    StatusLine status;
    FrameClock clock;
    std::string name;               // of the recording, for messages
    std::vector<uint8_t> recordBuffer;
    AsciicastRecording events;      // what an asciicast recording holds beside its records
    size_t nextResize = 0;
    Cut cut;
    FILE* frameLog = nullptr;
    const uint8_t* dataStart = nullptr;
    const uint8_t* dataEnd = nullptr;
    PlaybackResult result;  // how the walk ended, once it did
};

Playback playback;

// The recording as read, before its walk: the driver reads it before any output is touched, so
// that one that cannot be read costs nothing.
struct ReadAhead {
    bool held = false;
    std::string path;
    std::vector<uint8_t> records;
    AsciicastRecording events;
};

ReadAhead readAhead;

constexpr uint64_t kDefaultStreamLimit = uint64_t{4} << 30;
uint64_t streamByteLimit = kDefaultStreamLimit;

// One record as it stands in the recording buffer.
struct Record {
    uint32_t seconds = 0;
    int32_t micros = 0;
    uint32_t length = 0;  // as the header announces it
    std::span<const uint8_t> payload;
    const uint8_t* next = nullptr;
};

// Where a record falls on the frame clock.
struct Timing {
    int64_t played = 0;  // its time from the first record, after -idle and -speed
    int64_t frame = 0;   // the frame its screen begins at
    bool past = false;   // after -to: not played
};

constexpr int64_t kMicrosPerSecond = 1000000;
// Later than any recording plays, however slowly: the played clock stops there.
constexpr int64_t kLatestPlayed = int64_t{1} << 60;
constexpr double kLatestSeconds = 1e12;

PlaybackResult failure(std::string message) { return {PlaybackEnd::recordingError, std::move(message)}; }

// The header of the record that starts at position, which leaves room for one.
RecordHeader headerAt(const uint8_t* position) { return readRecordHeader(std::span(position, kRecordHeaderSize)); }

void closeLog() {
    if (playback.frameLog != nullptr) std::fclose(playback.frameLog);
    playback.frameLog = nullptr;
}

void openLog() {
    closeLog();
    // A log that cannot be created is not reported.
    if (playback.options.log) playback.frameLog = std::fopen("output", "w");
}

// The walk ends at an interruption, or where the walk it repeats ended.
bool walkCut(int64_t walked) {
    return playback.options.recordLimit >= 0 ? walked >= playback.options.recordLimit : interruptRequested();
}

void logRecord(int32_t frameEnd, uint32_t seconds, int32_t micros, uint32_t length) {
    if (playback.frameLog == nullptr) return;
    static const std::string kRule(80, '-');
    std::fprintf(playback.frameLog, "%s\nFrame %" PRId32 ", %" PRIu32 ".%" PRId32 ", payload %" PRId32 "\n%s\n",
                 kRule.c_str(), frameEnd, seconds, micros, static_cast<int32_t>(length), kRule.c_str());
    std::fflush(playback.frameLog);
}

// A pipe, a device or standard input has no size to ask for: it is read to its end, decoded on
// the way when compressed, up to the stream limit.
std::optional<PlaybackResult> readStream(int fd, const std::string& path) {
    std::vector<uint8_t>& buffer = readAhead.records;
    std::string error;
    bool read = false;
    const size_t limit = static_cast<size_t>(std::min<uint64_t>(streamByteLimit, std::numeric_limits<size_t>::max()));
    // Running out of memory gets its own message rather than the general one.
    std::new_handler general = std::set_new_handler(nullptr);
    try {
        read = readDecompressing(fd, limit, buffer, error);
    } catch (const std::bad_alloc&) {
        std::set_new_handler(general);
        return failure("Error: not enough memory to read " + recordingName(path) + " (memory ran out after " +
                       std::to_string(buffer.size()) + " bytes)");
    }
    std::set_new_handler(general);
    if (!read) return failure("Error: " + recordingName(path) + " " + error);
    return std::nullopt;
}

// A compressed recording is decoded as a whole once read.
std::optional<PlaybackResult> decompressRecording(const std::string& path) {
    if (!isCompressed(readAhead.records)) return std::nullopt;
    std::vector<uint8_t> decoded;
    std::string error;
    if (!decompress(readAhead.records, std::numeric_limits<size_t>::max(), decoded, error)) {
        return failure("Error: " + recordingName(path) + " " + error);
    }
    readAhead.records = std::move(decoded);
    return std::nullopt;
}

// Reads the whole file, decoded when it is compressed; on failure returns the message the user
// sees.
std::optional<PlaybackResult> readRecordingFile(const std::string& path) {
    if (namesStandardInput(path)) return readStream(STDIN_FILENO, path);
    // A named pipe is read like cat reads it: the open waits for its writer.
    int fd = open(path.c_str(), O_RDONLY);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) return failure("errno " + std::to_string(errno));
    if (!S_ISREG(info.st_mode)) {
        std::optional<PlaybackResult> failed = readStream(fd, path);
        close(fd);
        return failed;
    }
    std::vector<uint8_t>& buffer = readAhead.records;
    size_t length = static_cast<size_t>(info.st_size);
    size_t done = 0;
    // A recording too large for memory gets its own message rather than the general one.
    std::new_handler general = std::set_new_handler(nullptr);
    try {
        buffer.resize(length);
    } catch (const std::bad_alloc&) {
        std::set_new_handler(general);
        close(fd);
        return failure("Error: not enough memory to read " + path + " (" + std::to_string(length) + " bytes)");
    }
    std::set_new_handler(general);
    while (done < length) {
        ssize_t got = read(fd, buffer.data() + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done < length) return failure("error in fread()?");
    return decompressRecording(path);
}

// An asciicast recording the driver did not prepare is converted here, into the records the
// walk reads.
std::optional<PlaybackResult> convertIfAsciicast(const std::string& path) {
    if (!isAsciicast(readAhead.records)) return std::nullopt;
    AsciicastRecording recording;
    std::string error;
    if (!convertAsciicast(readAhead.records, recording, error)) {
        return failure("Error: " + recordingName(path) + " " + error);
    }
    readAhead.records = std::move(recording.records);
    readAhead.events = std::move(recording);
    readAhead.events.records.clear();
    return std::nullopt;
}

// True when -idle, -speed or an idle time limit changes the recording's clock.
bool clockAdjusted() { return playback.cut.idle >= 0 || playback.options.speed != 1; }

// Writes the time since the first record as "%02d:%02d:%02d", without a newline: on the clock
// that -from and -to count on.
void printRecordTime(uint32_t seconds, int32_t micros, const Timing& timing) {
    const FrameClock& clock = playback.clock;
    int64_t elapsed = static_cast<int64_t>(seconds) - clock.firstSeconds;
    if (micros < clock.firstMicros) elapsed -= 1;  // borrow: count whole seconds only
    if (clockAdjusted()) elapsed = timing.played / kMicrosPerSecond;
    std::printf("%02" PRId64 ":%02" PRId64 ":%02" PRId64, elapsed / 3600, (elapsed / 60) % 60, elapsed % 60);
}

// The record whose header starts at position; a record cut short by end is played with what
// is there, and said to be cut.
Record readRecord(const uint8_t* position, const uint8_t* end) {
    Record record;
    const RecordHeader header = headerAt(position);
    record.seconds = header.seconds;
    record.micros = static_cast<int32_t>(header.micros);
    record.length = header.length;
    const uint8_t* payload = position + kRecordHeaderSize;
    const size_t available = static_cast<size_t>(end - payload);
    // Pointing past the buffer is not even computed: the record then ends with the file.
    record.next = record.length > available ? end : payload + record.length;
    record.payload = std::span<const uint8_t>(payload, record.next);
    if (record.length > available && playback.options.warnings) {
        std::printf("Warning: the recording is cut at byte offset %td: the record at offset %td has "
                    "%zu of its %" PRIu32 " payload bytes\n",
                    end - playback.dataStart, position - playback.dataStart, available, record.length);
        std::fflush(stdout);
    }
    return record;
}

// A gap between records as it is played: none when time goes back, at most the idle limit,
// divided by -speed.
int64_t playedGap(int64_t gap) {
    if (gap <= 0) return 0;
    if (playback.cut.idle >= 0) gap = std::min(gap, playback.cut.idle);
    if (playback.options.speed != 1) gap = std::llround(static_cast<double>(gap) / playback.options.speed);
    return gap;
}

int64_t microsOf(uint32_t seconds, int32_t micros) { return int64_t{seconds} * kMicrosPerSecond + micros; }

// The first frame whose time, k / fps, is at or after time (microseconds from -from).
int64_t realtimeFrame(int64_t time) {
    if (time <= 0) return 0;
    const int64_t fps = playback.options.fps;
    return time / kMicrosPerSecond * fps + (time % kMicrosPerSecond * fps + kMicrosPerSecond - 1) / kMicrosPerSecond;
}

// Frames a gap takes on the default clock: at least one, and one for a gap over a minute
// where no idle limit is in effect.
int64_t gapFrames(int64_t gap) {
    if (playback.cut.idle < 0 && gap > kLongestGap) gap = 1;
    return std::max<int64_t>(1, gap / playback.options.frameInterval);
}

// Where a record at seconds.micros falls, coming after the records clock has seen. Records up
// to -from share the first screen's frame.
Timing timeRecord(const FrameClock& clock, uint32_t seconds, int32_t micros) {
    const Cut& cut = playback.cut;
    Timing timing;
    int64_t gap = microsOf(seconds, micros) - microsOf(clock.previousSeconds, clock.previousMicros);
    timing.played = clock.haveFirst ? std::min(clock.playedTime + playedGap(gap), kLatestPlayed) : 0;
    const int64_t sinceFrom = timing.played - cut.from;
    if (playback.options.realtime) {
        timing.frame = realtimeFrame(sinceFrom);
        timing.past = cut.to >= 0 && timing.frame > cut.lastToFrame;
    } else {
        timing.past = cut.to >= 0 && sinceFrom > cut.to - cut.from;
        timing.frame = clock.frameStart + 1;
        if (sinceFrom > 0 && clock.screenShown) {
            timing.frame = clock.frameStart + gapFrames(sinceFrom - std::max<int64_t>(clock.playedTime - cut.from, 0));
        }
    }
    return timing;
}

// True when the next record takes the same frame, so that this record's screen is never seen:
// on the -realtime clock, or before -from.
bool sharesFrameWithNext(const Record& record, const Timing& timing, const uint8_t* end) {
    const Cut& cut = playback.cut;
    const bool beforeFrom = cut.hasFrom && timing.played <= cut.from;
    if (!playback.options.realtime && !beforeFrom) return false;
    if (static_cast<size_t>(end - record.next) < kRecordHeaderSize) return false;
    FrameClock after = playback.clock;
    after.previousSeconds = record.seconds;
    after.previousMicros = record.micros;
    after.playedTime = timing.played;
    const RecordHeader header = headerAt(record.next);
    const Timing next = timeRecord(after, header.seconds, static_cast<int32_t>(header.micros));
    if (next.past) return false;
    return playback.options.realtime ? next.frame == timing.frame : next.played <= cut.from;
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string clockText(double seconds) {
    auto whole = static_cast<int64_t>(std::max(seconds, 0.0));
    char text[32];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, whole / 3600, (whole / 60) % 60,
                  whole % 60);
    return text;
}

// Records done of all, frames, recording time, speed against the recording's clock, time left.
void showStatus(const Record& record, const FrameSpan& span, bool last) {
    StatusLine& status = playback.status;
    ++status.done;
    double now = monotonicSeconds();
    // A terminal is redrawn ten times a second at most, anything else written every ten seconds.
    double every = status.terminal ? 0.1 : 10;
    if (!last && status.lastShown >= 0 && now - status.lastShown < every) return;
    status.lastShown = now;
    double wall = std::max(now - status.started, 1e-6);
    double played = static_cast<double>(record.seconds - status.firstSeconds) +
                    static_cast<double>(record.micros - status.firstMicros) / 1e6;
    double left = wall / static_cast<double>(status.done) * static_cast<double>(status.records - status.done);
    char line[200];
    std::snprintf(line, sizeof line, "%zu/%zu records, frame %" PRId32 ", recording %s, %.1fx, %s left", status.done,
                  status.records, span.end, clockText(played).c_str(), played / wall, clockText(left).c_str());
    status.lineOpen = status.terminal && !last;
    std::fprintf(stderr, status.terminal ? "\r%s\x1b[K%s" : "%s%s", line, status.lineOpen ? "" : "\n");
    std::fflush(stderr);
}

// The progress line (or status line) and the log entry.
void reportRecord(const Record& record, const FrameSpan& span, const Timing& timing) {
    if (playback.options.progress == Progress::lines) {
        std::printf("Frame %" PRId32 ", time ", span.end);
        printRecordTime(record.seconds, record.micros, timing);
        std::fputs(span.end < playback.options.skipFrames ? " (skipping) \n" : "...\n", stdout);
        std::fflush(stdout);
    } else if (playback.options.progress == Progress::statusLine) {
        bool last = record.next >= playback.dataEnd;
        showStatus(record, span, last);
    }
    logRecord(span.end, record.seconds, record.micros, record.length);
}

// Counts the records ahead, for the status line.
void startStatus(std::span<const uint8_t> data) {
    StatusLine& status = playback.status;
    status = StatusLine{};
    status.terminal = isatty(STDERR_FILENO) != 0;
    status.started = monotonicSeconds();
    size_t at = 0;
    while (data.size() - at >= kRecordHeaderSize) {
        const RecordHeader header = headerAt(data.data() + at);
        if (status.records == 0) {
            status.firstSeconds = header.seconds;
            status.firstMicros = static_cast<int32_t>(header.micros);
        }
        ++status.records;
        size_t length = header.length;
        if (length > data.size() - at - kRecordHeaderSize) break;
        at += kRecordHeaderSize + length;
    }
}

// The screen shown from the previous record on has had its frames; a record whose screen is
// shown owns the frames from here.
void closeSpan(const Record& record, const FrameSpan& span, const Timing& timing, bool shown) {
    FrameClock& clock = playback.clock;
    if (shown) {
        clock.frameStart = span.end;
        clock.screenShown = true;
    }
    clock.previousSeconds = record.seconds;
    clock.previousMicros = record.micros;
    clock.playedTime = timing.played;
}

// Resizes placed before the record at position take effect, each side unless fixed.
void applyResizes(const uint8_t* position, Terminal& terminal) {
    const std::vector<AsciicastResize>& resizes = playback.events.resizes;
    const auto offset = static_cast<size_t>(position - playback.dataStart);
    while (playback.nextResize < resizes.size() && resizes[playback.nextResize].recordOffset <= offset) {
        const AsciicastResize& resize = resizes[playback.nextResize++];
        const TerminalOptions& now = terminal.options();
        terminal.resize(playback.options.columnsFixed ? now.columns : resize.columns,
                        playback.options.rowsFixed ? now.rows : resize.rows);
    }
}

// A marker's time on the played clock: its distance from the record before it played as a gap.
int64_t markerTime(std::span<const uint8_t> data, const AsciicastMarker& marker) {
    int64_t played = 0;
    int64_t previous = 0;
    size_t at = 0;
    for (size_t index = 0; index < marker.recordIndex && data.size() - at >= kRecordHeaderSize; ++index) {
        const RecordHeader header = headerAt(data.data() + at);
        int64_t time = microsOf(header.seconds, static_cast<int32_t>(header.micros));
        if (index > 0) played = std::min(played + playedGap(time - previous), kLatestPlayed);
        previous = time;
        at += kRecordHeaderSize + std::min<size_t>(header.length, data.size() - at - kRecordHeaderSize);
    }
    return marker.recordIndex == 0 ? 0 : played + playedGap(marker.time - previous);
}

// The idle limit, -from and -to in microseconds on the played clock; a marker that is not there
// ends the walk before it starts.
std::optional<PlaybackResult> startCut(std::span<const uint8_t> data) {
    const PlaybackOptions& options = playback.options;
    Cut& cut = playback.cut;
    cut = Cut{};
    if (options.idleLimit >= 0) {
        cut.idle = options.idleLimit;
    } else if (playback.events.idleTimeLimit) {
        cut.idle = std::llround(std::min(*playback.events.idleTimeLimit, kLatestSeconds) * kMicrosPerSecond);
    }
    const std::vector<AsciicastMarker>& markers = playback.events.markers;
    auto resolve = [&](const TimePoint& point, int64_t& micros) -> std::optional<PlaybackResult> {
        if (!point.given) return std::nullopt;
        micros = point.micros;
        if (point.marker == 0) return std::nullopt;
        if (static_cast<size_t>(point.marker) > markers.size()) {
            return failure("Error: " + recordingName(playback.name) + " has no marker " + std::to_string(point.marker) +
                           " (it has " + std::to_string(markers.size()) + ")");
        }
        micros = markerTime(data, markers[static_cast<size_t>(point.marker) - 1]);
        return std::nullopt;
    };
    if (std::optional<PlaybackResult> failed = resolve(options.from, cut.from)) return failed;
    cut.hasFrom = options.from.given;
    if (!options.poster) {
        if (std::optional<PlaybackResult> failed = resolve(options.to, cut.to)) return failed;
    }
    // -realtime shows time from -from up to, not including, -to.
    if (cut.to >= 0) cut.lastToFrame = realtimeFrame(cut.to - cut.from) - 1;
    return std::nullopt;
}

// At the end the final screen fills the frames up to -to, and then -last's.
void showFinalScreen(const PlaybackStages& stages) {
    const FrameClock& clock = playback.clock;
    const Cut& cut = playback.cut;
    if (!clock.screenShown || playback.options.poster) return;
    const int64_t screenFrame = clock.frameStart;
    int64_t lastFrame = screenFrame - 1;  // a movie ends before the final screen's own frame
    if (cut.reachedTo) {
        lastFrame = playback.options.realtime
                        ? cut.lastToFrame
                        : screenFrame - 1 + gapFrames(cut.to - std::max(clock.playedTime, cut.from));
    }
    lastFrame = std::min<int64_t>(lastFrame + playback.options.finalFrames, std::numeric_limits<int32_t>::max() - 1);
    if (lastFrame < screenFrame) return;
    const PaintResult painted = stages.painter.paint(stages.terminal);
    if (!painted.painted) return;  // unchanged: painting it again reports that nothing changed
    stages.emission.emitFinalFrames(stages.painter.frame(), painted.changes,
                                    {static_cast<int32_t>(screenFrame), static_cast<int32_t>(lastFrame + 1)});
}

bool stopLimitReached(const FrameSpan& span) {
    return playback.options.stopFrame > 0 && span.end >= playback.options.stopFrame;
}

}  // namespace

const uint8_t* stepRecord(const uint8_t* position, const uint8_t* end, const PlaybackStages& stages) {
    applyResizes(position, stages.terminal);
    const Record record = readRecord(position, end);
    FrameClock& clock = playback.clock;
    if (!clock.haveFirst) {
        clock.haveFirst = true;
        clock.firstSeconds = clock.previousSeconds = record.seconds;
        clock.firstMicros = clock.previousMicros = record.micros;
    }
    const Timing timing = timeRecord(clock, record.seconds, record.micros);
    if (timing.past) {
        playback.cut.reachedTo = true;
        return end;
    }
    if (timing.frame > std::numeric_limits<int32_t>::max()) {
        if (playback.options.warnings) {
            std::printf("Warning: frame numbers would pass %" PRId32 "; the rest of the recording is not played\n",
                        std::numeric_limits<int32_t>::max());
            std::fflush(stdout);
        }
        return end;
    }
    const FrameSpan span{clock.frameStart, static_cast<int32_t>(timing.frame)};
    clock.frameEnd = span.end;
    reportRecord(record, span, timing);

    stages.terminal.feed(record.payload);
    // Only the last screen of a frame is painted and shown.
    const bool shown = !sharesFrameWithNext(record, timing, end);
    if (shown) {
        const PaintResult painted = stages.painter.paint(stages.terminal);
        if (!painted.painted) {
            playback.result.end = PlaybackEnd::fontMissing;
            return end;
        }
        stages.emission.emitFrames(stages.painter.frame(), painted.changes, span);
    }

    closeSpan(record, span, timing, shown);
    if (shown && stopLimitReached(span)) {
        playback.result.end = PlaybackEnd::stopLimit;
        return end;
    }
    if (shown && playback.options.poster) return end;
    return record.next;
}

void startPlayback(const PlaybackOptions& options) {
    closeLog();
    playback = Playback{};
    playback.options = options;
}

void setStreamLimit(uint64_t bytes) { streamByteLimit = bytes; }

uint64_t streamLimit() { return streamByteLimit; }

const FrameClock& frameClock() { return playback.clock; }

bool namesStandardInput(const std::string& path) { return path == "-"; }

std::string recordingName(const std::string& path) { return namesStandardInput(path) ? "standard input" : path; }

PlaybackResult readRecording(const std::string& path) {
    readAhead = ReadAhead{};
    if (path.empty()) return failure("Error: no input ttyrec specified?");
    if (takePreparedAsciicast(path, readAhead.events)) {
        readAhead.records = std::move(readAhead.events.records);
        readAhead.events.records.clear();
    } else {
        std::optional<PlaybackResult> failed = readRecordingFile(path);
        if (!failed) failed = convertIfAsciicast(path);
        if (failed) {
            readAhead = ReadAhead{};
            return *failed;
        }
    }
    readAhead.held = true;
    readAhead.path = path;
    return {};
}

PlaybackResult loadRecording(const std::string& path, const PlaybackStages& stages) {
    if (!readAhead.held || readAhead.path != path) {
        PlaybackResult read = readRecording(path);
        if (read.end != PlaybackEnd::finished) return read;
    }
    playback.clock = FrameClock{};
    playback.name = path;
    playback.recordBuffer = std::move(readAhead.records);
    playback.events = std::move(readAhead.events);
    readAhead = ReadAhead{};
    openLog();
    return walkRecording(playback.recordBuffer, stages);
}

PlaybackResult walkAgain(const PlaybackOptions& options, const PlaybackStages& stages) {
    std::vector<uint8_t> records = std::move(playback.recordBuffer);
    AsciicastRecording events = std::move(playback.events);
    std::string name = std::move(playback.name);
    startPlayback(options);
    playback.recordBuffer = std::move(records);
    playback.events = std::move(events);
    playback.name = std::move(name);
    openLog();
    return walkRecording(playback.recordBuffer, stages);
}

PlaybackResult walkRecording(std::span<const uint8_t> data, const PlaybackStages& stages) {
    const uint8_t* position = data.data();
    const uint8_t* end = position + data.size();
    playback.dataStart = position;
    playback.dataEnd = end;
    playback.result = PlaybackResult{};
    playback.nextResize = 0;
    if (std::optional<PlaybackResult> failed = startCut(data)) return *failed;
    if (playback.options.progress == Progress::statusLine) startStatus(data);
    int64_t walked = 0;
    while (position < end && !walkCut(walked)) {
        if (static_cast<size_t>(end - position) < kRecordHeaderSize) {
            if (playback.options.warnings) {
                std::printf("Warning: the recording is cut at byte offset %td: the %td bytes from offset %td "
                            "are too short for a record header and are ignored\n",
                            end - playback.dataStart, end - position, position - playback.dataStart);
                std::fflush(stdout);
            }
            break;
        }
        position = stepRecord(position, end, stages);
        ++walked;
    }
    playback.result.records = walked;
    if (playback.result.end == PlaybackEnd::finished && !walkCut(walked)) showFinalScreen(stages);
    if (playback.status.lineOpen) std::fputc('\n', stderr);
    playback.status.lineOpen = false;
    return playback.result;
}

void resetPlayback() {
    closeLog();
    playback = Playback{};
    readAhead = ReadAhead{};
    streamByteLimit = kDefaultStreamLimit;
}
