#pragma once
// PNG frames encoded on worker threads, one per core, while the main thread goes on
// interpreting and painting. Files are written on the main thread in the order they were asked
// for, so the series on disk grows as it would from a single thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "emission/frame_files.h"
#include "render/surface.h"

struct PngEncoding;  // one screen's encoding, done or under way

class PngQueue {
public:
    // workers: encodings at once; 0: one per usable core.
    explicit PngQueue(size_t workers = 0);
    PngQueue(const PngQueue&) = delete;
    PngQueue& operator=(const PngQueue&) = delete;
    // Finishes what is queued (see finish).
    ~PngQueue();

    // Starts encoding a copy of surface's pixels at factor, waiting first while every worker is
    // busy. A surface without a whole image is encoded at once, so its error is known now.
    std::shared_ptr<PngEncoding> startEncoding(const Surface& surface, int32_t factor);

    // Writes encoding's bytes as path once it is done and everything queued before is written.
    // A failed encoding prints its "encoder error" line instead: at once when the failure is
    // known already, otherwise when its turn comes.
    void queueFile(const std::shared_ptr<PngEncoding>& encoding, const std::string& path);

    // The queued files that could not be written.
    const UnwrittenFrames& unwritten() const;

    // Writes the queued files whose encodings are done, without waiting.
    void writeReady();

    // Waits for every encoding, writes every queued file, and stops the workers; the queue can
    // be used again after.
    void finish();

    struct State;  // shared with the workers

private:
    std::unique_ptr<State> state_;
    size_t workers_;
};
