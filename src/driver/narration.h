#pragma once
// -audio: the checks a narration asks of the run, and the track handed to the movie.

#include <optional>

#include "driver/run_end.h"
#include "driver/settings.h"
#include "emission/movie_writer.h"
#include "playback/playback.h"
#include "playback/recording.h"

// Only MP4, Matroska and WebM movies hold sound; refused before anything is read or written.
std::optional<RunError> checkNarrationOutput(const RunSettings& settings);

// A narration keeps the recording's clock, so the picture must: without a clock chosen, frames
// keep the recording's time (-realtime). A clock that does not keep it (-record-frames, -speed,
// -idle, an asciicast's idle_time_limit) is refused, unless -realtime is given: then the
// recording's idle limit is left aside, and -speed and -idle play as asked.
std::optional<RunError> chooseNarrationClock(RunSettings& settings, const Recording& recording);

// Opens the sound file (a file that cannot be used ends the run before the movie is touched)
// and hands it to the movie, placed by where the video begins and ends on the recording's clock.
std::optional<RunError> openNarration(const RunSettings& settings, const Playback::VideoWindow& window,
                                      MovieWriter& movie);
