#include "driver/option_readers.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/codecs.h"
#include "render/theme.h"

namespace fs = std::filesystem;

int32_t readNumber(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

std::string boundText(double bound) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", bound);
    return text;
}

std::optional<double> readDecimal(std::string_view text) {
    size_t digits = 0;
    size_t points = 0;
    for (char c : text) {
        if (c == '.') {
            ++points;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || points > 1) return std::nullopt;
    return std::strtod(std::string(text).c_str(), nullptr);
}

std::string readSeconds(double& into, const char* text, const OptionRow& row, bool lowAllowed,
                        const std::string& expected) {
    std::optional<double> value = readDecimal(text);
    const OptionRange range = row.range;
    if (!value || *value < range.low || (*value == range.low && !lowAllowed) || *value > range.high) {
        return "Error: " + std::string(row.name) + " must be " + expected + ", not \"" + text + "\".";
    }
    into = *value;
    return "";
}

std::string readTime(TimePoint& into, const char* text, const OptionRow& row) {
    TimePoint point;
    point.given = true;
    std::string_view value(text);
    bool valid = false;
    constexpr std::string_view kMarker = "marker:";
    if (value.size() > kMarker.size() && strncasecmp(text, kMarker.data(), kMarker.size()) == 0) {
        std::string_view number = value.substr(kMarker.size());
        valid = number.size() <= 9 && std::all_of(number.begin(), number.end(), [](char c) {
                    return std::isdigit(static_cast<unsigned char>(c)) != 0;
                });
        if (valid) point.marker = static_cast<int32_t>(std::strtol(std::string(number).c_str(), nullptr, 10));
        valid = valid && point.marker > 0;
    } else {
        double seconds = 0;
        size_t parts = 0;
        valid = true;
        while (valid) {
            size_t colon = value.find(':');
            std::string_view part = value.substr(0, colon);
            bool last = colon == std::string_view::npos;
            std::optional<double> number = readDecimal(part);
            // Hours and minutes are whole.
            valid = number.has_value() && (last || part.find('.') == std::string_view::npos) && ++parts <= 3;
            if (valid) seconds = seconds * 60 + *number;
            if (last) break;
            value.remove_prefix(colon + 1);
        }
        valid = valid && seconds <= kLatestSeconds;
        point.micros = std::llround(seconds * 1e6);
    }
    if (!valid) {
        return "Error: " + std::string(row.name) + " must be seconds (12.5), [h:]mm:ss or marker:N, not \"" + text +
               "\".";
    }
    into = point;
    return "";
}

int choiceIndex(const OptionRow& row, const char* value) {
    for (size_t i = 0; i < row.choices.size(); ++i) {
        if (namesMatch(value, row.choices[i])) return static_cast<int>(i);
    }
    return -1;
}

void readSize(int32_t& into, std::string& text, const char* value) {
    into = readNumber(value);
    text = value;
}

std::string setTheme(RunSettings& settings, const char* value, const OptionRow&) {
    const std::string name = value;
    settings.themeGiven = true;
    if (std::optional<Theme> builtIn = builtInTheme(name)) {
        settings.theme = *builtIn;
        return "";
    }
    std::error_code error;
    if (!fs::is_regular_file(name, error)) {
        std::string names;
        for (const std::string& known : themeNames()) names += (names.empty() ? "" : ", ") + known;
        return "Error: unknown theme \"" + name + "\"; the built-in themes are " + names + ", or name a theme file.";
    }
    std::string why;
    settings.theme = readThemeFile(name, why);
    return why.empty() ? "" : "Error: the theme file " + name + " " + why + ".";
}

std::string readPixels(int32_t& into, const char* value, const OptionRow& row) {
    const std::string_view digits(value);
    const bool whole = !digits.empty() && digits.size() <= 4 &&
                       std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    into = whole ? readNumber(value) : -1;
    if (into < row.range.low || into > row.range.high) {
        return "Error: " + std::string(row.name) + " must be a whole number of pixels from " +
               boundText(row.range.low) + " to " + boundText(row.range.high) + ", not \"" + value + "\".";
    }
    return "";
}

std::string setMarginColour(RunSettings& settings, const char* value, const OptionRow&) {
    const std::string text = value;
    uint32_t colour = 0;
    if (!parseHexColour(text.starts_with('#') ? text : "#" + text, colour)) {
        return "Error: -margin-color must be a colour #RRGGBB (quoted: '#2E3440'), or RRGGBB, not \"" + text + "\".";
    }
    settings.window.marginColour = static_cast<Colour>(colour);
    settings.marginGiven = true;
    return "";
}

std::string setCodec(RunSettings& settings, const char* value, const OptionRow&) {
    if (findCodecChoice(value) == nullptr) {
        return std::string("Error: unknown codec \"") + value + "\"; -codec list shows the choices.";
    }
    settings.codecName = value;
    return "";
}
