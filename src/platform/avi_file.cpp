#include "platform/avi_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/bitmap.h"

namespace {

// A movie with no frame at all: only an AVI file can be left that way.
const int kNoFramesError = FFERRTAG('N', 'O', 'F', 'R');

constexpr int kIoBufferSize = 1 << 16;
// Room kept free beyond what is written, so that the index and the final sizes can always be
// written at the end, even when the disk fills up during the run.
constexpr int64_t kClosingReserve = 1 << 16;
constexpr int64_t kIndexBytesPerFrame = 32;
constexpr int64_t kMostReservedAhead = int64_t{64} << 20;
constexpr int64_t kChunkHeaderSize = 9;  // chunk id, size and a padding byte

uint32_t failure(int averror) { return static_cast<uint32_t>(averror); }

// GIF frames are indexes into palettes of 256 colours. The palette learns the colours of every
// frame before the first is encoded (see GifFrames), so on terminal screens one exact palette
// serves the whole file: the GIF's global one, against which the encoder stores only what
// changed. When the frames hold more colours than that, the frames that need others, and all
// after them, get palettes of their own.
// The last index is transparent and never a colour: the encoder marks unchanged pixels with it.
constexpr int kTransparentIndex = 255;
constexpr uint32_t kOpaque = 0xFF000000;
// A frame's own palette must never match the global one: the encoder would take the frame for
// one on the global palette and compare its indexes with the previous frame's, which mean other
// colours. Its transparent entry differs for that.
constexpr uint32_t kOwnTransparent = 0x00FFFFFF;

struct PaletteMap {
    std::array<uint32_t, 256> colours{};
    int count = 0;
    std::unordered_map<uint32_t, uint8_t> indexOf;
    bool ownPalettes = false;
};

// Unused entries are opaque black, so that the encoder finds the transparent one at the end.
std::array<uint32_t, 256> paletteOf(std::span<const uint32_t> colours, uint32_t transparent = 0) {
    std::array<uint32_t, 256> palette;
    palette.fill(kOpaque);
    for (size_t i = 0; i < colours.size(); ++i) palette[i] = kOpaque | colours[i];
    palette[kTransparentIndex] = transparent;
    return palette;
}

uint32_t pixelAt(const uint8_t* row, int x) {
    const uint8_t* pixel = row + static_cast<ptrdiff_t>(x) * 4;
    return static_cast<uint32_t>(pixel[0]) | static_cast<uint32_t>(pixel[1]) << 8 |
           static_cast<uint32_t>(pixel[2]) << 16;
}

// Indexes in the shared palette, which takes in new colours while it has room; false when the
// frame has a colour it cannot take.
bool mapToSharedPalette(PaletteMap& map, const uint8_t* top, int stride, int width, int height, uint8_t* indexes,
                        int indexStride) {
    uint32_t lastColour = 0;
    int lastIndex = -1;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = top + static_cast<ptrdiff_t>(stride) * y;
        uint8_t* out = indexes + static_cast<ptrdiff_t>(indexStride) * y;
        for (int x = 0; x < width; ++x) {
            uint32_t colour = pixelAt(row, x);
            if (colour != lastColour || lastIndex < 0) {
                auto found = map.indexOf.find(colour);
                if (found != map.indexOf.end()) {
                    lastIndex = found->second;
                } else {
                    if (map.count == kTransparentIndex) return false;
                    lastIndex = map.count++;
                    map.colours[lastIndex] = colour;
                    map.indexOf.emplace(colour, static_cast<uint8_t>(lastIndex));
                }
                lastColour = colour;
            }
            out[x] = static_cast<uint8_t>(lastIndex);
        }
    }
    return true;
}

// A palette for this frame alone: exact up to 255 colours, else the nearest of 6 x 7 x 6 levels.
std::array<uint32_t, 256> mapToOwnPalette(const uint8_t* top, int stride, int width, int height, uint8_t* indexes,
                                          int indexStride) {
    std::unordered_map<uint32_t, uint8_t> indexOf;
    std::vector<uint32_t> colours;
    for (int y = 0; y < height && colours.size() <= kTransparentIndex; ++y) {
        const uint8_t* row = top + static_cast<ptrdiff_t>(stride) * y;
        for (int x = 0; x < width && colours.size() <= kTransparentIndex; ++x) {
            uint32_t colour = pixelAt(row, x);
            if (indexOf.emplace(colour, static_cast<uint8_t>(colours.size())).second) colours.push_back(colour);
        }
    }
    bool exact = colours.size() <= kTransparentIndex;
    if (!exact) {
        colours.clear();
        for (uint32_t r = 0; r < 6; ++r) {
            for (uint32_t g = 0; g < 7; ++g) {
                for (uint32_t b = 0; b < 6; ++b) colours.push_back(r * 51 << 16 | g * 85 / 2 << 8 | b * 51);
            }
        }
    }
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = top + static_cast<ptrdiff_t>(stride) * y;
        uint8_t* out = indexes + static_cast<ptrdiff_t>(indexStride) * y;
        for (int x = 0; x < width; ++x) {
            uint32_t colour = pixelAt(row, x);
            if (exact) {
                out[x] = indexOf[colour];
            } else {
                int r = ((colour >> 16 & 0xFF) + 25) / 51;
                int g = ((colour >> 8 & 0xFF) * 2 + 42) / 85;
                int b = ((colour & 0xFF) + 25) / 51;
                out[x] = static_cast<uint8_t>(r * 42 + g * 6 + b);
            }
        }
    }
    return paletteOf(colours, kOwnTransparent);
}

// Fills the frame's indexes and palette from top-down B, G, R, 0 pixels.
void mapToPalette(PaletteMap& map, const uint8_t* top, int stride, int width, int height, AVFrame* frame) {
    auto* palette = reinterpret_cast<uint32_t*>(frame->data[1]);
    if (!map.ownPalettes &&
        !mapToSharedPalette(map, top, stride, width, height, frame->data[0], frame->linesize[0])) {
        map.ownPalettes = true;
    }
    std::array<uint32_t, 256> chosen =
        map.ownPalettes ? mapToOwnPalette(top, stride, width, height, frame->data[0], frame->linesize[0])
                        : paletteOf(std::span(map.colours).first(static_cast<size_t>(map.count)));
    std::memcpy(palette, chosen.data(), sizeof chosen);
}

// GIF frames are held, losslessly compressed by zmbv in memory, until the last one has come:
// only then are all their colours known, and the palette built from them.
struct GifFrames {
    struct Held {
        int64_t position;
        std::vector<uint8_t> bytes;  // a zmbv packet
        bool repeat = false;         // the previous frame again, with no packet
    };
    AVCodecContext* holder = nullptr;
    AVFrame* frame = nullptr;  // B, G, R, 0, top row first
    AVPacket* packet = nullptr;
    std::vector<Held> held;
    PaletteMap palette;

    GifFrames() = default;
    GifFrames(const GifFrames&) = delete;
    GifFrames& operator=(const GifFrames&) = delete;
    ~GifFrames() {
        avcodec_free_context(&holder);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
};

}  // namespace

struct AviFile {
    std::string path;
    MovieContainer container = MovieContainer::avi;
    int fd = -1;
    bool regularFile = false;
    AVFormatContext* format = nullptr;
    int64_t position = 0;     // where the next write lands
    int64_t end = 0;          // the length of what has been written
    int64_t reservedEnd = 0;  // disk space is held up to here
    int64_t packetCount = 0;
    bool headerTried = false;
    bool headerWritten = false;
};

struct AviStream {
    AviFile* file = nullptr;
    AVStream* stream = nullptr;
    const CodecChoice* setup = nullptr;
    AVRational timeBase{1, 1};  // of frame positions
    AVCodecContext* encoder = nullptr;
    SwsContext* converter = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* spare = nullptr;  // the other picture, while the encoder holds one
    AVPacket* packet = nullptr;
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    bool formatSet = false;
    bool broken = false;  // a write failed: held-back frames are dropped, not written after the gap
    bool converted = false;  // frame holds the conversion of the last write's pixels
    std::unique_ptr<GifFrames> gif{};  // GIF files only
};

namespace {

int writeToFile(void* opaque, uint8_t* buffer, int size) {
    auto* file = static_cast<AviFile*>(opaque);
    int done = 0;
    while (done < size) {
        ssize_t written = write(file->fd, buffer + done, static_cast<size_t>(size - done));
        if (written < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(written);
        file->position += written;
        file->end = std::max(file->end, file->position);
    }
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<AviFile*>(opaque);
    if (whence & AVSEEK_SIZE) return file->end;
    off_t reached = lseek(file->fd, offset, whence & ~AVSEEK_FORCE);
    if (reached < 0) return AVERROR(errno);
    file->position = reached;
    return reached;
}

uint32_t flushFile(AviFile* file) {
    avio_flush(file->format->pb);
    return file->format->pb->error < 0 ? failure(file->format->pb->error) : 0;
}

// FFmpeg's AVI muxer marks the stream's quality as "default" (-1); ours is 0, which players
// ignore either way. The header sits at the start of the file, read through a second opening
// (the movie is open for writing only); where that is refused the mark stays.
uint32_t clearStreamQuality(AviFile* file) {
    constexpr size_t kQualityAt = 8 + 40;  // past the chunk's name and size, then ten fields in
    std::array<char, 1024> head{};
    int reader = open(("/proc/self/fd/" + std::to_string(file->fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (reader < 0) return 0;
    ssize_t got = pread(reader, head.data(), head.size(), 0);
    close(reader);
    if (got < 0) return 0;
    std::string_view bytes(head.data(), static_cast<size_t>(got));
    size_t at = bytes.find("strh");
    if (at == std::string_view::npos || at + kQualityAt + 4 > bytes.size()) return 0;
    const uint8_t zero[4] = {};
    if (pwrite(file->fd, zero, sizeof zero, static_cast<off_t>(at + kQualityAt)) != sizeof zero) {
        return failure(AVERROR(errno));
    }
    return 0;
}

// Holds disk space for the next bytes plus everything closing the file may still add, so a
// full disk refuses a frame before the muxer has taken it, never in the middle of one.
uint32_t reserveSpace(AviFile* file, int64_t bytes) {
    if (!file->regularFile) return 0;
    int64_t target = std::max(file->end, file->position) + bytes + kClosingReserve +
                     kIndexBytesPerFrame * (file->packetCount + 1);
    if (target <= file->reservedEnd) return 0;
    // Space is held well ahead, an eighth of what is written at a time (up to 64 MB), so that
    // large frames do not each ask the file system for theirs; where that much is not free, the
    // exact amount decides.
    int64_t ahead = std::max(target, file->reservedEnd + std::min(file->end / 8, kMostReservedAhead));
    if (ahead > target && posix_fallocate(file->fd, file->reservedEnd, ahead - file->reservedEnd) == 0) {
        file->reservedEnd = ahead;
        return 0;
    }
    int error = posix_fallocate(file->fd, file->reservedEnd, target - file->reservedEnd);
    if (error != 0) return failure(AVERROR(error));
    file->reservedEnd = target;
    return 0;
}

uint32_t writeHeader(AviFile* file) {
    int64_t extradata = file->format->nb_streams > 0 ? file->format->streams[0]->codecpar->extradata_size : 0;
    if (uint32_t reserved = reserveSpace(file, kClosingReserve + extradata)) return reserved;
    file->headerTried = true;  // the muxer cannot be asked twice
    AVDictionary* options = nullptr;
    // Our frames are bottom-up bitmaps: the format then carries a positive height.
    if (file->container == MovieContainer::avi) av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    // The index goes before the frames, so that browsers start playing while loading.
    if (file->container == MovieContainer::mp4) av_dict_set(&options, "movflags", "+faststart", 0);
    int result = avformat_write_header(file->format, &options);
    av_dict_free(&options);
    if (result < 0) return failure(result);
    file->headerWritten = true;
    return flushFile(file);
}

// Moving an MP4 index to the front reads the file back in blocks up to its length, so the space
// held beyond what is written must not count as length then; it stays held all the same.
uint32_t unreserveLength(AviFile* file) {
    if (!file->regularFile || file->reservedEnd <= file->end) return 0;
    if (ftruncate(file->fd, file->end) != 0) return failure(AVERROR(errno));
    if (fallocate(file->fd, FALLOC_FL_KEEP_SIZE, file->end, file->reservedEnd - file->end) != 0) {
        file->reservedEnd = file->end;  // the file system cannot hold space that way
    }
    return 0;
}

// The muxer refuses a file without streams; this is the smallest AVI that readers accept:
// a main header announcing no stream, and an empty movie list.
uint32_t writeEmptyAvi(AviFile* file) {
    std::vector<uint8_t> out;
    putFourcc(out, "RIFF");
    putU32le(out, 4 + 8 + 4 + 8 + 56 + 8 + 4);
    putFourcc(out, "AVI ");
    putFourcc(out, "LIST");
    putU32le(out, 4 + 8 + 56);
    putFourcc(out, "hdrl");
    putFourcc(out, "avih");  // MainAVIHeader, all zero: no frames, no streams
    putU32le(out, 56);
    out.resize(out.size() + 56, 0);
    putFourcc(out, "LIST");
    putU32le(out, 4);
    putFourcc(out, "movi");
    if (out.size() != 8 + 4 + 8 + 4 + 8 + 56 + 8 + 4) return failure(AVERROR_BUG);

    if (uint32_t reserved = reserveSpace(file, static_cast<int64_t>(out.size()))) return reserved;
    int written = writeToFile(file, out.data(), static_cast<int>(out.size()));
    return written < 0 ? failure(written) : 0;
}

uint32_t writePacket(AviStream* stream, AVPacket* packet) {
    AviFile* file = stream->file;
    packet->stream_index = stream->stream->index;
    av_packet_rescale_ts(packet, stream->timeBase, stream->stream->time_base);
    uint32_t result = reserveSpace(file, packet->size + kChunkHeaderSize);
    if (result == 0) {
        int written = av_write_frame(file->format, packet);
        result = written < 0 ? failure(written) : 0;
        if (result == 0) ++file->packetCount;
    }
    av_packet_unref(packet);
    if (result == 0) result = flushFile(file);
    if (result != 0) stream->broken = true;
    return result;
}

// Hands every packet the encoder has ready to the file.
uint32_t drainEncoder(AviStream* stream) {
    while (true) {
        int received = avcodec_receive_packet(stream->encoder, stream->packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return 0;
        if (received < 0) {
            stream->broken = true;
            return failure(received);
        }
        if (uint32_t result = writePacket(stream, stream->packet)) return result;
    }
}

// zmbv keeps a screen that does not change in a few bytes; rare key frames keep the rest small.
constexpr int kHeldKeyFrameEvery = 3000;

uint32_t openGifHolder(AviStream* stream) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ZMBV);
    if (codec == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    stream->gif = std::make_unique<GifFrames>();
    GifFrames& gif = *stream->gif;
    gif.holder = avcodec_alloc_context3(codec);
    gif.frame = av_frame_alloc();
    gif.packet = av_packet_alloc();
    if (gif.holder == nullptr || gif.frame == nullptr || gif.packet == nullptr) return failure(AVERROR(ENOMEM));
    gif.holder->width = stream->width;
    gif.holder->height = stream->height;
    gif.holder->pix_fmt = AV_PIX_FMT_BGR0;
    gif.holder->time_base = stream->timeBase;
    gif.holder->gop_size = kHeldKeyFrameEvery;
    gif.holder->compression_level = 1;
    int opened = avcodec_open2(gif.holder, codec, nullptr);
    if (opened < 0) return failure(opened);
    gif.frame->format = AV_PIX_FMT_BGR0;
    gif.frame->width = stream->width;
    gif.frame->height = stream->height;
    int allocated = av_frame_get_buffer(gif.frame, 0);
    return allocated < 0 ? failure(allocated) : 0;
}

uint32_t drainHolder(AviStream* stream) {
    GifFrames& gif = *stream->gif;
    while (true) {
        int received = avcodec_receive_packet(gif.holder, gif.packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return 0;
        if (received < 0) {
            stream->broken = true;
            return failure(received);
        }
        try {
            const uint8_t* bytes = gif.packet->data;
            gif.held.push_back({gif.packet->pts, std::vector<uint8_t>(bytes, bytes + gif.packet->size)});
        } catch (const std::bad_alloc&) {
            received = AVERROR(ENOMEM);
        }
        av_packet_unref(gif.packet);
        if (received < 0) {
            stream->broken = true;
            return failure(received);
        }
    }
}

uint32_t holdGifFrame(AviStream* stream, const uint8_t* data, int64_t position) {
    GifFrames& gif = *stream->gif;
    size_t rowBytes = static_cast<size_t>(stream->width) * 4;
    auto sourceRow = [&](int row) {
        return data + rowBytes * static_cast<size_t>(stream->bottomUp ? stream->height - 1 - row : row);
    };
    auto heldRow = [&](int row) { return gif.frame->data[0] + static_cast<ptrdiff_t>(gif.frame->linesize[0]) * row; };
    // A screen that stays for many frames is held once.
    bool repeat = !gif.held.empty();
    for (int row = 0; repeat && row < stream->height; ++row) {
        repeat = std::memcmp(heldRow(row), sourceRow(row), rowBytes) == 0;
    }
    if (repeat) {
        try {
            gif.held.push_back({position, {}, true});
        } catch (const std::bad_alloc&) {
            stream->broken = true;
            return failure(AVERROR(ENOMEM));
        }
        return 0;
    }
    int writable = av_frame_make_writable(gif.frame);
    if (writable < 0) return failure(writable);
    for (int row = 0; row < stream->height; ++row) std::memcpy(heldRow(row), sourceRow(row), rowBytes);
    gif.frame->pts = position;
    int sent = avcodec_send_frame(gif.holder, gif.frame);
    if (sent < 0) {
        stream->broken = true;
        return failure(sent);
    }
    return drainHolder(stream);
}

// Hands every held frame, decoded, to use(frame, position, repeat); stops at the first failure.
template <typename Use>
uint32_t decodeHeldFrames(AviStream* stream, Use use) {
    GifFrames& gif = *stream->gif;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ZMBV);
    if (codec == nullptr) return failure(AVERROR_DECODER_NOT_FOUND);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVFrame* shown = av_frame_alloc();  // the frame decoded last, which a repeat shows again
    AVPacket* packet = av_packet_alloc();
    int status =
        decoder == nullptr || frame == nullptr || shown == nullptr || packet == nullptr ? AVERROR(ENOMEM) : 0;
    if (status == 0) {
        decoder->width = stream->width;
        decoder->height = stream->height;
        status = avcodec_open2(decoder, codec, nullptr);
    }
    uint32_t result = status < 0 ? failure(status) : 0;
    for (size_t i = 0; result == 0 && i < gif.held.size(); ++i) {
        const GifFrames::Held& held = gif.held[i];
        if (held.repeat) {
            result = shown->data[0] != nullptr ? use(shown, held.position, true) : failure(AVERROR_BUG);
            continue;
        }
        status = av_new_packet(packet, static_cast<int>(held.bytes.size()));
        if (status == 0) {
            std::memcpy(packet->data, held.bytes.data(), held.bytes.size());
            status = avcodec_send_packet(decoder, packet);
            av_packet_unref(packet);
        }
        while (status >= 0 && result == 0) {
            status = avcodec_receive_frame(decoder, frame);
            if (status < 0) break;
            av_frame_unref(shown);
            av_frame_move_ref(shown, frame);
            result = use(shown, held.position, false);
        }
        if (result == 0 && status < 0 && status != AVERROR(EAGAIN)) result = failure(status);
    }
    avcodec_free_context(&decoder);
    av_frame_free(&frame);
    av_frame_free(&shown);
    av_packet_free(&packet);
    return result;
}

// Hands the current picture to the encoder as the frame at position, and writes what comes out.
uint32_t sendPicture(AviStream* stream, int64_t position) {
    stream->frame->pts = position;
    int sent = avcodec_send_frame(stream->encoder, stream->frame);
    if (sent < 0) {
        stream->broken = true;
        return failure(sent);
    }
    return drainEncoder(stream);
}

// Builds the palette from the colours of every held frame, then indexes and encodes them.
uint32_t writeGifFrames(AviStream* stream) {
    GifFrames& gif = *stream->gif;
    int sent = avcodec_send_frame(gif.holder, nullptr);
    if (sent < 0) return failure(sent);
    if (uint32_t result = drainHolder(stream)) return result;
    int writable = av_frame_make_writable(stream->frame);
    if (writable < 0) return failure(writable);
    // Learning the colours; a frame with more than fit is left to get a palette of its own later.
    uint32_t result = decodeHeldFrames(stream, [&](const AVFrame* frame, int64_t, bool repeat) {
        if (repeat) return 0u;
        mapToSharedPalette(gif.palette, frame->data[0], frame->linesize[0], stream->width, stream->height,
                           stream->frame->data[0], stream->frame->linesize[0]);
        return 0u;
    });
    if (result != 0) return result;
    return decodeHeldFrames(stream, [&](const AVFrame* frame, int64_t position, bool repeat) {
        // A repeat sends the indexed frame again, which the encoder stores as "nothing changed".
        if (!repeat) {
            int ready = av_frame_make_writable(stream->frame);
            if (ready < 0) return failure(ready);
            mapToPalette(gif.palette, frame->data[0], frame->linesize[0], stream->width, stream->height,
                         stream->frame);
        }
        return sendPicture(stream, position);
    });
}

AVPixelFormat pixelFormatOf(const CodecChoice& setup) { return av_get_pix_fmt(setup.encoding.pixelFormat); }

int allocPicture(const AviStream* stream, AVFrame* frame) {
    frame->format = pixelFormatOf(*stream->setup);
    frame->width = stream->width;
    frame->height = stream->height;
    return av_frame_get_buffer(frame, 0);
}

uint32_t openEncoder(AviStream* stream) {
    const EncoderSettings& setup = stream->setup->encoding;
    const AVCodec* codec = avcodec_find_encoder_by_name(setup.encoder);
    if (codec == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    AVPixelFormat pixelFormat = pixelFormatOf(*stream->setup);
    int colourRange = setup.colourRange == nullptr ? AVCOL_RANGE_UNSPECIFIED : av_color_range_from_name(setup.colourRange);
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(pixelFormat);
    if (layout == nullptr || colourRange < 0) return failure(AVERROR_BUG);
    // Subsampled chroma needs whole chroma samples; asked anyway, x264 refuses (and leaks).
    if (stream->width % (1 << layout->log2_chroma_w) != 0 || stream->height % (1 << layout->log2_chroma_h) != 0) {
        return failure(AVERROR(EINVAL));
    }
    stream->encoder = avcodec_alloc_context3(codec);
    stream->frame = av_frame_alloc();
    if (stream->encoder == nullptr || stream->frame == nullptr) return failure(AVERROR(ENOMEM));

    AVCodecContext* encoder = stream->encoder;
    encoder->width = stream->width;
    encoder->height = stream->height;
    encoder->pix_fmt = pixelFormat;
    encoder->time_base = stream->timeBase;
    encoder->framerate = av_inv_q(stream->timeBase);
    encoder->color_range = static_cast<AVColorRange>(colourRange);
    if (colourRange != AVCOL_RANGE_UNSPECIFIED) encoder->colorspace = AVCOL_SPC_SMPTE170M;
    if (setup.fixedQuantizer > 0) {
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        encoder->global_quality = FF_QP2LAMBDA * setup.fixedQuantizer;
    }
    if (stream->file->container != MovieContainer::avi &&
        (stream->file->format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary* options = nullptr;
    av_dict_parse_string(&options, setup.options, "=", ":", 0);
    int opened = avcodec_open2(encoder, codec, &options);
    av_dict_free(&options);
    if (opened < 0) return failure(opened);

    int allocated = allocPicture(stream, stream->frame);
    if (allocated < 0) return failure(allocated);
    if (pixelFormat == AV_PIX_FMT_PAL8) {
        if (uint32_t result = openGifHolder(stream)) return result;
        int copied = avcodec_parameters_from_context(stream->stream->codecpar, encoder);
        return copied < 0 ? failure(copied) : 0;
    }
    stream->converter = sws_getContext(stream->width, stream->height, AV_PIX_FMT_BGR0, stream->width, stream->height,
                                       pixelFormat, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (stream->converter == nullptr) return failure(AVERROR(EINVAL));
    int copied = avcodec_parameters_from_context(stream->stream->codecpar, encoder);
    return copied < 0 ? failure(copied) : 0;
}

// A picture the encoder still holds (it keeps a reference until it is done with it) is not
// copied to be made writable, as the new picture overwrites every byte of it: the spare
// picture takes its place, and only when the encoder holds both does a fresh one come.
int takeWritablePicture(AviStream* stream) {
    if (av_frame_is_writable(stream->frame)) return 0;
    std::swap(stream->frame, stream->spare);
    if (stream->frame == nullptr) {
        stream->frame = av_frame_alloc();
        if (stream->frame == nullptr) return AVERROR(ENOMEM);
        return allocPicture(stream, stream->frame);
    }
    if (av_frame_is_writable(stream->frame)) return 0;
    av_frame_unref(stream->frame);
    return allocPicture(stream, stream->frame);
}

void freeEncoder(AviStream* stream) {
    stream->gif.reset();
    avcodec_free_context(&stream->encoder);
    sws_freeContext(stream->converter);
    stream->converter = nullptr;
    av_frame_free(&stream->frame);
    av_frame_free(&stream->spare);
    av_packet_free(&stream->packet);
}

uint32_t writeStoredFrame(AviStream* stream, const uint8_t* data, int32_t length, int64_t position) {
    AVPacket* packet = stream->packet;
    size_t rowBytes = static_cast<size_t>(stream->width) * 4;
    if (stream->bottomUp) {
        // Already in the file's row order: the muxer writes straight from the caller's pixels.
        packet->data = const_cast<uint8_t*>(data);
        packet->size = length;
    } else if (int made = av_new_packet(packet, length); made < 0) {
        stream->broken = true;
        return failure(made);
    } else {
        for (int row = 0; row < stream->height; ++row) {
            std::memcpy(packet->data + rowBytes * static_cast<size_t>(stream->height - 1 - row),
                        data + rowBytes * static_cast<size_t>(row), rowBytes);
        }
    }
    packet->pts = position;
    packet->dts = position;
    packet->duration = 1;
    packet->flags |= AV_PKT_FLAG_KEY;
    return writePacket(stream, packet);
}

// same: data holds the pixels of the previous write, whose conversion the frame still holds.
uint32_t encodeFrame(AviStream* stream, const uint8_t* data, int64_t position, bool same) {
    if (stream->gif) return holdGifFrame(stream, data, position);
    if (!same || !stream->converted) {
        int writable = takeWritablePicture(stream);
        if (writable < 0) return failure(writable);
        AVFrame* frame = stream->frame;
        int stride = stream->width * 4;
        // Encoders take the top row first.
        const uint8_t* top = stream->bottomUp ? data + static_cast<ptrdiff_t>(stride) * (stream->height - 1) : data;
        const uint8_t* planes[1] = {top};
        const int strides[1] = {stream->bottomUp ? -stride : stride};
        sws_scale(stream->converter, planes, strides, 0, stream->height, frame->data, frame->linesize);
        stream->converted = true;
    }
    return sendPicture(stream, position);
}

}  // namespace

uint32_t aviFileOpen(AviFile** file, const std::string& path) {
    *file = nullptr;
    av_log_set_level(AV_LOG_QUIET);  // failures are reported through the result codes
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return failure(AVERROR(errno));

    auto* opened = new AviFile;
    opened->path = path;
    opened->fd = fd;
    struct stat status {};
    opened->regularFile = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    bool seekable = lseek(fd, 0, SEEK_CUR) >= 0;

    auto giveUp = [&](int averror) {
        close(fd);
        delete opened;
        errno = ENOMEM;
        return failure(averror);
    };
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr) return giveUp(AVERROR(ENOMEM));
    AVIOContext* io = avio_alloc_context(buffer, kIoBufferSize, 1, opened, nullptr, writeToFile,
                                         seekable ? seekInFile : nullptr);
    if (io == nullptr) {
        av_free(buffer);
        return giveUp(AVERROR(ENOMEM));
    }
    const MovieContainerInfo& container = movieContainerFor(path);
    opened->container = container.container;
    int allocated = avformat_alloc_output_context2(&opened->format, nullptr, container.muxer, path.c_str());
    if (allocated >= 0 && opened->container == MovieContainer::mp4) {
        // Moving the index to the front reads the file back by this name, whatever it holds.
        av_freep(&opened->format->url);
        opened->format->url = av_strdup(("file:" + path).c_str());
        if (opened->format->url == nullptr) {
            avformat_free_context(opened->format);
            allocated = AVERROR(ENOMEM);
        }
    }
    if (allocated < 0) {
        av_freep(&io->buffer);
        avio_context_free(&io);
        return giveUp(allocated);
    }
    opened->format->pb = io;
    *file = opened;
    return 0;
}

uint32_t aviFileCreateStream(AviFile* file, AviStream** stream, const AviStreamInfo& info) {
    *stream = nullptr;
    if (file == nullptr || info.fccType != kStreamTypeVideo || info.dwScale == 0 || info.dwRate == 0 ||
        info.dwScale > INT32_MAX || info.dwRate > INT32_MAX || file->format->nb_streams > 0) {
        return failure(AVERROR(EINVAL));
    }
    AVStream* created = avformat_new_stream(file->format, nullptr);
    if (created == nullptr) return failure(AVERROR(ENOMEM));
    AVRational period{0, 0};
    av_reduce(&period.num, &period.den, info.dwScale, info.dwRate, INT32_MAX);
    created->time_base = period;
    created->avg_frame_rate = av_inv_q(period);
    created->r_frame_rate = created->avg_frame_rate;

    // Until a format is set, the stream describes uncompressed frames of the header's size.
    AVCodecParameters* parameters = created->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_RAWVIDEO;
    parameters->codec_tag = 0;
    parameters->format = AV_PIX_FMT_BGR0;
    parameters->bits_per_coded_sample = 32;
    parameters->width = info.rcFrame.right - info.rcFrame.left;
    parameters->height = info.rcFrame.bottom - info.rcFrame.top;

    *stream = new AviStream{.file = file, .stream = created, .setup = codecWithFourcc(kCompressorDib), .timeBase = period};
    return 0;
}

uint32_t aviMakeCompressedStream(AviStream** compressed, AviStream* source, const AviCompressOptions& options) {
    *compressed = nullptr;
    if (source == nullptr) return failure(AVERROR(EINVAL));
    const CodecChoice* setup = codecWithFourcc(options.fccHandler);
    if (setup == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    if (!movieContainerHolds(source->file->container, setup->fourcc)) return failure(AVERROR(EINVAL));
    if (setup->encoding.encoder != nullptr && avcodec_find_encoder_by_name(setup->encoding.encoder) == nullptr) {
        return failure(AVERROR_ENCODER_NOT_FOUND);
    }
    *compressed = new AviStream{.file = source->file, .stream = source->stream, .setup = setup, .timeBase = source->timeBase};
    return 0;
}

uint32_t aviStreamSetFormat(AviStream* stream, int32_t position, const void* format, int32_t length) {
    if (stream == nullptr || format == nullptr || position != 0 || length < static_cast<int32_t>(sizeof(BitmapInfoHeader))) {
        return failure(AVERROR(EINVAL));
    }
    BitmapInfoHeader header;
    std::memcpy(&header, format, sizeof header);
    if (header.biBitCount != 32 || header.biCompression != 0 || header.biWidth <= 0 || header.biHeight == 0 ||
        header.biHeight == INT32_MIN || int64_t{header.biWidth} * std::abs(header.biHeight) > INT32_MAX / 4) {
        return failure(AVERROR_PATCHWELCOME);
    }
    int height = std::abs(header.biHeight);
    if (stream->formatSet) {
        return header.biWidth == stream->width && height == stream->height ? 0 : failure(AVERROR(EINVAL));
    }
    // Formats are set once: a failed attempt is not retried, and the file's one stream has one.
    if (stream->packet != nullptr || stream->file->headerTried) return failure(AVERROR(EINVAL));

    stream->width = header.biWidth;
    stream->height = height;
    stream->bottomUp = header.biHeight > 0;
    stream->packet = av_packet_alloc();
    if (stream->packet == nullptr) return failure(AVERROR(ENOMEM));
    if (stream->setup->encoding.encoder != nullptr) {
        if (uint32_t result = openEncoder(stream)) return result;
    } else {
        AVCodecParameters* parameters = stream->stream->codecpar;
        parameters->width = stream->width;
        parameters->height = stream->height;
        // Stored frames are megabytes each: they go to the file in one write from the caller's
        // pixels instead of through the I/O buffer.
        stream->file->format->pb->direct = 1;
    }
    if (uint32_t result = writeHeader(stream->file)) return result;
    stream->formatSet = true;
    return 0;
}

uint32_t aviStreamWrite(AviStream* stream, int32_t position, int32_t samples, const void* data, int32_t length,
                        uint32_t flags) {
    if (stream == nullptr || !stream->formatSet || stream->broken || position < 0 || samples != 1 || data == nullptr ||
        int64_t{length} != int64_t{stream->width} * stream->height * 4) {
        return failure(AVERROR(EINVAL));
    }
    // Stored frames are all key frames; a compressor places its key frames as it sees fit.
    const auto* bytes = static_cast<const uint8_t*>(data);
    return stream->encoder == nullptr ? writeStoredFrame(stream, bytes, length, position)
                                      : encodeFrame(stream, bytes, position, (flags & kAviSameFrameFlag) != 0);
}

uint32_t aviStreamRelease(AviStream* stream) {
    if (stream == nullptr) return 0;
    uint32_t result = 0;
    if (stream->encoder != nullptr && stream->formatSet && !stream->broken) {
        if (stream->gif) result = writeGifFrames(stream);
        int sent = result == 0 ? avcodec_send_frame(stream->encoder, nullptr) : 0;
        if (result == 0) result = sent < 0 ? failure(sent) : drainEncoder(stream);
    }
    freeEncoder(stream);
    delete stream;
    return result;
}

uint32_t aviFileRelease(AviFile* file) {
    if (file == nullptr) return 0;
    uint32_t result = 0;
    if (file->format->nb_streams == 0) {
        result = file->container == MovieContainer::avi ? writeEmptyAvi(file) : failure(kNoFramesError);
    } else {
        // A stream whose format never came (the choice was cancelled, the encoder refused the
        // frame size) still gets its header, announcing uncompressed frames of its size.
        if (!file->headerTried) result = writeHeader(file);
        if (file->headerWritten) {
            if (file->container == MovieContainer::mp4 && result == 0) result = unreserveLength(file);
            int finished = av_write_trailer(file->format);
            if (result == 0 && finished < 0) result = failure(finished);
            if (result == 0) result = flushFile(file);
            if (file->container == MovieContainer::avi && file->regularFile && result == 0) {
                result = clearStreamQuality(file);
            }
        }
    }
    AVIOContext* io = file->format->pb;
    av_freep(&io->buffer);
    avio_context_free(&io);
    file->format->pb = nullptr;
    avformat_free_context(file->format);
    // Space held for the closing writes that was not needed goes back.
    if (file->regularFile && ftruncate(file->fd, file->end) != 0 && result == 0) result = failure(AVERROR(errno));
    if (close(file->fd) != 0 && result == 0) result = failure(AVERROR(errno));
    // An empty file would only pose as a movie.
    if (result == failure(kNoFramesError) && file->regularFile) unlink(file->path.c_str());
    delete file;
    return result;
}

std::string aviFileErrorText(uint32_t code) {
    if (code == failure(kNoFramesError)) return "no frame to write, and only an AVI file can be left without one";
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(static_cast<int>(code), text, sizeof text);
    return text;
}
