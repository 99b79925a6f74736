#pragma once
// A movie encoded in segments at once (-jobs): a first pass walks the recording without painting,
// makes the frame files and counts the frames, and cuts the walk into segments; each segment is
// played again on a worker by a terminal, painter and encoder of its own, and the movie writer
// puts their packets into the file in order.

#include <memory>

#include "driver/conversion.h"
#include "driver/settings.h"
#include "playback/playback.h"
#include "playback/recording.h"

class MovieWriter;

// Whether the run's movie is made so: more than one job, a compressor, no narration.
bool paintsInSegments(const RunSettings& settings);

// Walks the recording as Playback's walk does, with stages of its own (left in stages for what
// comes after the walk), and hands the movie its segments; every segment is encoded and written
// when it returns.
PlaybackResult walkInSegments(const RunSettings& settings, const Recording& recording,
                              std::unique_ptr<RunStages>& stages, MovieWriter& movie, const PlaybackOptions& options);
