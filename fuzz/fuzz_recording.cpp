// Arbitrary bytes after one option byte as a recording file, possibly compressed, read as a run
// reads one: from its path, early (before the run is announced) and after; from a pipe named by
// its path; and from standard input, early or after, as the option byte chooses. The reads must
// agree: the same recording from each, or each refusing it, and a stream whose bytes (decoded)
// pass the stream limit the option byte sets is refused.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "platform/decompress.h"
#include "playback/asciicast.h"
#include "playback/recording.h"

namespace {

constexpr size_t kWhole = SIZE_MAX;
const std::string kFile = "recording";

bool sameEvents(const std::vector<StoredEvent>& one, const std::vector<StoredEvent>& other) {
    if (one.size() != other.size()) return false;
    for (size_t i = 0; i < one.size(); ++i) {
        if (one[i].kind != other[i].kind || one[i].time != other[i].time || one[i].data != other[i].data ||
            one[i].columns != other[i].columns || one[i].rows != other[i].rows) {
            return false;
        }
    }
    return true;
}

bool sameRecording(const Recording& one, const Recording& other) {
    const AsciicastRecording& a = one.asciicast;
    const AsciicastRecording& b = other.asciicast;
    return one.format == other.format && one.ttyrec == other.ttyrec && a.version == b.version &&
           a.columns == b.columns && a.rows == b.rows && a.startTime == b.startTime && a.endTime == b.endTime &&
           a.title == b.title && a.idleTimeLimit == b.idleTimeLimit && sameEvents(a.events, b.events);
}

// A read that yields a recording or refuses with a reason, never both nor neither.
void checkRead(const ReadResult& read) {
    if (read.recording.has_value() == !read.error.empty()) std::abort();
}

// Both yield the same recording, or both refuse.
void checkAgree(const ReadResult& one, const ReadResult& other) {
    if (one.recording.has_value() != other.recording.has_value()) std::abort();
    if (one.recording && !sameRecording(*one.recording, *other.recording)) std::abort();
}

// Writes bytes into a new pipe: at once when the pipe holds them, else from a thread of its own;
// a reader that stops early closes its end, and the writer gives up.
struct Feed {
    int readEnd = -1;
    std::thread writer;

    explicit Feed(std::span<const uint8_t> bytes) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
        readEnd = fds[0];
        const int holds = fcntl(fds[1], F_GETPIPE_SZ);
        if (holds >= 0 && bytes.size() <= static_cast<size_t>(holds)) {
            if (!bytes.empty() && write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                std::abort();
            }
            close(fds[1]);
            return;
        }
        writer = std::thread([bytes, fd = fds[1]] {
            for (size_t done = 0; done < bytes.size();) {
                ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
                if (wrote <= 0) break;
                done += static_cast<size_t>(wrote);
            }
            close(fd);
        });
    }
    ~Feed() {
        if (readEnd >= 0) close(readEnd);
        if (writer.joinable()) writer.join();
    }
};

ReadResult readFromStandardInput(std::span<const uint8_t> bytes, const ReadOptions& options) {
    Feed feed(bytes);
    const int saved = dup(STDIN_FILENO);
    if (saved < 0 || dup2(feed.readEnd, STDIN_FILENO) < 0) std::abort();
    close(feed.readEnd);
    feed.readEnd = -1;
    ReadResult read = readRecording("-", options);
    if (dup2(saved, STDIN_FILENO) < 0) std::abort();
    close(saved);
    return read;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    // A writer whose reader stopped early is told so by write's error rather than killed.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    {
        std::ofstream file(kFile, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!file) std::abort();
    }
    // What a stream yields: the bytes decoded when they are compressed.
    std::vector<uint8_t> decoded(bytes.begin(), bytes.end());
    bool decodes = true;
    if (isCompressed(bytes)) {
        std::string error;
        decoded.clear();
        decodes = decompress(bytes, kWhole, decoded, error);
    }
    ReadOptions options;
    if (flags & 0x80) options.streamLimit = static_cast<uint64_t>(flags & 0x3F) * 16;
    const bool withinLimit = decodes && decoded.size() <= options.streamLimit;

    const ReadResult file = readRecording(kFile, options);
    checkRead(file);
    if (file.recording && file.recording->name != kFile) std::abort();
    if (!decodes && file.recording) std::abort();

    // Early, a file is read when it is compressed or may be asciicast; otherwise it is left alone.
    ReadOptions early = options;
    early.early = true;
    const ReadResult first = readRecording(kFile, early);
    if (first.recording || !first.error.empty()) {
        checkRead(first);
        checkAgree(first, file);
    } else if (isCompressed(bytes) || (file.recording && file.recording->format == RecordingFormat::asciicast)) {
        std::abort();
    }

    // A pipe named by its path is a stream, read only after the run is announced.
    {
        Feed feed(bytes);
        const std::string path = "/dev/fd/" + std::to_string(feed.readEnd);
        if (readRecording(path, early).recording) std::abort();
        const ReadResult piped = readRecording(path, options);
        checkRead(piped);
        if (withinLimit) {
            checkAgree(piped, file);
        } else if (piped.recording) {
            std::abort();
        }
    }

    const ReadResult standard = readFromStandardInput(bytes, (flags & 0x40) ? early : options);
    checkRead(standard);
    if (standard.recording && standard.recording->name != "standard input") std::abort();
    if (withinLimit) {
        checkAgree(standard, file);
    } else if (standard.recording) {
        std::abort();
    }
    return 0;
}
