#include "platform/avi_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "platform/audio_track.h"
#include "platform/bitmap.h"
#include "platform/cores.h"
#include "platform/muxer.h"
#include "platform/segment_encoder.h"
#include "platform/video_encoder.h"

struct AviFile {
    Muxer muxer;
    AudioTrack* audio = nullptr;  // laid under the video, written as the video advances
    int64_t videoEnd = 0;         // microseconds: where the frames written so far end
};

struct AviStream {
    AviFile* file = nullptr;
    int index = 0;  // the muxer's stream
    const CodecChoice* codec = nullptr;
    AVRational timeBase{1, 1};   // of frame positions
    VideoEncoder encoder{};      // compressed streams
    size_t jobs = 1;             // encoders at once
    bool segmented = false;      // the frames come as segments (aviStreamProduce)
    std::unique_ptr<SegmentEncoder> segments{};  // compressed streams with more than one job
    std::unique_ptr<RowStore> rows{};  // one encoder of palette pictures on known colours: rows indexed once
    AVPacket* packet = nullptr;  // frames stored as they are
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    bool formatTried = false;
    bool formatSet = false;
    bool broken = false;  // a write failed: held-back frames are dropped, not written after the gap
    std::optional<SharedPalette> colours{};  // of every frame, known or learned beforehand
};

namespace {

constexpr AVRational kMicroseconds{1, 1000000};  // the narration's times

uint32_t failure(int averror) { return static_cast<uint32_t>(averror); }

// Uncompressed frames of this size, as stored from our bitmaps.
int setRawParameters(AviStream* stream, int width, int height) {
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (parameters == nullptr) return AVERROR(ENOMEM);
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_RAWVIDEO;
    parameters->codec_tag = 0;
    parameters->format = AV_PIX_FMT_BGR0;
    parameters->bits_per_coded_sample = 32;
    parameters->width = width;
    parameters->height = height;
    int result = stream->file->muxer.setStreamParameters(stream->index, *parameters);
    avcodec_parameters_free(&parameters);
    return result;
}

int writeHeader(AviFile* file) {
    if (file->audio != nullptr) {
        if (int added = file->audio->addStream(file->muxer)) return added;
    }
    AVDictionary* options = nullptr;
    // Our frames are bottom-up bitmaps: the format then carries a positive height.
    if (file->muxer.container() == MovieContainer::avi) av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    int result = file->muxer.writeHeader(&options);
    av_dict_free(&options);
    return result;
}

// The stored frame's pixels stay the caller's: the file's one stream is handed to the file
// before the write returns.
void keepCallersPixels(void*, uint8_t*) {}

// Takes the packet's contents; the packet is empty after.
int writePacket(AviStream* stream, AVPacket& packet) {
    AviFile* file = stream->file;
    if (file->audio != nullptr) {
        // The time the container keeps from going negative: MP4 decoding times, Matroska's
        // presentation times.
        const bool decoding = file->muxer.container() == MovieContainer::mp4 && packet.dts != AV_NOPTS_VALUE;
        const int64_t first = decoding ? packet.dts : packet.pts;
        file->audio->start(av_rescale_q(first == AV_NOPTS_VALUE ? 0 : first, stream->timeBase, kMicroseconds));
    }
    return file->muxer.writePacket(stream->index, packet, stream->timeBase);
}

PacketUse packetsInto(AviStream* stream) {
    return [stream](AVPacket& packet) { return writePacket(stream, packet); };
}

int writeStoredFrame(AviStream* stream, const uint8_t* data, int32_t length, int64_t position) {
    AVPacket* packet = stream->packet;
    size_t rowBytes = static_cast<size_t>(stream->width) * 4;
    if (stream->bottomUp) {
        // Already in the file's row order: the muxer writes straight from the caller's pixels.
        packet->buf = av_buffer_create(const_cast<uint8_t*>(data), length, keepCallersPixels, nullptr,
                                       AV_BUFFER_FLAG_READONLY);
        if (packet->buf == nullptr) return AVERROR(ENOMEM);
        packet->data = packet->buf->data;
        packet->size = length;
    } else if (int made = av_new_packet(packet, length); made < 0) {
        return made;
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
    return writePacket(stream, *packet);
}

// Encoders take the top row first.
PixelRows topDownRows(const AviStream* stream, const uint8_t* data) {
    int stride = stream->width * 4;
    if (!stream->bottomUp) return {data, stride, stream->width, stream->height};
    return {data + static_cast<ptrdiff_t>(stride) * (stream->height - 1), -stride, stream->width, stream->height};
}

// A narration is written as the frames are handed over, so its stream keeps one encoder; so
// does a GIF whose palette grows with its frames.
bool encodedInSegments(const AviStream* stream) {
    const bool growingPalette =
        stream->codec->encoding.pixelFormat == std::string_view("pal8") && !stream->colours;
    return stream->segmented && stream->jobs > 1 && stream->file->audio == nullptr && !growingPalette;
}

int openEncoder(AviStream* stream) {
    const Muxer& muxer = stream->file->muxer;
    const bool avi = muxer.container() == MovieContainer::avi;
    const AVCodecContext* context = nullptr;
    if (encodedInSegments(stream)) {
        stream->segments = std::make_unique<SegmentEncoder>();
        int opened = stream->segments->open({.codec = stream->codec,
                                             .width = stream->width,
                                             .height = stream->height,
                                             .timeBase = stream->timeBase,
                                             .globalHeader = !avi && muxer.wantsGlobalHeader(),
                                             .decodeOrder = avi,
                                             .colours = stream->colours},
                                            stream->jobs);
        if (opened < 0) return opened;
        context = stream->segments->context();
    } else {
        // Jobs asked for and one encoder to run them: x264 takes the cores.
        int opened = openVideoEncoder(stream->encoder, *stream->codec, stream->width, stream->height,
                                      stream->timeBase, !avi && muxer.wantsGlobalHeader(), avi,
                                      stream->colours ? &*stream->colours : nullptr, false,
                                      std::min(stream->jobs, usableCores()));
        if (opened < 0) return opened;
        context = stream->encoder.context;
        if (stream->colours && stream->encoder.paletted) {
            const size_t rowBytes = static_cast<size_t>(stream->width) * 4;
            stream->rows = std::make_unique<RowStore>(rowBytes, kSegmentBytes, stream->height);
        }
    }
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (parameters == nullptr) return AVERROR(ENOMEM);
    int result = avcodec_parameters_from_context(parameters, context);
    if (result >= 0) result = stream->file->muxer.setStreamParameters(stream->index, *parameters);
    avcodec_parameters_free(&parameters);
    return result < 0 ? result : 0;
}

}  // namespace

uint32_t aviFileOpen(AviFile** file, const std::string& path) {
    *file = nullptr;
    auto opened = std::make_unique<AviFile>();
    if (int result = opened->muxer.open(path)) return failure(result);
    *file = opened.release();
    return 0;
}

uint32_t aviFileAttachAudio(AviFile* file, AudioTrack* track) {
    if (file == nullptr || file->muxer.headerTried() || !containerTakesAudio(file->muxer.container())) {
        return failure(AVERROR(EINVAL));
    }
    file->audio = track;
    return 0;
}

// The calls' one rule beyond the muxer's: a file holds one stream, of video.
uint32_t aviFileCreateStream(AviFile* file, AviStream** stream, const AviStreamInfo& info) {
    *stream = nullptr;
    if (file == nullptr || info.fccType != kStreamTypeVideo || info.dwScale == 0 || info.dwRate == 0 ||
        info.dwScale > INT32_MAX || info.dwRate > INT32_MAX || file->muxer.streamCount() > 0) {
        return failure(AVERROR(EINVAL));
    }
    AVRational period{0, 0};
    av_reduce(&period.num, &period.den, info.dwScale, info.dwRate, INT32_MAX);
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (parameters == nullptr) return failure(AVERROR(ENOMEM));
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    int index = file->muxer.addStream(*parameters, period);
    avcodec_parameters_free(&parameters);
    if (index < 0) return failure(index);
    auto created = std::make_unique<AviStream>(
        AviStream{.file = file, .index = index, .codec = codecWithFourcc(kCompressorDib), .timeBase = period});
    // Until a format is set, the stream describes uncompressed frames of the header's size.
    const int width = info.rcFrame.right - info.rcFrame.left;
    const int height = info.rcFrame.bottom - info.rcFrame.top;
    if (int described = setRawParameters(created.get(), width, height)) return failure(described);
    *stream = created.release();
    return 0;
}

uint32_t aviMakeCompressedStream(AviStream** compressed, AviStream* source, const AviCompressOptions& options) {
    *compressed = nullptr;
    if (source == nullptr) return failure(AVERROR(EINVAL));
    const CodecChoice* codec = codecWithFourcc(options.fccHandler);
    if (codec == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    if (!movieContainerHolds(source->file->muxer.container(), codec->fourcc)) return failure(AVERROR(EINVAL));
    const char* encoder = codec->encoding.encoder;
    if (encoder != nullptr && avcodec_find_encoder_by_name(encoder) == nullptr) {
        return failure(AVERROR_ENCODER_NOT_FOUND);
    }
    *compressed =
        new AviStream{.file = source->file, .index = source->index, .codec = codec, .timeBase = source->timeBase};
    return 0;
}

uint32_t aviStreamSetColours(AviStream* stream, const SharedPalette& colours) {
    if (stream == nullptr || stream->formatTried) return failure(AVERROR(EINVAL));
    stream->colours = colours;
    return 0;
}

uint32_t aviStreamSetJobs(AviStream* stream, size_t jobs, bool segmented) {
    if (stream == nullptr || stream->formatTried || jobs == 0) return failure(AVERROR(EINVAL));
    stream->jobs = jobs;
    stream->segmented = segmented;
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
    if (stream->formatTried || stream->file->muxer.headerTried()) return failure(AVERROR(EINVAL));
    stream->formatTried = true;

    stream->width = header.biWidth;
    stream->height = height;
    stream->bottomUp = header.biHeight > 0;
    if (stream->codec->encoding.encoder != nullptr) {
        if (int opened = openEncoder(stream)) return failure(opened);
    } else {
        stream->packet = av_packet_alloc();
        if (stream->packet == nullptr) return failure(AVERROR(ENOMEM));
        if (int described = setRawParameters(stream, stream->width, stream->height)) return failure(described);
        // Stored frames are megabytes each: they go to the file in one write from the caller's
        // pixels instead of through the I/O buffer.
        stream->file->muxer.writeDirect();
    }
    if (int written = writeHeader(stream->file)) return failure(written);
    stream->formatSet = true;
    return 0;
}

uint32_t aviStreamWrite(AviStream* stream, int32_t position, int32_t samples, const void* data, int32_t length,
                        uint32_t flags, const RowsChanged* changed) {
    // A stream in segments takes them whole (aviStreamProduce).
    if (stream == nullptr || !stream->formatSet || stream->broken || stream->segments || position < 0 || samples != 1 ||
        data == nullptr ||
        int64_t{length} != int64_t{stream->width} * stream->height * 4) {
        return failure(AVERROR(EINVAL));
    }
    // Stored frames are all key frames; a compressor places its key frames as it sees fit.
    const auto* bytes = static_cast<const uint8_t*>(data);
    const bool same = (flags & kAviSameFrameFlag) != 0;
    int result = stream->codec->encoding.encoder == nullptr
                     ? writeStoredFrame(stream, bytes, length, position)
                 : stream->rows
                     ? encodePictureByRows(stream->encoder, *stream->rows, {kSegmentBytes, kSegmentPictures},
                                           topDownRows(stream, bytes), position, same, packetsInto(stream), changed)
                     : encodePicture(stream->encoder, topDownRows(stream, bytes), position, same, packetsInto(stream));
    if (result < 0) stream->broken = true;
    AviFile* file = stream->file;
    if (result >= 0 && file->audio != nullptr) {
        file->videoEnd = std::max(file->videoEnd, av_rescale_q(position + 1, stream->timeBase, kMicroseconds));
        result = file->audio->writeUpTo(file->muxer, file->videoEnd);
    }
    return failure(result);
}

uint32_t aviStreamProduce(AviStream* stream, SegmentProducer producer, int64_t next) {
    if (stream == nullptr || !stream->segments || !stream->formatSet || stream->broken) return failure(AVERROR(EINVAL));
    int result = stream->segments->produce(std::move(producer), next, packetsInto(stream));
    if (result < 0) stream->broken = true;
    return failure(result);
}

uint32_t aviStreamFinishSegments(AviStream* stream) {
    if (stream == nullptr || !stream->segments) return 0;
    // A broken stream drops the packets, once its segments are done.
    int result = stream->segments->finish(packetsInto(stream));
    if (result < 0) stream->broken = true;
    return failure(result);
}

uint32_t aviStreamRelease(AviStream* stream) {
    if (stream == nullptr) return 0;
    int result = 0;
    if (stream->segments && stream->formatSet && !stream->broken) {
        result = stream->segments->finish(packetsInto(stream));
    } else if (stream->encoder.context != nullptr && stream->formatSet && !stream->broken) {
        result = finishEncoding(stream->encoder, packetsInto(stream));
    }
    stream->segments.reset();
    closeVideoEncoder(stream->encoder);
    av_packet_free(&stream->packet);
    delete stream;
    return failure(result);
}

uint32_t aviFileSetChapters(AviFile* file, std::vector<MovieChapter> chapters) {
    if (file == nullptr) return failure(AVERROR(EINVAL));
    file->muxer.setChapters(std::move(chapters));
    return 0;
}

uint32_t aviFileRelease(AviFile* file) {
    if (file == nullptr) return 0;
    // A stream whose format never came (the choice was cancelled, the encoder refused the frame
    // size) still gets its header, announcing uncompressed frames of its size.
    int result = 0;
    if (file->muxer.streamCount() > 0 && !file->muxer.headerTried()) result = writeHeader(file);
    if (result == 0 && file->audio != nullptr && file->muxer.headerWritten()) {
        result = file->audio->finish(file->muxer, file->videoEnd);
    }
    int closed = file->muxer.close();
    if (result == 0) result = closed;
    delete file;
    return failure(result);
}

std::string aviFileErrorText(uint32_t code) {
    if (code == failure(kMuxerNoStreamsError)) return "no frame to write, and only an AVI file can be left without one";
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(static_cast<int>(code), text, sizeof text);
    return text;
}
