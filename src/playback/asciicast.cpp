#include "playback/asciicast.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include "playback/asciicast_parts.h"

namespace asciicast {

namespace {

std::span<const uint8_t> firstLine(std::span<const uint8_t> data) {
    auto newline = std::find(data.begin(), data.end(), uint8_t{'\n'});
    return data.first(static_cast<size_t>(newline - data.begin()));
}

bool isBlank(std::span<const uint8_t> line) {
    return std::all_of(line.begin(), line.end(), [](uint8_t c) { return c == ' ' || c == '\t' || c == '\r'; });
}

}  // namespace

// The parser's message without its tag and without the raw bytes it quotes, which may not be
// printable: "column 6: syntax error while parsing value - invalid literal".
std::string parseFailureText(const Json::exception& failure) {
    std::string text = failure.what();
    size_t column = text.find("column ");
    size_t tagEnd = text.find("] ");
    if (column != std::string::npos) text.erase(0, column);
    else if (tagEnd != std::string::npos) text.erase(0, tagEnd + 2);
    size_t quoted = text.find("; last read");
    if (quoted != std::string::npos) text.erase(quoted);
    return text;
}

namespace {

std::optional<Json> parseLine(std::span<const uint8_t> line, std::string& error) {
    try {
        return Json::parse(line.begin(), line.end());
    } catch (const Json::exception& failure) {
        // Not only parse_error: a number beyond a double's range throws out_of_range.
        error = "not valid JSON (" + parseFailureText(failure) + ")";
        return std::nullopt;
    }
}

}  // namespace

// A header member that is a whole number within [low, high]; an absent one leaves value alone.
bool readWholeNumber(const Json& header, const char* name, int64_t low, int64_t high, int64_t& value,
                     std::string& error) {
    auto member = header.find(name);
    if (member == header.end()) return true;
    std::optional<int64_t> number;
    if (member->is_number_unsigned()) {
        if (member->get<uint64_t>() <= static_cast<uint64_t>(high)) number = member->get<int64_t>();
    } else if (member->is_number_integer()) {
        number = member->get<int64_t>();
    }
    if (number && *number >= low && *number <= high) {
        value = *number;
        return true;
    }
    error = std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) + " to " +
            std::to_string(high) + ", not " + member->dump();
    return false;
}

void readTitle(const Json& header, AsciicastRecording& recording) {
    auto member = header.find("title");
    if (member != header.end() && member->is_string()) recording.title = member->get<std::string>();
}

namespace {

// The last microsecond a record's 32-bit seconds reach.
constexpr int64_t kLatestRecordTime = (int64_t{std::numeric_limits<uint32_t>::max()} + 1) * kMicrosPerSecond - 1;


// "#rrggbb" as 0xRRGGBB.
std::optional<uint32_t> colourOf(std::string_view text) {
    uint32_t colour = 0;
    if (text.size() != 7 || text[0] != '#') return std::nullopt;
    auto [end, failure] = std::from_chars(text.data() + 1, text.data() + text.size(), colour, 16);
    if (failure != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return colour;
}

std::string shownOrMissing(const Json& holder, const char* name) {
    auto member = holder.find(name);
    return member == holder.end() ? "missing" : member->dump();
}

// The "theme" member of holder (the header, or version 3's "term"); absent or null is no theme.
bool readTheme(const Json& holder, AsciicastRecording& recording, std::string& error) {
    auto member = holder.find("theme");
    if (member == holder.end() || member->is_null()) return true;
    if (!member->is_object()) {
        error = "\"theme\" must be an object with \"fg\", \"bg\" and \"palette\", not " + member->dump();
        return false;
    }
    AsciicastTheme theme;
    for (auto [name, colour] : {std::pair{"fg", &theme.foreground}, std::pair{"bg", &theme.background}}) {
        auto value = member->find(name);
        std::optional<uint32_t> parsed;
        if (value != member->end() && value->is_string()) parsed = colourOf(value->get_ref<const std::string&>());
        if (!parsed) {
            error = std::string("the theme's \"") + name + "\" must be a colour \"#rrggbb\", not " +
                    shownOrMissing(*member, name);
            return false;
        }
        *colour = *parsed;
    }
    auto palette = member->find("palette");
    if (palette != member->end() && palette->is_string()) {
        std::string_view rest = palette->get_ref<const std::string&>();
        while (theme.palette.size() < 16) {
            size_t colon = rest.find(':');
            std::optional<uint32_t> colour = colourOf(rest.substr(0, colon));
            if (!colour) break;
            theme.palette.push_back(*colour);
            if (colon == std::string_view::npos) {
                if (theme.palette.size() != 8 && theme.palette.size() != 16) break;
                recording.theme = std::move(theme);
                return true;
            }
            rest.remove_prefix(colon + 1);
        }
    }
    error = "the theme's \"palette\" must be 8 or 16 colours \"#rrggbb\" joined by \":\", not " +
            shownOrMissing(*member, "palette");
    return false;
}

// Absent, null or 0: no limit.
bool readIdleTimeLimit(const Json& header, AsciicastRecording& recording, std::string& error) {
    auto member = header.find("idle_time_limit");
    if (member == header.end() || member->is_null()) return true;
    double seconds = member->is_number() ? member->get<double>() : -1;
    if (!(seconds >= 0)) {
        error = "\"idle_time_limit\" must be a number of seconds from 0 on, not " + member->dump();
        return false;
    }
    if (seconds > 0) recording.idleTimeLimit = seconds;
    return true;
}

// "COLSxROWS", each a whole number from 1 on.
bool readSize(const Json& data, int32_t& columns, int32_t& rows) {
    if (!data.is_string()) return false;
    std::string_view text = data.get_ref<const std::string&>();
    size_t cross = text.find('x');
    if (cross == std::string_view::npos) return false;
    int64_t numbers[2] = {0, 0};
    std::string_view parts[2] = {text.substr(0, cross), text.substr(cross + 1)};
    for (int i = 0; i < 2; ++i) {
        if (parts[i].empty()) return false;
        for (char c : parts[i]) {
            if (c < '0' || c > '9') return false;
            numbers[i] = numbers[i] * 10 + (c - '0');
            if (numbers[i] > kLargestSize) return false;
        }
        if (numbers[i] == 0) return false;
    }
    columns = static_cast<int32_t>(numbers[0]);
    rows = static_cast<int32_t>(numbers[1]);
    return true;
}

}  // namespace

// One event at time (microseconds from the start): "o", "i", "r" and "m" events are kept; other
// codes, and input that is not text, are left out.
bool takeEvent(Reading& reading, int64_t time, std::string_view code, const Json& data, std::string& error) {
    AsciicastRecording& recording = reading.recording;
    const int64_t at = recording.startTime + time;
    recording.endTime = std::max(recording.endTime, at);
    if (code == "o") {
        if (!data.is_string()) {
            error = "the data of an \"o\" event must be a string";
            return false;
        }
        const std::string& text = data.get_ref<const std::string&>();
        if (text.size() > std::numeric_limits<uint32_t>::max()) {
            error = "the event's data is too long for one record";
            return false;
        }
        recording.events.push_back({.kind = EventKind::output, .time = at, .data = text, .columns = 0, .rows = 0});
        ++recording.outputs;
    } else if (code == "i") {
        if (!data.is_string()) return true;
        recording.events.push_back(
            {.kind = EventKind::input, .time = at, .data = data.get<std::string>(), .columns = 0, .rows = 0});
        recording.hasInput = true;
    } else if (code == "r") {
        StoredEvent resize;
        resize.kind = EventKind::resize;
        resize.time = at;
        if (!readSize(data, resize.columns, resize.rows)) {
            error = "the data of an \"r\" event must be a size \"COLSxROWS\", not " + data.dump();
            return false;
        }
        recording.largestColumns = std::max(recording.largestColumns, resize.columns);
        recording.largestRows = std::max(recording.largestRows, resize.rows);
        recording.events.push_back(std::move(resize));
    } else if (code == "m") {
        if (!data.is_string()) {
            error = "the data of an \"m\" event must be a string, its label";
            return false;
        }
        recording.events.push_back(
            {.kind = EventKind::marker, .time = at, .data = data.get<std::string>(), .columns = 0, .rows = 0});
        ++recording.markers;
    }
    return true;
}

// Adds an interval (versions 1 and 3 time each event from the one before) to reading.elapsed.
bool addInterval(const Json& interval, const char* name, Reading& reading, std::string& error) {
    double seconds = interval.is_number() ? interval.get<double>() : -1;
    if (!(seconds >= 0)) {
        error = std::string("the ") + name + " must be a number of seconds from 0 on, not " + interval.dump();
        return false;
    }
    double micros = std::round(seconds * kMicrosPerSecond);
    if (!(micros <= static_cast<double>(kLatestRecordTime - reading.recording.startTime - reading.elapsed))) {
        error = "the events' times add up past the latest a record can hold";
        return false;
    }
    reading.elapsed += static_cast<int64_t>(micros);
    return true;
}

namespace {

// The header of version 2 or 3.
bool readHeader(const Json& header, AsciicastRecording& recording, std::string& error) {
    if (!header.is_object()) {
        error = "the header must be a JSON object";
        return false;
    }
    auto version = header.find("version");
    if (version == header.end() || !version->is_number() || (*version != 2 && *version != 3)) {
        error = "asciicast version " + (version == header.end() ? std::string("missing") : version->dump()) +
                "; only versions 1, 2 and 3 are read";
        return false;
    }
    recording.version = *version == 2 ? 2 : 3;
    int64_t columns = 0;
    int64_t rows = 0;
    int64_t timestamp = 0;
    if (recording.version == 2) {
        if (!readWholeNumber(header, "width", 1, kLargestSize, columns, error) ||
            !readWholeNumber(header, "height", 1, kLargestSize, rows, error)) {
            return false;
        }
    } else {
        auto term = header.find("term");
        if (term == header.end() || !term->is_object() || !term->contains("cols") || !term->contains("rows")) {
            error = "the header's \"term\" must be an object with \"cols\" and \"rows\"";
            return false;
        }
        if (!readWholeNumber(*term, "cols", 1, kLargestSize, columns, error) ||
            !readWholeNumber(*term, "rows", 1, kLargestSize, rows, error) || !readTheme(*term, recording, error)) {
            return false;
        }
    }
    if (!readWholeNumber(header, "timestamp", 0, std::numeric_limits<uint32_t>::max(), timestamp, error) ||
        !readIdleTimeLimit(header, recording, error) ||
        (recording.version == 2 && !readTheme(header, recording, error))) {
        return false;
    }
    readTitle(header, recording);
    recording.columns = recording.largestColumns = static_cast<int32_t>(columns);
    recording.rows = recording.largestRows = static_cast<int32_t>(rows);
    recording.startTime = recording.endTime = timestamp * kMicrosPerSecond;
    return true;
}

// A version 2 event: [time, code, data], the time from the start of the recording.
bool convertVersion2Event(const Json& event, Reading& reading, std::string& error) {
    if (!event.is_array() || event.size() != 3 || !event[1].is_string()) {
        error = "an event must be [time, type, data]";
        return false;
    }
    double time = event[0].is_number() ? event[0].get<double>() : -1;
    // Whole microseconds, as ttyrec records count them; the sum must fit their 32-bit seconds.
    double micros = std::round(time * kMicrosPerSecond);
    auto baseSeconds = static_cast<uint32_t>(reading.recording.startTime / kMicrosPerSecond);
    double latest = (static_cast<double>(std::numeric_limits<uint32_t>::max()) - baseSeconds + 1) * kMicrosPerSecond;
    if (!(time >= 0) || !(micros < latest)) {
        error = "the event time must be a number of seconds from 0 on, not " + event[0].dump();
        return false;
    }
    return takeEvent(reading, static_cast<int64_t>(micros), event[1].get_ref<const std::string&>(), event[2], error);
}

// A version 3 event: [interval, code, data], the interval from the event before.
bool convertVersion3Event(const Json& event, Reading& reading, std::string& error) {
    if (!event.is_array() || event.size() != 3 || !event[1].is_string()) {
        error = "an event must be [interval, code, data]";
        return false;
    }
    return addInterval(event[0], "interval", reading, error) &&
           takeEvent(reading, reading.elapsed, event[1].get_ref<const std::string&>(), event[2], error);
}

// Versions 2 and 3: a header line, then event lines; blank lines, and in version 3 lines that
// start with '#', are skipped.
bool convertLine(std::span<const uint8_t> line, size_t lineNumber, Reading& reading, std::string& error) {
    AsciicastRecording& recording = reading.recording;
    if (lineNumber > 1 && (isBlank(line) || (recording.version == 3 && line[0] == '#'))) return true;
    std::string problem;
    std::optional<Json> value = parseLine(line, problem);
    bool converted = value.has_value() && (lineNumber == 1            ? readHeader(*value, recording, problem)
                                           : recording.version == 2 ? convertVersion2Event(*value, reading, problem)
                                                                    : convertVersion3Event(*value, reading, problem));
    if (!converted) error = "line " + std::to_string(lineNumber) + ": " + problem;
    return converted;
}

bool convertLines(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    Reading reading{recording};
    size_t lineNumber = 0;
    while (!data.empty()) {
        std::span<const uint8_t> line = firstLine(data);
        data = data.subspan(std::min(data.size(), line.size() + 1));
        if (!convertLine(line, ++lineNumber, reading, error)) return false;
    }
    if (lineNumber == 0) {
        error = "line 1: the header is missing";
        return false;
    }
    return true;
}

}  // namespace

}  // namespace asciicast

using asciicast::Json;

// What may come before the header's opening brace: a byte order mark and blanks.
bool startsLikeAnObject(std::span<const uint8_t> data) {
    size_t at = 0;
    if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) at = 3;
    while (at < data.size() && (data[at] == ' ' || data[at] == '\t' || data[at] == '\r')) ++at;
    return at < data.size() && data[at] == '{';
}

bool isAsciicast(std::span<const uint8_t> data) {
    if (!startsLikeAnObject(data)) return false;
    std::span<const uint8_t> line = asciicast::firstLine(data);
    Json header = Json::parse(line.begin(), line.end(), nullptr, false);
    return (header.is_object() && header.contains("version")) || asciicast::isVersion1(data);
}

bool convertAsciicast(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    recording = AsciicastRecording{};
    error.clear();
    try {
        if (asciicast::isVersion1(data) ? asciicast::convertVersion1(data, recording, error)
                                        : asciicast::convertLines(data, recording, error)) {
            return true;
        }
    } catch (const std::bad_alloc&) {
        error = "cannot be converted: not enough memory";
    }
    recording = AsciicastRecording{};
    return false;
}

bool readsByLine(std::span<const uint8_t> line) {
    Json header = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!header.is_object()) return false;
    auto version = header.find("version");
    return version != header.end() && version->is_number() && (*version == 2 || *version == 3);
}

bool convertAsciicastLine(std::span<const uint8_t> line, size_t lineNumber, AsciicastRecording& recording,
                          int64_t& elapsed, std::string& error) {
    asciicast::Reading reading{recording, elapsed};
    try {
        if (!asciicast::convertLine(line, lineNumber, reading, error)) return false;
    } catch (const std::bad_alloc&) {
        error = "cannot be converted: not enough memory";
        return false;
    }
    elapsed = reading.elapsed;
    return true;
}
