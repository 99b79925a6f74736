#pragma once

class MovieWriter;
// How a run ends: the frames completed, the movie closed, output flushed, the process ended.

// Completes the frames still being made, then closes the active movie writer, if any; frame
// files that could not be written are then told in one line.
void finishMovie(MovieWriter& movie);

// 1 when the movie or a frame file could not be written, else 0.
int outputStatus(const MovieWriter& movie);

// Flushes standard output and ends the process.
[[noreturn]] void endRun(int status);
