#pragma once
// A recording as a sequence of timed events (output, input, resize, marker), read one at a time
// from what the reader holds.

#include <cstddef>
#include <cstdint>
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
    int64_t startTime = 0;  // the header's timestamp
    int64_t endTime = 0;    // the latest time of any event (an "x" exit included); startTime when none
};

enum class RecordingFormat { ttyrec, asciicast };

// A recording as read: ttyrec bytes, or an asciicast recording's header and events.
struct Recording {
    std::string name;  // as messages name it
    RecordingFormat format = RecordingFormat::ttyrec;
    std::vector<uint8_t> ttyrec;
    AsciicastRecording asciicast;
};

size_t markerCount(const Recording& recording);

// Hands out a recording's events in order; copies walk on their own.
class EventSource {
public:
    explicit EventSource(const Recording& recording);

    const Recording& recording() const { return *recording_; }
    std::optional<Event> next();
    // The time of the first output event that next() has not yet returned.
    std::optional<int64_t> nextOutputTime() const;
    // Once next() has returned nothing: the bytes at the end of a ttyrec recording too short for
    // a record header, if any.
    std::optional<Truncation> tail() const;

private:
    const Recording* recording_;
    size_t at_ = 0;  // ttyrec: a byte offset; asciicast: an event index
    size_t lastOutput_ = 0;  // asciicast: the index of the last output event
};

// The microseconds a stamp stands for.
constexpr int64_t microsOf(Stamp stamp) { return int64_t{stamp.seconds} * 1000000 + stamp.micros; }
