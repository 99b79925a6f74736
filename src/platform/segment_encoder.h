#pragma once
// One video stream made by several encoders at once. The stream comes as segments, each made on
// a worker by its producer, which encodes the segment's pictures into an encoder of its own from
// a key frame; the packets come out on the caller's thread in the order of the segments, so the
// file is written by one thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/codecs.h"
#include "platform/gif_palette.h"
#include "platform/row_store.h"
#include "platform/video_encoder.h"

// Pictures a segment paints at most: x264's own key frame interval.
constexpr size_t kSegmentPictures = 250;
// The distinct pixel rows a store of palette pictures holds before it is emptied (one picture
// more may pass it).
constexpr size_t kSegmentBytes = size_t{8} << 20;

// Segments finished and waiting for their turn to be written, beyond those under way.
constexpr size_t kWaitingSegments = 2;

// What every encoder of the stream is opened with (see openVideoEncoder).
struct EncoderSetup {
    const CodecChoice* codec = nullptr;
    int width = 0;
    int height = 0;
    AVRational timeBase{1, 1};
    bool globalHeader = false;
    bool decodeOrder = false;
    std::optional<SharedPalette> colours;
};

// Encodes one segment's pictures into the encoder it is given (a new one, or the stream's first
// for the first segment), each packet to keep, in order; runs on a worker.
using SegmentProducer = std::function<int(VideoEncoder& encoder, const PacketUse& keep)>;

class SegmentEncoder {
public:
    SegmentEncoder();
    SegmentEncoder(const SegmentEncoder&) = delete;
    SegmentEncoder& operator=(const SegmentEncoder&) = delete;
    ~SegmentEncoder();  // stops the workers; packets not yet written are dropped

    // Opens the first segment's encoder (its context describes the stream) and starts up to
    // jobs workers, never more than the usable cores.
    int open(const EncoderSetup& setup, size_t jobs);
    const AVCodecContext* context() const;

    // Hands out a segment whose producer encodes its pictures on a worker; next: the position
    // the following segment's first picture has (the last picture lasts until there), -1 for
    // the last segment. use gets the packets of the segments finished so far, in order; waits
    // while the workers are busy and enough segments wait.
    int produce(SegmentProducer producer, int64_t next, const PacketUse& use);
    // As finishEncoding: every segment is finished and its packets used.
    int finish(const PacketUse& use);

    struct State;

private:
    std::unique_ptr<State> state_;
};
