#pragma once
// What reelcap tells a person about arguments it does not take as given: the option nearest to
// an unknown one, the output named right after the recording, an output name no container
// answers to, and options put before the recording.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/options.h"
#include "driver/settings.h"

// The options an argument most likely means: the one it names (a leading "--" read as "-"),
// else those whose names it begins, else those fewest edits away (letter case ignored, two
// letters swapped counting as one edit) if few enough for its length; none when nothing is near.
std::vector<const OptionRow*> nearestOptions(std::string_view argument);

// Whether name ends in the extension of a movie or picture reelcap writes (.avi, .mp4, .mkv,
// .webm, .gif, .png), in any letter case.
bool namesMovieOrPicture(std::string_view name);

// An argument parsing leaves aside: the warning, and how many arguments it covers (2 when an
// unknown option takes the next argument as its value).
struct LeftAside {
    std::string warning;
    size_t count = 1;
};
LeftAside leaveAside(std::span<const std::string> arguments, size_t at);

// The warning when the movie's name has an extension of no container reelcap writes (it is
// written as an AVI file); "" otherwise.
std::string outputNameWarning(const RunSettings& settings);

// The error when the movie's name is "-" (standard output carries the transcript); "" otherwise.
std::string outputNameError(const RunSettings& settings);

// The error when the first argument is an option (or near one) and no file: the command line
// again with the recording first; "" otherwise.
std::string recordingFirstError(std::span<const std::string> arguments);
