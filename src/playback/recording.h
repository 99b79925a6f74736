#pragma once
// Reads a whole recording and walks its records: for each, the frame clock gives the frames its
// screen begins at, the terminal takes the payload, the screen is painted and its frames are
// emitted.

#include <cstdint>
#include <span>
#include <string>

struct FrameClock {
    bool haveFirst = false;  // no record seen yet while false
    uint32_t firstSeconds = 0;
    int32_t firstMicros = 0;
    uint32_t previousSeconds = 0;
    int32_t previousMicros = 0;
    int32_t frameStart = 0;  // first frame number of the gap owned by the previous screen
    int32_t frameEnd = 1;    // frame number at which the current record's screen begins
};

// How the walk shows where it is: a line per record on standard output, one status line that
// updates in place on standard error, or nothing.
enum class Progress { lines, statusLine, none };

struct PlaybackOptions {
    int32_t frameInterval = 1000000 / 30;  // microseconds per video frame
    int32_t skipFrames = 0;                // frame numbers up to this one are shown as skipped
    int32_t stopFrame = -1;                // the walk ends once a record reaches it; negative: never
    Progress progress = Progress::lines;
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
};

// Takes the options for the next walk and starts a fresh clock and log.
void startPlayback(const PlaybackOptions& options);

// Reads path (or the asciicast recording prepared for it) and walks it, writing the log
// "output".
PlaybackResult loadRecording(const std::string& path);

// Walks records already in memory (the log, if open, receives their entries). Returns early
// when an interruption was asked for, after the record in progress.
PlaybackResult walkRecording(std::span<const uint8_t> data);

// Plays the record whose header starts at position (end: where the recording data ends; a
// record cut short by it is played with what is there). Returns the next record's start, or
// end when the walk must end, which walkRecording then reports.
const uint8_t* stepRecord(const uint8_t* position, const uint8_t* end);

const FrameClock& frameClock();

// Default options, a fresh clock, the log closed.
void resetPlayback();
