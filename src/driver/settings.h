#pragma once
// The run's settings: filled once from the command line, then read by every subsystem.

#include <cstdint>
#include <string>

struct RunSettings {
    int32_t columns = 80;
    int32_t rows = 25;
    int32_t fps = 30;
    int32_t frameInterval = 1000000 / 30;  // microseconds per video frame
    int32_t sizeFactor = 1;                // 2 with -double
    bool aviOutput = true;                 // false with -png
    int32_t skipFrames = 0;                // frame numbers up to this one are not written
    int32_t stopFrame = -1;                // negative: no limit
    std::string outputName = "output.avi";
    std::string inputPath;
    std::string codecName;                 // -codec; empty when not given
    bool writeFrames = true;               // false: screens are rendered, no frame is written
};

extern RunSettings settings;

void resetSettings();
