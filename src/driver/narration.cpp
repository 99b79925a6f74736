#include "driver/narration.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "platform/audio_track.h"
#include "platform/codecs.h"
#include "platform/messages.h"

namespace {

// A limit no pause reaches: the recording's own is then left aside.
constexpr double kNoIdleLimit = 1e12;

}  // namespace

std::optional<RunError> checkNarrationOutput(const RunSettings& settings) {
    if (settings.audioPath.empty()) return std::nullopt;
    std::string what;
    if (settings.at.given) {
        what = "-at writes one picture";
    } else if (!settings.movieOutput) {
        what = "-png writes a series of pictures";
    } else {
        const MovieContainerInfo& container = movieContainerFor(settings.outputName);
        if (containerTakesAudio(container.container)) return std::nullopt;
        what = settings.outputName + " is " + (container.container == MovieContainer::avi ? "an " : "a ") +
               container.name + " file";
    }
    return RunError{std::string("Error: -audio puts a narration into ") + kAudioContainers + " movies, and " + what +
                    ", which holds no sound; name a .mp4, .mkv or .webm -output."};
}

std::optional<RunError> chooseNarrationClock(RunSettings& settings, const Recording& recording) {
    if (settings.audioPath.empty()) return std::nullopt;
    const bool realtimeGiven = settings.clockGiven && settings.realtime;
    const std::string start = "Error: -audio lays the narration on the recording's clock, and ";
    if (settings.clockGiven && !settings.realtime) {
        return RunError{start +
                        "-record-frames gives every record a frame of its own, which does not keep that clock; leave "
                        "-record-frames out (with -audio, frames keep the recording's time, as -realtime has it)."};
    }
    settings.realtime = true;
    // The recording's own idle limit; negative: none.
    const double ownLimit = recording.format == RecordingFormat::asciicast
                                ? recording.asciicast.idleTimeLimit.value_or(-1)
                                : -1;
    if (realtimeGiven) {
        if (settings.idleSeconds < 0 && ownLimit >= 0) settings.idleSeconds = kNoIdleLimit;
        return std::nullopt;
    }
    std::string cause;
    std::string remedy;
    if (settings.speed != 1) {
        cause = "-speed " + secondsText(settings.speed) + " divides every pause";
        remedy = "leave -speed out";
    } else if (settings.idleSeconds >= 0) {
        cause = "-idle " + secondsText(settings.idleSeconds) + " shortens the longer pauses";
        remedy = "leave -idle out";
    } else if (ownLimit >= 0) {
        cause = recording.name + " limits its pauses to " + secondsText(ownLimit) + " s (its idle_time_limit)";
        return RunError{start + cause +
                        ", so the picture would drift from the narration. Give -realtime to play every pause at "
                        "its whole length."};
    } else {
        return std::nullopt;
    }
    return RunError{start + cause + ", so the picture would drift from the narration. Either " + remedy +
                    ", or give -realtime to lay the narration under the picture as it plays."};
}

std::optional<RunError> openNarration(const RunSettings& settings, const Playback::VideoWindow& window,
                                      MovieWriter& movie) {
    if (settings.audioPath.empty()) return std::nullopt;
    const int64_t offset = std::llround(settings.audioOffset * 1e6);
    // -skip leaves out the frames up to its number: the movie begins at the next one's time.
    const int64_t skipped =
        settings.skipFrames > 0 ? std::llround((settings.skipFrames + 1.0) * 1e6 / settings.fps) : 0;
    const int64_t start = window.start + skipped;
    auto track = std::make_unique<AudioTrack>(AudioTrackOptions{
        .path = settings.audioPath,
        .audioAtStart = start - offset,
        .cutAt = window.end < 0 ? -1 : std::max<int64_t>(window.end - start, 0),
    });
    if (std::string error = track->open(); !error.empty()) return RunError{error};
    movie.setAudio(std::move(track), settings.fps);
    return std::nullopt;
}
