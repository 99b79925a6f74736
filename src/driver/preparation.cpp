#include "driver/preparation.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "driver/font_search.h"
#include "driver/help.h"
#include "driver/narration.h"
#include "driver/options.h"
#include "platform/codecs.h"
#include "playback/asciicast.h"
#include "playback/recording.h"

namespace {

namespace fs = std::filesystem;

// A GIF frame lasts whole hundredths of a second, and players stretch anything under two to ten.
constexpr int32_t kMostGifFps = 50;
// A movie frame lasts whole milliseconds, so a movie's rate stops at 1000; a PNG series only
// needs a frame to last at least a microsecond, as -fps's range has it.
constexpr int32_t kMostMovieFps = 1000;
// The theme asciinema's player shows a recording in when the recording names none.
constexpr const char* kAsciicastTheme = "asciinema";

std::optional<RunError> checkRanges(const RunSettings& settings) {
    const OptionRange fpsRange = findOption("-fps")->range;
    const int32_t mostFps = settings.movieOutput ? kMostMovieFps : static_cast<int32_t>(fpsRange.high);
    if (settings.fps < fpsRange.low || settings.fps > mostFps) {
        return RunError{"Error: -fps must be between " + std::to_string(static_cast<int32_t>(fpsRange.low)) + " and " +
                        std::to_string(mostFps) + ", not " + std::to_string(settings.fps) + "."};
    }
    struct Side {
        const char* option;
        int32_t value;
        const std::string& given;  // as typed, for the message
        const char* what;
    };
    const Side sides[] = {{"-width", settings.columns, settings.columnsText, "width"},
                          {"-height", settings.rows, settings.rowsText, "height"}};
    for (const Side& side : sides) {
        const OptionRange range = findOption(side.option)->range;
        if (side.value >= range.low && side.value <= range.high) continue;
        const std::string value = side.given.empty() ? std::to_string(side.value) : side.given;
        return RunError{std::string("Error: ") + side.option + " " + value + ": the terminal's " + side.what +
                        " counts characters, from " + std::to_string(static_cast<int32_t>(range.low)) + " to " +
                        std::to_string(static_cast<int32_t>(range.high)) + "."};
    }
    return std::nullopt;
}

// A refused combination ends the run before anything is written.
std::optional<RunError> checkMovieContainer(const RunSettings& settings) {
    if (!settings.movieOutput || settings.at.given) return std::nullopt;
    const MovieContainerInfo& container = movieContainerFor(settings.outputName);
    const CodecChoice* chosen = settings.codecName.empty() ? nullptr : findCodecChoice(settings.codecName);
    if (chosen != nullptr && !movieContainerHolds(container.container, chosen->fourcc)) {
        return RunError{std::string("Error: ") + container.name + " files cannot hold " + chosen->name +
                        "; choose one of: " + codecsHeldBy(container.container) + "."};
    }
    if (container.container == MovieContainer::gif && settings.fps > kMostGifFps) {
        return RunError{"Error: GIF frames last whole hundredths of a second, at least two; -fps must be at most " +
                        std::to_string(kMostGifFps) + " for a .gif file."};
    }
    return std::nullopt;
}

// Plain times must leave something between -from and -to.
std::optional<RunError> checkCut(const RunSettings& settings) {
    if (settings.at.given || !settings.from.given || !settings.to.given) return std::nullopt;
    if (settings.from.marker == 0 && settings.to.marker == 0 && settings.to.micros <= settings.from.micros) {
        return RunError{"Error: -to must come after -from."};
    }
    return std::nullopt;
}

}  // namespace

std::optional<RunError> checkSettings(const RunSettings& settings) {
    if (settings.inputPath.empty()) return transcriptError("Error: no input .ttyrec file?");
    if (std::optional<RunError> error = checkRanges(settings)) return error;
    if (std::optional<RunError> error = checkMovieContainer(settings)) return error;
    if (std::optional<RunError> error = checkNarrationOutput(settings)) return error;
    return checkCut(settings);
}

std::optional<RunError> prepareAsciicastInput(RunSettings& settings, ReadResult& early) {
    early = readRecording(settings.inputPath, {.early = true});
    const std::string name = recordingName(settings.inputPath);
    if (!early.error.empty()) return RunError{early.error, 1, early.transcript};
    const AsciicastRecording* recording =
        early.recording && early.recording->format == RecordingFormat::asciicast ? &early.recording->asciicast : nullptr;
    settings.pictureColumns = settings.columns;
    settings.pictureRows = settings.rows;
    // Any regular file and standard input were looked at; a named pipe is read only by playback.
    std::error_code ignored;
    const bool read = recording != nullptr || namesStandardInput(settings.inputPath) ||
                      fs::is_regular_file(settings.inputPath, ignored);
    // -at leaves -from and -to aside.
    const std::vector<const TimePoint*> points =
        settings.at.given ? std::vector<const TimePoint*>{&settings.at}
                          : std::vector<const TimePoint*>{&settings.from, &settings.to};
    for (const TimePoint* point : points) {
        size_t markers = recording != nullptr ? markerCount(*early.recording) : 0;
        if (read && point->given && static_cast<size_t>(point->marker) > markers) {
            return RunError{"Error: " + name + " has no marker " + std::to_string(point->marker) + " (it has " +
                            std::to_string(markers) + ")"};
        }
    }
    if (recording == nullptr) return std::nullopt;
    struct Side {
        const char* what;
        const char* option;
        bool given;
        int32_t size;
        int32_t largest;
        int32_t most;
        int32_t& setting;
        int32_t& picture;
    };
    const Side sides[] = {
        {"width", "-width", settings.columnsGiven, recording->columns, recording->largestColumns, kMostColumns,
         settings.columns, settings.pictureColumns},
        {"height", "-height", settings.rowsGiven, recording->rows, recording->largestRows, kMostRows, settings.rows,
         settings.pictureRows},
    };
    for (const Side& side : sides) {
        if (side.given) continue;
        if (side.largest > side.most) {
            return RunError{"Error: " + name + " has a terminal " + side.what + " of " + std::to_string(side.largest) +
                            "; at most " + std::to_string(side.most) + " can be converted (" + side.option +
                            " plays it at another)."};
        }
        if (side.size != 0) side.setting = side.size;
        side.picture = std::max(side.setting, side.largest);
    }
    return std::nullopt;
}

// An asciicast comes from a modern terminal and its player keeps the recording's clock: unless
// the options say otherwise it is played as an xterm, in real time, in its own colours or the
// player's.
void takeAsciicastDefaults(RunSettings& settings, const Recording& read) {
    if (read.format != RecordingFormat::asciicast) return;
    const AsciicastRecording& recording = read.asciicast;
    if (!settings.emulationGiven) settings.emulation = Emulation::xterm;
    if (!settings.clockGiven) settings.realtime = true;
    if (settings.themeGiven) return;
    if (recording.theme) {
        settings.theme = themeFromColours(recording.theme->foreground, recording.theme->background,
                                          recording.theme->palette);
    } else {
        settings.theme = *builtInTheme(kAsciicastTheme);
    }
}

void takeWindowTitle(RunSettings& settings, const Recording& recording) {
    if (!settings.window.shown) return;
    if (recording.format == RecordingFormat::asciicast && !recording.asciicast.title.empty()) {
        settings.window.title = recording.asciicast.title;
    } else if (!namesStandardInput(settings.inputPath)) {
        settings.window.title = fs::path(settings.inputPath).filename().string();
    }
}

std::optional<RunError> refuseOutputOverRecording(const RunSettings& settings, const std::string& outputName) {
    std::error_code error;
    if (!namesStandardInput(settings.inputPath) && fs::equivalent(settings.inputPath, outputName, error)) {
        return RunError{"Error: the output file \"" + outputName +
                        "\" is the recording itself; choose another -output name."};
    }
    return std::nullopt;
}

std::optional<RunError> requireFramesDirectory(const std::error_code& framesError, const fs::path& directory) {
    const std::string frames = (directory / "frames").string();
    std::error_code error;
    if (fs::is_directory(frames, error)) {
        if (access(frames.c_str(), W_OK | X_OK) == 0) return std::nullopt;
        return RunError{"Error: cannot create files in the directory " + frames + ": " + std::strerror(errno)};
    }
    std::string reason = fs::exists(frames, error) ? "it exists and is not a directory"
                         : framesError             ? framesError.message()
                                                   : std::strerror(ENOENT);
    return RunError{"Error: cannot create the directory " + frames + ": " + reason};
}

std::optional<RunError> requireFontFile(const RunSettings& settings) {
    if (!settings.font.empty() || !findFontPath().empty()) return std::nullopt;
    return transcriptError(missingFontMessage(),
                           "Error: font.txt is in none of the places searched: the working directory, the PATH "
                           "entries, the installed share/reelcap/ and the binary's folder; copy it into one, or "
                           "paint with -font.");
}

std::optional<RunError> requireBitmapDirectory(const RunSettings& settings) {
    if (!settings.movieOutput || settings.at.given || !settings.writeFrames) return std::nullopt;
    const fs::path directory = settings.directory.empty() ? fs::path(".") : settings.directory;
    if (access(directory.c_str(), W_OK | X_OK) == 0) return std::nullopt;
    const int error = errno;
    std::error_code ignored;
    const fs::path shown = settings.directory.empty() ? fs::current_path(ignored) : fs::absolute(directory, ignored);
    return RunError{"Error: cannot write the temporary frame bitmaps in " + shown.string() + ": " +
                    std::strerror(error) + "; run reelcap from a directory you can write in."};
}

std::error_code makeFramesDirectory(const fs::path& directory) {
    const fs::path frames = directory / "frames";
    std::error_code error;
    std::error_code made;
    if (!fs::is_directory(frames, error)) fs::create_directory(frames, made);
    return made;
}
