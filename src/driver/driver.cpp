#include "driver/driver.h"

#include <lodepng.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "driver/font_search.h"
#include "driver/run_end.h"
#include "driver/settings.h"
#include "emission/emission.h"
#include "emission/frame_files.h"
#include "emission/movie_writer.h"
#include "emission/png_queue.h"
#include "emission/png_writer.h"
#include "platform/avi_file.h"
#include "platform/compression_dialog.h"
#include "platform/interrupts.h"
#include "playback/playback.h"
#include "playback/recording.h"
#include "render/outline_font.h"
#include "render/renderer.h"
#include "render/theme.h"
#include "terminal/terminal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

namespace {

namespace fs = std::filesystem;

bool optionIs(const char* argument, const char* name) { return strcasecmp(argument, name) == 0; }

constexpr const char* kUsage[] = {
    "Usage: reelcap <input file> (options)",
    "Options: ",
    "\t-width (#columns)  Sets terminal width in characters",
    "\t-height (#rows)    Sets terminal height in characters",
    "\t-output (filename) Sets output AVI name (overwritten if it exists)",
    "\t-fps (#)           Sets frames-per-second of output AVI",
    "\t-skip (# frames)   Skip specified number of frames from start in output",
    "\t-stop (# frames)   Stop output after specified number of frames",
    "\t-double            Doubles the output frame size",
    "\t-png               Output a series of .PNG images containing the frames",
    " Parameters are optional, reelcap will default to a 80 x 25 terminal at 30 fps",
    " .PNG frames are output to a subdirectory named 'frames'",
    " .AVI movies are saved by default to 'output.avi'",
};

// -quiet leaves out everything but errors and warnings.
bool quiet = false;

// What the run says whatever -quiet asks.
void printAlways(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Says a line unless -quiet was given.
void announce(const std::string& line) {
    if (!quiet) printAlways(line);
}

bool isHelpOption(const char* argument) {
    return optionIs(argument, "-h") || optionIs(argument, "--help") || optionIs(argument, "-help");
}

std::string libraryVersion(unsigned version) {
    return std::to_string(AV_VERSION_MAJOR(version)) + "." + std::to_string(AV_VERSION_MINOR(version)) + "." +
           std::to_string(AV_VERSION_MICRO(version));
}

// FFmpeg's and LodePNG's versions are those of the libraries loaded; libvterm has no call for
// its version, so its version is the one built against.
void printVersions() {
    std::printf("reelcap %s\n", REELCAP_VERSION);
    std::printf("FFmpeg %s\n", av_version_info());
    std::printf("libavformat %s\n", libraryVersion(avformat_version()).c_str());
    std::printf("libavcodec %s\n", libraryVersion(avcodec_version()).c_str());
    std::printf("libavutil %s\n", libraryVersion(avutil_version()).c_str());
    std::printf("libswscale %s\n", libraryVersion(swscale_version()).c_str());
    std::printf("libvterm %s\n", REELCAP_VTERM_VERSION);
    std::printf("LodePNG %s\n", LODEPNG_VERSION_STRING);
    std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& message) {
    printAlways(message);
    endRun(1);
}

// Reads a number the way atoi does, saturating instead of overflowing.
int32_t readNumber(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Why the frames directory could not be made, for the report before playback.
std::error_code framesError;

void makeFramesDirectory() {
    std::error_code error;
    if (!fs::is_directory("frames", error)) fs::create_directory("frames", framesError);
}

// The names of the choices a container holds, its default first: "h264, vp9, av1".
std::string codecsHeldBy(MovieContainer container) {
    const CodecChoice* first = defaultCodecChoice(container);
    std::string names = first != nullptr ? first->name : "";
    for (const CodecChoice& choice : codecChoices()) {
        if (&choice == first || !movieContainerHolds(container, choice.fourcc)) continue;
        names += (names.empty() ? "" : ", ") + std::string(choice.name);
    }
    return names;
}

void printCodecList() {
    for (const CodecChoice& choice : codecChoices()) {
        std::printf("%-6s %s\n", choice.name, choice.description);
    }
    std::printf("The -output name's extension picks the container, which holds (first: the default):\n");
    for (const MovieContainerInfo& info : movieContainers()) {
        std::printf("  %-6s %s\n", info.extension, codecsHeldBy(info.container).c_str());
    }
    std::fflush(stdout);
}

// -quiet counts from the first line on, so it is looked for before the options are read (the
// values of the options that take one are stepped over).
bool quietAsked(int argc, char** argv) {
    static constexpr const char* kTakesValue[] = {
        "-width", "-height", "-fps",  "-stop", "-skip",       "-output",      "-codec", "-emulation", "-idle",
        "-speed", "-last",   "-from", "-to",   "-at",         "-font",        "-font-size", "-line-height",
        "-theme", "-bold-bright", "-padding", "-cursor"};
    for (int i = 2; i < argc; ++i) {
        if (optionIs(argv[i], "-quiet")) return true;
        for (const char* name : kTakesValue) {
            if (optionIs(argv[i], name)) {
                ++i;
                break;
            }
        }
    }
    return false;
}

// A bound, as the other sizes have, far beyond any use.
constexpr int32_t kMostPadding = 500;

// The picture's look: -font, -font-size, -line-height, -theme, -bold-bright, -padding, -cursor.
template <typename ValueOf>
void parseLookOption(const char* argument, int& i, ValueOf valueOf) {
    if (optionIs(argument, "-font")) {
        settings.font = valueOf(i, "Error: need to specify a font file or name.");
    } else if (optionIs(argument, "-font-size")) {
        settings.fontSize = readNumber(valueOf(i, "Error: need to specify the font size in pixels."));
        if (settings.fontSize < 4 || settings.fontSize > 200) {
            fail("Error: -font-size must be between 4 and 200, not " + std::to_string(settings.fontSize) + ".");
        }
    } else if (optionIs(argument, "-line-height")) {
        const char* text = valueOf(i, "Error: need to specify the line height factor.");
        char* end = nullptr;
        settings.lineHeight = std::strtod(text, &end);
        if (end == text || *end != '\0' || !(settings.lineHeight >= 0.5 && settings.lineHeight <= 4)) {
            fail(std::string("Error: -line-height must be a number from 0.5 to 4, not \"") + text + "\".");
        }
    } else if (optionIs(argument, "-theme")) {
        std::string name = valueOf(i, "Error: need to specify a theme name or file.");
        if (std::optional<Theme> builtIn = builtInTheme(name)) {
            settings.theme = *builtIn;
        } else {
            std::error_code error;
            if (!fs::is_regular_file(name, error)) {
                std::string names;
                for (const std::string& known : themeNames()) names += (names.empty() ? "" : ", ") + known;
                fail("Error: unknown theme \"" + name + "\"; the built-in themes are " + names +
                     ", or name a theme file.");
            }
            std::string why;
            settings.theme = readThemeFile(name, why);
            if (!why.empty()) fail("Error: the theme file " + name + " " + why + ".");
        }
        settings.themeGiven = true;
    } else if (optionIs(argument, "-bold-bright")) {
        const char* value = valueOf(i, "Error: need to specify on or off for -bold-bright.");
        if (optionIs(value, "on")) {
            settings.boldBright = 1;
        } else if (optionIs(value, "off")) {
            settings.boldBright = 0;
        } else {
            fail(std::string("Error: -bold-bright takes on or off, not \"") + value + "\".");
        }
    } else if (optionIs(argument, "-padding")) {
        const char* text = valueOf(i, "Error: need to specify the padding in pixels.");
        const std::string_view digits(text);
        const bool whole = !digits.empty() && digits.size() <= 4 &&
                           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        settings.padding = whole ? readNumber(text) : -1;
        if (settings.padding < 0 || settings.padding > kMostPadding) {
            fail(std::string("Error: -padding must be a whole number of pixels from 0 to ") + std::to_string(kMostPadding) +
                 ", not \"" + text + "\".");
        }
    } else if (optionIs(argument, "-cursor")) {
        const char* value = valueOf(i, "Error: need to specify block, bar or underline for -cursor.");
        if (optionIs(value, "block")) {
            settings.cursor = CursorStyle::block;
        } else if (optionIs(value, "bar")) {
            settings.cursor = CursorStyle::bar;
        } else if (optionIs(value, "underline")) {
            settings.cursor = CursorStyle::underline;
        } else {
            fail(std::string("Error: -cursor takes block, bar or underline, not \"") + value + "\".");
        }
    }
}

// Digits with at most one decimal point among or after them: "12", "1.5", ".5".
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

// A value of -idle, -speed or -last within [low, high] (low itself only where lowAllowed).
double readSecondsOption(const char* option, const char* text, double low, bool lowAllowed, double high,
                         const std::string& expected) {
    std::optional<double> value = readDecimal(text);
    if (!value || *value < low || (*value == low && !lowAllowed) || *value > high) {
        fail(std::string("Error: ") + option + " must be " + expected + ", not \"" + text + "\".");
    }
    return *value;
}

// The latest time that can be named: far past any recording.
constexpr double kLatestSeconds = 1e12;

// Seconds with decimals, [h:]mm:ss (the seconds with decimals), or marker:N.
TimePoint readTimeOption(const char* option, const char* text) {
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
    if (!valid) fail(std::string("Error: ") + option + " must be seconds (12.5), [h:]mm:ss or marker:N, not \"" + text + "\".");
    return point;
}

// Options take effect in order; a missing value ends the run at the moment it is met.
void parseOptions(int argc, char** argv) {
    auto valueOf = [&](int& index, const char* missingMessage) -> const char* {
        if (index + 1 >= argc) fail(missingMessage);
        return argv[++index];
    };
    for (int i = 2; i < argc; ++i) {
        const char* argument = argv[i];
        if (optionIs(argument, "-width")) {
            settings.columns = readNumber(valueOf(i, "Error: need to specify width."));
            settings.columnsGiven = true;
        } else if (optionIs(argument, "-height")) {
            settings.rows = readNumber(valueOf(i, "Error: need to specify height."));
            settings.rowsGiven = true;
        } else if (optionIs(argument, "-fps")) {
            settings.fps = readNumber(valueOf(i, "Error: need to specify fps value."));
            // Out-of-range values are refused after parsing, before anything divides by them.
            if (settings.fps > 0) settings.frameInterval = 1000000 / settings.fps;
        } else if (optionIs(argument, "-double")) {
            settings.sizeFactor = 2;
        } else if (optionIs(argument, "-png")) {
            settings.movieOutput = false;
            makeFramesDirectory();
        } else if (optionIs(argument, "-stop")) {
            settings.stopFrame = readNumber(valueOf(i, "Error: need to specify maximum number of output frames."));
        } else if (optionIs(argument, "-skip")) {
            settings.skipFrames = readNumber(valueOf(i, "Error: need to specify number of frames to skip."));
        } else if (optionIs(argument, "-output")) {
            settings.outputName = valueOf(i, "Error: no output .AVI file name?");
            settings.outputGiven = true;
        } else if (optionIs(argument, "-codec")) {
            const char* name = valueOf(i, "Error: need to specify codec name.");
            if (optionIs(name, "list")) {
                printCodecList();
                endRun(0);
            }
            if (findCodecChoice(name) == nullptr) {
                fail(std::string("Error: unknown codec \"") + name + "\"; -codec list shows the choices.");
            }
            settings.codecName = name;
        } else if (optionIs(argument, "-progress")) {
            settings.statusLine = true;
        } else if (optionIs(argument, "-quiet")) {
            settings.quiet = true;
        } else if (optionIs(argument, "-realtime")) {
            settings.realtime = true;
        } else if (optionIs(argument, "-idle")) {
            settings.idleSeconds = readSecondsOption("-idle", valueOf(i, "Error: need to specify idle seconds."), 0, false,
                                                     kLatestSeconds, "a number of seconds above 0");
        } else if (optionIs(argument, "-speed")) {
            settings.speed = readSecondsOption("-speed", valueOf(i, "Error: need to specify speed factor."), 0.01, true,
                                               10000, "a number from 0.01 to 10000");
        } else if (optionIs(argument, "-last")) {
            settings.lastSeconds = readSecondsOption("-last", valueOf(i, "Error: need to specify last screen seconds."),
                                                     0, true, kLatestSeconds, "a number of seconds from 0 on");
        } else if (optionIs(argument, "-from")) {
            settings.from = readTimeOption("-from", valueOf(i, "Error: need to specify a time for -from."));
        } else if (optionIs(argument, "-to")) {
            settings.to = readTimeOption("-to", valueOf(i, "Error: need to specify a time for -to."));
        } else if (optionIs(argument, "-at")) {
            settings.at = readTimeOption("-at", valueOf(i, "Error: need to specify a time for -at."));
        } else if (optionIs(argument, "-emulation")) {
            const char* name = valueOf(i, "Error: need to specify emulation name.");
            if (optionIs(name, "basic")) {
                settings.emulation = Emulation::basic;
            } else if (optionIs(name, "xterm")) {
                settings.emulation = Emulation::xterm;
            } else {
                fail(std::string("Error: unknown emulation \"") + name + "\"; the choices are basic and xterm.");
            }
        } else {
            parseLookOption(argument, i, valueOf);  // any other argument is left alone
        }
    }
}

constexpr int32_t kMostColumns = 200;
constexpr int32_t kMostRows = 80;
// A movie frame lasts whole milliseconds, so a movie's rate stops at 1000; a PNG series only
// needs a frame to last at least a microsecond.
constexpr int32_t kMostMovieFps = 1000;
constexpr int32_t kMostPngFps = 1000000;
// A GIF frame lasts whole hundredths of a second, and players stretch anything under two to ten.
constexpr int32_t kMostGifFps = 50;

void checkRanges() {
    struct Range {
        const char* option;
        int32_t value;
        int32_t low;
        int32_t high;
    };
    const Range ranges[] = {
        {"-fps", settings.fps, 1, settings.movieOutput ? kMostMovieFps : kMostPngFps},
        {"-width", settings.columns, 1, kMostColumns},
        {"-height", settings.rows, 1, kMostRows},
    };
    for (const Range& range : ranges) {
        if (range.value < range.low || range.value > range.high) {
            fail(std::string("Error: ") + range.option + " must be between " + std::to_string(range.low) +
                 " and " + std::to_string(range.high) + ", not " + std::to_string(range.value) + ".");
        }
    }
}

// A refused combination ends the run before anything is written.
void checkMovieContainer() {
    if (!settings.movieOutput || settings.at.given) return;
    const MovieContainerInfo& container = movieContainerFor(settings.outputName);
    const CodecChoice* chosen = settings.codecName.empty() ? nullptr : findCodecChoice(settings.codecName);
    if (chosen != nullptr && !movieContainerHolds(container.container, chosen->fourcc)) {
        fail(std::string("Error: ") + container.name + " files cannot hold " + chosen->name +
             "; choose one of: " + codecsHeldBy(container.container) + ".");
    }
    if (container.container == MovieContainer::gif && settings.fps > kMostGifFps) {
        fail("Error: GIF frames last whole hundredths of a second, at least two; -fps must be at most " +
             std::to_string(kMostGifFps) + " for a .gif file.");
    }
}

// An asciicast recording carries its terminal size, which counts where -width or -height was
// not given. Read before the run is announced, so that the announced size is the one used and
// a malformed line ends the run before anything is written.
// Standard input and compressed files are read here too, so that a corrupt stream ends the run
// as early, and standard input is read once. The picture takes the largest size the
// recording's resizes reach.
ReadResult prepareAsciicastInput() {
    ReadResult early = readRecording(settings.inputPath, {.early = true});
    const std::string name = recordingName(settings.inputPath);
    if (!early.error.empty()) fail(early.error);
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
            fail("Error: " + name + " has no marker " + std::to_string(point->marker) + " (it has " +
                 std::to_string(markers) + ")");
        }
    }
    if (recording == nullptr) return early;
    if (recording->theme && !settings.themeGiven) {
        settings.theme = themeFromColours(recording->theme->foreground, recording->theme->background,
                                          recording->theme->palette);
    }
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
            fail("Error: " + name + " has a terminal " + side.what + " of " + std::to_string(side.largest) +
                 "; at most " + std::to_string(side.most) + " can be converted (" + side.option +
                 " plays it at another).");
        }
        if (side.size != 0) side.setting = side.size;
        side.picture = std::max(side.setting, side.largest);
    }
    return early;
}

// Plain times must leave something between -from and -to.
void checkCut() {
    if (settings.at.given || !settings.from.given || !settings.to.given) return;
    if (settings.from.marker == 0 && settings.to.marker == 0 && settings.to.micros <= settings.from.micros) {
        fail("Error: -to must come after -from.");
    }
}

// Deleting the old movie must never delete the recording itself.
void refuseOutputOverRecording(const std::string& outputName) {
    std::error_code error;
    if (!namesStandardInput(settings.inputPath) && fs::equivalent(settings.inputPath, outputName, error)) {
        fail("Error: the output file \"" + outputName + "\" is the recording itself; choose another -output name.");
    }
}

std::string posterName() { return settings.outputGiven ? settings.outputName : "poster.png"; }

// -at: the screen at that time, as one PNG file.
void writePoster(RunStages& stages) {
    if (!stages.painter.paint(stages.terminal).painted) endForMissingFont();
    EncodedPng png = encodePng(stages.painter.frame(), settings.sizeFactor);
    if (png.error != 0) fail("Error: cannot encode " + posterName() + " (encoder error " + std::to_string(png.error) + ")");
    if (!writeWholeFile(posterName(), png.bytes)) fail("Error: cannot write " + posterName() + ": " + std::strerror(errno));
}

// The seconds -last gives the final screen: those asked for, else 3 for the movies people share
// (which should end on it) and none for AVI files and PNG series, as the frame clock has it.
double finalSeconds(const RunSettings& settings) {
    if (settings.lastSeconds >= 0) return settings.lastSeconds;
    if (!settings.movieOutput) return 0;
    MovieContainer container = movieContainerFor(settings.outputName).container;
    return container == MovieContainer::avi ? 0 : 3;
}

int64_t microsOf(double seconds) { return std::llround(std::min(seconds, kLatestSeconds) * 1e6); }

void openMovie(MovieWriter& movie) {
    announce("Output to " + settings.outputName + "...");
    refuseOutputOverRecording(settings.outputName);
    // The old movie goes, whether or not it exists; a device, pipe or directory of that name
    // is never deleted (opening it then fails or writes into it, as the user asked).
    std::error_code error;
    fs::file_status status = fs::symlink_status(settings.outputName, error);
    if (fs::is_regular_file(status) || fs::is_symlink(status)) fs::remove(settings.outputName, error);
    if (!movie.open(settings.outputName, 1000 / settings.fps)) {
        fail("Error: cannot create " + settings.outputName + ": " + std::strerror(errno));
    }
    movie.resetCompressionOptions();
    MovieContainer container = movieContainerFor(settings.outputName).container;
    movie.compressionDialog() = {.preset = settings.codecName.empty() ? defaultCodecChoice(container)
                                                                      : findCodecChoice(settings.codecName),
                                 .interrupted = interruptRequested};
}

// A PNG series with nowhere to go would lose every frame; say so before playing anything.
void requireFramesDirectory() {
    std::error_code error;
    if (fs::is_directory("frames", error)) {
        if (access("frames", W_OK | X_OK) == 0) return;
        fail(std::string("Error: cannot create files in the directory frames: ") + std::strerror(errno));
    }
    std::string reason = fs::exists("frames", error) ? "it exists and is not a directory"
                         : framesError                ? framesError.message()
                                                      : std::strerror(ENOENT);
    fail("Error: cannot create the directory frames: " + reason);
}


EmissionOptions emissionOptionsFor(const RunSettings& settings, MovieWriter* movie, PngQueue* pngQueue) {
    return {.movieOutput = settings.movieOutput,
            .sizeFactor = settings.sizeFactor,
            .skipFrames = settings.skipFrames,
            .stopFrame = settings.stopFrame,
            .writeFrames = settings.writeFrames && !settings.at.given,
            .plainPaths = settings.plainPaths,
            .movie = movie,
            .pngQueue = pngQueue};
}

std::unique_ptr<RunStages> makePictureStages(const RunSettings& settings, const EmissionOptions& emission) {
    Theme theme = settings.theme;
    if (settings.boldBright >= 0) theme.boldBright = settings.boldBright == 1;
    return std::make_unique<RunStages>(
        TerminalOptions{.columns = settings.columns, .rows = settings.rows, .emulation = settings.emulation},
        RenderOptions{.theme = theme,
                   .outlineFont = settings.font,
                   .fontSize = settings.fontSize,
                   .lineHeight = settings.lineHeight,
                   .plainPaths = settings.plainPaths,
                   .fontPath = findFontPath(),
                   .pictureColumns = settings.pictureColumns,
                   .pictureRows = settings.pictureRows,
                   .padding = settings.padding,
                   .cursor = settings.cursor},
        emission);
}

PlaybackOptions playbackOptionsFor(const RunSettings& settings) {
    const double lastFrames = std::round(finalSeconds(settings) * settings.fps);
    return {.frameInterval = settings.frameInterval,
            .fps = settings.fps,
            .skipFrames = settings.skipFrames,
            .stopFrame = settings.stopFrame,
            .progress = settings.quiet        ? Progress::none
                        : settings.statusLine ? Progress::statusLine
                                              : Progress::lines,
            .realtime = settings.realtime,
            .idleLimit = settings.idleSeconds >= 0 ? microsOf(settings.idleSeconds) : -1,
            .speed = settings.speed,
            .from = settings.at.given ? settings.at : settings.from,
            .to = settings.at.given ? TimePoint{} : settings.to,
            .poster = settings.at.given,
            .finalFrames = static_cast<int32_t>(std::min<double>(lastFrames, INT32_MAX - 1)),
            .columnsFixed = settings.columnsGiven,
            .rowsFixed = settings.rowsGiven};
}

// A GIF file goes to disk as its frames come once its palette is known before the first: a
// first pass over the recording learns the colours of every screen the file will show.
bool learnsColoursFirst() {
    return settings.movieOutput && !settings.at.given && settings.writeFrames &&
           movieContainerFor(settings.outputName).container == MovieContainer::gif;
}

// The first pass interprets and paints, silently, and makes no file; every stage then starts
// again as it did for the first, and the second pass, the real one, walks the recording read
// for the first. An interruption during the first pass ends the second where the first ended.
PlaybackResult playLearningColoursFirst(const Recording& recording, std::unique_ptr<RunStages>& stages,
                                        MovieWriter& movie, PngQueue& pngQueue) {
    RunSettings firstPass = settings;
    firstPass.plainPaths = false;
    EmissionOptions emission = {.movieOutput = true,
                                .sizeFactor = settings.sizeFactor,
                                .skipFrames = settings.skipFrames,
                                .stopFrame = settings.stopFrame,
                                .colourPass = true,
                                .movie = &movie};
    stages = makePictureStages(firstPass, emission);
    PlaybackOptions learning = playbackOptionsFor(settings);
    learning.progress = Progress::none;
    learning.log = false;
    learning.warnings = false;
    movie.learnColours(true);
    PlaybackStages learningStages = stages->playback();
    EventSource learningEvents(recording);
    PlaybackResult learned = Playback(learning).walk(learningEvents, learningStages);
    movie.learnColours(false);
    if (learned.end == PlaybackEnd::recordingError) return learned;

    stages = makePictureStages(settings, emissionOptionsFor(settings, &movie, &pngQueue));
    PlaybackOptions real = playbackOptionsFor(settings);
    if (interruptRequested()) real.recordLimit = learned.records;
    PlaybackStages realStages = stages->playback();
    EventSource events(recording);
    return Playback(real).walk(events, realStages);
}

}  // namespace

int runConverter(int argc, char** argv) {
    if (argc >= 2 && optionIs(argv[1], "--version")) {
        printVersions();
        return 0;
    }
    quiet = quietAsked(argc, argv);
    announce("TTY to AVI/PNG conversion utility");
    announce(std::string("reelcap version ") + REELCAP_VERSION);
    announce("Documentation: README.md in the source distribution");
    announce("");
    if (argc < 2 || isHelpOption(argv[1])) {
        printAlways("");
        for (const char* line : kUsage) printAlways(line);
        return 0;
    }
    settings.inputPath = argv[1];
    parseOptions(argc, argv);
    if (settings.inputPath.empty()) fail("Error: no input .ttyrec file?");
    checkRanges();
    checkMovieContainer();
    checkCut();
    ReadResult read = prepareAsciicastInput();
    if (!settings.font.empty()) {
        std::string error;
        if (!OutlineFont().open(settings.font, settings.fontSize, settings.lineHeight, error)) {
            fail("Error: -font " + settings.font + ": " + error + ".");
        }
    }

    announce("Processing file \"" + settings.inputPath + "\" at " + std::to_string(settings.fps) + " fps");
    announce("Using terminal size " + std::to_string(settings.columns) + " x " + std::to_string(settings.rows) +
              "...");
    if (settings.skipFrames > 0) {
        announce("Skipping " + std::to_string(settings.skipFrames) + " frames at the beginning.");
    }
    if (settings.stopFrame >= 0) {
        announce("Outputting a maximum of " + std::to_string(settings.stopFrame) + " frames.");
    }
    if (settings.skipFrames > 0 && settings.stopFrame > 0) {
        // From here on stopFrame is the highest frame number that may be written.
        settings.stopFrame = static_cast<int32_t>(
            std::min<int64_t>(static_cast<int64_t>(settings.stopFrame) + settings.skipFrames, INT32_MAX));
    }
    // Read before any output is touched: a recording that cannot be read leaves an earlier movie
    // of the same name as it was.
    if (!read.recording) read = readRecording(settings.inputPath);
    if (!read.recording) fail(read.error);
    // From here an interruption closes whatever movie there is, even one still being opened.
    installInterruptHandlers();
    MovieWriter movie;
    PngQueue pngQueue;
    if (settings.at.given) {
        announce("Output to " + posterName() + "...");
        refuseOutputOverRecording(posterName());
    } else if (settings.movieOutput) {
        openMovie(movie);
    } else {
        requireFramesDirectory();
    }
    PlaybackResult played;
    std::unique_ptr<RunStages> stages;
    if (learnsColoursFirst()) {
        played = playLearningColoursFirst(*read.recording, stages, movie, pngQueue);
    } else {
        stages = startStages(settings, &movie, &pngQueue);
        PlaybackStages playbackStages = stages->playback();
        EventSource events(*read.recording);
        played = Playback(playbackOptionsFor(settings)).walk(events, playbackStages);
    }
    Emission& emission = stages->emission;
    switch (played.end) {
        case PlaybackEnd::recordingError:
            // A movie already begun is closed, empty, rather than left without its headers.
            printAlways(played.message);
            finishMovie(&emission, movie);
            endRun(1);
        case PlaybackEnd::fontMissing:
            emission.finish();
            endForMissingFont();
        case PlaybackEnd::stopLimit:
            announce("Exiting...");
            finishMovie(&emission, movie);
            endRun(outputStatus(&emission, movie));
        case PlaybackEnd::finished:
            break;
    }

    if (interruptRequested()) {
        // Whatever was written stays usable: the movie is closed as at the stop limit.
        finishMovie(&emission, movie);
        std::string what = settings.movieOutput ? "; " + settings.outputName + " is closed and plays up to there" : "";
        printAlways("Interrupted at frame " + std::to_string(played.frame) + what + ".");
        endRun(128 + interruptSignal());
    }
    if (settings.at.given) writePoster(*stages);
    finishMovie(&emission, movie);
    std::fflush(stdout);
    return outputStatus(&emission, movie);
}

RunStages::RunStages(const TerminalOptions& terminalOptions, const RenderOptions& renderOptions,
                     const EmissionOptions& emissionOptions)
    : terminal(terminalOptions), painter(renderOptions), emission(emissionOptions) {}

std::unique_ptr<RunStages> startStages(const RunSettings& settings, MovieWriter* movie, PngQueue* pngQueue) {
    return makePictureStages(settings, emissionOptionsFor(settings, movie, pngQueue));
}
