#pragma once
// What the readers of asciicast lines (versions 2 and 3) and of version 1's one object share.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "playback/asciicast.h"

namespace asciicast {

using Json = nlohmann::json;

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kLargestSize = std::numeric_limits<int32_t>::max();

// A recording as its events are read into it.
struct Reading {
    AsciicastRecording& recording;
    int64_t elapsed = 0;  // the previous event's time from the start, where events give intervals
};

// The parser's message without its tag and without the raw bytes it quotes.
std::string parseFailureText(const Json::exception& failure);

// A member that is a whole number within [low, high]; an absent one leaves value alone.
bool readWholeNumber(const Json& header, const char* name, int64_t low, int64_t high, int64_t& value,
                     std::string& error);

// The header's "title", when it is a string; anything else is no title, as it only names the window.
void readTitle(const Json& header, AsciicastRecording& recording);

// One event at time (microseconds from the start) added to the recording.
bool takeEvent(Reading& reading, int64_t time, std::string_view code, const Json& data, std::string& error);

// Adds an interval (versions 1 and 3 time each event from the one before) to reading.elapsed.
bool addInterval(const Json& interval, const char* name, Reading& reading, std::string& error);

bool isVersion1(std::span<const uint8_t> data);

// Version 1: one object, its "stdout" the [delay, data] pairs.
bool convertVersion1(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error);

}  // namespace asciicast
