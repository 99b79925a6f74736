#include "driver/chapters.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "emission/movie_writer.h"
#include "platform/codecs.h"
#include "platform/messages.h"
#include "playback/recording.h"

namespace {

constexpr int64_t kMillisPerSecond = 1000;

bool keepsChapters(const RunSettings& settings) {
    if (!settings.movieOutput || settings.at.given) return false;
    const MovieContainer container = movieContainerFor(settings.outputName).container;
    // A WebM file's chapters go in its header only, before the walk places the markers.
    return container == MovieContainer::mp4 || container == MovieContainer::matroska;
}

// Frame numbers up to -skip are not in the movie; the movie's frames last whole milliseconds.
std::vector<MovieChapter> markerChapters(const RunSettings& settings, std::span<const VideoMarker> markers,
                                         int64_t lengthMillis) {
    std::vector<MovieChapter> chapters;
    const int64_t frameMillis = kMillisPerSecond / std::max(settings.fps, 1);
    for (const VideoMarker& marker : markers) {
        if (settings.skipFrames > 0 && marker.frame <= settings.skipFrames) continue;
        const int64_t position = settings.skipFrames > 0 ? marker.frame - settings.skipFrames - 1 : marker.frame;
        const int64_t start = position * std::max<int64_t>(frameMillis, 1);
        if (start >= lengthMillis) continue;
        MovieChapter chapter{start, 0,
                             marker.label.empty() ? "Marker " + std::to_string(marker.number) : marker.label};
        if (!chapters.empty() && chapters.back().start == start) {
            chapters.back() = std::move(chapter);
        } else {
            chapters.push_back(std::move(chapter));
        }
    }
    return chapters;
}

}  // namespace

std::vector<MovieChapter> movieChapters(const RunSettings& settings, std::span<const VideoMarker> markers,
                                        int64_t lengthMillis) {
    if (!keepsChapters(settings)) return {};
    std::vector<MovieChapter> chapters;
    if (settings.chapters) chapters = markerChapters(settings, markers, lengthMillis);
    if (chapters.empty() && settings.chapterEvery > 0) {
        const int64_t step = std::max<int64_t>(std::llround(settings.chapterEvery * kMillisPerSecond), 1);
        for (int64_t start = 0; start < lengthMillis; start += step) {
            chapters.push_back({start, 0, "Chapter " + std::to_string(chapters.size() + 1)});
        }
    } else if (!chapters.empty() && settings.chapterEvery > 0 && !settings.quiet) {
        printDiagnostic("Note: -chapter-every " + secondsText(settings.chapterEvery) +
                        " is left aside: the markers of " + recordingName(settings.inputPath) +
                        " make the chapters (-chapters off leaves them out).");
    }
    for (size_t i = 0; i < chapters.size(); ++i) {
        chapters[i].end = i + 1 < chapters.size() ? chapters[i + 1].start : lengthMillis;
    }
    return chapters;
}

void giveChapters(const RunSettings& settings, std::span<const VideoMarker> markers, MovieWriter& movie) {
    if (!movie.isOpen()) return;
    std::vector<MovieChapter> chapters = movieChapters(settings, markers, movie.lengthMillis());
    if (!chapters.empty()) movie.setChapters(std::move(chapters));
}

void warnChaptersLeftAside(const RunSettings& settings) {
    if (settings.chapterEvery <= 0 || keepsChapters(settings)) return;
    const std::string output = settings.at.given       ? "a picture (-at)"
                               : !settings.movieOutput ? "a PNG series"
                                                       : settings.outputName;
    printDiagnostic("Warning: -chapter-every is left aside: " + output +
                    " holds no chapters; MP4 and Matroska movies do.");
}
