#pragma once
// The movie writer: one video stream, frames appended as key frames or through a compressor.

#include <cstdint>
#include <string>

#include "platform/avi_file.h"
#include "platform/bitmap.h"

using AviResult = uint32_t;
constexpr AviResult kAviErrOk = 0;                  // AVIERR_OK
constexpr AviResult kAviErrBadHandle = 0x8004406C;  // AVIERR_BADHANDLE
constexpr AviResult kAviErrBadParam = 0x8004406A;   // AVIERR_BADPARAM
constexpr AviResult kAviErrError = 0x800440C7;      // AVIERR_ERROR
constexpr AviResult kAviErrCompressor = 0x80044070; // AVIERR_COMPRESSOR
constexpr AviResult kAviErrUserAbort = 0x800440C6;  // AVIERR_USERABORT

// The run's one movie: opened by the driver, written by frame emission, closed by the driver.
// False when the file cannot be created; errno tells why.
bool openMovieWriter(const std::string& fileName, int32_t framePeriod);
bool movieWriterOpen();

// Closes the movie, if one is open.
void closeMovieWriter();

// True once a stream step or frame write failed (not a cancelled choice); the run then ends
// with exit status 1.
bool movieWriteFailed();

// The record the compression dialog starts from.
AviCompressOptions& compressionOptions();

// All zero, then dwFlags 9 and dwInterleaveEvery 1.
void resetCompressionOptions();

// A first pass over the recording: while on, frames given to the writer only teach it their
// colours, and nothing is written or said. The GIF file written after gets them before its
// first frame, so that it is written as it goes with one palette.
void learnMovieColours(bool on);

// Closes any active writer and forgets a write failure and the colours learned, so that tests
// start afresh.
void resetMovieWriter();

AviResult setMovieCompression(const Bitmap* bitmap);
AviResult addMovieFrame(const Bitmap* bitmap);

std::string lastErrorText();
