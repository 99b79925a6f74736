#pragma once
// How a run ends: the frames completed, the movie closed, output flushed; the status returned.

#include <string>

// A run that cannot go on: the line to print (it may hold several) and the exit status.
struct RunError {
    std::string message;
    int status = 1;
};

// Completes what the stages still hold at any end of a run: the frames still being made, then
// the outline font. Calling it again does nothing.
void finishOutput();

// Completes the frames still being made, then closes the active movie writer, if any; frame
// files that could not be written are then told in one line. Then as finishOutput.
void finishMovie();

// 1 when the movie or a frame file could not be written, else 0.
int outputStatus();

// Prints error's message, completes the output as finishOutput does, and gives error's status.
int endWith(const RunError& error);
