#pragma once
// Turns the frame numbers of one record into output frames (movie or PNG series).

#include <cstdint>
#include <string>

class MovieWriter;
class PngQueue;

// "%07d.bmp" and "frames/%07d.png".
std::string bmpFrameName(int32_t frameNumber);
std::string pngFrameName(int32_t frameNumber);

struct EmissionOptions {
    bool movieOutput = true;  // false: a PNG series
    int32_t sizeFactor = 1;   // 2: frames at twice the width and height
    int32_t skipFrames = 0;   // frame numbers up to this one are not written
    int32_t stopFrame = -1;   // the highest frame number written; negative: no limit
    bool writeFrames = true;  // false: nothing is written
    // Every frame encoded afresh on this thread and passed through its BMP file, as the
    // faster ways must match byte for byte.
    bool plainPaths = false;
    // A first pass that only shows the movie writer the screens (which learns their colours):
    // no file is made for them.
    bool colourPass = false;
    MovieWriter* movie = nullptr;  // the movie the frames go to
    PngQueue* pngQueue = nullptr;  // PNG encodings under way; without it the series is encoded on this thread
};

void startEmission(const EmissionOptions& options);

// The frames of one record: the previous screen's gap begins at start, the new screen at end.
struct FrameSpan {
    int32_t start = 0;
    int32_t end = 1;
};

// Writes the frames of one record once its screen is painted: in a movie the previous screen
// fills start .. end - 1; in a PNG series start + 1 .. end - 1 copy the previous screen's file
// and end gets the new screen.
void emitFrames(const FrameSpan& span);

// Shows the screen of the last emitFrames call again at the end: its own frame was span.start
// (in a PNG series already written), and it fills the frames up to span.end - 1.
void emitFinalFrames(const FrameSpan& span);

// Completes the frames still being made (PNG encodings under way, the BMP file left after the
// run); every end of a run calls it, and calling it again does nothing.
void finishFrames();

// Forgets the previous BMP name and any kept screen, so that tests start afresh.
void resetEmission();
