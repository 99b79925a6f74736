#include "driver/options.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

#include "driver/option_readers.h"
#include "driver/suggestions.h"
#include "platform/codecs.h"
#include "render/theme.h"

namespace {

constexpr std::string_view kEmulations[] = {"basic", "xterm"};
constexpr std::string_view kOnOff[] = {"on", "off"};
constexpr std::string_view kCursors[] = {"block", "bar", "underline"};

// A movie frame lasts whole milliseconds, so a movie's rate stops at 1000 (checked once the
// output is known); a PNG series only needs a frame to last at least a microsecond.
constexpr OptionRange kFpsRange = {1, 1000000};
// A bound, as the other sizes have, far beyond any use; -margin's too.
constexpr OptionRange kPaddingRange = {0, 500};

// The font -font-size and -line-height size when -font names none (a later -font replaces it).
constexpr const char* kSizedFont = "monospace";

using G = OptionGroup;
using K = ValueKind;

constexpr OptionRow kOptions[] = {
    {.name = "-width", .kind = K::wholeNumber, .valueName = "N", .range = {1, kMostColumns}, .missing = "Error: need to specify width.", .group = G::terminal,
     .help = "terminal width in characters (80, or an asciicast file's own)",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.columnsGiven = true;
         readSize(s.columns, s.columnsText, v);
         return std::string();
     }},
    {.name = "-height", .kind = K::wholeNumber, .valueName = "N", .range = {1, kMostRows}, .missing = "Error: need to specify height.", .group = G::terminal,
     .help = "terminal height in characters (25, or an asciicast file's own)",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.rowsGiven = true;
         readSize(s.rows, s.rowsText, v);
         return std::string();
     }},
    {.name = "-emulation", .kind = K::name, .valueName = "basic|xterm", .missing = "Error: need to specify emulation name.", .group = G::terminal,
     .help = "how the output is interpreted: basic, or as an xterm does (a ttyrec: basic; an asciicast: xterm)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         const int index = choiceIndex(row, v);
         if (index < 0) return std::string("Error: unknown emulation \"") + v + "\"; the choices are basic and xterm.";
         s.emulation = index == 0 ? Emulation::basic : Emulation::xterm;
         s.emulationGiven = true;
         return std::string();
     },
     .choices = kEmulations},
    {.name = "-output", .kind = K::file, .valueName = "NAME", .missing = "Error: no output .AVI file name?", .group = G::output,
     .help = "movie file name (output.avi); its extension picks the container",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.outputName = v;
         s.outputGiven = true;
         return std::string();
     }},
    {.name = "-png", .kind = K::none, .group = G::output,
     .help = "write frames/0000001.png, ... instead of a movie",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.movieOutput = false;
         return std::string();
     }},
    {.name = "-codec", .kind = K::name, .valueName = "NAME", .missing = "Error: need to specify codec name.", .group = G::output,
     .help = "the movie's compressor; -codec list lists them",
     .set = setCodec,
     .listValue = "list"},
    {.name = "-fps", .kind = K::wholeNumber, .valueName = "N", .range = kFpsRange, .missing = "Error: need to specify fps value.", .group = G::output,
     .help = "frames per second (30; at most 1000 for a movie, 50 for a GIF)",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.fps = readNumber(v);
         // Out-of-range values are refused after parsing, before anything divides by them.
         if (s.fps > 0) s.frameInterval = 1000000 / s.fps;
         return std::string();
     }},
    {.name = "-double", .kind = K::none, .group = G::output,
     .help = "frames at twice the width and height",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.sizeFactor = 2;
         return std::string();
     }},
    {.name = "-skip", .kind = K::wholeNumber, .valueName = "N", .missing = "Error: need to specify number of frames to skip.", .group = G::output,
     .help = "leave out frame numbers up to N",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.skipFrames = readNumber(v);
         return std::string();
     }},
    {.name = "-stop", .kind = K::wholeNumber, .valueName = "N", .missing = "Error: need to specify maximum number of output frames.", .group = G::output,
     .help = "stop after frame N",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.stopFrame = readNumber(v);
         return std::string();
     }},
    {.name = "-at", .kind = K::time, .valueName = "TIME", .missing = "Error: need to specify a time for -at.", .group = G::output,
     .help = "one picture of the screen at that time (JPEG for .jpg, else PNG), to the -output name or poster.png",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) { return readTime(s.at, v, row); }},
    {.name = "-tidy", .kind = K::none, .group = G::output,
     .help = "leave neither the log \"output\" nor the last frame bitmap in the directory",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.tidy = true;
         return std::string();
     }},
    {.name = "-chapters", .kind = K::name, .valueName = "on|off", .missing = "Error: need to specify on or off for -chapters.", .group = G::output,
     .help = "an asciicast recording's markers become an MP4 or Matroska movie's chapters (on)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         const int index = choiceIndex(row, v);
         if (index < 0) return std::string("Error: -chapters takes on or off, not \"") + v + "\".";
         s.chapters = index == 0;
         return std::string();
     },
     .choices = kOnOff},
    {.name = "-chapter-every", .kind = K::decimal, .valueName = "SECONDS", .range = {1, kLatestSeconds}, .missing = "Error: need to specify the seconds between chapters.", .group = G::output,
     .help = "without marker chapters, a chapter every that many seconds of the movie",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         return readSeconds(s.chapterEvery, v, row, true, "a number of seconds from 1 on");
     }},
    {.name = "-audio", .kind = K::file, .valueName = "FILE", .missing = "Error: need to specify the narration's sound file.", .group = G::output,
     .help = "a narration under the movie (MP4, Matroska, WebM): any sound file FFmpeg reads",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.audioPath = v;
         return std::string();
     }},
    {.name = "-jobs", .kind = K::wholeNumber, .valueName = "N", .range = {1, 1024}, .missing = "Error: need to specify the number of jobs.", .group = G::output,
     .help = "encode the movie or PNG series N parts at once (one per core this process may use)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         const std::string_view digits(v);
         const bool whole = !digits.empty() && digits.size() <= 4 &&
                            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
         s.jobs = whole ? readNumber(v) : -1;
         if (s.jobs >= row.range.low && s.jobs <= row.range.high) return std::string();
         return "Error: -jobs must be a whole number from " + boundText(row.range.low) + " to " +
                boundText(row.range.high) + ", not \"" + v + "\".";
     }},
    {.name = "-audio-offset", .kind = K::decimal, .valueName = "SECONDS", .range = {-kLatestSeconds, kLatestSeconds}, .missing = "Error: need to specify the narration's offset in seconds.", .group = G::output,
     .help = "where the narration starts on the recording's clock (0; negative cuts its start)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         const bool negative = v[0] == '-';
         std::optional<double> value = readDecimal(v + (negative || v[0] == '+' ? 1 : 0));
         if (!value || *value > row.range.high) {
             return "Error: -audio-offset must be seconds, negative or not (1.5, -2), not \"" + std::string(v) + "\".";
         }
         s.audioOffset = negative ? -*value : *value;
         return std::string();
     }},
    {.name = "-idle", .kind = K::decimal, .valueName = "SECONDS", .range = {0, kLatestSeconds}, .missing = "Error: need to specify idle seconds.", .group = G::timing,
     .help = "a pause longer than that plays as that long",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         return readSeconds(s.idleSeconds, v, row, false, "a number of seconds above 0");
     }},
    {.name = "-speed", .kind = K::decimal, .valueName = "FACTOR", .range = {0.01, 10000}, .missing = "Error: need to specify speed factor.", .group = G::timing,
     .help = "every pause divided by it: 2 plays twice as fast",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         return readSeconds(s.speed, v, row, true,
                            "a number from " + boundText(row.range.low) + " to " + boundText(row.range.high));
     }},
    {.name = "-realtime", .kind = K::none, .group = G::timing,
     .help = "frames keep the recording's time: frame k shows it at k / fps",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.realtime = true;
         s.clockGiven = true;
         return std::string();
     }},
    {.name = "-record-frames", .kind = K::none, .group = G::timing,
     .help = "every record's screen gets a frame of its own (a ttyrec's default)",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.realtime = false;
         s.clockGiven = true;
         return std::string();
     }},
    {.name = "-last", .kind = K::decimal, .valueName = "SECONDS", .range = {0, kLatestSeconds}, .missing = "Error: need to specify last screen seconds.", .group = G::timing,
     .help = "the final screen stays that long (3 for MP4, Matroska, WebM, GIF; else 0)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         return readSeconds(s.lastSeconds, v, row, true, "a number of seconds from 0 on");
     }},
    {.name = "-from", .kind = K::time, .valueName = "TIME", .missing = "Error: need to specify a time for -from.", .group = G::timing,
     .help = "start there: seconds (12.5), [h:]mm:ss or marker:N",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) { return readTime(s.from, v, row); }},
    {.name = "-to", .kind = K::time, .valueName = "TIME", .missing = "Error: need to specify a time for -to.", .group = G::timing,
     .help = "end there, as -from names it",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) { return readTime(s.to, v, row); }},
    {.name = "-font", .kind = K::file, .valueName = "NAME|FILE", .missing = "Error: need to specify a font file or name.", .group = G::look,
     .help = "paint with a scalable font: a font file or a fontconfig name, or a comma-separated list of them",
     .set = [](RunSettings& s, const char* v, const OptionRow&) {
         s.font = v;
         return std::string();
     }},
    {.name = "-font-size", .kind = K::wholeNumber, .valueName = "N", .range = {4, 200}, .missing = "Error: need to specify the font size in pixels.", .group = G::look,
     .help = "the font's size in pixels with -font (16); alone, it sizes monospace",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         s.fontSize = readNumber(v);
         if (s.font.empty()) s.font = kSizedFont;
         if (s.fontSize >= row.range.low && s.fontSize <= row.range.high) return std::string();
         return "Error: -font-size must be between " + boundText(row.range.low) + " and " +
                boundText(row.range.high) + ", not " + std::to_string(s.fontSize) + ".";
     }},
    {.name = "-line-height", .kind = K::decimal, .valueName = "F", .range = {0.5, 4}, .missing = "Error: need to specify the line height factor.", .group = G::look,
     .help = "the cell's height over the font's with -font (1); alone, as -font-size",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         char* end = nullptr;
         s.lineHeight = std::strtod(v, &end);
         if (s.font.empty()) s.font = kSizedFont;
         if (end != v && *end == '\0' && s.lineHeight >= row.range.low && s.lineHeight <= row.range.high) {
             return std::string();
         }
         return "Error: -line-height must be a number from " + boundText(row.range.low) + " to " +
                boundText(row.range.high) + ", not \"" + v + "\".";
     }},
    {.name = "-theme", .kind = K::nameOrFile, .valueName = "NAME|FILE", .missing = "Error: need to specify a theme name or file.", .group = G::look,
     .help = "the colours: a built-in theme or a theme file (classic; an asciicast: its own, else asciinema)",
     .set = setTheme},
    {.name = "-bold-bright", .kind = K::name, .valueName = "on|off", .missing = "Error: need to specify on or off for -bold-bright.", .group = G::look,
     .help = "whether bold takes colours 0-7 to their bright 8-15 (on)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         const int index = choiceIndex(row, v);
         if (index < 0) return std::string("Error: -bold-bright takes on or off, not \"") + v + "\".";
         s.boldBright = index == 0 ? 1 : 0;
         return std::string();
     },
     .choices = kOnOff},
    {.name = "-padding", .kind = K::wholeNumber, .valueName = "PIXELS", .range = kPaddingRange, .missing = "Error: need to specify the padding in pixels.", .group = G::look,
     .help = "a border that wide around the terminal, in the background colour (0)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) { return readPixels(s.padding, v, row); }},
    {.name = "-cursor", .kind = K::name, .valueName = "block|bar|underline", .missing = "Error: need to specify block, bar or underline for -cursor.", .group = G::look,
     .help = "draw the cursor where the emulation shows it (not drawn)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         constexpr CursorStyle kStyles[] = {CursorStyle::block, CursorStyle::bar, CursorStyle::underline};
         const int index = choiceIndex(row, v);
         if (index < 0) return std::string("Error: -cursor takes block, bar or underline, not \"") + v + "\".";
         s.cursor = kStyles[index];
         return std::string();
     },
     .choices = kCursors},
    {.name = "-window", .kind = K::none, .group = G::look,
     .help = "the picture in a window: a title bar with the recording's title or name, rounded corners, a margin",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.window.shown = true;
         return std::string();
     }},
    {.name = "-margin", .kind = K::wholeNumber, .valueName = "PIXELS", .range = kPaddingRange, .missing = "Error: need to specify the margin in pixels.", .group = G::look,
     .help = "with -window, the space around the window (16)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         s.marginGiven = true;
         return readPixels(s.window.margin, v, row);
     }},
    {.name = "-margin-color", .kind = K::colour, .valueName = "#RRGGBB", .missing = "Error: need to specify the margin colour as #RRGGBB.", .group = G::look,
     .help = "with -window, the margin's colour (a grey lighter than a dark theme's background, darker than a light one's)",
     .set = setMarginColour},
    {.name = "-keys", .kind = K::none, .group = G::look,
     .help = "show the keys typed (an asciicast's input events) in a caption near the bottom",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.keys = true;
         return std::string();
     }},
    {.name = "-keys-hold", .kind = K::decimal, .valueName = "SECONDS", .range = {0.1, 3600}, .missing = "Error: need to specify the seconds -keys-hold keeps the caption.", .group = G::look,
     .help = "the keys' caption fades out that long after the last key (1.5)",
     .set = [](RunSettings& s, const char* v, const OptionRow& row) {
         return readSeconds(s.keysHold, v, row, true, "a number of seconds from 0.1 to 3600");
     }},
    {.name = "-progress", .kind = K::none, .group = G::messages,
     .help = "one status line on standard error instead of a line per record",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.statusLine = true;
         return std::string();
     }},
    {.name = "-quiet", .kind = K::none, .group = G::messages,
     .help = "print only errors and warnings",
     .set = [](RunSettings& s, const char*, const OptionRow&) {
         s.quiet = true;
         return std::string();
     }},
    {.name = "-h", .kind = K::none, .group = G::firstArgument,
     .help = "this text"},
    {.name = "--help", .kind = K::none, .group = G::firstArgument,
     .help = "this text"},
    {.name = "-help", .kind = K::none, .group = G::firstArgument,
     .help = "this text"},
    {.name = "--version", .kind = K::none, .group = G::firstArgument,
     .help = "the versions of reelcap and the libraries it runs with"},
};

}  // namespace

std::span<const OptionRow> optionTable() { return kOptions; }

bool namesMatch(std::string_view argument, std::string_view name) {
    return argument.size() == name.size() && strncasecmp(argument.data(), name.data(), name.size()) == 0;
}

const OptionRow* findOption(std::string_view name) {
    for (const OptionRow& row : kOptions) {
        if (namesMatch(name, row.name)) return &row;
    }
    return nullptr;
}

bool isHelpOption(std::string_view argument) {
    const OptionRow* row = findOption(argument);
    return row != nullptr && row->group == OptionGroup::firstArgument && !namesMatch(argument, "--version");
}

ParsedOptions parseOptions(std::span<const std::string> arguments, const RunSettings& defaults) {
    ParsedOptions parsed{.settings = defaults};
    if (arguments.size() >= 2) parsed.settings.inputPath = arguments[1];
    size_t i = 2;
    if (arguments.size() > i && !arguments[i].starts_with('-') && namesMovieOrPicture(arguments[i])) {
        parsed.settings.outputName = arguments[i++];
        parsed.settings.outputGiven = true;
    }
    for (; i < arguments.size(); ++i) {
        const OptionRow* row = findOption(arguments[i]);
        if (row == nullptr || row->set == nullptr) {
            const LeftAside aside = leaveAside(arguments, i);
            parsed.warnings.push_back(aside.warning);
            i += aside.count - 1;
            continue;
        }
        const char* value = "";
        if (row->kind != ValueKind::none) {
            if (i + 1 >= arguments.size()) {
                parsed.error = row->missing;
                return parsed;
            }
            value = arguments[++i].c_str();
            if (!row->listValue.empty() && namesMatch(value, row->listValue)) {
                parsed.listing = row;
                return parsed;
            }
        }
        parsed.error = row->set(parsed.settings, value, *row);
        if (!parsed.error.empty()) return parsed;
    }
    if (std::string warning = outputNameWarning(parsed.settings); !warning.empty()) {
        parsed.warnings.push_back(std::move(warning));
    }
    if (parsed.settings.marginGiven && !parsed.settings.window.shown) {
        parsed.warnings.emplace_back("Warning: -margin and -margin-color set the space around -window's window; "
                                     "without -window they are left aside.");
    }
    return parsed;
}

bool quietAsked(std::span<const std::string> arguments) {
    for (size_t i = 2; i < arguments.size(); ++i) {
        const OptionRow* row = findOption(arguments[i]);
        if (row == nullptr || row->set == nullptr) continue;
        if (namesMatch(row->name, "-quiet")) return true;
        if (row->kind != ValueKind::none) ++i;
    }
    return false;
}
