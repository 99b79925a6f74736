#pragma once
// The options: one table drives parsing, the -h listing, and the tests that hold the manual and
// the completion against it. Parsing has no effects: it gives the settings, or why it stopped.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/settings.h"

// What an option's value is, which also says what the completion offers for it.
enum class ValueKind {
    none,        // a flag
    wholeNumber,
    decimal,
    time,        // seconds, [h:]mm:ss or marker:N
    name,        // one of a few words
    file,
    nameOrFile,  // a word or a file
    colour,      // #RRGGBB
};

enum class OptionGroup { terminal, output, timing, look, messages, firstArgument };

struct OptionRange {
    double low = 0;
    double high = 0;
};

struct OptionRow;

// Takes value into settings; the message that stops the run, or "".
using SetOption = std::string (*)(RunSettings& settings, const char* value, const OptionRow& row);

struct OptionRow {
    std::string_view name = "";
    ValueKind kind = ValueKind::none;
    std::string_view valueName = "";  // as the listing shows the value: "N", "NAME|FILE"
    OptionRange range = {};        // numbers only
    std::string_view missing = "";  // the message when the value is missing
    OptionGroup group = OptionGroup::output;
    std::string_view help = "";
    SetOption set = nullptr;     // nullptr: an option of the first argument, not parsed after it
    std::string_view listValue = "";  // this value asks for the listing of the choices instead of a run
    std::span<const std::string_view> choices = {};  // the words of a name, where they are fixed
};

std::span<const OptionRow> optionTable();

// The row named name, letter case ignored; nullptr when there is none.
const OptionRow* findOption(std::string_view name);

struct ParsedOptions {
    RunSettings settings;
    std::string error = "";        // non-empty: the run stops with this message
    const OptionRow* listing = nullptr;  // the option whose listing was asked for (-codec list)
    std::vector<std::string> warnings = {};  // for standard error: arguments left aside, the output's name
};

// Reads arguments (the program, the recording, then options, taking effect in order) over
// defaults. A movie or picture named right after the recording is the output, as -output names
// it. Arguments it does not know are left aside, each with a warning; the first error or
// listing stops it.
ParsedOptions parseOptions(std::span<const std::string> arguments, const RunSettings& defaults);

// Whether -quiet is among the options, the values of the options that take one stepped over:
// it counts from the banner on, before the options are read.
bool quietAsked(std::span<const std::string> arguments);

// -h, --help, -help.
bool isHelpOption(std::string_view argument);

// Case-insensitive, as option names and their words are.
bool namesMatch(std::string_view argument, std::string_view name);
