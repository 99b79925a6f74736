#pragma once
// One stream's FFmpeg encoder, driven by a codec's row of the table: pixels of B, G, R, 0 in,
// packets out. Results are 0 or a negative FFmpeg error number.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

#include "platform/codecs.h"
#include "platform/gif_palette.h"
#include "platform/row_store.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// Takes one packet the encoder made; the packet is emptied after.
using PacketUse = std::function<int(AVPacket& packet)>;

// Hands frame to the encoder, then every packet it has ready to use, until it wants more
// frames. frame nullptr ends the stream: every packet the encoder still holds back comes out.
int sendAndDrain(AVCodecContext* encoder, const AVFrame* frame, AVPacket* packet, const PacketUse& use);

// An 8-bit stream's colours: the palette its frames share, and the pixels of the frame sent
// last, against which the next is compared.
struct PaletteFrames {
    SharedPalette palette;
    std::vector<uint8_t> shown;  // B, G, R, x, top row first; empty unless the last frame came whole
    // Rows handed over by id (encodeRowsById), each indexed once: where an id's indexes start
    // in indexedRows, or kNotIndexed; and the ids of the frame sent last, if it came so.
    static constexpr size_t kNotIndexed = SIZE_MAX;
    std::vector<size_t> indexedAt;
    std::vector<uint8_t> indexedRows;
    std::vector<uint32_t> shownIds;
};

struct VideoEncoder {
    const CodecChoice* codec = nullptr;
    AVCodecContext* context = nullptr;
    SwsContext* converter = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* spare = nullptr;  // the other picture, while the encoder holds one
    AVPacket* packet = nullptr;
    int width = 0;
    int height = 0;
    int pixelFormat = -1;               // the pictures' AVPixelFormat
    bool converted = false;             // frame holds the conversion of the last pixels encoded
    int64_t lastEncoded = -1;           // the position of the last picture encoded
    int64_t lastShown = -1;             // the last position asked for: the same picture until here
    std::unique_ptr<PaletteFrames> paletted{};  // 8-bit palette pictures only (GIF, zmbv on known colours)
    // Containers that keep presentation times get each packet's duration: the time from its
    // picture to the next one shown, the last one's to the end of the movie. A packet waits
    // until the picture after its own is sent; later packets wait behind it, in decode order.
    bool timed = false;
    int64_t lastSent = -1;                 // the position of the picture sent last
    std::map<int64_t, int64_t> spans{};    // by position, of pictures whose packet is still to come
    std::deque<AVPacket*> waiting{};       // packets whose span is not known yet
};

// globalHeader: the container wants the codec's set-up in its header, not in the packets.
// decodeOrder: the container keeps no presentation times (AVI), so frames are never reordered;
// otherwise packets (but a GIF's) carry their durations. colours: those of every frame to come,
// known or learned beforehand, or null. They become a GIF's one palette (without them the
// palette learns each frame's colours as it comes, and the frames after the first that bring
// new ones carry a palette of their own), and an encoder that takes palette frames (zmbv) gets
// 8-bit pictures on them. oneOfMany: the encoder makes one segment of a stream that several make
// at once, so it runs on one thread and never reorders frames (their decoding times would
// overlap the next segment's). encoderThreads: the cores the one encoder of a stream may have
// to itself; x264 then runs that many threads (other encoders keep their own threading).
int openVideoEncoder(VideoEncoder& encoder, const CodecChoice& codec, int width, int height, AVRational timeBase,
                     bool globalHeader, bool decodeOrder, const SharedPalette* colours = nullptr,
                     bool oneOfMany = false, size_t encoderThreads = 1);

// same: pixels are those of the previous call. Such a repeat is not encoded: the picture before
// lasts until the next one, and the container keeps the time between them (an AVI file stores
// the frames between as empty chunks, "the previous frame again").
int encodePicture(VideoEncoder& encoder, PixelRows pixels, int64_t position, bool same, const PacketUse& use);

// A picture as rows told apart by ids (rows of one id hold the same pixels; rowAt gives them,
// width x 4 bytes), never a repeat of the position before. An encoder of palette frames indexes
// each id once in its life; others are handed the picture whole.
using RowById = std::function<const uint8_t*(uint32_t id)>;
int encodeRowsById(VideoEncoder& encoder, std::span<const uint32_t> ids, const RowById& rowAt, int64_t position,
                   const PacketUse& use);

// As encodePicture, for an encoder of palette pictures on colours known beforehand: rows keeps
// the pictures since it was last emptied, so that each distinct row is indexed once; it is
// emptied, and the encoder's indexes forgotten, before it would pass rowBytes or pictures.
// changed: the rows that may differ from the picture before; null: any.
struct RowWindow {
    size_t rowBytes = 0;
    size_t pictures = 0;
};
int encodePictureByRows(VideoEncoder& encoder, RowStore& rows, RowWindow window, PixelRows pixels, int64_t position,
                        bool same, const PacketUse& use, const RowsChanged* changed = nullptr);

// The last picture once more at the last position asked for when repeats came after it, so
// that the movie lasts as long; then every packet the encoder held back. The movie ends one
// frame after that last position.
int finishEncoding(VideoEncoder& encoder, const PacketUse& use);

// Ends a segment that the picture at next continues: the last picture lasts until next, and
// every packet the encoder held back comes out.
int endSegment(VideoEncoder& encoder, int64_t next, const PacketUse& use);

void closeVideoEncoder(VideoEncoder& encoder);
