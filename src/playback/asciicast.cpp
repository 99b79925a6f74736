#include "playback/asciicast.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

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

bool readHeader(const Json& header, AsciicastRecording& recording, uint32_t& baseSeconds, std::string& error) {
    if (!header.is_object()) {
        error = "the header must be a JSON object";
        return false;
    }
    auto version = header.find("version");
    if (version == header.end() || !version->is_number() || *version != 2) {
        error = "asciicast version " + (version == header.end() ? std::string("missing") : version->dump()) +
                "; only version 2 is read";
        return false;
    }
    int64_t columns = 0;
    int64_t rows = 0;
    int64_t timestamp = 0;
    constexpr int64_t kLargest = std::numeric_limits<int32_t>::max();
    if (!readWholeNumber(header, "width", 1, kLargest, columns, error) ||
        !readWholeNumber(header, "height", 1, kLargest, rows, error) ||
        !readWholeNumber(header, "timestamp", 0, std::numeric_limits<uint32_t>::max(), timestamp, error)) {
        return false;
    }
    recording.columns = static_cast<int32_t>(columns);
    recording.rows = static_cast<int32_t>(rows);
    baseSeconds = static_cast<uint32_t>(timestamp);
    return true;
}

// One event line; an "o" event becomes a record, other types are left out.
bool convertEvent(const Json& event, uint32_t baseSeconds, std::vector<uint8_t>& records, std::string& error) {
    if (!event.is_array() || event.size() != 3 || !event[1].is_string()) {
        error = "an event must be [time, type, data]";
        return false;
    }
    double time = event[0].is_number() ? event[0].get<double>() : -1;
    // Whole microseconds, as ttyrec records count them; the sum must fit their 32-bit seconds.
    double micros = std::round(time * kMicrosPerSecond);
    double latest = (static_cast<double>(std::numeric_limits<uint32_t>::max()) - baseSeconds + 1) * kMicrosPerSecond;
    if (!(time >= 0) || !(micros < latest)) {
        error = "the event time must be a number of seconds from 0 on, not " + event[0].dump();
        return false;
    }
    if (event[1].get_ref<const std::string&>() != "o") return true;
    if (!event[2].is_string()) {
        error = "the data of an \"o\" event must be a string";
        return false;
    }
    const std::string& data = event[2].get_ref<const std::string&>();
    if (data.size() > std::numeric_limits<uint32_t>::max()) {
        error = "the event's data is too long for one record";
        return false;
    }
    auto total = static_cast<int64_t>(micros);
    appendRecord(records, baseSeconds + static_cast<uint32_t>(total / kMicrosPerSecond),
                 static_cast<uint32_t>(total % kMicrosPerSecond), data);
    return true;
}

bool convertLines(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    uint32_t baseSeconds = 0;
    size_t lineNumber = 0;
    std::string problem;
    while (!data.empty()) {
        std::span<const uint8_t> line = firstLine(data);
        data = data.subspan(std::min(data.size(), line.size() + 1));
        ++lineNumber;
        if (lineNumber > 1 && isBlank(line)) continue;
        std::optional<Json> value = parseLine(line, problem);
        bool converted = value.has_value() &&
                         (lineNumber == 1 ? readHeader(*value, recording, baseSeconds, problem)
                                          : convertEvent(*value, baseSeconds, recording.records, problem));
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

// The whole file, or nothing when it is not a regular file that starts like a JSON object.
std::optional<std::vector<uint8_t>> readCandidate(const std::string& path) {
    // Only a regular file is opened here: opening a named pipe, even without waiting, would let
    // its writer start and then see the pipe closed under it.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::vector<uint8_t> data;
    bool complete = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && readAll(fd, data, kSniffSize) &&
                startsLikeAnObject(data) && readAll(fd, data, std::numeric_limits<size_t>::max());
    close(fd);
    if (!complete) return std::nullopt;
    return data;
}

}  // namespace

bool isAsciicast(std::span<const uint8_t> data) {
    if (!startsLikeAnObject(data)) return false;
    std::span<const uint8_t> line = firstLine(data);
    Json header = Json::parse(line.begin(), line.end(), nullptr, false);
    return header.is_object() && header.contains("version");
}

bool convertAsciicast(std::span<const uint8_t> data, AsciicastRecording& recording, std::string& error) {
    recording = AsciicastRecording{};
    error.clear();
    try {
        if (convertLines(data, recording, error)) return true;
    } catch (const std::bad_alloc&) {
        error = "cannot be converted: not enough memory";
    }
    recording = AsciicastRecording{};
    return false;
}

const AsciicastRecording* prepareAsciicast(const std::string& path, std::string& error) {
    prepared = Prepared{};
    error.clear();
    std::optional<std::vector<uint8_t>> data;
    try {
        data = readCandidate(path);
    } catch (const std::bad_alloc&) {
        return nullptr;  // loadRecording reads it again and says so
    }
    if (!data || !isAsciicast(*data)) return nullptr;
    if (!convertAsciicast(*data, prepared.recording, error)) return nullptr;
    prepared.held = true;
    prepared.path = path;
    return &prepared.recording;
}

bool takePreparedAsciicast(const std::string& path, std::vector<uint8_t>& records) {
    if (!prepared.held || prepared.path != path) return false;
    records = std::move(prepared.recording.records);
    prepared = Prepared{};
    return true;
}

void resetAsciicast() { prepared = Prepared{}; }
