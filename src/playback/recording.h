#pragma once
// Reads a whole recording and walks its records, turning record times into frame numbers.

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

extern FrameClock frameClock;

// The current record's payload, as it stands in the recording buffer.
extern std::span<const uint8_t> payloadText;

void resetFrameClock();

// Returns after the last record; ends the process on a file error or at the stop limit.
void loadRecording(const std::string& path);

// Walks records already in memory (the log, if open, receives their entries). Returns early
// when an interruption was asked for, after the record in progress.
void walkRecording(std::span<const uint8_t> data);

// Processes the record whose header starts at position; returns the next record's start.
// end is the end of the recording data; a record cut short by it is played with what is there.
const uint8_t* stepRecord(const uint8_t* position, const uint8_t* end);

// Writes the time since the first record as "%02d:%02d:%02d", without a newline.
void printRecordTime(uint32_t seconds, int32_t micros);
