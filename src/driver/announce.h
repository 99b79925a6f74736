#pragma once
// What a run says on standard output: the banner, the announcements of the settings and the
// steps, which -quiet leaves out, and the lines it prints whatever -quiet asks.

#include <string>

#include "driver/settings.h"

// The line and a newline, flushed.
void printAlways(const std::string& line);

// The line unless quiet.
void announce(bool quiet, const std::string& line);

// The program's name, version and documentation, and a blank line.
void announceBanner(bool quiet);

// The recording, the rate, the terminal size and the frame limits the run takes.
void announceSettings(const RunSettings& settings);
