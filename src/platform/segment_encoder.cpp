#include "platform/segment_encoder.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/cores.h"

namespace {

using Pixels = std::shared_ptr<const std::vector<uint8_t>>;  // B, G, R, x, top row first, no gaps

struct Picture {
    int64_t position = 0;
    Pixels pixels;
};

struct Segment {
    size_t index = 0;
    std::vector<Picture> pictures;  // released as they are encoded
    // A GIF's frames are coded against the screen before: the picture the segment before ended
    // on, shown to the encoder first and its packet dropped.
    Pixels before;
    int64_t next = -1;       // the position of the following segment's first picture; -1: the last segment
    int64_t lastShown = -1;  // the last segment: the last position asked for
    std::vector<AVPacket*> packets;
    int result = 0;
    bool done = false;  // guarded by the state's lock
};

}  // namespace

struct SegmentEncoder::State {
    EncoderSetup setup;
    VideoEncoder first;  // the first segment's, opened before the stream's header
    std::mutex lock;
    std::condition_variable workArrived;
    std::condition_variable segmentDone;
    std::deque<std::shared_ptr<Segment>> waiting;    // not yet taken by a worker
    std::deque<std::shared_ptr<Segment>> unwritten;  // handed out and not yet written, in order
    size_t unfinished = 0;                           // handed out and not done
    bool stopping = false;
    std::vector<std::thread> workers;
    // The caller's thread only:
    std::shared_ptr<Segment> current;  // being filled
    size_t segmentsMade = 0;
    int64_t lastShown = -1;
    bool anyPicture = false;
    Pixels lastPixels;  // a GIF's last picture encoded
    bool failed = false;
};

namespace {

using State = SegmentEncoder::State;

void freePackets(Segment& segment) {
    for (AVPacket*& packet : segment.packets) av_packet_free(&packet);
    segment.packets.clear();
}

PixelRows rowsOf(const State& q, const std::vector<uint8_t>& pixels) {
    return {pixels.data(), q.setup.width * 4, q.setup.width, q.setup.height};
}

bool primedByScreenBefore(const State& q) { return q.setup.codec->encoding.pixelFormat == std::string_view("pal8"); }

int encodeWith(State& q, VideoEncoder& encoder, Segment& segment) {
    PacketUse keep = [&segment](AVPacket& packet) {
        AVPacket* kept = av_packet_alloc();
        if (kept == nullptr) return AVERROR(ENOMEM);
        av_packet_move_ref(kept, &packet);
        segment.packets.push_back(kept);
        return 0;
    };
    if (segment.before) {
        PacketUse drop = [](AVPacket&) { return 0; };
        const int64_t position = segment.pictures.front().position - 1;
        if (int sent = encodePicture(encoder, rowsOf(q, *segment.before), position, false, drop); sent < 0) {
            return sent;
        }
        segment.before.reset();
    }
    for (Picture& picture : segment.pictures) {
        if (int sent = encodePicture(encoder, rowsOf(q, *picture.pixels), picture.position, false, keep); sent < 0) {
            return sent;
        }
        picture.pixels.reset();
    }
    if (segment.next >= 0) return endSegment(encoder, segment.next, keep);
    encoder.lastShown = segment.lastShown;
    return finishEncoding(encoder, keep);
}

void encodeSegment(State& q, Segment& segment) {
    if (segment.index == 0) {
        segment.result = encodeWith(q, q.first, segment);
        return;
    }
    const EncoderSetup& setup = q.setup;
    VideoEncoder own;
    segment.result = openVideoEncoder(own, *setup.codec, setup.width, setup.height, setup.timeBase,
                                      setup.globalHeader, setup.decodeOrder,
                                      setup.colours ? &*setup.colours : nullptr, true);
    if (segment.result >= 0) segment.result = encodeWith(q, own, segment);
    closeVideoEncoder(own);
}

void encodeOnWorker(State& q) {
    std::unique_lock guard(q.lock);
    while (true) {
        q.workArrived.wait(guard, [&] { return q.stopping || !q.waiting.empty(); });
        if (q.waiting.empty()) return;
        std::shared_ptr<Segment> segment = std::move(q.waiting.front());
        q.waiting.pop_front();
        guard.unlock();
        encodeSegment(q, *segment);
        guard.lock();
        segment->done = true;
        --q.unfinished;
        q.segmentDone.notify_all();
    }
}

void startWorkers(State& q, size_t count) {
    // Signals are for the main thread, which decides what an interruption does.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        for (size_t i = 0; i < count; ++i) q.workers.emplace_back(encodeOnWorker, std::ref(q));
    } catch (const std::system_error&) {
        // Fewer workers make the same packets; with none, segments are encoded as they are handed out.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// After a failure nothing more goes to the file; the packets are dropped.
int writeSegment(State& q, Segment& segment, const PacketUse& use) {
    int result = q.failed ? 0 : segment.result;
    for (AVPacket* packet : segment.packets) {
        if (result < 0 || q.failed) break;
        result = use(*packet);
    }
    freePackets(segment);
    if (result < 0) q.failed = true;
    return result;
}

enum class Wait { none, forRoom, forAll };

// Writes the finished segments at the front; waits as asked: until a worker is free and few
// enough segments wait to be written, or until every segment is written.
int writeFinished(State& q, const PacketUse& use, Wait wait) {
    while (true) {
        std::shared_ptr<Segment> segment;
        {
            std::unique_lock guard(q.lock);
            auto ready = [&] { return !q.unwritten.empty() && q.unwritten.front()->done; };
            auto enough = [&] {
                if (wait == Wait::forAll) return q.unwritten.empty();
                const size_t workers = std::max<size_t>(q.workers.size(), 1);
                return wait == Wait::none ||
                       (q.unfinished < workers && q.unwritten.size() < workers + kWaitingSegments);
            };
            q.segmentDone.wait(guard, [&] { return ready() || enough(); });
            if (!ready()) return 0;
            segment = std::move(q.unwritten.front());
            q.unwritten.pop_front();
        }
        if (int written = writeSegment(q, *segment, use); written < 0) return written;
    }
}

int handOut(State& q, const PacketUse& use) {
    if (int written = writeFinished(q, use, Wait::forRoom); written < 0) return written;
    std::shared_ptr<Segment> segment = std::move(q.current);
    {
        std::lock_guard guard(q.lock);
        q.unwritten.push_back(segment);
        if (!q.workers.empty()) {
            q.waiting.push_back(segment);
            ++q.unfinished;
        }
    }
    if (q.workers.empty()) {
        encodeSegment(q, *segment);
        std::lock_guard guard(q.lock);
        segment->done = true;
    } else {
        q.workArrived.notify_one();
    }
    return writeFinished(q, use, Wait::none);
}

}  // namespace

SegmentEncoder::SegmentEncoder() : state_(std::make_unique<State>()) {}

SegmentEncoder::~SegmentEncoder() {
    State& q = *state_;
    {
        std::lock_guard guard(q.lock);
        q.stopping = true;
        q.unfinished -= q.waiting.size();
        q.waiting.clear();
    }
    q.workArrived.notify_all();
    for (std::thread& worker : q.workers) worker.join();
    for (const std::shared_ptr<Segment>& segment : q.unwritten) freePackets(*segment);
    closeVideoEncoder(q.first);
}

int SegmentEncoder::open(const EncoderSetup& setup, size_t jobs) {
    State& q = *state_;
    q.setup = setup;
    int opened = openVideoEncoder(q.first, *setup.codec, setup.width, setup.height, setup.timeBase,
                                  setup.globalHeader, setup.decodeOrder,
                                  setup.colours ? &*setup.colours : nullptr, true);
    if (opened < 0) return opened;
    startWorkers(q, std::min(jobs, usableCores()));
    return 0;
}

const AVCodecContext* SegmentEncoder::context() const { return state_->first.context; }

int SegmentEncoder::encode(PixelRows pixels, int64_t position, bool same, const PacketUse& use) {
    State& q = *state_;
    const bool repeat = same && q.anyPicture;
    q.lastShown = position;
    if (!repeat) {
        q.anyPicture = true;
        if (q.current && q.current->pictures.size() >= kSegmentPictures) {
            q.current->next = position;
            if (int handed = handOut(q, use); handed < 0) return handed;
        }
        if (!q.current) {
            q.current = std::make_shared<Segment>();
            q.current->index = q.segmentsMade++;
            if (primedByScreenBefore(q)) q.current->before = q.lastPixels;
        }
        const size_t rowBytes = static_cast<size_t>(q.setup.width) * 4;
        auto copy = std::make_shared<std::vector<uint8_t>>(rowBytes * static_cast<size_t>(q.setup.height));
        for (int row = 0; row < q.setup.height; ++row) {
            std::memcpy(copy->data() + rowBytes * static_cast<size_t>(row),
                        pixels.top + static_cast<ptrdiff_t>(pixels.stride) * row, rowBytes);
        }
        if (primedByScreenBefore(q)) q.lastPixels = copy;
        q.current->pictures.push_back({position, std::move(copy)});
    }
    return writeFinished(q, use, Wait::none);
}

int SegmentEncoder::finish(const PacketUse& use) {
    State& q = *state_;
    if (!q.current) return finishEncoding(q.first, use);
    q.current->lastShown = q.lastShown;
    if (int handed = handOut(q, use); handed < 0) return handed;
    return writeFinished(q, use, Wait::forAll);
}
