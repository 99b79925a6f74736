#pragma once
// One video stream made by several encoders at once. The pictures are cut into segments of a
// fixed number of encoded pictures; each segment starts on a key frame of an encoder of its own,
// on a worker thread, and the packets come out on the caller's thread in the order of the
// segments, so the file is written by one thread as one encoder would write it. The cut does not
// depend on the number of workers: every number of jobs above one makes the same packets.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/codecs.h"
#include "platform/gif_palette.h"
#include "platform/video_encoder.h"

// Encoded pictures a segment: zmbv's own key frame interval, so that its segments are the
// packets one encoder makes.
constexpr size_t kSegmentPictures = 25;

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

    // As encodePicture; use gets the packets of the segments finished so far, in order, and
    // waits while the workers are busy and enough segments wait.
    int encode(PixelRows pixels, int64_t position, bool same, const PacketUse& use);
    // As finishEncoding: every segment is finished and its packets used.
    int finish(const PacketUse& use);

    struct State;

private:
    std::unique_ptr<State> state_;
};
