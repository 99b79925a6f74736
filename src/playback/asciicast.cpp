#include "playback/asciicast.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/decompress.h"
#include "playback/recording.h"
#include "playback/ttyrec_record.h"

namespace {

using Json = nlohmann::json;

struct Prepared {
    bool held = false;
    std::string path;
    AsciicastRecording recording;
};

Prepared prepared;

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr size_t kSniffSize = 64;

std::span<const uint8_t> firstLine(std::span<const uint8_t> data) {
    auto newline = std::find(data.begin(), data.end(), uint8_t{'\n'});
    return data.first(static_cast<size_t>(newline - data.begin()));
}

// What may come before the header's opening brace: a byte order mark and blanks.
bool startsLikeAnObject(std::span<const uint8_t> data) {
    size_t at = 0;
    if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) at = 3;
    while (at < data.size() && (data[at] == ' ' || data[at] == '\t' || data[at] == '\r')) ++at;
    return at < data.size() && data[at] == '{';
}

bool isBlank(std::span<const uint8_t> line) {
    return std::all_of(line.begin(), line.end(), [](uint8_t c) { return c == ' ' || c == '\t' || c == '\r'; });
}

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

std::optional<Json> parseLine(std::span<const uint8_t> line, std::string& error) {
    try {
        return Json::parse(line.begin(), line.end());
    } catch (const Json::exception& failure) {
        // Not only parse_error: a number beyond a double's range throws out_of_range.
        error = "not valid JSON (" + parseFailureText(failure) + ")";
        return std::nullopt;
    }
}

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

// The last microsecond a record's 32-bit seconds reach.
constexpr int64_t kLatestRecordTime = (int64_t{std::numeric_limits<uint32_t>::max()} + 1) * kMicrosPerSecond - 1;
constexpr int64_t kLargestSize = std::numeric_limits<int32_t>::max();

// A recording as its events are read into it.
struct Reading {
    AsciicastRecording& recording;
    size_t recordCount = 0;
    int64_t elapsed = 0;  // the previous event's time from the start, where events give intervals
};

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

// One event at time (microseconds from the start): an "o" event becomes a record, an "r" event a
// resize, an "m" event a marker; other codes are left out.
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
        appendRecord(recording.records, static_cast<uint32_t>(at / kMicrosPerSecond),
                     static_cast<uint32_t>(at % kMicrosPerSecond), text);
        ++reading.recordCount;
    } else if (code == "r") {
        AsciicastResize resize{reading.recordCount, recording.records.size(), at, 0, 0};
        if (!readSize(data, resize.columns, resize.rows)) {
            error = "the data of an \"r\" event must be a size \"COLSxROWS\", not " + data.dump();
            return false;
        }
        recording.largestColumns = std::max(recording.largestColumns, resize.columns);
        recording.largestRows = std::max(recording.largestRows, resize.rows);
        recording.resizes.push_back(resize);
    } else if (code == "m") {
        if (!data.is_string()) {
            error = "the data of an \"m\" event must be a string, its label";
            return false;
        }
        recording.markers.push_back({reading.recordCount, recording.records.size(), at, data.get<std::string>()});
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
bool convertLines(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    Reading reading{recording};
    size_t lineNumber = 0;
    std::string problem;
    while (!data.empty()) {
        std::span<const uint8_t> line = firstLine(data);
        data = data.subspan(std::min(data.size(), line.size() + 1));
        ++lineNumber;
        if (lineNumber > 1 && (isBlank(line) || (recording.version == 3 && line[0] == '#'))) continue;
        std::optional<Json> value = parseLine(line, problem);
        bool converted = value.has_value() && (lineNumber == 1 ? readHeader(*value, recording, problem)
                                               : recording.version == 2
                                                   ? convertVersion2Event(*value, reading, problem)
                                                   : convertVersion3Event(*value, reading, problem));
        if (!converted) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return false;
        }
    }
    if (lineNumber == 0) {
        error = "line 1: the header is missing";
        return false;
    }
    return true;
}

// Where the JSON parser is in a version 1 recording: the line of the last byte other than a blank
// that it has read, which is the line of the token it has just handed over (a number is read one
// byte past its end).
struct LinePosition {
    size_t line = 1;
    size_t tokenLine = 1;
};

struct LineCountingIterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;

    const uint8_t* at = nullptr;
    LinePosition* position = nullptr;

    char operator*() const { return static_cast<char>(*at); }
    LineCountingIterator& operator++() {
        if (*at == '\n') ++position->line;
        else if (*at != ' ' && *at != '\t' && *at != '\r') position->tokenLine = position->line;
        ++at;
        return *this;
    }
    bool operator==(const LineCountingIterator& other) const { return at == other.at; }
};

// What one pass of the parser over a version 1 recording notes: its top-level "version", and the
// lines on which the object, each top-level member and each pair of "stdout" start.
struct Survey {
    const LinePosition* position = nullptr;
    bool stopAtVersion = false;
    int depth = 0;
    std::string member;  // the top-level member being read
    bool inStdout = false;
    std::optional<Json> version;
    size_t objectLine = 1;
    std::map<std::string, size_t> memberLines;
    std::vector<size_t> pairLines;
    std::string error;

    template <typename Value>
    bool begin(const Value& value) {
        if (depth == 0) objectLine = position->tokenLine;
        if (depth == 2 && inStdout) pairLines.push_back(position->tokenLine);
        if (depth == 1 && member == "version" && !version) {
            version = Json(value);
            return !stopAtVersion;
        }
        return true;
    }
    bool null() { return begin(nullptr); }
    bool boolean(bool value) { return begin(value); }
    bool number_integer(Json::number_integer_t value) { return begin(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return begin(value); }
    bool number_float(Json::number_float_t value, const std::string&) { return begin(value); }
    bool string(std::string& value) { return begin(value); }
    bool binary(Json::binary_t&) { return begin(nullptr); }
    bool start_object(size_t) {
        bool go = begin(Json::value_t::object);
        ++depth;
        return go;
    }
    bool end_object() {
        --depth;
        return true;
    }
    bool start_array(size_t) {
        bool go = begin(Json::value_t::array);
        if (depth == 1 && member == "stdout") {
            inStdout = true;
            pairLines.clear();
        }
        ++depth;
        return go;
    }
    bool end_array() {
        if (--depth == 1) inStdout = false;
        return true;
    }
    bool key(std::string& name) {
        if (depth == 1) memberLines[member = name] = position->tokenLine;
        return true;
    }
    bool parse_error(size_t, const std::string&, const Json::exception& failure) {
        // The parser's own line where it gives one ("at line 3, column 5"); a number out of range
        // is named by the line the parser has reached.
        std::string text = failure.what();
        size_t at = text.find(" at line ");
        size_t line = at == std::string::npos ? position->tokenLine : std::stoul(text.substr(at + 9));
        error = "line " + std::to_string(line) + ": not valid JSON (" + parseFailureText(failure) + ")";
        return false;
    }
};

bool surveyVersion1(std::span<const uint8_t> data, Survey& survey, LinePosition& position) {
    survey.position = &position;
    LineCountingIterator first{data.data(), &position};
    LineCountingIterator last{data.data() + data.size(), &position};
    return Json::sax_parse(first, last, &survey);
}

bool isVersion1(std::span<const uint8_t> data) {
    LinePosition position;
    Survey survey;
    survey.stopAtVersion = true;
    surveyVersion1(data, survey, position);
    return survey.version.has_value() && *survey.version == 1;
}

// Version 1: one object, its "stdout" the [delay, data] pairs. A problem is named by the line on
// which the pair or member at fault starts.
bool convertVersion1(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    LinePosition position;
    Survey survey;
    if (!surveyVersion1(data, survey, position)) {
        error = survey.error;
        return false;
    }
    const Json object = Json::parse(data.begin(), data.end());  // the survey found it well formed
    std::string problem;
    auto fail = [&](size_t line) {
        error = "line " + std::to_string(line) + ": " + problem;
        return false;
    };
    auto lineOf = [&](const std::string& name) {
        auto member = survey.memberLines.find(name);
        return member == survey.memberLines.end() ? survey.objectLine : member->second;
    };
    recording.version = 1;
    int64_t columns = 0;
    int64_t rows = 0;
    if (!readWholeNumber(object, "width", 1, kLargestSize, columns, problem)) return fail(lineOf("width"));
    if (!readWholeNumber(object, "height", 1, kLargestSize, rows, problem)) return fail(lineOf("height"));
    recording.columns = recording.largestColumns = static_cast<int32_t>(columns);
    recording.rows = recording.largestRows = static_cast<int32_t>(rows);
    auto pairs = object.find("stdout");
    if (pairs == object.end() || !pairs->is_array()) {
        problem = "\"stdout\" must be an array of [delay, data] pairs";
        return fail(lineOf("stdout"));
    }
    Reading reading{recording};
    for (size_t i = 0; i < pairs->size(); ++i) {
        const Json& pair = (*pairs)[i];
        size_t line = i < survey.pairLines.size() ? survey.pairLines[i] : lineOf("stdout");
        if (!pair.is_array() || pair.size() != 2) {
            problem = "an event must be [delay, data]";
            return fail(line);
        }
        if (!addInterval(pair[0], "delay", reading, problem) ||
            !takeEvent(reading, reading.elapsed, "o", pair[1], problem)) {
            return fail(line);
        }
    }
    return true;
}

bool readAll(int fd, std::vector<uint8_t>& data, size_t limit) {
    while (data.size() < limit) {
        size_t done = data.size();
        data.resize(std::min(limit, std::max<size_t>(2 * done, 1 << 16)));
        ssize_t got = read(fd, data.data() + done, data.size() - done);
        data.resize(done + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
    }
    return true;
}

// What is read ahead: all of standard input, a compressed file (decoded), or a regular file
// that starts like a JSON object.
struct Candidate {
    std::optional<std::vector<uint8_t>> data;
    bool keep = false;  // held whatever it holds, so that it is read (or decoded) once
};

// Nothing when the recording is left for loadRecording to read; error says why when what was
// read cannot be used.
Candidate readCandidate(const std::string& path, std::string& error) {
    constexpr size_t kWhole = std::numeric_limits<size_t>::max();
    Candidate candidate;
    std::vector<uint8_t> data;
    if (namesStandardInput(path)) {
        const size_t limit = static_cast<size_t>(std::min<uint64_t>(streamLimit(), kWhole));
        if (readDecompressing(STDIN_FILENO, limit, data, error)) candidate = {std::move(data), true};
        return candidate;
    }
    // Only a regular file is opened here: opening a named pipe, even without waiting, would let
    // its writer start and then see the pipe closed under it.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return candidate;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return candidate;
    bool complete = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && readAll(fd, data, kSniffSize);
    if (complete && isCompressed(data)) {
        complete = lseek(fd, 0, SEEK_SET) == 0 && readDecompressing(fd, kWhole, data, error);
        candidate.keep = complete;
    } else {
        complete = complete && startsLikeAnObject(data) && readAll(fd, data, kWhole);
    }
    close(fd);
    if (complete) candidate.data = std::move(data);
    return candidate;
}

}  // namespace

bool isAsciicast(std::span<const uint8_t> data) {
    if (!startsLikeAnObject(data)) return false;
    std::span<const uint8_t> line = firstLine(data);
    Json header = Json::parse(line.begin(), line.end(), nullptr, false);
    return (header.is_object() && header.contains("version")) || isVersion1(data);
}

bool convertAsciicast(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    recording = AsciicastRecording{};
    error.clear();
    try {
        if (isVersion1(data) ? convertVersion1(data, recording, error) : convertLines(data, recording, error)) {
            return true;
        }
    } catch (const std::bad_alloc&) {
        error = "cannot be converted: not enough memory";
    }
    recording = AsciicastRecording{};
    return false;
}

const AsciicastRecording* prepareAsciicast(const std::string& path, std::string& error) {
    prepared = Prepared{};
    error.clear();
    Candidate candidate;
    try {
        candidate = readCandidate(path, error);
    } catch (const std::bad_alloc&) {
        // A file is read again by loadRecording, which says so; standard input cannot be.
        if (namesStandardInput(path)) error = "cannot be read: not enough memory";
        return nullptr;
    }
    if (!candidate.data) return nullptr;
    const bool asciicast = isAsciicast(*candidate.data);
    if (asciicast) {
        if (!convertAsciicast(*candidate.data, prepared.recording, error)) return nullptr;
    } else if (candidate.keep) {
        prepared.recording.records = std::move(*candidate.data);
    } else {
        return nullptr;
    }
    prepared.held = true;
    prepared.path = path;
    return asciicast ? &prepared.recording : nullptr;
}

bool takePreparedAsciicast(const std::string& path, AsciicastRecording& recording) {
    if (!prepared.held || prepared.path != path) return false;
    recording = std::move(prepared.recording);
    prepared = Prepared{};
    return true;
}

void resetAsciicast() { prepared = Prepared{}; }
