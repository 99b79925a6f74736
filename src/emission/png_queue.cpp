#include "emission/png_queue.h"

#include <lodepng.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "emission/frame_files.h"
#include "emission/png_writer.h"
#include "platform/cores.h"

struct PngEncoding {
    Surface screen;  // the copy to encode; released once encoded
    int32_t factor = 1;
    EncodedPng result;
    bool done = false;  // result is set; guarded by the queue's lock
    std::string writtenAs;  // main thread only: the first file written with these bytes
};

namespace {

struct QueuedFile {
    std::shared_ptr<PngEncoding> encoding;
    std::string path;
};

}  // namespace

struct PngQueue::State {
    std::mutex lock;
    std::condition_variable workArrived;
    std::condition_variable encodingDone;
    std::deque<std::shared_ptr<PngEncoding>> waiting;  // not yet taken by a worker
    size_t unfinished = 0;                             // started and not done
    bool stopping = false;
    std::vector<std::thread> workers;
    std::deque<QueuedFile> files;  // main thread only
    std::vector<uint8_t> copyBuffer = std::vector<uint8_t>(65536);  // main thread only
    UnwrittenFrames unwritten;  // main thread only
};

namespace {

using State = PngQueue::State;

void encodeOnWorker(State& q) {
    std::unique_lock guard(q.lock);
    while (true) {
        q.workArrived.wait(guard, [&] { return q.stopping || !q.waiting.empty(); });
        if (q.waiting.empty()) return;
        std::shared_ptr<PngEncoding> encoding = std::move(q.waiting.front());
        q.waiting.pop_front();
        guard.unlock();
        EncodedPng result = encodePng(encoding->screen, encoding->factor);
        encoding->screen = Surface{};
        guard.lock();
        encoding->result = std::move(result);
        encoding->done = true;
        --q.unfinished;
        q.encodingDone.notify_all();
    }
}

void printEncoderError(unsigned error) {
    std::printf("encoder error %u: %s\n", error, lodepng_error_text(error));
    std::fflush(stdout);
}

void startWorkers(State& q, size_t count) {
    if (!q.workers.empty()) return;
    q.stopping = false;
    // Fewer workers than cores (or none: see startEncoding) still make the same files.
    startWorkerThreads(q.workers, count, [&q] { encodeOnWorker(q); });
}

void stopWorkers(State& q) {
    {
        std::lock_guard guard(q.lock);
        q.stopping = true;
    }
    q.workArrived.notify_all();
    for (std::thread& worker : q.workers) worker.join();
    q.workers.clear();
}

bool isDone(State& q, const PngEncoding& encoding) {
    std::lock_guard guard(q.lock);
    return encoding.done;
}

// The files after the first of an encoding are copies of it, as cheap as the file system
// makes them; the bytes in hand stand in when that file cannot be read.
void writeQueuedFile(State& q, const QueuedFile& file) {
    PngEncoding& encoding = *file.encoding;
    const EncodedPng& result = encoding.result;
    if (result.error != 0) {
        printEncoderError(result.error);
        return;
    }
    if (!encoding.writtenAs.empty()) {
        CopyResult copied = copyWholeFile(encoding.writtenAs, file.path, q.copyBuffer);
        if (copied == CopyResult::targetUnwritable) q.unwritten.note(file.path);
        if (copied != CopyResult::sourceUnreadable) return;
    }
    if (writeWholeFile(file.path, result.bytes)) {
        encoding.writtenAs = file.path;
    } else {
        q.unwritten.note(file.path);
    }
}

}  // namespace

std::shared_ptr<PngEncoding> PngQueue::startEncoding(const Surface& surface, int32_t factor) {
    auto encoding = std::make_shared<PngEncoding>();
    encoding->factor = factor;
    bool whole = surface.width > 0 && surface.height > 0 &&
                 surface.pixels.size() >= static_cast<size_t>(surface.width) * static_cast<size_t>(surface.height) * 4;
    if (!whole) {
        encoding->result = encodePng(surface, factor);
        encoding->done = true;
        return encoding;
    }
    State& q = *state_;
    startWorkers(q, workers_);
    if (q.workers.empty()) {
        encoding->result = encodePng(surface, factor);
        encoding->done = true;
        return encoding;
    }
    // One encoding waiting beyond those in hand keeps every worker busy; more would only hold
    // screen copies in memory.
    const size_t limit = q.workers.size() + 1;
    while (true) {
        writeReady();
        std::unique_lock guard(q.lock);
        if (q.unfinished < limit) break;
        q.encodingDone.wait(guard, [&] { return q.unfinished < limit; });
    }
    encoding->screen.width = surface.width;
    encoding->screen.height = surface.height;
    // The copy's rows lie as a BMP's, whichever way the surface's ring is turned.
    const size_t rowBytes = static_cast<size_t>(surface.width) * 4;
    encoding->screen.pixels.resize(rowBytes * static_cast<size_t>(surface.height));
    for (int32_t y = 0; y < surface.height; ++y) {
        std::memcpy(pixelRow(encoding->screen, y), pixelRow(surface, y), rowBytes);
    }
    {
        std::lock_guard guard(q.lock);
        q.waiting.push_back(encoding);
        ++q.unfinished;
    }
    q.workArrived.notify_one();
    return encoding;
}

void PngQueue::queueFile(const std::shared_ptr<PngEncoding>& encoding, const std::string& path) {
    State& q = *state_;
    // A failure known now is reported now, where a single thread would have reported it.
    if (q.files.empty() && isDone(q, *encoding)) {
        writeQueuedFile(q, {encoding, path});
        return;
    }
    if (isDone(q, *encoding) && encoding->result.error != 0) {
        printEncoderError(encoding->result.error);
        return;
    }
    q.files.push_back({encoding, path});
}

const UnwrittenFrames& PngQueue::unwritten() const { return state_->unwritten; }

void PngQueue::writeReady() {
    State& q = *state_;
    while (!q.files.empty() && isDone(q, *q.files.front().encoding)) {
        QueuedFile file = std::move(q.files.front());
        q.files.pop_front();
        writeQueuedFile(q, file);
    }
}

PngQueue::PngQueue(size_t workers)
    : state_(std::make_unique<State>()), workers_(workers > 0 ? workers : usableCores()) {}

// The workers are waited for: none outlives the state it works on.
PngQueue::~PngQueue() { finish(); }

void PngQueue::finish() {
    State& q = *state_;
    while (!q.files.empty()) {
        {
            std::unique_lock guard(q.lock);
            const PngEncoding& next = *q.files.front().encoding;
            q.encodingDone.wait(guard, [&] { return next.done; });
        }
        writeReady();
    }
    stopWorkers(q);
}
