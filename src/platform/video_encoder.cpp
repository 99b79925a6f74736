#include "platform/video_encoder.h"

#include <cstring>
#include <string_view>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

int allocPicture(const VideoEncoder& encoder, AVFrame* frame) {
    frame->format = encoder.pixelFormat;
    frame->width = encoder.width;
    frame->height = encoder.height;
    return av_frame_get_buffer(frame, 0);
}

// A picture the encoder still holds (it keeps a reference until it is done with it) is not
// copied to be made writable, as the new picture overwrites every byte of it: the spare
// picture takes its place, and only when the encoder holds both does a fresh one come.
int takeWritablePicture(VideoEncoder& encoder) {
    if (av_frame_is_writable(encoder.frame)) return 0;
    std::swap(encoder.frame, encoder.spare);
    if (encoder.frame == nullptr) {
        encoder.frame = av_frame_alloc();
        if (encoder.frame == nullptr) return AVERROR(ENOMEM);
        return allocPicture(encoder, encoder.frame);
    }
    if (av_frame_is_writable(encoder.frame)) return 0;
    av_frame_unref(encoder.frame);
    return allocPicture(encoder, encoder.frame);
}

// The packets at the front whose spans are known go on, in the order they came.
int useTimedPackets(VideoEncoder& encoder, const PacketUse& use) {
    while (!encoder.waiting.empty()) {
        AVPacket* packet = encoder.waiting.front();
        auto span = encoder.spans.find(packet->pts);
        if (span != encoder.spans.end()) {
            packet->duration = span->second;
            encoder.spans.erase(span);
        } else if (packet->pts == encoder.lastSent) {
            return 0;
        }
        encoder.waiting.pop_front();
        int used = use(*packet);
        av_packet_free(&packet);
        if (used < 0) return used;
    }
    return 0;
}

// The picture before the one at next (or the end of the movie) lasts until it.
int endSpan(VideoEncoder& encoder, int64_t next, const PacketUse& use) {
    if (!encoder.timed || encoder.lastSent < 0) return 0;
    encoder.spans[encoder.lastSent] = next - encoder.lastSent;
    return useTimedPackets(encoder, use);
}

int drain(VideoEncoder& encoder, const AVFrame* frame, const PacketUse& use) {
    if (!encoder.timed) return sendAndDrain(encoder.context, frame, encoder.packet, use);
    PacketUse hold = [&encoder, &use](AVPacket& packet) {
        AVPacket* kept = av_packet_alloc();
        if (kept == nullptr) return AVERROR(ENOMEM);
        av_packet_move_ref(kept, &packet);
        encoder.waiting.push_back(kept);
        return useTimedPackets(encoder, use);
    };
    return sendAndDrain(encoder.context, frame, encoder.packet, hold);
}

int sendPicture(VideoEncoder& encoder, int64_t position, const PacketUse& use) {
    if (int ended = endSpan(encoder, position, use); ended < 0) return ended;
    encoder.frame->pts = position;
    encoder.lastSent = position;
    return drain(encoder, encoder.frame, use);
}

// Colours known before the run turn an encoder that takes palette frames (zmbv) to 8-bit
// pictures: a quarter of the pixels to compare and compress, every colour exact.
AVPixelFormat chosenFormat(const AVCodec& found, AVPixelFormat tableFormat, const SharedPalette* colours) {
    if (colours == nullptr || tableFormat == AV_PIX_FMT_PAL8 || found.pix_fmts == nullptr) return tableFormat;
    for (const AVPixelFormat* format = found.pix_fmts; *format != AV_PIX_FMT_NONE; ++format) {
        if (*format == AV_PIX_FMT_PAL8) return AV_PIX_FMT_PAL8;
    }
    return tableFormat;
}

// A paletted frame (GIF, zmbv on known colours): its indexes and palette, unless it shows the
// pixels of the frame before, when the indexed frame is sent again and the encoder stores it as
// "nothing changed".
int sendPalettedFrame(VideoEncoder& encoder, PixelRows pixels, int64_t position, const PacketUse& use) {
    PaletteFrames& frames = *encoder.paletted;
    frames.shownIds.clear();
    const size_t rowBytes = static_cast<size_t>(encoder.width) * 4;
    bool repeat = !frames.shown.empty();
    for (int row = 0; repeat && row < encoder.height; ++row) {
        repeat = std::memcmp(frames.shown.data() + rowBytes * static_cast<size_t>(row),
                             pixels.top + static_cast<ptrdiff_t>(pixels.stride) * row, rowBytes) == 0;
    }
    if (!repeat) {
        if (int writable = takeWritablePicture(encoder); writable < 0) return writable;
        AVFrame* indexed = encoder.frame;
        Palette chosen = mapToPalette(frames.palette, pixels, IndexRows{indexed->data[0], indexed->linesize[0]});
        std::memcpy(indexed->data[1], chosen.data(), sizeof chosen);
        frames.shown.resize(rowBytes * static_cast<size_t>(encoder.height));
        for (int row = 0; row < encoder.height; ++row) {
            std::memcpy(frames.shown.data() + rowBytes * static_cast<size_t>(row),
                        pixels.top + static_cast<ptrdiff_t>(pixels.stride) * row, rowBytes);
        }
    }
    return sendPicture(encoder, position, use);
}

// The rows' indexes from those of their ids, each id mapped the first time it comes; false when
// a row has a colour the shared palette cannot take (it then takes frames of their own).
bool indexRowsById(VideoEncoder& encoder, std::span<const uint32_t> ids, const RowById& rowAt) {
    PaletteFrames& frames = *encoder.paletted;
    AVFrame* indexed = encoder.frame;
    const auto width = static_cast<size_t>(encoder.width);
    for (size_t row = 0; row < ids.size(); ++row) {
        const uint32_t id = ids[row];
        if (id >= frames.indexedAt.size()) frames.indexedAt.resize(size_t{id} + 1, PaletteFrames::kNotIndexed);
        if (frames.indexedAt[id] == PaletteFrames::kNotIndexed) {
            const size_t at = frames.indexedRows.size();
            frames.indexedRows.resize(at + width);
            const PixelRows pixels{rowAt(id), encoder.width * 4, encoder.width, 1};
            if (!mapToSharedPalette(frames.palette, pixels, IndexRows{&frames.indexedRows[at], encoder.width})) {
                return false;
            }
            frames.indexedAt[id] = at;
        }
        std::memcpy(indexed->data[0] + static_cast<ptrdiff_t>(indexed->linesize[0]) * static_cast<ptrdiff_t>(row),
                    &frames.indexedRows[frames.indexedAt[id]], width);
    }
    return true;
}

}  // namespace

int encodeRowsById(VideoEncoder& encoder, std::span<const uint32_t> ids, const RowById& rowAt, int64_t position,
                   const PacketUse& use) {
    if (encoder.paletted && !encoder.paletted->palette.ownPalettes) {
        PaletteFrames& frames = *encoder.paletted;
        encoder.lastShown = position;
        encoder.lastEncoded = position;
        // The frame before again: the encoder stores it as "nothing changed".
        if (std::ranges::equal(frames.shownIds, ids)) return sendPicture(encoder, position, use);
        if (int writable = takeWritablePicture(encoder); writable < 0) return writable;
        if (indexRowsById(encoder, ids, rowAt)) {
            const Palette chosen = sharedPaletteColours(frames.palette);
            std::memcpy(encoder.frame->data[1], chosen.data(), sizeof chosen);
            frames.shown.clear();
            frames.shownIds.assign(ids.begin(), ids.end());
            return sendPicture(encoder, position, use);
        }
        // Mapped as far as the row that did not fit, as the whole picture would have been.
        frames.palette.ownPalettes = true;
    }
    const auto rowBytes = static_cast<size_t>(encoder.width) * 4;
    std::vector<uint8_t> pixels(rowBytes * ids.size());
    for (size_t row = 0; row < ids.size(); ++row) std::memcpy(&pixels[rowBytes * row], rowAt(ids[row]), rowBytes);
    return encodePicture(encoder, {pixels.data(), encoder.width * 4, encoder.width, encoder.height}, position, false,
                         use);
}

int encodePictureByRows(VideoEncoder& encoder, RowStore& rows, RowWindow window, PixelRows pixels, int64_t position,
                        bool same, const PacketUse& use, const RowsChanged* changed) {
    if (same && encoder.lastEncoded >= 0) return encodePicture(encoder, pixels, position, true, use);
    if (rows.bytes() >= window.rowBytes || rows.pictureCount() >= window.pictures) {
        rows.clear();
        PaletteFrames& frames = *encoder.paletted;
        frames.indexedAt.clear();
        frames.indexedRows.clear();
        frames.shownIds.clear();
    }
    rows.add(pixels, changed);
    const RowById rowAt = [&rows](uint32_t id) { return rows.rowAt(id); };
    return encodeRowsById(encoder, rows.idsOf(rows.pictureCount() - 1), rowAt, position, use);
}

int sendAndDrain(AVCodecContext* encoder, const AVFrame* frame, AVPacket* packet, const PacketUse& use) {
    int sent = avcodec_send_frame(encoder, frame);
    if (sent < 0) return sent;
    while (true) {
        int received = avcodec_receive_packet(encoder, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return 0;
        if (received < 0) return received;
        int used = use(*packet);
        av_packet_unref(packet);
        if (used < 0) return used;
    }
}

int openVideoEncoder(VideoEncoder& encoder, const CodecChoice& codec, int width, int height, AVRational timeBase,
                     bool globalHeader, bool decodeOrder, const SharedPalette* colours, bool oneOfMany,
                     size_t encoderThreads) {
    const EncoderSettings& settings = codec.encoding;
    encoder.codec = &codec;
    encoder.width = width;
    encoder.height = height;
    const AVCodec* found = avcodec_find_encoder_by_name(settings.encoder);
    if (found == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    const AVPixelFormat tableFormat = av_get_pix_fmt(settings.pixelFormat);
    const AVPixelFormat pixelFormat = chosenFormat(*found, tableFormat, colours);
    encoder.pixelFormat = pixelFormat;
    int colourRange = settings.colourRange == nullptr ? AVCOL_RANGE_UNSPECIFIED
                                                      : av_color_range_from_name(settings.colourRange);
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(pixelFormat);
    if (layout == nullptr || colourRange < 0) return AVERROR_BUG;
    // Subsampled chroma needs whole chroma samples; asked anyway, x264 refuses (and leaks).
    if (width % (1 << layout->log2_chroma_w) != 0 || height % (1 << layout->log2_chroma_h) != 0) {
        return AVERROR(EINVAL);
    }
    encoder.context = avcodec_alloc_context3(found);
    encoder.frame = av_frame_alloc();
    encoder.packet = av_packet_alloc();
    if (encoder.context == nullptr || encoder.frame == nullptr || encoder.packet == nullptr) return AVERROR(ENOMEM);

    AVCodecContext* context = encoder.context;
    context->width = width;
    context->height = height;
    context->pix_fmt = pixelFormat;
    context->time_base = timeBase;
    context->framerate = av_inv_q(timeBase);
    context->color_range = static_cast<AVColorRange>(colourRange);
    if (colourRange != AVCOL_RANGE_UNSPECIFIED) context->colorspace = AVCOL_SPC_SMPTE170M;
    if (settings.fixedQuantizer > 0) {
        context->flags |= AV_CODEC_FLAG_QSCALE;
        context->global_quality = FF_QP2LAMBDA * settings.fixedQuantizer;
    }
    if (globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Frames stored in decode order with no times of their own would show B-frames late.
    if (decodeOrder || oneOfMany) context->max_b_frames = 0;
    encoder.timed = !decodeOrder && tableFormat != AV_PIX_FMT_PAL8;  // a GIF's frames carry their delays
    AVDictionary* options = nullptr;
    av_dict_parse_string(&options, settings.options, "=", ":", 0);
    if (oneOfMany) {
        av_dict_set(&options, "threads", "1", 0);
    } else if (encoderThreads > 1 && std::string_view(settings.encoder) == "libx264") {
        // Frame threads rather than slices: the frames are coded while the next is painted,
        // where slices would wait for each frame (1.2 times as fast here, against none).
        av_dict_set_int(&options, "threads", static_cast<int64_t>(encoderThreads), 0);
    }
    int opened = avcodec_open2(context, found, &options);
    av_dict_free(&options);
    if (opened < 0) return opened;

    if (int allocated = allocPicture(encoder, encoder.frame); allocated < 0) return allocated;
    if (pixelFormat == AV_PIX_FMT_PAL8) {
        encoder.paletted = std::make_unique<PaletteFrames>();
        if (colours != nullptr) encoder.paletted->palette = *colours;
        return 0;
    }
    encoder.converter = sws_getContext(width, height, AV_PIX_FMT_BGR0, width, height, pixelFormat,
                                       SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    return encoder.converter == nullptr ? AVERROR(EINVAL) : 0;
}

int encodePicture(VideoEncoder& encoder, PixelRows pixels, int64_t position, bool same, const PacketUse& use) {
    bool repeat = same && encoder.lastEncoded >= 0;
    encoder.lastShown = position;
    if (repeat) return 0;
    encoder.lastEncoded = position;
    if (encoder.paletted) return sendPalettedFrame(encoder, pixels, position, use);
    if (!encoder.converted || !same) {
        if (int writable = takeWritablePicture(encoder); writable < 0) return writable;
        const uint8_t* planes[1] = {pixels.top};
        const int strides[1] = {pixels.stride};
        sws_scale(encoder.converter, planes, strides, 0, encoder.height, encoder.frame->data, encoder.frame->linesize);
        encoder.converted = true;
    }
    return sendPicture(encoder, position, use);
}

int finishEncoding(VideoEncoder& encoder, const PacketUse& use) {
    if (encoder.lastShown > encoder.lastEncoded) {
        int64_t last = encoder.lastShown;
        int sent = 0;
        if (encoder.context->codec_id == AV_CODEC_ID_GIF) {
            // A GIF's last frame lasts as long as the one before it: the tick before the end
            // comes too, so that the end lasts one tick as it does with every frame written.
            if (last - 1 > encoder.lastEncoded) sent = sendPicture(encoder, last - 1, use);
            if (sent >= 0) sent = sendPicture(encoder, last, use);
        } else {
            sent = sendPicture(encoder, last, use);
        }
        if (sent < 0) return sent;
        encoder.lastEncoded = last;
    }
    if (int ended = endSpan(encoder, encoder.lastShown + 1, use); ended < 0) return ended;
    return drain(encoder, nullptr, use);
}

int endSegment(VideoEncoder& encoder, int64_t next, const PacketUse& use) {
    if (int ended = endSpan(encoder, next, use); ended < 0) return ended;
    return drain(encoder, nullptr, use);
}

void closeVideoEncoder(VideoEncoder& encoder) {
    encoder.paletted.reset();
    for (AVPacket*& packet : encoder.waiting) av_packet_free(&packet);
    encoder.waiting.clear();
    encoder.spans.clear();
    avcodec_free_context(&encoder.context);
    sws_freeContext(encoder.converter);
    encoder.converter = nullptr;
    av_frame_free(&encoder.frame);
    av_frame_free(&encoder.spare);
    av_packet_free(&encoder.packet);
}
