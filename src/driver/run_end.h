#pragma once
// How a run ends: the frames completed, the movie closed, output flushed; the status returned.

#include <string>

#include "emission/emission.h"

class MovieWriter;

// A run that cannot go on: the line to print (it may hold several) and the exit status.
struct RunError {
    std::string message;
    int status = 1;
};

// Completes the frames still being made, then closes the movie, if one is open; frame files
// that could not be written are then told in one line. emission: the run's, once its stages
// were made, else nullptr.
void finishMovie(Emission* emission, MovieWriter& movie);

// 1 when the movie or a frame file could not be written, else 0.
int outputStatus(const Emission* emission, const MovieWriter& movie);

// Prints error's message, then completes the frames still being made (emission, when the
// stages were made), and gives error's status.
int endWith(const RunError& error, Emission* emission = nullptr);
