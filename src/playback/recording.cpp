#include "playback/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <new>
#include <utility>
#include <vector>

#include "platform/decompress.h"
#include "platform/spool.h"
#include "playback/asciicast.h"
#include "playback/events.h"
#include "playback/ttyrec_record.h"

namespace {

constexpr size_t kSniffSize = 64;
constexpr size_t kLookSize = 512;  // what tells a file that is not a recording
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
// Later records cut short are played with what is there. head: the first bytes of the size.
std::optional<std::string> notARecording(const std::string& name, std::span<const uint8_t> head, size_t size) {
    if (size == 0) return std::nullopt;
    if (size >= kRecordHeaderSize && readRecordHeader(head).length <= size - kRecordHeaderSize) return std::nullopt;
    std::string_view look = lookOf(head);
    std::string what = !look.empty() ? "it looks like " + std::string(look)
                       : size < kRecordHeaderSize
                           ? "its " + std::to_string(size) + " bytes are too few for a ttyrec record header"
                           : "its first ttyrec record would need " + std::to_string(readRecordHeader(head).length) +
                                 " bytes, and " + std::to_string(size - kRecordHeaderSize) + " follow its header";
    return "Error: " + name + " is not a ttyrec or asciicast recording: " + what +
           ". Give a recording made by ttyrec, termrec or asciinema.";
}

size_t limitOf(const ReadOptions& options) {
    return static_cast<size_t>(std::min<uint64_t>(options.streamLimit, kWhole));
}

using SharedFile = std::shared_ptr<const RecordingFile>;

// A pipe, a device, standard input or a compressed file is copied into a spool file as it is
// read, decoded on the way when compressed, up to limit bytes: it is then read again from there.
std::optional<ReadResult> spoolStream(int fd, const std::string& path, size_t limit, SharedFile& file) {
    std::string error;
    const int spool = openSpool(error);
    uint64_t size = 0;
    if (spool >= 0 && !spoolDecompressing(fd, limit, spool, size, error)) close(spool);
    if (!error.empty()) return failure("Error: " + recordingName(path) + " " + error);
    file = std::make_shared<const RecordingFile>(spool, static_cast<size_t>(size));
    return std::nullopt;
}

// The first bytes of a file, at most count.
std::vector<uint8_t> headOf(const RecordingFile& file, size_t count) {
    std::vector<uint8_t> head(std::min(count, file.size()));
    head.resize(file.read(0, head));
    return head;
}

// Opens the recording: a regular file is read where it is, anything else from a spool.
std::optional<ReadResult> openRecording(const std::string& path, const ReadOptions& options, SharedFile& file) {
    if (namesStandardInput(path)) return spoolStream(STDIN_FILENO, path, limitOf(options), file);
    // A named pipe is read like cat reads it: the open waits for its writer.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) return openFailure(path, errno);
    if (!S_ISREG(info.st_mode)) {
        std::optional<ReadResult> failed = spoolStream(fd, path, limitOf(options), file);
        close(fd);
        return failed;
    }
    file = std::make_shared<const RecordingFile>(fd, static_cast<size_t>(info.st_size));
    if (!isCompressed(headOf(*file, kSniffSize))) return std::nullopt;
    // A compressed recording is decoded once, whatever its length.
    const int decoding = dup(fd);
    if (decoding < 0 || lseek(decoding, 0, SEEK_SET) != 0) {
        const int error = errno;
        if (decoding >= 0) close(decoding);
        return openFailure(path, error);
    }
    std::optional<ReadResult> failed = spoolStream(decoding, path, kWhole, file);
    close(decoding);
    return failed;
}

// The whole recording in memory, for the asciicast reader.
std::optional<ReadResult> readWhole(const std::string& path, const RecordingFile& file, std::vector<uint8_t>& bytes) {
    // A recording too large for memory gets its own message rather than the general one.
    std::new_handler general = std::set_new_handler(nullptr);
    try {
        bytes.resize(file.size());
    } catch (const std::bad_alloc&) {
        std::set_new_handler(general);
        return failure("Error: not enough memory to read " + recordingName(path) + " (" +
                       std::to_string(file.size()) + " bytes)");
    }
    std::set_new_handler(general);
    const size_t done = file.read(0, bytes);
    if (done == bytes.size()) return std::nullopt;
    const std::string why = errno != 0 ? std::strerror(errno) : "the file was shortened";
    return ReadResult{std::nullopt,
                      "Error: reading the recording " + recordingName(path) + " stopped after " +
                          std::to_string(done) + " of its " + std::to_string(bytes.size()) + " bytes: " + why,
                      "error in fread()?"};
}

// Versions 2 and 3 are read through once, a line at a time, for the header's facts and to find
// a malformed line before anything is played; the walk reads the lines again.
std::optional<ReadResult> asciicastByLine(const std::string& path, const SharedFile& file) {
    LineReader lines(*file);
    std::optional<std::span<const uint8_t>> header = lines.next();
    if (!header || !readsByLine(*header)) return std::nullopt;
    Recording recording;
    recording.name = recordingName(path);
    recording.format = RecordingFormat::asciicast;
    AsciicastRecording& read = recording.asciicast;
    LineReader again(*file);
    int64_t elapsed = 0;
    size_t lineNumber = 0;
    std::string error;
    while (std::optional<std::span<const uint8_t>> line = again.next()) {
        if (!convertAsciicastLine(*line, ++lineNumber, read, elapsed, error)) {
            return failure("Error: " + recording.name + " " + error);
        }
        read.events.clear();
    }
    if (again.failed()) {
        return failure("Error: reading the recording " + recording.name + " stopped: " +
                       (errno != 0 ? std::strerror(errno) : "the file was shortened"));
    }
    recording.file = file;
    return ReadResult{std::move(recording), "", ""};
}

// The recording as an asciicast one, when it is one.
std::optional<ReadResult> asciicastOf(const std::string& path, const SharedFile& file) {
    if (!startsLikeAnObject(headOf(*file, kSniffSize))) return std::nullopt;
    if (std::optional<ReadResult> byLine = asciicastByLine(path, file)) return byLine;
    std::vector<uint8_t> bytes;
    if (std::optional<ReadResult> failed = readWhole(path, *file, bytes)) return failed;
    if (!isAsciicast(bytes)) return std::nullopt;
    Recording recording;
    recording.name = recordingName(path);
    std::string error;
    if (!convertAsciicast(bytes, recording.asciicast, error)) return failure("Error: " + recording.name + " " + error);
    recording.format = RecordingFormat::asciicast;
    return ReadResult{std::move(recording), "", ""};
}

// The file read as a recording: asciicast when it is so, else ttyrec.
ReadResult recordingOf(const std::string& path, SharedFile file) {
    if (std::optional<ReadResult> asciicast = asciicastOf(path, file)) return std::move(*asciicast);
    Recording recording;
    recording.name = recordingName(path);
    const std::vector<uint8_t> head = headOf(*file, kLookSize);
    if (head.size() < std::min(kLookSize, file->size())) {
        const std::string why = errno != 0 ? std::strerror(errno) : "the file was shortened";
        return ReadResult{std::nullopt,
                          "Error: reading the recording " + recording.name + " stopped after " +
                              std::to_string(head.size()) +
                              " of its " + std::to_string(file->size()) + " bytes: " + why,
                          "error in fread()?"};
    }
    if (std::optional<std::string> error = notARecording(recording.name, head, file->size())) return failure(*error);
    recording.file = std::move(file);
    return {std::move(recording), "", ""};
}

// Early: all of standard input, a compressed regular file (decoded), or a regular file that is
// an asciicast recording; nothing when the recording is left for the read proper.
ReadResult readEarly(const std::string& path, const ReadOptions& options) {
    SharedFile file;
    if (namesStandardInput(path)) {
        if (std::optional<ReadResult> failed = spoolStream(STDIN_FILENO, path, limitOf(options), file)) {
            return std::move(*failed);
        }
        return recordingOf(path, std::move(file));
    }
    // Only a regular file is opened here: opening a named pipe, even without waiting, would let
    // its writer start and then see the pipe closed under it.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return {};
    }
    file = std::make_shared<const RecordingFile>(fd, static_cast<size_t>(status.st_size));
    if (isCompressed(headOf(*file, kSniffSize))) {
        if (std::optional<ReadResult> failed = openRecording(path, options, file)) return std::move(*failed);
        return recordingOf(path, std::move(file));
    }
    std::optional<ReadResult> asciicast = asciicastOf(path, file);
    // A file that cannot be held is read again by the read proper, which says so.
    if (!asciicast || (!asciicast->recording && asciicast->error.starts_with("Error: not enough memory"))) return {};
    return std::move(*asciicast);
}

}  // namespace

bool namesStandardInput(const std::string& path) { return path == "-"; }

std::string recordingName(const std::string& path) { return namesStandardInput(path) ? "standard input" : path; }

ReadResult readRecording(const std::string& path, const ReadOptions& options) {
    if (options.early) return readEarly(path, options);
    if (path.empty()) return failure("Error: no input ttyrec specified?");
    SharedFile file;
    if (std::optional<ReadResult> failed = openRecording(path, options, file)) return std::move(*failed);
    return recordingOf(path, std::move(file));
}
