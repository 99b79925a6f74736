#pragma once
// The run's settings: a value read from the command line; the driver hands each stage the part
// it needs.

#include <cstdint>
#include <filesystem>
#include <string>

#include "render/renderer.h"
#include "render/theme.h"
#include "playback/timing.h"
#include "terminal/terminal.h"

struct RunSettings {
    int32_t columns = 80;
    int32_t rows = 25;
    bool columnsGiven = false;             // -width was given: it wins over a recording's own size
    bool rowsGiven = false;                // -height likewise
    std::string columnsText;               // -width's and -height's values as given, for messages
    std::string rowsText;
    int32_t fps = 30;
    int32_t frameInterval = 1000000 / 30;  // microseconds per video frame
    int32_t sizeFactor = 1;                // 2 with -double
    bool movieOutput = true;                 // false with -png
    int32_t skipFrames = 0;                // frame numbers up to this one are not written
    int32_t stopFrame = -1;                // negative: no limit
    std::string outputName = "output.avi";
    // Where the run's files go (movie, poster, frames, log, temporary bitmaps) when named
    // relatively; empty: the working directory.
    std::filesystem::path directory;
    std::string inputPath;
    std::string codecName;                 // -codec; empty when not given
    bool writeFrames = true;               // false: screens are rendered, no frame is written
    // Tests only: every screen repainted whole, every frame encoded afresh on this thread and
    // passed through its BMP file, as the faster ways must match byte for byte.
    bool plainPaths = false;
    Emulation emulation = Emulation::basic;  // -emulation
    bool emulationGiven = false;             // -emulation was given: an asciicast keeps it
    bool statusLine = false;                 // -progress: one status line instead of a line per record
    bool quiet = false;                      // -quiet: errors and warnings only
    bool tidy = false;                       // -tidy: no log and no frame bitmap left after the run
    std::string font;                        // -font: a font file or fontconfig pattern; "" for font.txt
    int32_t fontSize = 16;                   // -font-size, pixels
    double lineHeight = 1.0;                 // -line-height
    Theme theme;                             // -theme, else an asciicast recording's own, else classic
    bool themeGiven = false;
    int32_t boldBright = -1;                 // -bold-bright on (1) or off (0); -1: the theme's own
    int32_t padding = 0;                     // -padding, pixels
    CursorStyle cursor = CursorStyle::none;  // -cursor
    // -window and its -margin and -margin-color; the title is the recording's, taken once it is read.
    WindowLook window;
    bool marginGiven = false;  // -margin or -margin-color was given
    bool outputGiven = false;                // -output was given
    // The picture's size in cells: the terminal's, or the largest an asciicast recording's
    // resizes reach on a side that -width or -height does not fix.
    int32_t pictureColumns = 0;
    int32_t pictureRows = 0;
    bool realtime = false;     // -realtime
    bool clockGiven = false;   // -realtime or -record-frames was given: an asciicast keeps it
    double idleSeconds = -1;   // -idle; negative: not given
    double speed = 1;          // -speed
    double lastSeconds = -1;   // -last; negative: the container's default
    TimePoint from;            // -from
    TimePoint to;              // -to
    TimePoint at;              // -at: one PNG of the screen at this time
    bool chapters = true;      // -chapters: an asciicast recording's markers become chapters
    double chapterEvery = -1;  // -chapter-every, seconds; negative: not given
    bool keys = false;         // -keys: a caption of the keys typed
    double keysHold = 1.5;     // -keys-hold: seconds the caption stays after the last key
    std::string audioPath;     // -audio: a narration; empty: none
    double audioOffset = 0;    // -audio-offset: seconds on the recording's clock where it starts
    int32_t jobs = 0;          // -jobs: encodings at once; 0: one per usable core
};

// The largest terminal that can be converted.
constexpr int32_t kMostColumns = 200;
constexpr int32_t kMostRows = 80;
