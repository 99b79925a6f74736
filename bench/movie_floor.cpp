// The floor of movie mode: FFmpeg's libraries alone encoding and muxing each distinct screen of
// a movie run once, at the first frame that shows it (the AVI muxer stores the frames between
// as empty chunks), with the encoder settings the converter uses.
//
//     movie_floor RECORDING CODEC FPS OUTPUT [STOP] [OPTIONS]
//
// CODEC is zmbv, ffv1, mjpeg, h264 or gif; OUTPUT's extension chooses the container (.avi,
// .mp4, .mkv, .gif). STOP (0: none) ends the sequence as -stop does; OPTIONS replaces the
// encoder's option string (for trying settings). Screens are painted by the converter's
// renderer; only the time spent converting pixels, encoding and muxing counts. GIF frames take
// their palette as the converter's do, learned from the screens as they come.
// Prints encode_seconds, render_seconds, frames, bytes and peak_rss_kib.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <string>
#include <utility>

#include "bench_support.h"
#include "platform/codecs.h"
#include "platform/gif_palette.h"
#include "render/surface.h"

namespace {

[[noreturn]] void die(const char* what, int code = 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    std::fprintf(stderr, "movie_floor: %s %s\n", what, text);
    std::exit(2);
}

struct Movie {
    AVFormatContext* format = nullptr;
    AVStream* stream = nullptr;
    AVCodecContext* encoder = nullptr;
    SwsContext* converter = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* spare = nullptr;
    AVPacket* packet = nullptr;
    AVRational timeBase{1, 1};
    int width = 0;
    int height = 0;
    int64_t frames = 0;
    MovieContainer container = MovieContainer::avi;
    SharedPalette palette;
};

void writePackets(Movie& movie) {
    while (true) {
        int received = avcodec_receive_packet(movie.encoder, movie.packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        if (received < 0) die("encoding failed:", received);
        movie.packet->stream_index = movie.stream->index;
        av_packet_rescale_ts(movie.packet, movie.timeBase, movie.stream->time_base);
        int written = av_write_frame(movie.format, movie.packet);
        av_packet_unref(movie.packet);
        if (written < 0) die("writing failed:", written);
    }
}

void open(Movie& movie, const Surface& frame, const EncoderSettings& setup, const std::string& options, const char* path,
          int fps) {
    movie.width = frame.width;
    movie.height = frame.height;
    av_reduce(&movie.timeBase.num, &movie.timeBase.den, 1000 / fps, 1000, INT32_MAX);
    const MovieContainerInfo& container = movieContainerFor(path);
    movie.container = container.container;
    if (int made = avformat_alloc_output_context2(&movie.format, nullptr, container.muxer, path); made < 0) {
        die("muxer:", made);
    }
    movie.stream = avformat_new_stream(movie.format, nullptr);
    movie.stream->time_base = movie.timeBase;
    movie.stream->avg_frame_rate = av_inv_q(movie.timeBase);
    movie.stream->r_frame_rate = movie.stream->avg_frame_rate;

    const AVCodec* codec = avcodec_find_encoder_by_name(setup.encoder);
    if (codec == nullptr) die("no encoder");
    const AVPixelFormat pixelFormat = av_get_pix_fmt(setup.pixelFormat);
    const int colourRange =
        setup.colourRange == nullptr ? AVCOL_RANGE_UNSPECIFIED : av_color_range_from_name(setup.colourRange);
    if (pixelFormat == AV_PIX_FMT_NONE || colourRange < 0) die("unknown pixel format or colour range");
    movie.encoder = avcodec_alloc_context3(codec);
    AVCodecContext* encoder = movie.encoder;
    encoder->width = movie.width;
    encoder->height = movie.height;
    encoder->pix_fmt = pixelFormat;
    encoder->time_base = movie.timeBase;
    encoder->framerate = av_inv_q(movie.timeBase);
    encoder->color_range = static_cast<AVColorRange>(colourRange);
    if (movie.container == MovieContainer::avi) encoder->max_b_frames = 0;  // AVI keeps no presentation times
    if (movie.container != MovieContainer::avi && (movie.format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (colourRange != AVCOL_RANGE_UNSPECIFIED) encoder->colorspace = AVCOL_SPC_SMPTE170M;
    if (setup.fixedQuantizer > 0) {
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        encoder->global_quality = FF_QP2LAMBDA * setup.fixedQuantizer;
    }
    AVDictionary* dictionary = nullptr;
    av_dict_parse_string(&dictionary, options.c_str(), "=", ":", 0);
    if (int opened = avcodec_open2(encoder, codec, &dictionary); opened < 0) die("opening the encoder:", opened);
    av_dict_free(&dictionary);
    avcodec_parameters_from_context(movie.stream->codecpar, encoder);

    movie.frame = av_frame_alloc();
    movie.frame->format = pixelFormat;
    movie.frame->width = movie.width;
    movie.frame->height = movie.height;
    av_frame_get_buffer(movie.frame, 0);
    movie.packet = av_packet_alloc();
    if (movie.container != MovieContainer::gif) movie.converter = sws_getContext(movie.width, movie.height, AV_PIX_FMT_BGR0, movie.width, movie.height,
                                     pixelFormat, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (int opened = avio_open(&movie.format->pb, path, AVIO_FLAG_WRITE); opened < 0) die("opening the file:", opened);
    AVDictionary* muxerOptions = nullptr;
    if (movie.container == MovieContainer::avi) av_dict_set(&muxerOptions, "flipped_raw_rgb", "1", 0);
    if (movie.container == MovieContainer::mp4) av_dict_set(&muxerOptions, "movflags", "+faststart", 0);
    if (int header = avformat_write_header(movie.format, &muxerOptions); header < 0) die("header:", header);
    av_dict_free(&muxerOptions);
}

void allocPicture(const Movie& movie, AVFrame* frame) {
    frame->format = movie.encoder->pix_fmt;
    frame->width = movie.width;
    frame->height = movie.height;
    av_frame_get_buffer(frame, 0);
}

// The bottom-up screen, converted once per distinct screen, into a picture the encoder no
// longer holds (two take turns; nothing is copied to make one writable).
void convert(Movie& movie, const std::vector<uint8_t>& pixels) {
    if (!av_frame_is_writable(movie.frame)) {
        std::swap(movie.frame, movie.spare);
        if (movie.frame == nullptr) {
            movie.frame = av_frame_alloc();
            allocPicture(movie, movie.frame);
        } else if (!av_frame_is_writable(movie.frame)) {
            av_frame_unref(movie.frame);
            allocPicture(movie, movie.frame);
        }
    }
    int stride = movie.width * 4;
    if (movie.container == MovieContainer::gif) {
        const PixelRows rows{pixels.data() + static_cast<ptrdiff_t>(stride) * (movie.height - 1), -stride,
                             movie.width, movie.height};
        const Palette palette =
            mapToPalette(movie.palette, rows, IndexRows{movie.frame->data[0], movie.frame->linesize[0]});
        std::memcpy(movie.frame->data[1], palette.data(), sizeof palette);
        return;
    }
    const uint8_t* planes[1] = {pixels.data() + static_cast<ptrdiff_t>(stride) * (movie.height - 1)};
    const int strides[1] = {-stride};
    sws_scale(movie.converter, planes, strides, 0, movie.height, movie.frame->data, movie.frame->linesize);
}

void append(Movie& movie, int64_t position) {
    movie.frame->pts = position;
    ++movie.frames;
    if (int sent = avcodec_send_frame(movie.encoder, movie.frame); sent < 0) die("sending:", sent);
    writePackets(movie);
}

void close(Movie& movie) {
    if (movie.encoder == nullptr) return;
    avcodec_send_frame(movie.encoder, nullptr);
    writePackets(movie);
    av_write_trailer(movie.format);
    avio_closep(&movie.format->pb);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: movie_floor RECORDING CODEC FPS OUTPUT [STOP] [OPTIONS]\n");
        return 2;
    }
    // The converter's own settings for the codec (its table in src/platform/codecs.cpp); bench/run
    // checks that the packets written here and by the converter are the same.
    const CodecChoice* codec = findCodecChoice(argv[2]);
    if (codec == nullptr || codec->encoding.encoder == nullptr ||
        !movieContainerHolds(movieContainerFor(argv[4]).container, codec->fourcc)) {
        die("unknown codec");
    }
    const EncoderSettings* setup = &codec->encoding;
    const int fps = std::atoi(argv[3]);
    const char* path = argv[4];
    const long stop = argc > 5 ? std::atol(argv[5]) : 0;
    const std::string options = argc > 6 ? argv[6] : setup->options;

    const Recording recording = bench::readTtyrec(argv[1]);
    bench::Report report;
    av_log_set_level(AV_LOG_QUIET);
    bench::useFps(fps);
    settings.writeFrames = false;
    std::unique_ptr<RunStages> stages = bench::startConverterStages();
    const Surface& picture = stages->painter.frame();

    Movie movie;
    std::vector<uint8_t> shown;  // the screen the next gap frames show
    bool convertedShown = false;
    double renderSeconds = 0;
    double encodeSeconds = 0;
    int32_t previousEnd = 0;
    int64_t lastFrame = -1;
    int64_t lastEncoded = -1;
    EventSource events(recording);
    PlaybackStages walked = stages->playback();
    Playback playback(bench::playbackOptions());
    playback.begin(events);
    while (true) {
        double started = bench::now();
        if (!playback.step(events, walked)) break;
        renderSeconds += bench::now() - started;
        const int32_t frameStart = previousEnd;
        const int32_t frameEnd = playback.clock().frameEnd;
        previousEnd = frameEnd;

        started = bench::now();
        if (movie.encoder == nullptr) open(movie, picture, *setup, options, path, fps);
        encodeSeconds += bench::now() - started;
        if (shown.empty()) shown = picture.pixels;  // the first record fills its own gap
        for (int32_t frame = frameStart; frame < frameEnd; ++frame) {
            if (stop > 0 && frame > stop) break;
            lastFrame = frame;
            if (convertedShown) continue;  // a repeat costs nothing
            started = bench::now();
            convert(movie, shown);
            convertedShown = true;
            append(movie, frame);
            lastEncoded = frame;
            encodeSeconds += bench::now() - started;
        }
        if (shown != picture.pixels) {
            shown = picture.pixels;
            convertedShown = false;
        }
        if (stop > 0 && frameEnd >= stop) break;
    }
    double started = bench::now();
    // The last screen once more at the last frame, so that the movie lasts as long.
    if (lastFrame > lastEncoded) append(movie, lastFrame);
    close(movie);
    encodeSeconds += bench::now() - started;

    report.line("encode_seconds", encodeSeconds);
    report.line("render_seconds", renderSeconds);
    report.line("frames", static_cast<double>(movie.frames));
    report.line("peak_rss_kib", static_cast<double>(bench::peakResidentKib()));
    return 0;
}
