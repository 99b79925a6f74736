#pragma once
// The checks a run makes before anything is written, and the recording's own size and theme
// taken into the settings.

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "driver/run_end.h"
#include "driver/settings.h"
#include "playback/recording.h"

// The input named, the ranges, the movie's container and compressor, and -from before -to.
std::optional<RunError> checkSettings(const RunSettings& settings);

// An asciicast recording carries its terminal size, which counts where -width or -height was
// not given. Read before the run is announced, so that the announced size is the one used and
// a malformed line ends the run before anything is written.
// Standard input and compressed files are read here too, so that a corrupt stream ends the run
// as early, and standard input is read once. The picture takes the largest size the
// recording's resizes reach.
// early: the recording when it was read here.
std::optional<RunError> prepareAsciicastInput(RunSettings& settings, ReadResult& early);

// An asciicast recording's emulation, clock and theme where the options name none; a ttyrec
// keeps every default.
void takeAsciicastDefaults(RunSettings& settings, const Recording& recording);

// -window's title: an asciicast recording's own, else the recording's file name.
void takeWindowTitle(RunSettings& settings, const Recording& recording);

// Deleting the old movie must never delete the recording itself.
std::optional<RunError> refuseOutputOverRecording(const RunSettings& settings, const std::string& outputName);

// A PNG series with nowhere to go would lose every frame; say so before playing anything.
// framesError: why the directory could not be made, if it was tried. directory: the run's.
std::optional<RunError> requireFramesDirectory(const std::error_code& framesError,
                                               const std::filesystem::path& directory);

// The bitmap font paints every screen unless -font names another; a run that would need it and
// finds none ends before its output is touched, with the converter's fixed message.
std::optional<RunError> requireFontFile(const RunSettings& settings);

// A movie's frames pass through temporary bitmap files in the run's directory: one that cannot
// take them ends the run before anything is written.
std::optional<RunError> requireBitmapDirectory(const RunSettings& settings);

// Makes the frames directory in directory (the run's) unless there is one; why it could not be
// made.
std::error_code makeFramesDirectory(const std::filesystem::path& directory);
