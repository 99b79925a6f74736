#include "driver/conversion.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "driver/announce.h"
#include "driver/chapters.h"
#include "driver/driver.h"
#include "driver/font_search.h"
#include "driver/narration.h"
#include "driver/preparation.h"
#include "driver/run_end.h"
#include "driver/segments.h"
#include "emission/emission.h"
#include "emission/frame_files.h"
#include "emission/jpeg_writer.h"
#include "emission/movie_writer.h"
#include "emission/png_queue.h"
#include "emission/png_writer.h"
#include "platform/codecs.h"
#include "platform/compression_dialog.h"
#include "platform/cores.h"
#include "platform/gif_palette.h"
#include "platform/interrupts.h"
#include "platform/messages.h"
#include "playback/playback.h"
#include "playback/recording.h"
#include "render/outline_font.h"
#include "render/renderer.h"
#include "render/theme.h"
#include "terminal/terminal.h"

namespace {

namespace fs = std::filesystem;

// The latest time that can be named: far past any recording.
constexpr double kLatestSeconds = 1e12;

std::string posterName(const RunSettings& settings) {
    return settings.outputGiven ? settings.outputName : (settings.directory / "poster.png").string();
}

// -at: the screen at that time, as one PNG file.
std::optional<RunError> writePoster(const RunSettings& settings, RunStages& stages) {
    if (!stages.painter.paint(stages.terminal).painted) return transcriptError(missingFontMessage());
    const Surface& picture =
        stages.caption ? stages.caption->picture(stages.painter.frame()) : stages.painter.frame();
    std::vector<uint8_t> bytes;
    if (namesJpeg(posterName(settings))) {
        EncodedJpeg jpeg = encodeJpeg(picture, settings.sizeFactor);
        if (!jpeg.error.empty()) return RunError{"Error: cannot encode " + posterName(settings) + ": " + jpeg.error};
        bytes = std::move(jpeg.bytes);
    } else {
        EncodedPng png = encodePng(picture, settings.sizeFactor);
        if (png.error != 0) {
            return RunError{"Error: cannot encode " + posterName(settings) + " (encoder error " +
                            std::to_string(png.error) + ")"};
        }
        bytes = std::move(png.bytes);
    }
    if (!writeWholeFile(posterName(settings), bytes)) {
        return RunError{"Error: cannot write " + posterName(settings) + ": " + std::strerror(errno)};
    }
    return std::nullopt;
}

// -keys needs input events, and keeps the recording's time only on the -realtime clock.
void warnAboutKeys(RunSettings& settings, const Recording& recording) {
    if (!settings.keys) return;
    if (!hasInputEvents(recording)) {
        printDiagnostic("Warning: -keys: " + recording.name +
                        " holds no input events (the keys typed), so no caption is shown; record with "
                        "asciinema rec --stdin to keep them.");
        settings.keys = false;
    } else if (!settings.realtime && !settings.at.given) {
        printDiagnostic("Warning: -keys on the frame clock (-record-frames) places the caption by the records' "
                        "frames, not the recording's time; give -realtime to keep it.");
    }
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

// The picture's size in pixels, as the painter will make it: the cells of the bitmap font or of
// -font, the padding and -window's window around them, all doubled by -double.
std::pair<int64_t, int64_t> pictureSize(const RunSettings& settings) {
    int64_t cellWidth = kCellWidth;
    int64_t cellHeight = kCellHeight;
    if (!settings.font.empty()) {
        OutlineFont font;
        std::string error;
        if (font.open(settings.font, settings.fontSize, settings.lineHeight, error)) {
            cellWidth = font.metrics().cellWidth;
            cellHeight = font.metrics().cellHeight;
        }
    }
    const FrameInsets insets = frameInsets(settings.padding, settings.window, static_cast<int32_t>(cellHeight));
    return {(settings.pictureColumns * cellWidth + insets.left + insets.right) * settings.sizeFactor,
            (settings.pictureRows * cellHeight + insets.top + insets.bottom) * settings.sizeFactor};
}

// An AVI without -codec holds every frame uncompressed, which few expect: say what it costs
// and what to choose instead.
void noteUncompressedFrames(const RunSettings& settings) {
    if (settings.quiet || !settings.codecName.empty()) return;
    const auto [width, height] = pictureSize(settings);
    const int64_t frameBytes = width * height * 4;
    const double megabytesPerSecond = static_cast<double>(frameBytes) * settings.fps / 1e6;
    printDiagnostic("Note: " + settings.outputName + " gets uncompressed frames, " + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels, " + std::to_string(frameBytes) + " bytes each (" +
                    std::to_string(std::llround(megabytesPerSecond)) + " MB a second at " +
                    std::to_string(settings.fps) +
                    " fps); -codec zmbv keeps every pixel in a file far smaller, and -codec list names the others.");
}

// A recording laid out for a larger terminal than it is played in comes out garbled: say the
// size it needs, once.
void warnCursorBeyond(const RunSettings& settings, const Terminal& terminal) {
    const CursorReach& reach = terminal.cursorReach();
    if (!reach.beyond()) return;
    const int32_t columns = std::max(reach.columns(), settings.columns);
    const int32_t rows = std::max(reach.rows(), settings.rows);
    printDiagnostic("Warning: " + recordingName(settings.inputPath) + " moves the cursor as far as column " +
                    std::to_string(reach.columns()) + ", row " + std::to_string(reach.rows()) + ", beyond its " +
                    std::to_string(settings.columns) + " x " + std::to_string(settings.rows) +
                    " terminal; play it at the size it was made for with -width " + std::to_string(columns) +
                    " -height " + std::to_string(rows) + ".");
}

// -jobs, else one job per usable core.
size_t jobsFor(const RunSettings& settings) {
    return settings.jobs > 0 ? static_cast<size_t>(settings.jobs) : usableCores();
}

// A narration is written as the frames are handed over, which keeps the video on one encoder;
// H.264's takes the jobs as threads of its own.
size_t movieJobs(const RunSettings& settings) {
    if (!settings.audioPath.empty() && settings.jobs > 1) {
        printDiagnostic("Note: with -audio the movie has one encoder, as its narration is written beside the "
                        "frames: H.264 runs it on -jobs " + std::to_string(settings.jobs) +
                        " threads, the other compressors on one.");
    }
    return jobsFor(settings);
}

std::optional<RunError> openMovie(const RunSettings& settings, MovieWriter& movie) {
    announce(settings.quiet, "Output to " + settings.outputName + "...");
    if (std::optional<RunError> error = refuseOutputOverRecording(settings, settings.outputName)) return error;
    // The old movie goes, whether or not it exists; a device, pipe or directory of that name
    // is never deleted (opening it then fails or writes into it, as the user asked).
    std::error_code error;
    fs::file_status status = fs::symlink_status(settings.outputName, error);
    if (fs::is_regular_file(status) || fs::is_symlink(status)) fs::remove(settings.outputName, error);
    if (!movie.open(settings.outputName, 1000 / settings.fps)) {
        return RunError{"Error: cannot create " + settings.outputName + ": " + std::strerror(errno)};
    }
    movie.resetCompressionOptions();
    movie.setJobs(movieJobs(settings));
    MovieContainer container = movieContainerFor(settings.outputName).container;
    if (container == MovieContainer::avi) noteUncompressedFrames(settings);
    movie.compressionDialog() = {.preset = settings.codecName.empty() ? defaultCodecChoice(container)
                                                                      : findCodecChoice(settings.codecName),
                                 .interrupted = interruptRequested};
    return std::nullopt;
}

// -keys: the caption's text keeps what fits the picture's width, three cells from either side.
KeysOptions keysOptionsFor(const RunSettings& settings) {
    return {.on = settings.keys,
            .hold = microsOf(settings.keysHold),
            // font.txt has ASCII alone: keys are named in it.
            .symbols = !settings.font.empty() || settings.emulation == Emulation::xterm,
            .mostCells = std::max(std::max(settings.pictureColumns, settings.columns) - 6, 1)};
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
            .rowsFixed = settings.rowsGiven,
            .log = !settings.tidy,
            .directory = settings.directory,
            .keys = keysOptionsFor(settings)};
}

// A GIF file goes to disk as its frames come once its palette is known before the first.
bool makesGif(const RunSettings& settings) {
    return settings.movieOutput && !settings.at.given && settings.writeFrames &&
           movieContainerFor(settings.outputName).container == MovieContainer::gif;
}

// The basic emulation paints with the bitmap font's one-bit glyphs in the theme's colours alone:
// those are a GIF's palette and zmbv's 8-bit colours. A GIF of any other run learns its colours
// in a first pass over the recording.
std::optional<SharedPalette> coloursKnownBefore(const RunSettings& settings) {
    // The window's buttons and the keys' caption box bring colours of their own.
    if (settings.emulation != Emulation::basic || !settings.font.empty() || settings.window.shown || settings.keys) {
        return std::nullopt;
    }
    const Theme& theme = settings.theme;
    std::vector<uint32_t> colours{static_cast<uint32_t>(theme.background), static_cast<uint32_t>(theme.foreground),
                                  static_cast<uint32_t>(theme.boldForeground)};
    for (Colour colour : theme.palette) colours.push_back(static_cast<uint32_t>(colour));
    return sharedPaletteOf(colours);
}

// An xterm screen painted with the bitmap fonts holds the colours of its cells' looks alone.
bool coloursFromCells(const RunSettings& settings) {
    return settings.emulation == Emulation::xterm && settings.font.empty() && !settings.window.shown && !settings.keys;
}

// A silent walk of the whole recording that makes no file: the movie learns the colours of
// every frame, or (coloursOnly) the painter gathers its cells' colours without painting.
PlaybackResult walkLearning(const RunSettings& settings, const Recording& recording, std::unique_ptr<RunStages>& stages,
                            MovieWriter& movie, bool coloursOnly) {
    RunSettings firstPass = settings;
    firstPass.plainPaths = false;
    EmissionOptions emission = {.movieOutput = true,
                                .sizeFactor = settings.sizeFactor,
                                .skipFrames = settings.skipFrames,
                                .stopFrame = settings.stopFrame,
                                .colourPass = true,
                                .movie = &movie,
                                .directory = settings.directory};
    stages = makePictureStages(firstPass, emission, coloursOnly);
    PlaybackOptions learning = playbackOptionsFor(settings);
    learning.progress = Progress::none;
    learning.log = false;
    learning.warnings = false;
    movie.learnColours(true);
    PlaybackStages learningStages = stages->playback();
    EventSource learningEvents(recording);
    PlaybackResult learned = Playback(learning).walk(learningEvents, learningStages);
    movie.learnColours(false);
    return learned;
}

// zmbv takes 8-bit frames when every colour is known before the first frame is encoded.
bool takesPaletteFrames(const RunSettings& settings) {
    return settings.movieOutput && !settings.at.given && settings.writeFrames && settings.codecName == "zmbv";
}

// The walk that makes the output: painting as it goes, or planning the segments that paint.
PlaybackResult walkOutput(const RunSettings& settings, const Recording& recording, std::unique_ptr<RunStages>& stages,
                         MovieWriter& movie, PngQueue& pngQueue, const PlaybackOptions& options) {
    if (paintsInSegments(settings)) return walkInSegments(settings, recording, stages, movie, options);
    stages = makePictureStages(settings, emissionOptionsFor(settings, &movie, &pngQueue));
    PlaybackStages playbackStages = stages->playback();
    EventSource events(recording);
    return Playback(options).walk(events, playbackStages);
}

// The movie's colours from a first pass: the cells' colours where they tell them all (at the
// emulation's pace), else, for a GIF's palette (everyFrame), every frame's. Every stage then
// starts again as it did for the first, and the second pass, the real one, walks the recording
// read for the first. An interruption during the first pass ends the second where the first
// ended.
PlaybackResult playLearningColoursFirst(const RunSettings& settings, const Recording& recording,
                                        std::unique_ptr<RunStages>& stages, MovieWriter& movie, PngQueue& pngQueue,
                                        bool everyFrame) {
    const bool fromCells = coloursFromCells(settings);
    PlaybackResult learned = walkLearning(settings, recording, stages, movie, fromCells);
    if (learned.end == PlaybackEnd::recordingError) return learned;
    if (fromCells) {
        const GatheredColours gathered = stages->painter.gatheredColours();
        if (gathered.complete) {
            movie.useColours(sharedPaletteOf(gathered.colours));
        } else if (!everyFrame) {
            movie.forgetColours();
        } else if (!interruptRequested()) {
            learned = walkLearning(settings, recording, stages, movie, false);
            if (learned.end == PlaybackEnd::recordingError) return learned;
        }
    }

    PlaybackOptions real = playbackOptionsFor(settings);
    if (interruptRequested()) real.recordLimit = learned.records;
    return walkOutput(settings, recording, stages, movie, pngQueue, real);
}

// -audio's sound file opened, placed where the video begins and ends on the recording's clock.
std::optional<RunError> prepareNarration(const RunSettings& settings, const Recording& recording, MovieWriter& movie) {
    if (settings.audioPath.empty()) return std::nullopt;
    PlaybackOptions probing = playbackOptionsFor(settings);
    probing.progress = Progress::none;
    probing.warnings = false;
    probing.log = false;
    Playback probe(probing);
    if (std::optional<PlaybackResult> failed = probe.begin(EventSource(recording))) return RunError{failed->message};
    return openNarration(settings, probe.videoWindow(), movie);
}

// Everything before playback: the checks, the recording read, the output opened. Settings
// take the recording's own size and theme, and the frame limit the run counts to.
std::optional<RunError> prepareRun(RunSettings& settings, const std::error_code& framesError, ReadResult& read,
                                   MovieWriter& movie) {
    if (std::optional<RunError> error = checkSettings(settings)) return error;
    warnChaptersLeftAside(settings);
    // A relative name is in the run's directory; an absolute one stays where it points.
    settings.outputName = (settings.directory / settings.outputName).string();
    if (std::optional<RunError> error = prepareAsciicastInput(settings, read)) return error;
    if (!settings.font.empty()) {
        std::string error;
        if (!OutlineFont().open(settings.font, settings.fontSize, settings.lineHeight, error)) {
            return RunError{"Error: -font " + settings.font + ": " + error + "."};
        }
    }
    announceSettings(settings);
    if (settings.skipFrames > 0 && settings.stopFrame > 0) {
        // From here on stopFrame is the highest frame number that may be written.
        settings.stopFrame = static_cast<int32_t>(
            std::min<int64_t>(static_cast<int64_t>(settings.stopFrame) + settings.skipFrames, INT32_MAX));
    }
    // Read before any output is touched: a recording that cannot be read leaves an earlier movie
    // of the same name as it was.
    if (!read.recording) read = readRecording(settings.inputPath);
    if (!read.recording) return RunError{read.error, 1, read.transcript};
    takeAsciicastDefaults(settings, *read.recording);
    takeWindowTitle(settings, *read.recording);
    warnAboutKeys(settings, *read.recording);
    if (std::optional<RunError> error = chooseNarrationClock(settings, *read.recording)) return error;
    if (std::optional<RunError> error = requireFontFile(settings)) return error;
    if (std::optional<RunError> error = requireBitmapDirectory(settings)) return error;
    if (std::optional<RunError> error = prepareNarration(settings, *read.recording, movie)) return error;
    // From here an interruption closes whatever movie there is, even one still being opened.
    installInterruptHandlers();
    if (settings.at.given) {
        announce(settings.quiet, "Output to " + posterName(settings) + "...");
        return refuseOutputOverRecording(settings, posterName(settings));
    }
    return settings.movieOutput ? openMovie(settings, movie) : requireFramesDirectory(framesError, settings.directory);
}

}  // namespace

EmissionOptions emissionOptionsFor(const RunSettings& settings, FrameSink* movie, PngQueue* pngQueue) {
    return {.movieOutput = settings.movieOutput,
            .sizeFactor = settings.sizeFactor,
            .skipFrames = settings.skipFrames,
            .stopFrame = settings.stopFrame,
            .writeFrames = settings.writeFrames && !settings.at.given,
            .plainPaths = settings.plainPaths,
            .movie = movie,
            .pngQueue = pngQueue,
            .directory = settings.directory,
            .keepLastBitmap = !settings.tidy};
}

std::unique_ptr<RunStages> makePictureStages(const RunSettings& settings, const EmissionOptions& emission,
                                             bool coloursOnly) {
    Theme theme = settings.theme;
    if (settings.boldBright >= 0) theme.boldBright = settings.boldBright == 1;
    const RenderOptions render{.theme = theme,
                               .outlineFont = settings.font,
                               .fontSize = settings.fontSize,
                               .lineHeight = settings.lineHeight,
                               .plainPaths = settings.plainPaths,
                               .fontPath = findFontPath(),
                               .pictureColumns = settings.pictureColumns,
                               .pictureRows = settings.pictureRows,
                               .padding = settings.padding,
                               .cursor = settings.cursor,
                               .window = settings.window,
                               .coloursOnly = coloursOnly};
    auto stages = std::make_unique<RunStages>(
        TerminalOptions{.columns = settings.columns, .rows = settings.rows, .emulation = settings.emulation}, render,
        emission);
    if (settings.keys) stages->caption = std::make_unique<KeyCaption>(render, keysOptionsFor(settings).mostCells);
    return stages;
}

RunStages::RunStages(const TerminalOptions& terminalOptions, const RenderOptions& renderOptions,
                     const EmissionOptions& emissionOptions)
    : terminal(terminalOptions), painter(renderOptions), emission(emissionOptions) {}

std::unique_ptr<RunStages> startStages(const RunSettings& settings, MovieWriter* movie, PngQueue* pngQueue) {
    return makePictureStages(settings, emissionOptionsFor(settings, movie, pngQueue));
}

int runConversion(RunSettings settings, std::error_code framesError) {
    ReadResult read;
    MovieWriter movie;
    if (std::optional<RunError> error = prepareRun(settings, framesError, read, movie)) return endWith(*error);
    PngQueue pngQueue(jobsFor(settings));
    PlaybackResult played;
    std::unique_ptr<RunStages> stages;
    std::optional<SharedPalette> knownColours =
        settings.movieOutput ? coloursKnownBefore(settings) : std::optional<SharedPalette>{};
    if (makesGif(settings) && !knownColours) {
        played = playLearningColoursFirst(settings, *read.recording, stages, movie, pngQueue, true);
    } else if (takesPaletteFrames(settings) && !knownColours && coloursFromCells(settings)) {
        played = playLearningColoursFirst(settings, *read.recording, stages, movie, pngQueue, false);
    } else {
        if (knownColours) movie.useColours(*knownColours);
        played = walkOutput(settings, *read.recording, stages, movie, pngQueue, playbackOptionsFor(settings));
    }
    Emission& emission = stages->emission;
    warnCursorBeyond(settings, stages->terminal);
    switch (played.end) {
        case PlaybackEnd::recordingError:
            // A movie already begun is closed, empty, rather than left without its headers.
            printDiagnostic(played.message);
            finishMovie(&emission, movie);
            std::fflush(stdout);
            return 1;
        case PlaybackEnd::fontMissing:
            return endWith(transcriptError(missingFontMessage()), &emission);
        case PlaybackEnd::stopLimit:
            announce(settings.quiet, "Exiting...");
            giveChapters(settings, played.markers, movie);
            finishMovie(&emission, movie);
            if (!settings.movieOutput) warnOlderFrames(settings.directory, emission.lastPngFrame());
            std::fflush(stdout);
            return outputStatus(&emission, movie);
        case PlaybackEnd::finished:
            break;
    }

    if (interruptRequested()) {
        // Whatever was written stays usable: the movie is closed as at the stop limit.
        giveChapters(settings, played.markers, movie);
        finishMovie(&emission, movie);
        std::string what = settings.movieOutput ? "; " + settings.outputName + " is closed and plays up to there" : "";
        printDiagnostic("Interrupted at frame " + std::to_string(played.frame) + what + ".");
        return 128 + interruptSignal();
    }
    if (settings.at.given) {
        if (std::optional<RunError> error = writePoster(settings, *stages)) return endWith(*error, &emission);
    }
    giveChapters(settings, played.markers, movie);
    finishMovie(&emission, movie);
    if (!settings.movieOutput && !settings.at.given) warnOlderFrames(settings.directory, emission.lastPngFrame());
    std::fflush(stdout);
    return outputStatus(&emission, movie);
}
