#pragma once
// Reads a whole recording and walks its records: for each, the frame clock gives the frames its
// screen begins at, the terminal takes the payload, the screen is painted and its frames are
// emitted.

#include <cstdint>
#include <span>
#include <string>

#include "emission/emission.h"
#include "render/renderer.h"
#include "terminal/terminal.h"

struct FrameClock {
    bool haveFirst = false;  // no record seen yet while false
    uint32_t firstSeconds = 0;
    int32_t firstMicros = 0;
    uint32_t previousSeconds = 0;
    int32_t previousMicros = 0;
    int64_t playedTime = 0;     // the previous record's time from the first, after -idle and -speed (us)
    bool screenShown = false;   // a record's screen has had its frame
    int32_t frameStart = 0;  // first frame number of the gap owned by the previous screen
    int32_t frameEnd = 1;    // frame number at which the current record's screen begins
};

// A time on the recording's clock after -idle and -speed, counted from the first record, as
// -from, -to and -at name it: microseconds, or the number (from 1) of an asciicast marker.
struct TimePoint {
    bool given = false;
    int64_t micros = 0;
    int32_t marker = 0;  // 0: micros
};

// How the walk shows where it is: a line per record on standard output, one status line that
// updates in place on standard error, or nothing.
enum class Progress { lines, statusLine, none };

struct PlaybackOptions {
    int32_t frameInterval = 1000000 / 30;  // microseconds per video frame
    int32_t fps = 30;                      // frames per second, for -realtime's exact clock
    int32_t skipFrames = 0;                // frame numbers up to this one are shown as skipped
    int32_t stopFrame = -1;                // the walk ends once a record reaches it; negative: never
    Progress progress = Progress::lines;
    // Every gap takes at least one frame and a gap over a minute one frame; -realtime: frame k
    // shows the screen after the last record at or before k / fps.
    bool realtime = false;
    int64_t idleLimit = -1;    // -idle, microseconds; negative: an asciicast idle_time_limit, if any
    double speed = 1;          // -speed: gaps are divided by it
    TimePoint from;            // -from: frame 0 shows the screen at this time
    TimePoint to;              // -to: nothing after this time is played
    bool poster = false;       // -at: the walk ends once the screen at `from` is painted
    int32_t finalFrames = 0;   // -last: frames the final screen fills at the end
    bool columnsFixed = false;  // -width: resizes leave the number of columns alone
    bool rowsFixed = false;     // -height likewise
    bool log = true;            // the log "output" is written
    bool warnings = true;       // a recording cut short and frame numbers running out are reported
    // A second walk after one that an interruption ended: this one ends where that one did, after
    // this many records, whatever interruption is pending; negative: at an interruption.
    int64_t recordLimit = -1;
};

enum class PlaybackEnd {
    finished,        // after the last record, or asked to stop by an interruption
    stopLimit,       // a record reached stopFrame
    fontMissing,     // a screen needed font.txt and it could not be read
    recordingError,  // the recording could not be read; message says why
};

struct PlaybackResult {
    PlaybackEnd end = PlaybackEnd::finished;
    std::string message;  // recordingError: the line to show
    int64_t records = 0;  // records walked
};

// The stages a walk drives: each record's payload is fed to the terminal, its screen painted
// and the picture handed to emission.
struct PlaybackStages {
    Terminal& terminal;
    Painter& painter;
    Emission& emission;
};

// Takes the options for the next walk and starts a fresh clock and log; a recording already
// read stays.
void startPlayback(const PlaybackOptions& options);

// "-" names standard input.
bool namesStandardInput(const std::string& path);

// The recording as messages name it: its path, or "standard input".
std::string recordingName(const std::string& path);

// Reads path (or takes the recording prepared for it), decoding it when it is compressed, and
// keeps it for loadRecording, which then plays it without reading again; options and clock
// are left alone, so that it may come before startPlayback. A pipe, a device or standard
// input is read as a stream, up to the stream limit. recordingError when it cannot be read.
PlaybackResult readRecording(const std::string& path);

// Streams longer than this many bytes are refused (4 GiB unless set).
void setStreamLimit(uint64_t bytes);
uint64_t streamLimit();

// Walks the recording read for path (reading it first when readRecording has not), writing the
// log "output". An asciicast recording's resizes, markers and idle time limit count.
PlaybackResult loadRecording(const std::string& path, const PlaybackStages& stages);

// Walks the recording the last loadRecording read once more, from a fresh clock and log, with
// these options (standard input is read only once).
PlaybackResult walkAgain(const PlaybackOptions& options, const PlaybackStages& stages);

// Walks records already in memory (the log, if open, receives their entries). Returns early
// when an interruption was asked for, after the record in progress. At the end the final
// screen fills the frames that -to and -last give it.
PlaybackResult walkRecording(std::span<const uint8_t> data, const PlaybackStages& stages);

// Plays the record whose header starts at position (end: where the recording data ends; a
// record cut short by it is played with what is there). Returns the next record's start, or
// end when the walk must end, which walkRecording then reports.
const uint8_t* stepRecord(const uint8_t* position, const uint8_t* end, const PlaybackStages& stages);

const FrameClock& frameClock();

// Default options and stream limit, a fresh clock, the log closed, nothing read.
void resetPlayback();
