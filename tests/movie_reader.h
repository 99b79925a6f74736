#pragma once
// Reads a movie back with FFmpeg the way a player would, for checking what the writer made.

#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "fixtures.h"
#include "platform/bitmap.h"

struct DecodedMovie {
    bool opened = false;
    std::string formatName;  // the demuxer's: "avi", "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "gif"
    int streamCount = 0;
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec = AV_CODEC_ID_NONE;
    uint32_t codecTag = 0;
    int width = 0;
    int height = 0;
    AVRational timeBase{0, 1};
    std::vector<std::vector<uint8_t>> packets;  // as stored in the file
    std::vector<bool> keyPackets;
    std::vector<int64_t> packetTimes;           // presentation times, in timeBase units
    std::vector<std::vector<uint8_t>> frames;   // decoded: top row first, B, G, R, 0 per pixel
};

namespace movie_reader {

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

inline std::vector<uint8_t> toTopDownBgr0(const AVFrame* frame) {
    std::vector<uint8_t> pixels(static_cast<size_t>(frame->width) * frame->height * 4);
    SwsContext* converter =
        sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
                       frame->height, AV_PIX_FMT_BGR0, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    uint8_t* planes[1] = {pixels.data()};
    int strides[1] = {frame->width * 4};
    sws_scale(converter, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(converter);
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
    return pixels;
}

}  // namespace movie_reader

// The pictures as a player shows them at the constant rate of framesPerSecond: a picture stored
// once lasts until the next one's time. An AVI file's times count frames, so it needs no rate.
// With neither, the pictures as they are stored.
inline DecodedMovie readMovie(const std::string& path, double framesPerSecond = 0) {
    using namespace movie_reader;
    DecodedMovie movie;
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return movie;
    std::unique_ptr<AVFormatContext, FormatCloser> format(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return movie;
    movie.opened = true;
    movie.formatName = format->iformat->name;
    movie.streamCount = static_cast<int>(format->nb_streams);
    if (movie.streamCount == 0) return movie;

    const AVStream* stream = format->streams[0];
    const AVCodecParameters* parameters = stream->codecpar;
    movie.type = parameters->codec_type;
    movie.codec = parameters->codec_id;
    movie.codecTag = parameters->codec_tag;
    movie.width = parameters->width;
    movie.height = parameters->height;
    movie.timeBase = stream->time_base;

    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (codec == nullptr) return movie;
    std::unique_ptr<AVCodecContext, CodecFreer> decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), parameters);
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return movie;

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    std::vector<int64_t> ticks;
    auto receiveFrames = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            movie.frames.push_back(toTopDownBgr0(frame.get()));
            int64_t time = frame->best_effort_timestamp;
            ticks.push_back(framesPerSecond > 0 ? std::llround(static_cast<double>(time) * av_q2d(movie.timeBase) *
                                                               framesPerSecond)
                                                : time);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == 0) {
            movie.packets.emplace_back(packet->data, packet->data + packet->size);
            movie.keyPackets.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
            movie.packetTimes.push_back(packet->pts);
            avcodec_send_packet(decoder.get(), packet.get());
            receiveFrames();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receiveFrames();
    if (framesPerSecond > 0 || movie.formatName == "avi") {
        std::vector<std::vector<uint8_t>> shown;
        for (size_t i = 0; i < movie.frames.size(); ++i) {
            int64_t lasts = i + 1 < ticks.size() ? std::max<int64_t>(ticks[i + 1] - ticks[i], 0) : 1;
            for (int64_t tick = 0; tick < lasts; ++tick) shown.push_back(movie.frames[i]);
        }
        movie.frames = std::move(shown);
    }
    return movie;
}

// A bitmap's picture the way readMovie gives frames: top row first, fourth bytes 0.
inline std::vector<uint8_t> topDownPicture(const Bitmap& bitmap) {
    size_t rowBytes = static_cast<size_t>(bitmap.header.biWidth) * 4;
    size_t rows = static_cast<size_t>(bitmap.header.biHeight);
    std::vector<uint8_t> pixels(rowBytes * rows);
    for (size_t row = 0; row < rows; ++row) {
        std::memcpy(&pixels[row * rowBytes], &bitmap.bits[(rows - 1 - row) * rowBytes], rowBytes);
    }
    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
    return pixels;
}

// Mean absolute difference per byte, for lossy compressors.
inline double meanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double total = 0;
    for (size_t i = 0; i < a.size(); ++i) total += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    return total / static_cast<double>(a.size());
}

// The last picture of a movie, or a PNG file's picture, read at the pixels of the picture before
// it was scaled up by `scale`; width 0 when it cannot be read.
struct LastPicture {
    int width = 0;  // of the file's picture
    int height = 0;
    std::function<uint32_t(int, int)> colour;  // 0xRRGGBB
};

inline LastPicture readLastPicture(const fs::path& file, bool movie, int scale) {
    LastPicture picture;
    if (!movie) {
        auto image = std::make_shared<PngImage>(readPng(file));
        if (image->error != 0) return picture;
        picture.width = static_cast<int>(image->width);
        picture.height = static_cast<int>(image->height);
        picture.colour = [image, scale](int x, int y) { return image->rgbAt(x * scale, y * scale); };
        return picture;
    }
    auto decoded = std::make_shared<DecodedMovie>(readMovie(file.string()));
    if (decoded->frames.empty()) return picture;
    picture.width = decoded->width;
    picture.height = decoded->height;
    picture.colour = [decoded, scale](int x, int y) {
        const uint8_t* p =
            decoded->frames.back().data() + 4 * (static_cast<size_t>(y * scale) * decoded->width + x * scale);
        return uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    };
    return picture;
}
