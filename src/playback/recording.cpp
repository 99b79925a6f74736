#include "playback/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "platform/decompress.h"
#include "playback/asciicast.h"

namespace {

constexpr size_t kSniffSize = 64;
constexpr size_t kWhole = std::numeric_limits<size_t>::max();

ReadResult failure(std::string message) { return {std::nullopt, std::move(message)}; }

size_t limitOf(const ReadOptions& options) {
    return static_cast<size_t>(std::min<uint64_t>(options.streamLimit, kWhole));
}

// A pipe, a device or standard input has no size to ask for: it is read to its end, decoded on
// the way when compressed, up to the stream limit.
std::optional<ReadResult> readStream(int fd, const std::string& path, const ReadOptions& options,
                                     std::vector<uint8_t>& buffer) {
    std::string error;
    bool read = false;
    // Running out of memory gets its own message rather than the general one.
    std::new_handler general = std::set_new_handler(nullptr);
    try {
        read = readDecompressing(fd, limitOf(options), buffer, error);
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
std::optional<ReadResult> decompressRecording(const std::string& path, std::vector<uint8_t>& buffer) {
    if (!isCompressed(buffer)) return std::nullopt;
    std::vector<uint8_t> decoded;
    std::string error;
    if (!decompress(buffer, kWhole, decoded, error)) return failure("Error: " + recordingName(path) + " " + error);
    buffer = std::move(decoded);
    return std::nullopt;
}

// Reads the whole file, decoded when it is compressed.
std::optional<ReadResult> readWholeFile(const std::string& path, const ReadOptions& options,
                                        std::vector<uint8_t>& buffer) {
    if (namesStandardInput(path)) return readStream(STDIN_FILENO, path, options, buffer);
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
        std::optional<ReadResult> failed = readStream(fd, path, options, buffer);
        close(fd);
        return failed;
    }
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
    return decompressRecording(path, buffer);
}

bool readAll(int fd, std::vector<uint8_t>& data, size_t limit) {
    while (data.size() < limit) {
        size_t done = data.size();
        data.resize(std::min(limit, std::max<size_t>(2 * done, 1 << 16)));
        ssize_t got = read(fd, data.data() + done, data.size() - done);
        data.resize(done + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
    }
    return true;
}

// What is read early: all of standard input, a compressed file (decoded), or a regular file
// that starts like a JSON object.
struct Candidate {
    std::optional<std::vector<uint8_t>> data;
    bool keep = false;  // held whatever it holds, so that it is read (or decoded) once
};

Candidate readCandidate(const std::string& path, const ReadOptions& options, std::string& error) {
    Candidate candidate;
    std::vector<uint8_t> data;
    if (namesStandardInput(path)) {
        if (readDecompressing(STDIN_FILENO, limitOf(options), data, error)) candidate = {std::move(data), true};
        return candidate;
    }
    // Only a regular file is opened here: opening a named pipe, even without waiting, would let
    // its writer start and then see the pipe closed under it.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return candidate;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return candidate;
    bool complete = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && readAll(fd, data, kSniffSize);
    if (complete && isCompressed(data)) {
        complete = lseek(fd, 0, SEEK_SET) == 0 && readDecompressing(fd, kWhole, data, error);
        candidate.keep = complete;
    } else {
        complete = complete && startsLikeAnObject(data) && readAll(fd, data, kWhole);
    }
    close(fd);
    if (complete) candidate.data = std::move(data);
    return candidate;
}

// The bytes read as a recording: asciicast when they are so, else ttyrec.
ReadResult recordingOf(const std::string& path, std::vector<uint8_t> bytes) {
    Recording recording;
    recording.name = recordingName(path);
    if (isAsciicast(bytes)) {
        std::string error;
        if (!convertAsciicast(bytes, recording.asciicast, error)) return failure("Error: " + recording.name + " " + error);
        recording.format = RecordingFormat::asciicast;
    } else {
        recording.ttyrec = std::move(bytes);
    }
    return {std::move(recording), ""};
}

// Early: nothing when the recording is left for the read proper.
ReadResult readEarly(const std::string& path, const ReadOptions& options) {
    std::string error;
    Candidate candidate;
    try {
        candidate = readCandidate(path, options, error);
    } catch (const std::bad_alloc&) {
        // A file is read again by the read proper, which says so; standard input cannot be.
        if (namesStandardInput(path)) error = "cannot be read: not enough memory";
    }
    if (!error.empty()) return failure("Error: " + recordingName(path) + " " + error);
    if (!candidate.data || (!candidate.keep && !isAsciicast(*candidate.data))) return {};
    return recordingOf(path, std::move(*candidate.data));
}

}  // namespace

bool namesStandardInput(const std::string& path) { return path == "-"; }

std::string recordingName(const std::string& path) { return namesStandardInput(path) ? "standard input" : path; }

ReadResult readRecording(const std::string& path, const ReadOptions& options) {
    if (options.early) return readEarly(path, options);
    if (path.empty()) return failure("Error: no input ttyrec specified?");
    std::vector<uint8_t> bytes;
    if (std::optional<ReadResult> failed = readWholeFile(path, options, bytes)) return std::move(*failed);
    return recordingOf(path, std::move(bytes));
}
