#pragma once
// Readers of the options' values, each giving the message that stops the run, or "" when the
// value is taken (the plain numbers read as atoi does, without a message).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "driver/options.h"
#include "driver/settings.h"

// The latest time that can be named: far past any recording.
inline constexpr double kLatestSeconds = 1e12;

// Reads a number the way atoi does, saturating instead of overflowing.
int32_t readNumber(const char* text);

// A bound as messages write it: "4", "0.5", "10000".
std::string boundText(double bound);

// Digits with at most one decimal point among or after them: "12", "1.5", ".5".
std::optional<double> readDecimal(std::string_view text);

// A value of -idle, -speed or -last within the row's range (its low end itself only where
// lowAllowed).
std::string readSeconds(double& into, const char* text, const OptionRow& row, bool lowAllowed,
                        const std::string& expected);

// Seconds with decimals, [h:]mm:ss (the seconds with decimals), or marker:N.
std::string readTime(TimePoint& into, const char* text, const OptionRow& row);

// The index of value among the row's words, letter case ignored; -1 when it is none of them.
int choiceIndex(const OptionRow& row, const char* value);

// -width or -height, read as atoi does; checked with the other settings once all are read (a
// later one replaces it), its text kept for the message.
void readSize(int32_t& into, std::string& text, const char* value);

// -padding's or -margin's pixels, within the row's range.
std::string readPixels(int32_t& into, const char* value, const OptionRow& row);

std::string setTheme(RunSettings& settings, const char* value, const OptionRow& row);

// #RRGGBB, or RRGGBB (a shell takes an unquoted # for a comment).
std::string setMarginColour(RunSettings& settings, const char* value, const OptionRow& row);

std::string setCodec(RunSettings& settings, const char* value, const OptionRow& row);
