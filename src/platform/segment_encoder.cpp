#include "platform/segment_encoder.h"

#include <malloc.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/cores.h"
#include "platform/row_store.h"

namespace {

struct Segment {
    size_t index = 0;
    std::vector<int64_t> positions;  // of the pictures, in order
    std::unique_ptr<RowStore> pictures;  // released once encoded
    // A GIF's frames are coded against the screen before: the picture the segment before ended
    // on is the store's first, shown to the encoder first and its packet dropped.
    bool primed = false;
    int64_t next = -1;       // the position of the following segment's first picture; -1: the last segment
    int64_t lastShown = -1;  // the last segment: the last position asked for
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
    // Encoded segments' stores, emptied: a new segment takes one rather than allocating anew,
    // so the memory of the few under way is taken once and not scattered over the threads' heaps.
    std::vector<std::unique_ptr<RowStore>> spareStores;
    // The caller's thread only:
    std::shared_ptr<Segment> current;  // being filled
    size_t segmentsMade = 0;
    int64_t lastShown = -1;
    bool anyPicture = false;
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

// zmbv's segments end where its own key frames come, so that they are the packets of one
// encoder; the others' take up to the key frame interval of x264's own, or as many as fit
// kSegmentBytes of distinct rows.
bool segmentFull(const State& q, const Segment& segment) {
    const bool zmbv = q.setup.codec->encoding.encoder == std::string_view("zmbv");
    const size_t pictures = segment.positions.size();
    if (zmbv && pictures % kZmbvKeyFrameEvery != 0) return false;
    return pictures >= (zmbv ? kZmbvKeyFrameEvery : kSegmentPictures) || segment.pictures->bytes() >= kSegmentBytes;
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
    const RowStore& store = *segment.pictures;
    const RowById rowAt = [&store](uint32_t id) { return store.rowAt(id); };
    const size_t first = segment.primed ? 1 : 0;
    // Every distinct row is indexed at most once, a byte a pixel: room for them at once spares
    // growing by copies.
    if (encoder.paletted) encoder.paletted->indexedRows.reserve(store.bytes() / 4);
    if (segment.primed) {
        PacketUse drop = [](AVPacket&) { return 0; };
        const int64_t position = segment.positions.front() - 1;
        if (int sent = encodeRowsById(encoder, store.idsOf(0), rowAt, position, drop); sent < 0) return sent;
    }
    std::vector<uint8_t> pixels;
    for (size_t index = 0; index < segment.positions.size(); ++index) {
        const int64_t position = segment.positions[index];
        int sent = 0;
        // Palette frames (GIF, zmbv on known colours) index each distinct row once.
        if (encoder.paletted) {
            sent = encodeRowsById(encoder, store.idsOf(first + index), rowAt, position, keep);
        } else {
            store.copyOut(first + index, pixels);
            sent = encodePicture(encoder, rowsOf(q, pixels), position, false, keep);
        }
        if (sent < 0) return sent;
    }
    segment.pictures->clear();
    {
        std::lock_guard guard(q.lock);
        q.spareStores.push_back(std::move(segment.pictures));
    }
    if (segment.next >= 0) return endSegment(encoder, segment.next, keep);
    encoder.lastShown = segment.lastShown;
    return finishEncoding(encoder, keep);
}

void encodeSegment(State& q, Segment& segment) {
    if (segment.index == 0) {
        segment.result = encodeWith(q, q.first, segment);
        closeVideoEncoder(q.first);
        return;
    }
    const EncoderSetup& setup = q.setup;
    VideoEncoder own;
    segment.result = openVideoEncoder(own, *setup.codec, setup.width, setup.height, setup.timeBase,
                                      setup.globalHeader, setup.decodeOrder,
                                      setup.colours ? &*setup.colours : nullptr, true);
    if (segment.result >= 0) segment.result = encodeWith(q, own, segment);
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

std::unique_ptr<RowStore> takeStore(State& q) {
    {
        std::lock_guard guard(q.lock);
        if (!q.spareStores.empty()) {
            std::unique_ptr<RowStore> spare = std::move(q.spareStores.back());
            q.spareStores.pop_back();
            return spare;
        }
    }
    const size_t rowBytes = static_cast<size_t>(q.setup.width) * 4;
    return std::make_unique<RowStore>(rowBytes, kSegmentBytes, q.setup.height);
}

std::shared_ptr<Segment> startSegment(State& q) {
    auto segment = std::make_shared<Segment>();
    segment->index = q.segmentsMade++;
    segment->pictures = takeStore(q);
    return segment;
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
    segment->pictures->seal();
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

int SegmentEncoder::encode(PixelRows pixels, int64_t position, bool same, const PacketUse& use,
                           const RowsChanged* changed) {
    State& q = *state_;
    const bool repeat = same && q.anyPicture;
    q.lastShown = position;
    if (!repeat) {
        q.anyPicture = true;
        std::shared_ptr<Segment> next;
        if (q.current && segmentFull(q, *q.current)) {
            // Room first, so that the next segment finds the store of one encoded meanwhile.
            if (int written = writeFinished(q, use, Wait::forRoom); written < 0) return written;
            next = startSegment(q);
            // Taken before the segment is handed out: its store is emptied once it is encoded.
            if (primedByScreenBefore(q)) {
                const RowStore& ended = *q.current->pictures;
                next->pictures->addPictureOf(ended, ended.pictureCount() - 1);
                next->primed = true;
            }
            q.current->next = position;
            if (int handed = handOut(q, use); handed < 0) return handed;
        }
        if (!q.current) q.current = next ? std::move(next) : startSegment(q);
        q.current->pictures->add(pixels, changed);
        q.current->positions.push_back(position);
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
