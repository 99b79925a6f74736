#pragma once
// The converter's entry point: banner, options, announcements, output preparation, playback.

#include <memory>

#include "driver/settings.h"
#include "playback/playback.h"
#include "playback/recording.h"

class MovieWriter;
class PngQueue;

// Returns the exit status; some errors end the process directly.
int runConverter(int argc, char** argv);

// The stages of one pass over a recording.
struct RunStages {
    RunStages(const TerminalOptions& terminalOptions, const RenderOptions& renderOptions,
              const EmissionOptions& emissionOptions);
    PlaybackStages playback() { return {terminal, painter, emission}; }

    Terminal terminal;
    Painter painter;
    Emission emission;
};

// Makes each stage from its part of settings: terminal size and emulation, painter (with the
// font found by findFontPath), emission.
// movie and pngQueue: where the frames go, the caller's.
std::unique_ptr<RunStages> startStages(const RunSettings& settings, MovieWriter* movie = nullptr,
                                       PngQueue* pngQueue = nullptr);
