#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "playback/asciicast_parts.h"

namespace asciicast {

namespace {

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

}  // namespace

bool isVersion1(std::span<const uint8_t> data) {
    LinePosition position;
    Survey survey;
    survey.stopAtVersion = true;
    surveyVersion1(data, survey, position);
    return survey.version.has_value() && *survey.version == 1;
}

// A problem is named by the line on which the pair or member at fault starts.
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
    readTitle(object, recording);
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

}  // namespace asciicast
