#pragma once

#include <memory>
// What the benchmark programs share: reading a recording, a clock, walking records with the
// progress lines sent away, and reporting "name value" lines on the real standard output.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/font_search.h"
#include "driver/settings.h"
#include "playback/playback.h"
#include "terminal/screen_grid.h"

// The settings the benchmark programs start the stages with, as a command line leaves them.
inline RunSettings settings;

namespace bench {

inline std::vector<uint8_t> readRecording(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A ttyrec recording held as the reader holds one.
inline Recording readTtyrec(const char* path) {
    Recording recording;
    recording.ttyrec = readRecording(path);
    return recording;
}

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline long peakResidentKib() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The converter prints a progress line per record; the programs keep the real standard output
// for their results and send the converter's to /dev/null.
class Report {
public:
    Report() : fd_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) std::exit(2);
    }
    void line(const std::string& name, double value) { dprintf(fd_, "%s %.6f\n", name.c_str(), value); }

private:
    int fd_;
};

// Settings as the converter's command line would leave them for "-fps fps".
inline void useFps(int fps) {
    settings.fps = fps;
    settings.frameInterval = 1000000 / fps;
}

// The stages as the converter starts them; a missing font.txt would end every walk at its first
// record and leave figures that mean nothing, so it ends the program instead.
inline std::unique_ptr<RunStages> startConverterStages() {
    if (settings.font.empty() && findFontPath().empty()) {
        std::fprintf(stderr, "no font.txt in the working directory or along PATH\n");
        std::exit(2);
    }
    return startStages(settings);
}

// Playback's options as the converter's command line would leave them for "-fps fps".
inline PlaybackOptions playbackOptions() {
    PlaybackOptions options;
    options.frameInterval = settings.frameInterval;
    options.fps = settings.fps;
    return options;
}

inline int fpsArgument(int argc, char** argv, int index) { return argc > index ? std::atoi(argv[index]) : 10; }

}  // namespace bench
