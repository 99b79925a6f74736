#pragma once
// A recording as a sequence of timed events (output, input, resize, marker), read one at a time
// from what the reader holds.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

enum class EventKind { output, input, resize, marker };

// A record's time as recorded; the log and the progress lines show it so.
struct Stamp {
    uint32_t seconds = 0;
    int32_t micros = 0;
};

// Where a ttyrec recording stops short: a record's payload, or a header, cut by its end.
struct Truncation {
    size_t end = 0;        // the recording's length in bytes
    size_t offset = 0;     // where the record (or the bytes too short for a header) start
    size_t available = 0;  // payload bytes there; for a header, the bytes there
    uint32_t length = 0;   // payload bytes the header announces
};

struct Event {
    EventKind kind = EventKind::output;
    int64_t time = 0;                   // microseconds on the recording's clock
    Stamp stamp;                        // output: the time as recorded
    std::span<const uint8_t> data;      // output, input: the bytes; marker: the label
    uint32_t length = 0;                // output: the bytes announced (data is shorter when cut)
    int32_t columns = 0;                // resize
    int32_t rows = 0;
    std::optional<Truncation> cut;      // output: the record was cut short
    bool lastOutput = false;            // output: no output event follows
};

// An event as an asciicast recording holds it.
struct StoredEvent {
    EventKind kind = EventKind::output;
    int64_t time = 0;
    std::string data;
    int32_t columns = 0;
    int32_t rows = 0;
};

struct AsciicastTheme {
    uint32_t foreground = 0;        // 0xRRGGBB
    uint32_t background = 0;
    std::vector<uint32_t> palette;  // 8 or 16 colours: 0-7, then 8-15
};

// What an asciicast recording holds. Times are microseconds from the epoch (the header's
// timestamp is time 0 of the events).
struct AsciicastRecording {
    int32_t version = 0;
    int32_t columns = 0;           // the header's terminal size; 0 when the header gives none
    int32_t rows = 0;
    int32_t largestColumns = 0;    // the largest of the header's size and the resizes', each on its own
    int32_t largestRows = 0;
    std::vector<StoredEvent> events;       // in the file's order
    std::optional<double> idleTimeLimit;   // seconds; none when absent or 0
    std::optional<AsciicastTheme> theme;
    std::string title;      // the header's "title"; "" when it has none
    size_t outputs = 0;     // the events of each kind read
    size_t markers = 0;
    bool hasInput = false;
    int64_t startTime = 0;  // the header's timestamp
    int64_t endTime = 0;    // the latest time of any event (an "x" exit included); startTime when none
};

enum class RecordingFormat { ttyrec, asciicast };

// The bytes of a recording, read where they are asked for: the recording's own file, or the
// spool a stream was copied into. Closes its descriptor.
class RecordingFile {
public:
    RecordingFile(int fd, size_t size) : fd_(fd), size_(size) {}
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    size_t size() const { return size_; }
    // Fills out from offset; the bytes read, fewer when reading fails (errno says why; 0 at the
    // file's end).
    size_t read(size_t offset, std::span<uint8_t> out) const;

private:
    int fd_;
    size_t size_;
};

// Hands out a file's lines in turn, without their '\n', reading a window at a time.
class LineReader {
public:
    explicit LineReader(const RecordingFile& file) : file_(&file) {}

    // A line stays valid until the next call; none at the end, or when reading fails.
    std::optional<std::span<const uint8_t>> next();
    bool failed() const { return failed_; }

private:
    const RecordingFile* file_;
    size_t at_ = 0;
    std::vector<uint8_t> window_;
    size_t windowStart_ = 0;
    bool failed_ = false;
};

// A recording as read: ttyrec bytes, or an asciicast recording's header and events.
struct Recording {
    std::string name;  // as messages name it
    RecordingFormat format = RecordingFormat::ttyrec;
    // The recording's bytes, read from file as they are played: ttyrec records, or asciicast
    // lines (the events then are not held). Without a file, those held here are played.
    std::shared_ptr<const RecordingFile> file;
    std::vector<uint8_t> ttyrec;
    AsciicastRecording asciicast;
};

size_t markerCount(const Recording& recording);

// Hands out a recording's events in order, reading a ttyrec file a window at a time; copies walk
// on their own.
class EventSource {
public:
    explicit EventSource(const Recording& recording);

    const Recording& recording() const { return *recording_; }
    // An event's data stays valid until the next call.
    std::optional<Event> next();
    // The time of the first output event that next() has not yet returned.
    std::optional<int64_t> nextOutputTime();
    // Once next() has returned nothing: the bytes at the end of a ttyrec recording too short for
    // a record header, if any.
    std::optional<Truncation> tail() const;
    // Once next() has returned nothing: why the file could not be read to its end; "" when it was.
    const std::string& failure() const { return failure_; }

private:
    bool streamsLines() const { return recording_->format == RecordingFormat::asciicast && recording_->file; }
    std::optional<Event> nextLineEvent();
    // The events of the next asciicast line with any, after those already ahead; false at the end.
    bool readLine();
    size_t ttyrecSize() const;
    // The bytes [offset, offset + count), read into the window unless already there.
    std::span<const uint8_t> bytes(size_t offset, size_t count);

    const Recording* recording_;
    size_t at_ = 0;  // ttyrec: a byte offset; asciicast: an event index
    size_t lastOutput_ = 0;  // asciicast: the index of the last output event
    std::vector<uint8_t> window_;  // ttyrec file: the bytes from windowStart_ on
    size_t windowStart_ = 0;
    std::string failure_;
    // asciicast lines: the events read ahead of next(), the one it returned last, and the
    // state from line to line.
    std::optional<LineReader> lines_;
    std::deque<StoredEvent> ahead_;
    StoredEvent current_;
    AsciicastRecording lineState_;
    int64_t elapsed_ = 0;
    size_t lineNumber_ = 0;
    size_t outputsSeen_ = 0;
};

// The microseconds a stamp stands for.
constexpr int64_t microsOf(Stamp stamp) { return int64_t{stamp.seconds} * 1000000 + stamp.micros; }
