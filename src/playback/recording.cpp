#include "playback/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "driver/settings.h"
#include "emission/movie_writer.h"
#include "playback/asciicast.h"
#include "playback/run_end.h"
#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"

FrameClock frameClock;
std::span<const uint8_t> payloadText;

namespace {

constexpr size_t kHeaderSize = 12;
constexpr int64_t kLongestGap = 60000000;  // a pause longer than a minute shrinks to one frame

struct Playback {
    std::vector<uint8_t> recordBuffer;
    FILE* frameLog = nullptr;
    const uint8_t* dataStart = nullptr;
};

Playback playback;

// A movie already begun is closed, empty, rather than left without its headers.
[[noreturn]] void endAfterRecordingError() {
    finishMovie();
    endRun(1);
}

uint32_t readU32le(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
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

// Reads the whole file; on failure prints the message the user sees and ends the run.
void readRecordingFile(const std::string& path) {
    // A named pipe is read like cat reads it: the open waits for its writer.
    int fd = open(path.c_str(), O_RDONLY);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) {
        std::printf("errno %d\n", errno);
        endAfterRecordingError();
    }
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
        std::printf("Error: not enough memory to read %s (%zu bytes)\n", path.c_str(), length);
        endAfterRecordingError();
    }
    std::set_new_handler(general);
    while (done < length) {
        ssize_t got = read(fd, playback.recordBuffer.data() + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done < length) {
        std::printf("error in fread()?\n");
        endAfterRecordingError();
    }
}

// An asciicast recording the driver did not prepare is converted here, into the records the
// walk reads.
void convertIfAsciicast(const std::string& path) {
    if (!isAsciicast(playback.recordBuffer)) return;
    AsciicastRecording recording;
    std::string error;
    if (!convertAsciicast(playback.recordBuffer, recording, error)) {
        std::printf("Error: %s %s\n", path.c_str(), error.c_str());
        endAfterRecordingError();
    }
    playback.recordBuffer = std::move(recording.records);
}

}  // namespace

void resetFrameClock() {
    frameClock = FrameClock{};
    payloadText = {};
}

void printRecordTime(uint32_t seconds, int32_t micros) {
    int64_t elapsed = static_cast<int64_t>(seconds) - frameClock.firstSeconds;
    if (micros < frameClock.firstMicros) elapsed -= 1;  // borrow: count whole seconds only
    std::printf("%02" PRId64 ":%02" PRId64 ":%02" PRId64, elapsed / 3600, (elapsed / 60) % 60, elapsed % 60);
}

const uint8_t* stepRecord(const uint8_t* position, const uint8_t* end) {
    const uint32_t seconds = readU32le(position);
    const int32_t micros = static_cast<int32_t>(readU32le(position + 4));
    const uint32_t length = readU32le(position + 8);
    const uint8_t* payload = position + kHeaderSize;
    const size_t available = static_cast<size_t>(end - payload);
    // Pointing past the buffer is not even computed: the record then ends with the file.
    const uint8_t* next = length > available ? end : payload + length;
    if (length > available) {
        std::printf("Warning: the recording is cut at byte offset %td: the record at offset %td has "
                    "%zu of its %" PRIu32 " payload bytes\n",
                    end - playback.dataStart, position - playback.dataStart, available, length);
        std::fflush(stdout);
    }

    FrameClock& clock = frameClock;
    if (!clock.haveFirst) {
        clock.haveFirst = true;
        clock.firstSeconds = clock.previousSeconds = seconds;
        clock.firstMicros = clock.previousMicros = micros;
    }
    payloadText = std::span<const uint8_t>(payload, next);

    int64_t elapsed = (static_cast<int64_t>(seconds) - clock.previousSeconds) * 1000000 +
                      (static_cast<int64_t>(micros) - clock.previousMicros);
    if (elapsed > kLongestGap) elapsed = 1;
    int64_t frames = elapsed / settings.frameInterval;
    if (frames < 1) frames = 1;
    if (clock.frameStart + frames > std::numeric_limits<int32_t>::max()) {
        std::printf("Warning: frame numbers would pass %" PRId32 "; the rest of the recording is not played\n",
                    std::numeric_limits<int32_t>::max());
        std::fflush(stdout);
        return end;
    }
    clock.frameEnd = clock.frameStart + static_cast<int32_t>(frames);

    std::printf("Frame %" PRId32 ", time ", clock.frameEnd);
    printRecordTime(seconds, micros);
    std::fputs(clock.frameEnd < settings.skipFrames ? " (skipping) \n" : "...\n", stdout);
    std::fflush(stdout);
    logRecord(clock.frameEnd, seconds, micros, length);

    interpretPayload();

    clock.frameStart = clock.frameEnd;
    if (settings.stopFrame > 0 && clock.frameEnd >= settings.stopFrame) {
        std::printf("Exiting...\n");
        finishMovie();
        endRun(movieWriteFailed ? 1 : 0);
    }
    clock.previousSeconds = seconds;
    clock.previousMicros = micros;
    return next;
}

void loadRecording(const std::string& path) {
    if (path.empty()) {
        std::printf("Error: no input ttyrec specified?\n");
        endAfterRecordingError();
    }
    resetFrameClock();
    resetGrid();

    if (!takePreparedAsciicast(path, playback.recordBuffer)) {
        readRecordingFile(path);
        convertIfAsciicast(path);
    }
    if (playback.frameLog != nullptr) std::fclose(playback.frameLog);
    playback.frameLog = std::fopen("output", "w");  // a log that cannot be created is not reported

    walkRecording(playback.recordBuffer);
}

void walkRecording(std::span<const uint8_t> data) {
    const uint8_t* position = data.data();
    const uint8_t* end = position + data.size();
    playback.dataStart = position;
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
}
