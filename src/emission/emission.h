#pragma once
// Turns the frame numbers of one record into output frames (movie or PNG series).

#include <cstdint>
#include <string>

// "%07d.bmp" and "frames/%07d.png".
std::string bmpFrameName(int32_t frameNumber);
std::string pngFrameName(int32_t frameNumber);

// Runs once per record, right after renderScreen.
void emitFrames();

// Completes the frames still being made (PNG encodings under way, the BMP file left after the
// run); every end of a run calls it, and calling it again does nothing.
void finishFrames();

// Forgets the previous BMP name and any kept screen, so that tests start afresh.
void resetEmission();
