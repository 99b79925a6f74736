#pragma once
// One conversion: made from its settings, it checks them, reads the recording, opens the output,
// makes the stages and plays the recording through them.

#include <memory>
#include <system_error>

#include "driver/settings.h"
#include "emission/emission.h"
#include "playback/playback.h"
#include "render/key_caption.h"
#include "render/renderer.h"
#include "terminal/terminal.h"

class FrameSink;
class MovieWriter;
class PngQueue;

// The stages of one pass over a recording.
struct RunStages {
    RunStages(const TerminalOptions& terminalOptions, const RenderOptions& renderOptions,
              const EmissionOptions& emissionOptions);
    PlaybackStages playback() { return {terminal, painter, emission, {}, caption.get()}; }

    Terminal terminal;
    Painter painter;
    Emission emission;
    std::unique_ptr<KeyCaption> caption;  // -keys, on a recording with input events
};

// Makes each stage from its part of settings: terminal size and emulation, painter (with the
// font found by findFontPath), emission. movie and pngQueue: where the frames go, the caller's.
std::unique_ptr<RunStages> startStages(const RunSettings& settings, MovieWriter* movie = nullptr,
                                       PngQueue* pngQueue = nullptr);

EmissionOptions emissionOptionsFor(const RunSettings& settings, FrameSink* movie, PngQueue* pngQueue);
// The stages of a pass made with emission's options; coloursOnly: a painter that gathers colours.
std::unique_ptr<RunStages> makePictureStages(const RunSettings& settings, const EmissionOptions& emission,
                                             bool coloursOnly = false);

// Runs the conversion settings describe and gives the exit status; its messages are printed
// and its output finished whichever way it ends. framesError: why the frames directory of
// -png could not be made.
int runConversion(RunSettings settings, std::error_code framesError);
