#pragma once
// How a run ends: the frames completed, the movie closed, output flushed; the status returned.

#include <cstdint>
#include <filesystem>
#include <string>

#include "emission/emission.h"

class MovieWriter;

// A run that cannot go on and its exit status. message, the project's own words (what went
// wrong, and what to do), goes to standard error; transcript, a fixed message of the converter,
// goes to standard output before it. Either may be empty; each may hold several lines.
struct RunError {
    std::string message;
    int status = 1;
    std::string transcript = "";
};

// A fixed message of the transcript, and what it leaves unsaid in plain words (or nothing).
RunError transcriptError(std::string line, std::string explanation = "");

// An error of the option parser: its fixed messages stay in the transcript, the rest are the
// project's own.
RunError optionError(std::string message);

// Completes the frames still being made, then closes the movie, if one is open; frame files
// that could not be written are then told in one line. emission: the run's, once its stages
// were made, else nullptr.
void finishMovie(Emission* emission, MovieWriter& movie);

// A PNG series written into a frames directory that holds numbered frames past this run's last
// (lastFrame; -1 when it wrote none) would join them: says how many there are.
void warnOlderFrames(const std::filesystem::path& directory, int32_t lastFrame);

// 1 when the movie or a frame file could not be written, else 0.
int outputStatus(const Emission* emission, const MovieWriter& movie);

// Prints error's lines, then completes the frames still being made (emission, when the
// stages were made), and gives error's status.
int endWith(const RunError& error, Emission* emission = nullptr);
