#pragma once
// The converter's entry point: banner, options, announcements, output preparation, playback.

#include "driver/settings.h"

// Returns the exit status; some errors end the process directly.
int runConverter(int argc, char** argv);

// Hands each stage its part of settings: terminal size and emulation, renderer (with the font
// found by findFontPath), emission.
void startStages(const RunSettings& settings);
