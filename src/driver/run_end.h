#pragma once

class MovieWriter;
// How a run ends: the frames completed, the movie closed, output flushed, the process ended.

#include "emission/emission.h"

// Completes the frames still being made, then closes the active movie writer, if any; frame
// files that could not be written are then told in one line.
// emission: the run's, once its stages were made; movie: the run's movie, open or not.
void finishMovie(Emission* emission, MovieWriter& movie);

// 1 when the movie or a frame file could not be written, else 0.
int outputStatus(const Emission* emission, const MovieWriter& movie);

// Flushes standard output and ends the process.
[[noreturn]] void endRun(int status);
