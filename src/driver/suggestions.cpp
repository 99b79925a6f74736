#include "driver/suggestions.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/codecs.h"

namespace {

std::string lowered(std::string_view text) {
    std::string low(text);
    for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return low;
}

// The edits (a letter inserted, deleted or replaced, two neighbours swapped) from a to b.
size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t replace = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

bool looksLikeOption(std::string_view argument) { return argument.size() > 1 && argument[0] == '-'; }

bool takeValues(const std::vector<const OptionRow*>& rows) {
    return std::any_of(rows.begin(), rows.end(), [](const OptionRow* row) { return row->kind != ValueKind::none; });
}

// The word as a shell reads it back: quoted when it holds anything but the usual characters.
std::string shellWord(std::string_view word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               std::string_view("-_./:=,+@%").find(c) != std::string_view::npos;
    });
    if (plain) return std::string(word);
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// "-fps", "-fps 10", "-font or -font-size", "-png, -padding or -progress".
std::string alternatives(const std::vector<const OptionRow*>& rows, const std::string& value) {
    std::string text;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) text += i + 1 == rows.size() ? " or " : ", ";
        text += rows[i]->name;
    }
    return rows.size() == 1 && !value.empty() ? text + " " + value : text;
}

// From the last dot of the file's name on: ".gif"; "" when it has none.
std::string_view extensionOf(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

bool namesContainer(std::string_view extension) {
    const std::span<const MovieContainerInfo> containers = movieContainers();
    return std::any_of(containers.begin(), containers.end(),
                       [&](const MovieContainerInfo& info) { return namesMatch(extension, info.extension); });
}

}  // namespace

std::vector<const OptionRow*> nearestOptions(std::string_view argument) {
    std::string wanted = lowered(argument);
    if (const OptionRow* row = findOption(wanted)) return {row};
    if (wanted.rfind("--", 0) == 0) wanted.erase(0, 1);
    if (!looksLikeOption(wanted) || wanted[1] == '-') return {};
    if (const OptionRow* row = findOption(wanted)) return {row};
    std::vector<const OptionRow*> begun;
    for (const OptionRow& row : optionTable()) {
        if (lowered(row.name).rfind(wanted, 0) == 0) begun.push_back(&row);
    }
    if (!begun.empty()) return begun;
    std::vector<const OptionRow*> nearest;
    size_t fewest = SIZE_MAX;
    for (const OptionRow& row : optionTable()) {
        const size_t edits = editDistance(wanted, lowered(row.name));
        // An edit for every three letters at most: "-fsp" is -fps, "-x" is not -h.
        if (edits * 3 > std::max(wanted.size(), row.name.size()) - 1 || edits > fewest) continue;
        if (edits < fewest) nearest.clear();
        fewest = edits;
        nearest.push_back(&row);
    }
    return nearest;
}

bool namesMovieOrPicture(std::string_view name) {
    const std::string_view extension = extensionOf(name);
    return !extension.empty() && (namesContainer(extension) || namesMatch(extension, ".png"));
}

LeftAside leaveAside(std::span<const std::string> arguments, size_t at) {
    const std::string& argument = arguments[at];
    const std::string shown = shellWord(argument);
    const OptionRow* named = findOption(argument);
    if (named != nullptr && named->set == nullptr) {
        return {"Warning: " + shown + " counts only as the first argument (reelcap " + shown +
                ") and is left aside here."};
    }
    std::vector<const OptionRow*> near;
    if (looksLikeOption(argument)) {
        // Only options read after the recording can be meant here.
        near = nearestOptions(argument);
        std::erase_if(near, [](const OptionRow* row) { return row->set == nullptr; });
    } else if (const OptionRow* dashed = findOption("-" + argument); dashed != nullptr && dashed->set != nullptr) {
        near = {dashed};  // "fps 10" for "-fps 10"
    }
    if (!looksLikeOption(argument) && near.empty()) {
        if (namesMovieOrPicture(argument)) {
            return {"Warning: " + shown +
                    " is left aside: the output is named right after the recording, or by -output " + shown + "."};
        }
        return {"Warning: " + shown + " is left aside: it is no option (reelcap -h lists them)."};
    }
    // An unknown option's value is told with it, not as a second unknown argument.
    const bool withValue = (near.empty() || takeValues(near)) && at + 1 < arguments.size() &&
                           !looksLikeOption(arguments[at + 1]);
    const std::string value = withValue ? shellWord(arguments[at + 1]) : "";
    std::string warning = "Warning: unknown option " + shown + (withValue ? " " + value : "") + " is left aside; ";
    warning += near.empty() ? "no option is named like it (reelcap -h lists them)."
                            : "did you mean " + alternatives(near, value) + "?";
    return {warning, withValue ? 2u : 1u};
}

std::string outputNameWarning(const RunSettings& settings) {
    if (!settings.outputGiven || !settings.movieOutput || settings.at.given) return "";
    const std::string_view extension = extensionOf(settings.outputName);
    if (extension.size() < 2 || namesContainer(extension)) return "";
    std::string written;
    for (const MovieContainerInfo& info : movieContainers()) {
        written += (written.empty() ? "" : ", ") + std::string(info.extension);
    }
    std::string warning = "Warning: reelcap writes no " + std::string(extension) + " files; " + settings.outputName +
                          " is written as an AVI file (the containers it writes: " + written;
    if (namesMatch(extension, ".png")) warning += "; -at TIME writes one PNG picture, -png a series";
    return warning + ").";
}

std::string outputNameError(const RunSettings& settings) {
    if (!settings.outputGiven || settings.outputName != "-") return "";
    return "Error: -output - would send the movie to standard output, which carries reelcap's messages; "
           "name a file instead, e.g. -output demo.mp4.";
}

std::string recordingFirstError(std::span<const std::string> arguments) {
    if (arguments.size() < 2 || !looksLikeOption(arguments[1])) return "";
    std::error_code error;
    if (std::filesystem::exists(arguments[1], error)) return "";
    const std::vector<const OptionRow*> near = nearestOptions(arguments[1]);
    if (near.empty()) return "";
    if (std::none_of(near.begin(), near.end(), [](const OptionRow* row) { return row->set != nullptr; })) {
        return "Error: reelcap has no option " + shellWord(arguments[1]) + "; did you mean reelcap " +
               alternatives(near, "") + "?";
    }
    // The recording is the first argument that is neither an option nor an option's value; an
    // output named right after it stays there.
    std::string recording;
    std::string rest;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (!recording.empty() || looksLikeOption(word)) {
            rest.append(" ").append(shellWord(word));
            if (recording.empty() && takeValues(nearestOptions(word)) && i + 1 < arguments.size() &&
                !looksLikeOption(arguments[i + 1])) {
                rest.append(" ").append(shellWord(arguments[++i]));
            }
            continue;
        }
        recording = shellWord(word);
        if (i + 1 < arguments.size() && !looksLikeOption(arguments[i + 1]) && namesMovieOrPicture(arguments[i + 1])) {
            recording.append(" ").append(shellWord(arguments[++i]));
        }
    }
    return "Error: the recording comes first: reelcap " + (recording.empty() ? "FILE" : recording) + rest;
}
