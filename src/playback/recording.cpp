#include "playback/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
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
#include "platform/interrupts.h"
#include "playback/asciicast.h"
#include "render/renderer.h"
#include "terminal/terminal.h"

namespace {

constexpr size_t kHeaderSize = 12;
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

struct Playback {
    PlaybackOptions options;
    StatusLine status;
    FrameClock clock;
    std::vector<uint8_t> recordBuffer;
    FILE* frameLog = nullptr;
    const uint8_t* dataStart = nullptr;
    const uint8_t* dataEnd = nullptr;
    PlaybackResult result;  // how the walk ended, once it did
};

Playback playback;

// One record as it stands in the recording buffer.
struct Record {
    uint32_t seconds = 0;
    int32_t micros = 0;
    uint32_t length = 0;  // as the header announces it
    std::span<const uint8_t> payload;
    const uint8_t* next = nullptr;
};

PlaybackResult failure(std::string message) { return {PlaybackEnd::recordingError, std::move(message)}; }

uint32_t readU32le(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void closeLog() {
    if (playback.frameLog != nullptr) std::fclose(playback.frameLog);
    playback.frameLog = nullptr;
}

void logRecord(int32_t frameEnd, uint32_t seconds, int32_t micros, uint32_t length) {
    if (playback.frameLog == nullptr) return;
    static const std::string kRule(80, '-');
    std::fprintf(playback.frameLog, "%s\nFrame %" PRId32 ", %" PRIu32 ".%" PRId32 ", payload %" PRId32 "\n%s\n",
                 kRule.c_str(), frameEnd, seconds, micros, static_cast<int32_t>(length), kRule.c_str());
    std::fflush(playback.frameLog);
}

// Reads a pipe or device to its end, since its length is not known beforehand.
bool readToEnd(int fd) {
    std::vector<uint8_t>& buffer = playback.recordBuffer;
    buffer.clear();
    constexpr size_t kChunk = 1 << 20;
    while (true) {
        size_t done = buffer.size();
        buffer.resize(done + kChunk);
        ssize_t got = read(fd, buffer.data() + done, kChunk);
        if (got < 0 && errno == EINTR) got = 0;
        if (got < 0) return false;
        buffer.resize(done + static_cast<size_t>(got));
        if (got == 0 && !interruptRequested()) return true;
        if (interruptRequested()) return true;
    }
}

// Reads the whole file; on failure returns the message the user sees.
std::optional<PlaybackResult> readRecordingFile(const std::string& path) {
    // A named pipe is read like cat reads it: the open waits for its writer.
    int fd = open(path.c_str(), O_RDONLY);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) return failure("errno " + std::to_string(errno));
    size_t length = static_cast<size_t>(info.st_size);
    size_t done = 0;
    // A recording too large for memory gets its own message rather than the general one.
    std::new_handler general = std::set_new_handler(nullptr);
    try {
        if (!S_ISREG(info.st_mode)) {
            bool complete = readToEnd(fd);
            length = done = complete ? playback.recordBuffer.size() : length + 1;
        } else {
            playback.recordBuffer.resize(length);
        }
    } catch (const std::bad_alloc&) {
        std::set_new_handler(general);
        close(fd);
        return failure("Error: not enough memory to read " + path + " (" + std::to_string(length) + " bytes)");
    }
    std::set_new_handler(general);
    while (done < length) {
        ssize_t got = read(fd, playback.recordBuffer.data() + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done < length) return failure("error in fread()?");
    return std::nullopt;
}

// An asciicast recording the driver did not prepare is converted here, into the records the
// walk reads.
std::optional<PlaybackResult> convertIfAsciicast(const std::string& path) {
    if (!isAsciicast(playback.recordBuffer)) return std::nullopt;
    AsciicastRecording recording;
    std::string error;
    if (!convertAsciicast(playback.recordBuffer, recording, error)) return failure("Error: " + path + " " + error);
    playback.recordBuffer = std::move(recording.records);
    return std::nullopt;
}

// Writes the time since the first record as "%02d:%02d:%02d", without a newline.
void printRecordTime(uint32_t seconds, int32_t micros) {
    const FrameClock& clock = playback.clock;
    int64_t elapsed = static_cast<int64_t>(seconds) - clock.firstSeconds;
    if (micros < clock.firstMicros) elapsed -= 1;  // borrow: count whole seconds only
    std::printf("%02" PRId64 ":%02" PRId64 ":%02" PRId64, elapsed / 3600, (elapsed / 60) % 60, elapsed % 60);
}

// The record whose header starts at position; a record cut short by end is played with what
// is there, and said to be cut.
Record readRecord(const uint8_t* position, const uint8_t* end) {
    Record record;
    record.seconds = readU32le(position);
    record.micros = static_cast<int32_t>(readU32le(position + 4));
    record.length = readU32le(position + 8);
    const uint8_t* payload = position + kHeaderSize;
    const size_t available = static_cast<size_t>(end - payload);
    // Pointing past the buffer is not even computed: the record then ends with the file.
    record.next = record.length > available ? end : payload + record.length;
    record.payload = std::span<const uint8_t>(payload, record.next);
    if (record.length > available) {
        std::printf("Warning: the recording is cut at byte offset %td: the record at offset %td has "
                    "%zu of its %" PRIu32 " payload bytes\n",
                    end - playback.dataStart, position - playback.dataStart, available, record.length);
        std::fflush(stdout);
    }
    return record;
}

// The frames the record's screen begins at, from the time since the previous record; nothing
// when frame numbers would overflow.
std::optional<FrameSpan> advanceClock(const Record& record) {
    FrameClock& clock = playback.clock;
    if (!clock.haveFirst) {
        clock.haveFirst = true;
        clock.firstSeconds = clock.previousSeconds = record.seconds;
        clock.firstMicros = clock.previousMicros = record.micros;
    }
    int64_t elapsed = (static_cast<int64_t>(record.seconds) - clock.previousSeconds) * 1000000 +
                      (static_cast<int64_t>(record.micros) - clock.previousMicros);
    if (elapsed > kLongestGap) elapsed = 1;
    int64_t frames = elapsed / playback.options.frameInterval;
    if (frames < 1) frames = 1;
    if (clock.frameStart + frames > std::numeric_limits<int32_t>::max()) {
        std::printf("Warning: frame numbers would pass %" PRId32 "; the rest of the recording is not played\n",
                    std::numeric_limits<int32_t>::max());
        std::fflush(stdout);
        return std::nullopt;
    }
    clock.frameEnd = clock.frameStart + static_cast<int32_t>(frames);
    return FrameSpan{clock.frameStart, clock.frameEnd};
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
void reportRecord(const Record& record, const FrameSpan& span) {
    if (playback.options.progress == Progress::lines) {
        std::printf("Frame %" PRId32 ", time ", span.end);
        printRecordTime(record.seconds, record.micros);
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
    while (data.size() - at >= kHeaderSize) {
        if (status.records == 0) {
            status.firstSeconds = readU32le(data.data() + at);
            status.firstMicros = static_cast<int32_t>(readU32le(data.data() + at + 4));
        }
        ++status.records;
        size_t length = readU32le(data.data() + at + 8);
        if (length > data.size() - at - kHeaderSize) break;
        at += kHeaderSize + length;
    }
}

// The screen shown from the previous record on has had its frames; this record's screen owns
// the frames from here.
void closeSpan(const Record& record, const FrameSpan& span) {
    FrameClock& clock = playback.clock;
    clock.frameStart = span.end;
    clock.previousSeconds = record.seconds;
    clock.previousMicros = record.micros;
}

bool stopLimitReached(const FrameSpan& span) {
    return playback.options.stopFrame > 0 && span.end >= playback.options.stopFrame;
}

}  // namespace

const uint8_t* stepRecord(const uint8_t* position, const uint8_t* end) {
    const Record record = readRecord(position, end);
    const std::optional<FrameSpan> span = advanceClock(record);
    if (!span) return end;
    reportRecord(record, *span);

    feedTerminal(record.payload);
    if (!paintScreen()) {
        playback.result.end = PlaybackEnd::fontMissing;
        return end;
    }
    emitFrames(*span);

    closeSpan(record, *span);
    if (stopLimitReached(*span)) {
        playback.result.end = PlaybackEnd::stopLimit;
        return end;
    }
    return record.next;
}

void startPlayback(const PlaybackOptions& options) {
    resetPlayback();
    playback.options = options;
}

const FrameClock& frameClock() { return playback.clock; }

PlaybackResult loadRecording(const std::string& path) {
    if (path.empty()) return failure("Error: no input ttyrec specified?");
    playback.clock = FrameClock{};

    if (!takePreparedAsciicast(path, playback.recordBuffer)) {
        if (std::optional<PlaybackResult> failed = readRecordingFile(path)) return *failed;
        if (std::optional<PlaybackResult> failed = convertIfAsciicast(path)) return *failed;
    }
    closeLog();
    playback.frameLog = std::fopen("output", "w");  // a log that cannot be created is not reported

    return walkRecording(playback.recordBuffer);
}

PlaybackResult walkRecording(std::span<const uint8_t> data) {
    const uint8_t* position = data.data();
    const uint8_t* end = position + data.size();
    playback.dataStart = position;
    playback.dataEnd = end;
    playback.result = PlaybackResult{};
    if (playback.options.progress == Progress::statusLine) startStatus(data);
    while (position < end && !interruptRequested()) {
        if (static_cast<size_t>(end - position) < kHeaderSize) {
            std::printf("Warning: the recording is cut at byte offset %td: the %td bytes from offset %td "
                        "are too short for a record header and are ignored\n",
                        end - playback.dataStart, end - position, position - playback.dataStart);
            std::fflush(stdout);
            break;
        }
        position = stepRecord(position, end);
    }
    if (playback.status.lineOpen) std::fputc('\n', stderr);
    playback.status.lineOpen = false;
    return playback.result;
}

void resetPlayback() {
    closeLog();
    playback = Playback{};
}
