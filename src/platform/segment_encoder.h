#pragma once
// One video stream made by several encoders at once. The pictures are cut into segments (by the
// number of encoded pictures and the bytes their distinct rows take); each segment starts on a key frame of an encoder of its own,
// on a worker thread, and the packets come out on the caller's thread in the order of the
// segments, so the file is written by one thread as one encoder would write it. The cut does not
// depend on the number of workers: every number of jobs above one makes the same packets.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/codecs.h"
#include "platform/gif_palette.h"
#include "platform/row_store.h"
#include "platform/video_encoder.h"

// Encoded pictures a segment at most: x264's own key frame interval.
constexpr size_t kSegmentPictures = 250;
// zmbv's own key frame interval: its segments are whole multiples of it.
constexpr size_t kZmbvKeyFrameEvery = 25;
// The distinct pixel rows a segment holds, at most (one picture more may pass it).
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
    // waits while the workers are busy and enough segments wait. changed: the rows that may
    // differ from the picture before; null: any.
    int encode(PixelRows pixels, int64_t position, bool same, const PacketUse& use,
               const RowsChanged* changed = nullptr);
    // As finishEncoding: every segment is finished and its packets used.
    int finish(const PacketUse& use);

    struct State;

private:
    std::unique_ptr<State> state_;
};
