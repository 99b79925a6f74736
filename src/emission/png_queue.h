#pragma once
// PNG frames encoded on worker threads, one per core, while the main thread goes on
// interpreting and painting. Files are written on the main thread in the order they were asked
// for, so the series on disk grows as it would from a single thread.

#include <cstdint>
#include <memory>
#include <string>

#include "emission/frame_files.h"
#include "render/surface.h"

struct PngEncoding;  // one screen's encoding, done or under way

// Starts encoding a copy of surface's pixels at factor, waiting first while every worker is
// busy. A surface without a whole image is encoded at once, so its error is known now.
std::shared_ptr<PngEncoding> startPngEncoding(const Surface& surface, int32_t factor);

// Writes encoding's bytes as path once it is done and everything queued before is written. A
// failed encoding prints its "encoder error" line instead: at once when the failure is known
// already, otherwise when its turn comes.
void queuePngFile(const std::shared_ptr<PngEncoding>& encoding, const std::string& path);

// The queued files that could not be written.
const UnwrittenFrames& unwrittenPngFiles();

// Writes the queued files whose encodings are done, without waiting.
void writeReadyPngFiles();

// Waits for every encoding, writes every queued file, and stops the workers.
void finishPngFiles();

// Stops the workers and forgets what was queued, so that tests start afresh.
void resetPngQueue();
