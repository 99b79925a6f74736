#pragma once
// Turns the frame numbers of one record into output frames (movie or PNG series).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "emission/frame_files.h"
#include "render/screen_changes.h"
#include "render/surface.h"

class FrameSink;
class PngQueue;
struct Bitmap;

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
    FrameSink* movie = nullptr;    // the movie the frames go to
    // The pass that plans a movie or PNG series made in segments: screens come without pixels
    // (only their size), a movie's temporary BMP files are made and its frames counted; the
    // segments' workers paint, encode and write them after.
    bool planning = false;
    // A worker's pass over screens a planning pass laid out: no file is made or removed, and
    // whether each screen's file was made comes from that pass (setFileMade).
    bool replaying = false;
    PngQueue* pngQueue = nullptr;  // PNG encodings under way; without it the series is encoded on this thread
    std::filesystem::path directory;  // where the frame files go; empty: the working directory
    bool keepLastBitmap = true;       // false: the last temporary bitmap is deleted when the run ends
};

// The frames of one record: the previous screen's gap begins at start, the new screen at end.
struct FrameSpan {
    int32_t start = 0;
    int32_t end = 1;
};

// Turns painted screens into frame files or movie frames, in the order they are handed over.
class Emission {
public:
    explicit Emission(const EmissionOptions& options);
    ~Emission();
    Emission(const Emission&) = delete;
    Emission& operator=(const Emission&) = delete;

    // Writes the frames of one record once its screen is painted: picture is the screen and
    // changes the rows its painting changed. In a movie the previous screen fills start ..
    // end - 1; in a PNG series start + 1 .. end - 1 copy the previous screen's file and end gets
    // the new screen.
    void emitFrames(const Surface& picture, const ScreenChanges& changes, const FrameSpan& span);

    // Shows the screen of the last emitFrames call again at the end: its own frame was span.start
    // (in a PNG series already written), and it fills the frames up to span.end - 1.
    void emitFinalFrames(const Surface& picture, const ScreenChanges& changes, const FrameSpan& span);

    // Completes the frames still being made (PNG encodings under way, the BMP file left after
    // the run); whoever ends a run calls it, and calling it again does nothing.
    void finish();

    // The frame files that could not be written so far.
    UnwrittenFrames unwrittenFrames() const;

    // Planning: whether the last screen's file was made. Replaying: what the next screen's was.
    bool lastFileMade() const;
    void setFileMade(bool made);
    // Replaying: the next screen is kept whole, whatever its changes say.
    void forgetScreen();
    // Replaying: frame numbers up to this one are not written either.
    void skipThrough(int32_t frame);
    // Replaying: the frame files that could not be written since the last call.
    UnwrittenFrames takeUnwritten();
    // Planning: frame files a worker could not write, in the order of the frames.
    void addUnwritten(const UnwrittenFrames& unwritten);
    // Planning: the pixels of the last screen, painted apart, for the file left after the run.
    void setLastScreen(Bitmap&& bitmap);
    // Replaying: the last screen as its file would hold it; empty when there is none.
    Bitmap lastScreen() const;

    // The highest frame number of the PNG series this run has written or tried to; -1 for none.
    int32_t lastPngFrame() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};
