#include "platform/gif_frames.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "platform/video_encoder.h"

namespace {

// zmbv keeps a screen that does not change in a few bytes; rare key frames keep the rest small.
constexpr int kHeldKeyFrameEvery = 3000;

const uint8_t* rowOf(PixelRows pixels, int y) { return pixels.top + static_cast<ptrdiff_t>(pixels.stride) * y; }

uint8_t* heldRow(const GifFrames& frames, int y) {
    return frames.frame->data[0] + static_cast<ptrdiff_t>(frames.frame->linesize[0]) * y;
}

int keepPacket(GifFrames& frames, const AVPacket& packet) {
    try {
        frames.held.push_back({packet.pts, std::vector<uint8_t>(packet.data, packet.data + packet.size)});
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
    return 0;
}

}  // namespace

GifFrames::~GifFrames() {
    avcodec_free_context(&holder);
    av_frame_free(&frame);
    av_packet_free(&packet);
}

int openGifFrames(GifFrames& frames, int width, int height, AVRational timeBase) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ZMBV);
    if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    frames.width = width;
    frames.height = height;
    frames.holder = avcodec_alloc_context3(codec);
    frames.frame = av_frame_alloc();
    frames.packet = av_packet_alloc();
    if (frames.holder == nullptr || frames.frame == nullptr || frames.packet == nullptr) return AVERROR(ENOMEM);
    frames.holder->width = width;
    frames.holder->height = height;
    frames.holder->pix_fmt = AV_PIX_FMT_BGR0;
    frames.holder->time_base = timeBase;
    frames.holder->gop_size = kHeldKeyFrameEvery;
    frames.holder->compression_level = 1;
    int opened = avcodec_open2(frames.holder, codec, nullptr);
    if (opened < 0) return opened;
    frames.frame->format = AV_PIX_FMT_BGR0;
    frames.frame->width = width;
    frames.frame->height = height;
    return av_frame_get_buffer(frames.frame, 0);
}

int holdGifFrame(GifFrames& frames, PixelRows pixels, int64_t position) {
    size_t rowBytes = static_cast<size_t>(frames.width) * 4;
    bool repeat = !frames.held.empty();
    for (int row = 0; repeat && row < frames.height; ++row) {
        repeat = std::memcmp(heldRow(frames, row), rowOf(pixels, row), rowBytes) == 0;
    }
    if (repeat) return holdGifRepeat(frames, position);
    int writable = av_frame_make_writable(frames.frame);
    if (writable < 0) return writable;
    for (int row = 0; row < frames.height; ++row) std::memcpy(heldRow(frames, row), rowOf(pixels, row), rowBytes);
    frames.frame->pts = position;
    return sendAndDrain(frames.holder, frames.frame, frames.packet,
                        [&](const AVPacket& packet) { return keepPacket(frames, packet); });
}

int holdGifRepeat(GifFrames& frames, int64_t position) {
    try {
        frames.held.push_back({position, {}, true});
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
    return 0;
}

int finishHoldingGifFrames(GifFrames& frames) {
    return sendAndDrain(frames.holder, nullptr, frames.packet,
                        [&](const AVPacket& packet) { return keepPacket(frames, packet); });
}

int replayGifFrames(const GifFrames& frames, const HeldFrameUse& use) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_ZMBV);
    if (codec == nullptr) return AVERROR_DECODER_NOT_FOUND;
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVFrame* shown = av_frame_alloc();  // the frame decoded last, which a repeat shows again
    AVPacket* packet = av_packet_alloc();
    int status =
        decoder == nullptr || frame == nullptr || shown == nullptr || packet == nullptr ? AVERROR(ENOMEM) : 0;
    if (status == 0) {
        decoder->width = frames.width;
        decoder->height = frames.height;
        status = avcodec_open2(decoder, codec, nullptr);
    }
    int result = status < 0 ? status : 0;
    auto pixelsOf = [&](const AVFrame* decoded) {
        return PixelRows{decoded->data[0], decoded->linesize[0], frames.width, frames.height};
    };
    for (size_t i = 0; result == 0 && i < frames.held.size(); ++i) {
        const GifFrames::Held& held = frames.held[i];
        if (held.repeat) {
            result = shown->data[0] != nullptr ? use(pixelsOf(shown), held.position, true) : AVERROR_BUG;
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
            result = use(pixelsOf(shown), held.position, false);
        }
        if (result == 0 && status < 0 && status != AVERROR(EAGAIN)) result = status;
    }
    avcodec_free_context(&decoder);
    av_frame_free(&frame);
    av_frame_free(&shown);
    av_packet_free(&packet);
    return result;
}
