#include "driver/announce.h"

#include <cstdio>

void printAlways(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void announce(bool quiet, const std::string& line) {
    if (!quiet) printAlways(line);
}

void announceBanner(bool quiet) {
    announce(quiet, "TTY to AVI/PNG conversion utility");
    announce(quiet, std::string("reelcap version ") + REELCAP_VERSION);
    announce(quiet, "Documentation: README.md in the source distribution");
    announce(quiet, "");
}

void announceSettings(const RunSettings& settings) {
    const bool quiet = settings.quiet;
    announce(quiet, "Processing file \"" + settings.inputPath + "\" at " + std::to_string(settings.fps) + " fps");
    announce(quiet, "Using terminal size " + std::to_string(settings.columns) + " x " + std::to_string(settings.rows) +
                        "...");
    if (settings.skipFrames > 0) {
        announce(quiet, "Skipping " + std::to_string(settings.skipFrames) + " frames at the beginning.");
    }
    if (settings.stopFrame >= 0) {
        announce(quiet, "Outputting a maximum of " + std::to_string(settings.stopFrame) + " frames.");
    }
}
