#include "emission/jpeg_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cctype>
#include <memory>

#include "emission/png_writer.h"

namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleFree {
    void operator()(SwsContext* scale) const { sws_freeContext(scale); }
};

std::string ffmpegText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

bool namesJpeg(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.ends_with(".jpg") || lower.ends_with(".jpeg");
}

EncodedJpeg encodeJpeg(const Surface& surface, int32_t factor) {
    const std::vector<uint8_t> rgba = pngImageBuffer(surface, factor);
    if (rgba.empty()) return {"the picture is empty", {}};
    const int repeat = factor > 1 ? factor : 1;
    const int width = surface.width * repeat;
    const int height = surface.height * repeat;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) return {"FFmpeg has no JPEG encoder", {}};
    std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!context || !frame || !packet) return {"not enough memory", {}};
    context->width = width;
    context->height = height;
    context->time_base = {1, 1};
    // Full-range 4:4:4 keeps the terminal's sharp colour edges; quantizer 1 is the finest.
    context->pix_fmt = AV_PIX_FMT_YUV444P;
    context->color_range = AVCOL_RANGE_JPEG;
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA;
    context->qmin = context->qmax = 1;
    if (int code = avcodec_open2(context.get(), codec, nullptr); code < 0) return {ffmpegText(code), {}};
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVCOL_RANGE_JPEG;
    frame->quality = context->global_quality;
    if (int code = av_frame_get_buffer(frame.get(), 0); code < 0) return {ffmpegText(code), {}};
    std::unique_ptr<SwsContext, ScaleFree> scale(sws_getContext(width, height, AV_PIX_FMT_RGBA, width, height,
                                                                 AV_PIX_FMT_YUV444P,
                                                                 SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                                                 nullptr, nullptr, nullptr));
    if (!scale) return {"no conversion to the JPEG's colours", {}};
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(scale.get(), coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
    const uint8_t* source[1] = {rgba.data()};
    const int sourceStride[1] = {width * 4};
    sws_scale(scale.get(), source, sourceStride, 0, height, frame->data, frame->linesize);
    if (int code = avcodec_send_frame(context.get(), frame.get()); code < 0) return {ffmpegText(code), {}};
    avcodec_send_frame(context.get(), nullptr);
    if (int code = avcodec_receive_packet(context.get(), packet.get()); code < 0) return {ffmpegText(code), {}};
    return {"", std::vector<uint8_t>(packet->data, packet->data + packet->size)};
}
