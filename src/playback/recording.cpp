#include "playback/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>
#include <new>
#include <utility>
#include <vector>

#include "platform/decompress.h"
#include "playback/asciicast.h"
#include "playback/ttyrec_record.h"

namespace {

constexpr size_t kSniffSize = 64;
constexpr size_t kWhole = std::numeric_limits<size_t>::max();

ReadResult failure(std::string message) { return {std::nullopt, std::move(message), ""}; }

// The recording could not be opened: the converter's fixed "errno N", and why in plain words.
ReadResult openFailure(const std::string& path, int error) {
    std::string why = error == EISDIR ? path + " is a directory: give a recording file"
                                      : "cannot open the recording " + path + ": " + std::strerror(error) +
                                            (error == ENOENT   ? "; check its name and the working directory"
                                             : error == EACCES ? "; check its permissions"
                                                               : "");
    return {std::nullopt, "Error: " + why, "errno " + std::to_string(error)};
}

// What a file that is not a recording looks like, told by its first bytes.
std::string_view lookOf(std::span<const uint8_t> bytes) {
    struct Magic {
        size_t offset;
        std::string_view bytes;
        std::string_view look;
    };
    static constexpr std::array<Magic, 11> kMagics = {{
        {0, "\x89PNG", "a PNG image"},
        {0, "\xFF\xD8\xFF", "a JPEG image"},
        {0, "GIF8", "a GIF image"},
        {0, "BM", "a BMP image"},
        {0, "RIFF", "a RIFF file (an AVI movie or a WAV sound)"},
        {4, "ftyp", "an MP4 or QuickTime movie"},
        {0, "\x1A\x45\xDF\xA3", "a Matroska or WebM movie"},
        {0, "%PDF", "a PDF document"},
        {0, "PK\x03\x04", "a ZIP archive"},
        {0, "\x7F" "ELF", "a program"},
        {0, "{", "JSON, but not an asciicast recording (its first line has no \"version\")"},
    }};
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (const Magic& magic : kMagics) {
        if (text.size() >= magic.offset && text.substr(magic.offset).starts_with(magic.bytes)) return magic.look;
    }
    if (startsLikeAnObject(bytes)) return kMagics.back().look;
    const std::string_view start = text.substr(0, 512);
    const bool printable = std::all_of(start.begin(), start.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 || c == '\n' || c == '\r' || c == '\t' || c == '\x1b';
    });
    if (printable) return "a text file";
    return "";
}

// A ttyrec recording's first record must fit in it: one that cannot is another kind of file.
// Later records cut short are played with what is there.
std::optional<std::string> notARecording(const std::string& name, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    if (bytes.size() >= kRecordHeaderSize &&
        readRecordHeader(bytes).length <= bytes.size() - kRecordHeaderSize) {
        return std::nullopt;
    }
    std::string_view look = lookOf(bytes);
    std::string what = !look.empty() ? "it looks like " + std::string(look)
                       : bytes.size() < kRecordHeaderSize
                           ? "its " + std::to_string(bytes.size()) + " bytes are too few for a ttyrec record header"
                           : "its first ttyrec record would need " +
                                 std::to_string(readRecordHeader(bytes).length) + " bytes, and " +
                                 std::to_string(bytes.size() - kRecordHeaderSize) + " follow its header";
    return "Error: " + name + " is not a ttyrec or asciicast recording: " + what +
           ". Give a recording made by ttyrec, termrec or asciinema.";
}

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
    if (fd < 0) return openFailure(path, errno);
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
    int readError = 0;
    while (done < length) {
        ssize_t got = read(fd, buffer.data() + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) readError = errno;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done < length) {
        const std::string why = readError != 0 ? std::strerror(readError) : "the file was shortened";
        return ReadResult{std::nullopt,
                          "Error: reading the recording " + path + " stopped after " + std::to_string(done) +
                              " of its " + std::to_string(length) + " bytes: " + why,
                          "error in fread()?"};
    }
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
        if (std::optional<std::string> error = notARecording(recording.name, bytes)) return failure(*error);
        recording.ttyrec = std::move(bytes);
    }
    return {std::move(recording), "", ""};
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
