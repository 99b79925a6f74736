#include "platform/segment_encoder.h"

#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/cores.h"

namespace {

struct Segment {
    size_t index = 0;
    SegmentProducer producer;  // encodes the segment's pictures
    int64_t next = -1;         // the position of the following segment's first picture; -1: the last segment
    std::vector<AVPacket*> packets;
    int result = 0;
    bool done = false;  // guarded by the state's lock
};

}  // namespace

struct SegmentEncoder::State {
    EncoderSetup setup;
    VideoEncoder first;  // the first segment's, opened before the stream's header; closed once it is done
    std::mutex lock;
    std::condition_variable workArrived;
    std::condition_variable segmentDone;
    std::deque<std::shared_ptr<Segment>> waiting;    // not yet taken by a worker
    std::deque<std::shared_ptr<Segment>> unwritten;  // handed out and not yet written, in order
    size_t unfinished = 0;                           // handed out and not done
    bool stopping = false;
    std::vector<std::thread> workers;
    // The caller's thread only:
    size_t segmentsMade = 0;
    bool failed = false;
};

namespace {

using State = SegmentEncoder::State;

void freePackets(Segment& segment) {
    for (AVPacket*& packet : segment.packets) av_packet_free(&packet);
    segment.packets.clear();
}

int encodeWith(VideoEncoder& encoder, Segment& segment) {
    PacketUse keep = [&segment](AVPacket& packet) {
        AVPacket* kept = av_packet_alloc();
        if (kept == nullptr) return AVERROR(ENOMEM);
        av_packet_move_ref(kept, &packet);
        segment.packets.push_back(kept);
        return 0;
    };
    if (int made = segment.producer(encoder, keep); made < 0) return made;
    // A segment that showed nothing has nothing to end.
    if (encoder.lastEncoded < 0) return 0;
    if (segment.next >= 0) return endSegment(encoder, segment.next, keep);
    return finishEncoding(encoder, keep);
}

void encodeSegment(State& q, Segment& segment) {
    if (segment.index == 0) {
        segment.result = encodeWith(q.first, segment);
        closeVideoEncoder(q.first);
        return;
    }
    const EncoderSetup& setup = q.setup;
    VideoEncoder own;
    segment.result = openVideoEncoder(own, *setup.codec, setup.width, setup.height, setup.timeBase,
                                      setup.globalHeader, setup.decodeOrder,
                                      setup.colours ? &*setup.colours : nullptr, true);
    if (segment.result >= 0) segment.result = encodeWith(own, segment);
    closeVideoEncoder(own);
    // The encoder's frames, freed amid this thread's heap, go back to the system: the next
    // segment's encoder may be opened on another thread, in another heap. zmbv's segments are
    // short and its encoder small: there the trimming costs more than it frees.
    if (setup.codec->encoding.encoder != std::string_view("zmbv")) malloc_trim(0);
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

// Fewer workers make the same packets; with none, segments are encoded as they are handed out.
void startWorkers(State& q, size_t count) {
    startWorkerThreads(q.workers, count, [&q] { encodeOnWorker(q); });
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

int handOut(State& q, std::shared_ptr<Segment> segment, const PacketUse& use) {
    if (int written = writeFinished(q, use, Wait::forRoom); written < 0) return written;
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

int SegmentEncoder::produce(SegmentProducer producer, int64_t next, const PacketUse& use) {
    State& q = *state_;
    if (q.failed) return 0;
    auto segment = std::make_shared<Segment>();
    segment->index = q.segmentsMade++;
    segment->producer = std::move(producer);
    segment->next = next;
    return handOut(q, std::move(segment), use);
}

int SegmentEncoder::finish(const PacketUse& use) {
    State& q = *state_;
    if (q.segmentsMade == 0) return finishEncoding(q.first, use);
    return writeFinished(q, use, Wait::forAll);
}
