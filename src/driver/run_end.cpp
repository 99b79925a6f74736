#include "driver/run_end.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <string_view>
#include <utility>

#include "driver/announce.h"
#include "emission/emission.h"
#include "emission/frame_files.h"
#include "emission/movie_writer.h"
#include "platform/messages.h"

namespace {

// The option parser's messages that belong to the converter's fixed transcript.
constexpr std::array<std::string_view, 6> kTranscriptOptionErrors = {
    "Error: need to specify width.",
    "Error: need to specify height.",
    "Error: need to specify fps value.",
    "Error: need to specify maximum number of output frames.",
    "Error: need to specify number of frames to skip.",
    "Error: no output .AVI file name?",
};

}  // namespace

RunError transcriptError(std::string line, std::string explanation) {
    return {.message = std::move(explanation), .transcript = std::move(line)};
}

RunError optionError(std::string message) {
    const bool fixed = std::find(kTranscriptOptionErrors.begin(), kTranscriptOptionErrors.end(), message) !=
                       kTranscriptOptionErrors.end();
    return fixed ? transcriptError(std::move(message)) : RunError{std::move(message)};
}

void finishMovie(Emission* emission, MovieWriter& movie) {
    if (emission != nullptr) emission->finish();
    movie.close();
    // The run went on past them; they are told once, at its end.
    const UnwrittenFrames lost = emission != nullptr ? emission->unwrittenFrames() : UnwrittenFrames{};
    if (lost.count > 0) {
        printDiagnostic("Error: " + std::to_string(lost.count) + " frame files could not be written (first: " +
                        lost.first + ")");
    }
}

void warnOlderFrames(const std::filesystem::path& directory, int32_t lastFrame) {
    const std::filesystem::path frames = directory / "frames";
    int64_t older = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(frames, error), end; !error && entry != end; entry.increment(error)) {
        const std::string stem = entry->path().stem().string();
        if (entry->path().extension() != ".png" || stem.size() < 7 || stem.size() > 10 ||
            !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        if (std::stoll(stem) > lastFrame) ++older;
    }
    if (older == 0) return;
    printDiagnostic("Warning: " + frames.string() + " still holds " + std::to_string(older) +
                    " numbered frame files after this run's last" +
                    (lastFrame >= 0 ? " (" + pngFrameName(lastFrame) + ")" : "") +
                    ", from an earlier run; remove them before using the series.");
}

int outputStatus(const Emission* emission, const MovieWriter& movie) {
    return movie.writeFailed() || (emission != nullptr && emission->unwrittenFrames().count > 0) ? 1 : 0;
}

int endWith(const RunError& error, Emission* emission) {
    if (!error.transcript.empty()) printTranscript(error.transcript);
    if (!error.message.empty()) printDiagnostic(error.message);
    if (emission != nullptr) emission->finish();
    std::fflush(stdout);
    return error.status;
}
