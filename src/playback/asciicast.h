#pragma once
// asciicast recordings (asciinema's format), versions 1, 2 and 3. Version 1 is one JSON object
// whose "stdout" holds [delay, data] pairs; versions 2 and 3 are a JSON header line, then one JSON
// event per line. They are read into the header's facts and the events they carry.

#include <cstdint>
#include <span>
#include <string>

#include "playback/events.h"

// True when data may start an asciicast recording: a byte order mark and blanks, then '{'.
bool startsLikeAnObject(std::span<const uint8_t> data);

// True when data's first line is a JSON object with a "version" member, or when data is a JSON
// object (on any number of lines) whose "version" is 1. Any other version than 1, 2 or 3 is then
// refused by convertAsciicast rather than played as ttyrec bytes.
bool isAsciicast(std::span<const uint8_t> data);

// Converts a recording that isAsciicast accepts. On a malformed line returns false, with error
// "line N: what is wrong" (N counted from 1).
bool convertAsciicast(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error);

// True when line, a recording's first, is the header of version 2 or 3: those are read a line
// at a time, their events as they are played.
bool readsByLine(std::span<const uint8_t> line);

// Line lineNumber (from 1, the header) of a version 2 or 3 recording read into recording: the
// header's facts, or its events appended; elapsed carries version 3's intervals from one line to
// the next. False on a malformed line, with error "line N: what is wrong".
bool convertAsciicastLine(std::span<const uint8_t> line, size_t lineNumber, AsciicastRecording& recording,
                          int64_t& elapsed, std::string& error);
