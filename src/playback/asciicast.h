#pragma once
// asciicast recordings (asciinema's format), versions 1, 2 and 3. Version 1 is one JSON object
// whose "stdout" holds [delay, data] pairs; versions 2 and 3 are a JSON header line, then one JSON
// event per line. They are played by turning their output into the ttyrec records that the
// recording walk reads; what else they carry (resizes, markers, the idle time limit, the theme) is
// kept beside the records.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Times are microseconds on the records' clock: a record's seconds * 1000000 + its microseconds.
// An event at recordIndex comes after the first recordIndex "o" records and before the next one,
// which starts at byte recordOffset of the records (records.size() when none follows).
struct AsciicastResize {
    size_t recordIndex = 0;
    size_t recordOffset = 0;
    int64_t time = 0;
    int32_t columns = 0;
    int32_t rows = 0;
};

struct AsciicastMarker {
    size_t recordIndex = 0;
    size_t recordOffset = 0;
    int64_t time = 0;
    std::string label;  // may be empty
};

struct AsciicastTheme {
    uint32_t foreground = 0;        // 0xRRGGBB
    uint32_t background = 0;
    std::vector<uint32_t> palette;  // 8 or 16 colours: 0-7, then 8-15
};

struct AsciicastRecording {
    int32_t version = 0;
    int32_t columns = 0;           // the header's terminal size; 0 when the header gives none
    int32_t rows = 0;
    int32_t largestColumns = 0;    // the largest of the header's size and the resizes', each on its own
    int32_t largestRows = 0;
    std::vector<uint8_t> records;  // ttyrec records, one per "o" event
    std::vector<AsciicastResize> resizes;  // "r" events, in the file's order
    std::vector<AsciicastMarker> markers;  // "m" events, in the file's order
    std::optional<double> idleTimeLimit;   // seconds; none when absent or 0
    std::optional<AsciicastTheme> theme;
    int64_t startTime = 0;  // the recording's time 0: the header's timestamp
    int64_t endTime = 0;    // the latest time of any event (an "x" exit included); startTime when none
};

// True when data's first line is a JSON object with a "version" member, or when data is a JSON
// object (on any number of lines) whose "version" is 1. Any other version than 1, 2 or 3 is then
// refused by convertAsciicast rather than played as ttyrec bytes.
bool isAsciicast(std::span<const uint8_t> data);

// Converts a recording that isAsciicast accepts. On a malformed line returns false, with error
// "line N: what is wrong" (N counted from 1).
bool convertAsciicast(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error);

// Reads path and, when it holds an asciicast recording, converts it and keeps the result until
// loadRecording takes it, so that the driver knows its size before announcing the run and the
// file is read once. Standard input ("-") and compressed files are read (and decoded) here
// whatever they hold, and kept too: a ttyrec recording as the records of a recording of
// version 0. Returns nullptr when path is not an asciicast recording or cannot be read
// (loadRecording then reads it as before), and also, with error set, on a malformed line, a
// corrupt compressed stream or standard input that cannot be read.
const AsciicastRecording* prepareAsciicast(const std::string& path, std::string& error);

// Moves the recording prepared for path into recording; false when none was prepared for it.
bool takePreparedAsciicast(const std::string& path, AsciicastRecording& recording);

void resetAsciicast();
