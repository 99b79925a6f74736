#pragma once
// The converter's entry point: banner, options, announcements, output preparation, playback.

#include "driver/settings.h"

class MovieWriter;
class PngQueue;

// Returns the exit status; some errors end the process directly.
int runConverter(int argc, char** argv);

// Hands each stage its part of settings: terminal size and emulation, renderer (with the font
// found by findFontPath), emission, playback.
// movie and pngQueue: where the frames go, the caller's.
void startStages(const RunSettings& settings, MovieWriter* movie = nullptr, PngQueue* pngQueue = nullptr);
