#include "platform/avi_file.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "platform/bitmap.h"
#include "platform/file_sink.h"
#include "platform/mp4_finish.h"
#include "platform/video_encoder.h"

struct AviFile {
    FileSink sink;
    MovieContainer container = MovieContainer::avi;
    AVFormatContext* format = nullptr;
    int64_t packetCount = 0;
    int64_t fragmentBytes = 0;      // MP4: what the muxer holds for the fragment under way
    double fragmentStarted = 0;     // MP4: when that fragment began, monotonic seconds
    // MP4: the packet written last waits for the next one, whose time gives its duration; a
    // fragment's last frame would otherwise last the packet's own duration, and the frames
    // after the fragment would be shifted by the difference.
    AVPacket* waiting = nullptr;
    int64_t firstPts = AV_NOPTS_VALUE;  // MP4: of the first packet, in the stream's time base
    bool headerTried = false;
    bool headerWritten = false;
};

struct AviStream {
    AviFile* file = nullptr;
    AVStream* stream = nullptr;
    const CodecChoice* codec = nullptr;
    AVRational timeBase{1, 1};   // of frame positions
    VideoEncoder encoder{};      // compressed streams
    AVPacket* packet = nullptr;  // frames stored as they are
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    bool formatTried = false;
    bool formatSet = false;
    bool broken = false;  // a write failed: held-back frames are dropped, not written after the gap
    std::optional<SharedPalette> colours{};  // a GIF stream's, learned beforehand
};

namespace {

// A movie with no frame at all: only an AVI file can be left that way.
const int kNoFramesError = FFERRTAG('N', 'O', 'F', 'R');

// Room kept free beyond what is written, so that the index and the final sizes can always be
// written at the end, even when the disk fills up during the run.
constexpr int64_t kClosingReserve = 1 << 16;
constexpr int64_t kIndexBytesPerFrame = 32;
constexpr int64_t kChunkHeaderSize = 9;  // chunk id, size and a padding byte
// An MP4 fragment goes to the file after this long or this many bytes, whichever comes first,
// so that a killed run loses no more; each costs about a hundred bytes and 16 a frame.
constexpr double kFragmentSeconds = 1;
constexpr int64_t kMostFragmentBytes = int64_t{8} << 20;
constexpr int64_t kFragmentBytesPerFrame = 16;

uint32_t failure(int averror) { return static_cast<uint32_t>(averror); }

int64_t closingBytes(const AviFile* file) { return kClosingReserve + kIndexBytesPerFrame * (file->packetCount + 1); }

int flushFile(AviFile* file) {
    avio_flush(file->format->pb);
    return file->format->pb->error < 0 ? file->format->pb->error : 0;
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The MP4 muxer's fragment under way goes to the file.
int writeFragment(AviFile* file) {
    file->fragmentStarted = monotonicSeconds();
    if (file->fragmentBytes == 0) return 0;
    file->fragmentBytes = 0;
    int written = av_write_frame(file->format, nullptr);
    return written < 0 ? written : 0;
}

// FFmpeg's AVI muxer marks the stream's quality as "default" (-1); ours is 0, which players
// ignore either way. Where the header cannot be read back the mark stays.
int clearStreamQuality(AviFile* file) {
    constexpr size_t kQualityAt = 8 + 40;  // past the chunk's name and size, then ten fields in
    std::vector<uint8_t> head = readSinkHead(file->sink, 1024);
    std::string_view bytes(reinterpret_cast<const char*>(head.data()), head.size());
    size_t at = bytes.find("strh");
    if (at == std::string_view::npos || at + kQualityAt + 4 > bytes.size()) return 0;
    const uint8_t zero[4] = {};
    return overwriteInSink(file->sink, static_cast<int64_t>(at + kQualityAt), zero);
}

int writeHeader(AviFile* file) {
    int64_t extradata = file->format->nb_streams > 0 ? file->format->streams[0]->codecpar->extradata_size : 0;
    if (int reserved = reserveSpace(file->sink, kClosingReserve + extradata, closingBytes(file))) return reserved;
    file->headerTried = true;  // the muxer cannot be asked twice
    AVDictionary* options = nullptr;
    // Our frames are bottom-up bitmaps: the format then carries a positive height.
    if (file->container == MovieContainer::avi) av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    // Fragments the run hands over itself; the file becomes a regular one when it is closed.
    if (file->container == MovieContainer::mp4) {
        av_dict_set(&options, "movflags", "+frag_custom+empty_moov+default_base_moof", 0);
    }
    int result = avformat_write_header(file->format, &options);
    av_dict_free(&options);
    if (result < 0) return result;
    file->headerWritten = true;
    return flushFile(file);
}

// The muxer refuses a file without streams; this is the smallest AVI that readers accept:
// a main header announcing no stream, and an empty movie list.
int writeEmptyAvi(AviFile* file) {
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
    if (out.size() != 8 + 4 + 8 + 4 + 8 + 56 + 8 + 4) return AVERROR_BUG;

    if (int reserved = reserveSpace(file->sink, static_cast<int64_t>(out.size()), closingBytes(file))) return reserved;
    int written = writeToSink(file->sink, out);
    return written < 0 ? written : 0;
}

// Takes the packet's contents, in the stream's time base; the packet is empty after.
int muxPacket(AviFile* file, AVPacket& packet) {
    const bool mp4 = file->container == MovieContainer::mp4;
    // An MP4 fragment's frames reach the file together: the space for all of them is held.
    const int64_t held = mp4 ? file->fragmentBytes + kFragmentBytesPerFrame : 0;
    int result = reserveSpace(file->sink, held + packet.size + kChunkHeaderSize, closingBytes(file));
    if (result == 0) {
        int written = av_write_frame(file->format, &packet);
        result = written < 0 ? written : 0;
        if (result == 0) ++file->packetCount;
        if (result == 0 && mp4) file->fragmentBytes += kFragmentBytesPerFrame + packet.size;
    }
    av_packet_unref(&packet);
    if (result == 0 && mp4 &&
        (file->fragmentBytes >= kMostFragmentBytes || monotonicSeconds() - file->fragmentStarted >= kFragmentSeconds)) {
        result = writeFragment(file);
    }
    return result == 0 ? flushFile(file) : result;
}

// The MP4 packet waiting for its duration goes to the muxer.
int muxWaitingPacket(AviFile* file) {
    if (file->waiting == nullptr || file->waiting->data == nullptr) return 0;
    return muxPacket(file, *file->waiting);
}

// Takes the packet's contents; the packet is empty after.
int writePacket(AviStream* stream, AVPacket& packet) {
    AviFile* file = stream->file;
    packet.stream_index = stream->stream->index;
    av_packet_rescale_ts(&packet, stream->timeBase, stream->stream->time_base);
    if (file->container != MovieContainer::mp4) return muxPacket(file, packet);
    if (file->waiting == nullptr && (file->waiting = av_packet_alloc()) == nullptr) {
        av_packet_unref(&packet);
        return AVERROR(ENOMEM);
    }
    if (file->firstPts == AV_NOPTS_VALUE) file->firstPts = packet.pts;
    if (file->waiting->data != nullptr && packet.dts != AV_NOPTS_VALUE && file->waiting->dts != AV_NOPTS_VALUE) {
        file->waiting->duration = packet.dts - file->waiting->dts;
    }
    int result = muxWaitingPacket(file);
    av_packet_move_ref(file->waiting, &packet);
    return result;
}

PacketUse packetsInto(AviStream* stream) {
    return [stream](AVPacket& packet) { return writePacket(stream, packet); };
}

int writeStoredFrame(AviStream* stream, const uint8_t* data, int32_t length, int64_t position) {
    AVPacket* packet = stream->packet;
    size_t rowBytes = static_cast<size_t>(stream->width) * 4;
    if (stream->bottomUp) {
        // Already in the file's row order: the muxer writes straight from the caller's pixels.
        packet->data = const_cast<uint8_t*>(data);
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

int openEncoder(AviStream* stream) {
    AviFile* file = stream->file;
    bool globalHeader =
        file->container != MovieContainer::avi && (file->format->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    int opened = openVideoEncoder(stream->encoder, *stream->codec, stream->width, stream->height, stream->timeBase,
                                  globalHeader, file->container == MovieContainer::avi);
    if (opened < 0) return opened;
    if (stream->colours) setGifColours(stream->encoder, *stream->colours);
    int copied = avcodec_parameters_from_context(stream->stream->codecpar, stream->encoder.context);
    return copied < 0 ? copied : 0;
}

}  // namespace

uint32_t aviFileOpen(AviFile** file, const std::string& path) {
    *file = nullptr;
    av_log_set_level(AV_LOG_QUIET);  // failures are reported through the result codes
    FileSink sink;
    if (!openFileSink(sink, path)) return failure(AVERROR(errno));

    auto* opened = new AviFile{.sink = std::move(sink)};
    auto giveUp = [&](int averror) {
        closeFileSink(opened->sink);
        delete opened;
        errno = ENOMEM;
        return failure(averror);
    };
    AVIOContext* io = openSinkIo(opened->sink);
    if (io == nullptr) return giveUp(AVERROR(ENOMEM));
    const MovieContainerInfo& container = movieContainerFor(path);
    opened->container = container.container;
    int allocated = avformat_alloc_output_context2(&opened->format, nullptr, container.muxer, path.c_str());
    if (allocated < 0) {
        closeSinkIo(io);
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

    *stream = new AviStream{.file = file, .stream = created, .codec = codecWithFourcc(kCompressorDib), .timeBase = period};
    return 0;
}

uint32_t aviMakeCompressedStream(AviStream** compressed, AviStream* source, const AviCompressOptions& options) {
    *compressed = nullptr;
    if (source == nullptr) return failure(AVERROR(EINVAL));
    const CodecChoice* codec = codecWithFourcc(options.fccHandler);
    if (codec == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    if (!movieContainerHolds(source->file->container, codec->fourcc)) return failure(AVERROR(EINVAL));
    const char* encoder = codec->encoding.encoder;
    if (encoder != nullptr && avcodec_find_encoder_by_name(encoder) == nullptr) {
        return failure(AVERROR_ENCODER_NOT_FOUND);
    }
    *compressed = new AviStream{.file = source->file, .stream = source->stream, .codec = codec, .timeBase = source->timeBase};
    return 0;
}

uint32_t aviStreamSetColours(AviStream* stream, const SharedPalette& colours) {
    if (stream == nullptr || stream->formatTried) return failure(AVERROR(EINVAL));
    stream->colours = colours;
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
    if (stream->formatTried || stream->file->headerTried) return failure(AVERROR(EINVAL));
    stream->formatTried = true;

    stream->width = header.biWidth;
    stream->height = height;
    stream->bottomUp = header.biHeight > 0;
    if (stream->codec->encoding.encoder != nullptr) {
        if (int opened = openEncoder(stream)) return failure(opened);
    } else {
        stream->packet = av_packet_alloc();
        if (stream->packet == nullptr) return failure(AVERROR(ENOMEM));
        AVCodecParameters* parameters = stream->stream->codecpar;
        parameters->width = stream->width;
        parameters->height = stream->height;
        // Stored frames are megabytes each: they go to the file in one write from the caller's
        // pixels instead of through the I/O buffer.
        stream->file->format->pb->direct = 1;
    }
    if (int written = writeHeader(stream->file)) return failure(written);
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
    int result = stream->codec->encoding.encoder == nullptr
                     ? writeStoredFrame(stream, bytes, length, position)
                     : encodePicture(stream->encoder, topDownRows(stream, bytes), position,
                                     (flags & kAviSameFrameFlag) != 0, packetsInto(stream));
    if (result < 0) stream->broken = true;
    return failure(result);
}

uint32_t aviStreamRelease(AviStream* stream) {
    if (stream == nullptr) return 0;
    int result = 0;
    if (stream->encoder.context != nullptr && stream->formatSet && !stream->broken) {
        result = finishEncoding(stream->encoder, packetsInto(stream));
    }
    closeVideoEncoder(stream->encoder);
    av_packet_free(&stream->packet);
    delete stream;
    return failure(result);
}

uint32_t aviFileRelease(AviFile* file) {
    if (file == nullptr) return 0;
    int result = 0;
    if (file->format->nb_streams == 0) {
        result = file->container == MovieContainer::avi ? writeEmptyAvi(file) : kNoFramesError;
    } else {
        // A stream whose format never came (the choice was cancelled, the encoder refused the
        // frame size) still gets its header, announcing uncompressed frames of its size.
        if (!file->headerTried) result = writeHeader(file);
        if (file->headerWritten) {
            if (result == 0) result = muxWaitingPacket(file);
            int finished = av_write_trailer(file->format);
            if (result == 0 && finished < 0) result = finished;
            if (result == 0) result = flushFile(file);
            if (file->container == MovieContainer::avi && file->sink.regularFile && result == 0) {
                result = clearStreamQuality(file);
            }
        }
    }
    closeSinkIo(file->format->pb);
    av_packet_free(&file->waiting);
    int closed = closeFileSink(file->sink);
    if (result == 0) result = closed;
    if (result == 0 && file->headerWritten && file->container == MovieContainer::mp4 && file->sink.regularFile) {
        result = finishFragmentedMp4(file->sink.path, *file->format->streams[0], file->firstPts);
    }
    avformat_free_context(file->format);
    // An empty file would only pose as a movie.
    if (result == kNoFramesError && file->sink.regularFile) unlink(file->sink.path.c_str());
    delete file;
    return failure(result);
}

std::string aviFileErrorText(uint32_t code) {
    if (code == failure(kNoFramesError)) return "no frame to write, and only an AVI file can be left without one";
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(static_cast<int>(code), text, sizeof text);
    return text;
}
