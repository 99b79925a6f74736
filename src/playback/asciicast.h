#pragma once
// asciicast version 2 recordings (asciinema's format): a JSON header line, then one JSON event
// [time, type, data] per line. They are played by turning them into the ttyrec records that the
// recording walk reads.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct AsciicastRecording {
    int32_t columns = 0;           // the header's terminal size; 0 when the header gives none
    int32_t rows = 0;
    std::vector<uint8_t> records;  // ttyrec records, one per "o" event
};

// True when data's first line is a JSON object with a "version" member. Any other version than
// 2 is then refused by convertAsciicast rather than played as ttyrec bytes.
bool isAsciicast(std::span<const uint8_t> data);

// Converts a recording that isAsciicast accepts. On a malformed line returns false, with error
// "line N: what is wrong" (N counted from 1).
bool convertAsciicast(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error);

// Reads path and, when it holds an asciicast recording, converts it and keeps the result until
// loadRecording takes it, so that the driver knows its size before announcing the run and the
// file is read once. Returns nullptr when path is not an asciicast recording or cannot be read
// (loadRecording then reads it as before), and also on a malformed line, with error set.
const AsciicastRecording* prepareAsciicast(const std::string& path, std::string& error);

// Moves the records prepared for path into records; false when none were prepared for it.
bool takePreparedAsciicast(const std::string& path, std::vector<uint8_t>& records);

void resetAsciicast();
