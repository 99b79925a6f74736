#include "platform/avi_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
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

// How one compressor is driven. Frames always arrive as B, G, R, 0 bytes per pixel.
struct EncoderSetup {
    uint32_t fourcc;
    const char* encoderName;   // nullptr: frames are stored as they arrive
    AVPixelFormat pixelFormat;
    int fixedQuantizer;        // above 0: constant quality at this quantizer
    const char* options;       // the encoder's own options, "key=value:key=value"
    AVColorRange colorRange;
};

// zmbv and ffv1 take the pixels as they are, so they stay lossless. mjpeg and h264 use 4:2:0
// because that is what hardware decoders and most players accept; for h264, crf 18 keeps
// text edges clean and "stillimage" lowers the deblocking that would soften them, while the
// mostly unchanged frames of a terminal cost almost nothing either way.
constexpr EncoderSetup kEncoders[] = {
    {kCompressorDib, nullptr, AV_PIX_FMT_BGR0, 0, "", AVCOL_RANGE_UNSPECIFIED},
    {fourcc("ZMBV"), "zmbv", AV_PIX_FMT_BGR0, 0, "", AVCOL_RANGE_UNSPECIFIED},
    {fourcc("FFV1"), "ffv1", AV_PIX_FMT_BGR0, 0, "", AVCOL_RANGE_UNSPECIFIED},
    {fourcc("MJPG"), "mjpeg", AV_PIX_FMT_YUVJ420P, 2, "", AVCOL_RANGE_JPEG},
    {fourcc("H264"), "libx264", AV_PIX_FMT_YUV420P, 0, "crf=18:tune=stillimage", AVCOL_RANGE_MPEG},
};

constexpr int kIoBufferSize = 1 << 16;
// Room kept free beyond what is written, so that the index and the final sizes can always be
// written at the end, even when the disk fills up during the run.
constexpr int64_t kClosingReserve = 1 << 16;
constexpr int64_t kIndexBytesPerFrame = 32;
constexpr int64_t kChunkHeaderSize = 9;  // chunk id, size and a padding byte

uint32_t failure(int averror) { return static_cast<uint32_t>(averror); }

const EncoderSetup* findEncoderSetup(uint32_t handler) {
    if (handler == 0) handler = kCompressorDib;
    for (const EncoderSetup& setup : kEncoders) {
        if (setup.fourcc == handler) return &setup;
    }
    return nullptr;
}

void putU32le(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putFourcc(std::vector<uint8_t>& out, const char (&text)[5]) { putU32le(out, fourcc(text)); }

}  // namespace

struct AviFile {
    std::string path;
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
    const EncoderSetup* setup = nullptr;
    AVRational timeBase{1, 1};  // of frame positions
    AVCodecContext* encoder = nullptr;
    SwsContext* converter = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    int width = 0;
    int height = 0;
    bool bottomUp = true;
    bool formatSet = false;
    bool broken = false;  // a write failed: held-back frames are dropped, not written after the gap
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

// Holds disk space for the next bytes plus everything closing the file may still add, so a
// full disk refuses a frame before the muxer has taken it, never in the middle of one.
uint32_t reserveSpace(AviFile* file, int64_t bytes) {
    if (!file->regularFile) return 0;
    int64_t target = std::max(file->end, file->position) + bytes + kClosingReserve +
                     kIndexBytesPerFrame * (file->packetCount + 1);
    if (target <= file->reservedEnd) return 0;
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
    av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    int result = avformat_write_header(file->format, &options);
    av_dict_free(&options);
    if (result < 0) return failure(result);
    file->headerWritten = true;
    return flushFile(file);
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

uint32_t openEncoder(AviStream* stream) {
    const EncoderSetup& setup = *stream->setup;
    const AVCodec* codec = avcodec_find_encoder_by_name(setup.encoderName);
    if (codec == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    // Subsampled chroma needs whole chroma samples; asked anyway, x264 refuses (and leaks).
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(setup.pixelFormat);
    if (stream->width % (1 << layout->log2_chroma_w) != 0 || stream->height % (1 << layout->log2_chroma_h) != 0) {
        return failure(AVERROR(EINVAL));
    }
    stream->encoder = avcodec_alloc_context3(codec);
    stream->frame = av_frame_alloc();
    if (stream->encoder == nullptr || stream->frame == nullptr) return failure(AVERROR(ENOMEM));

    AVCodecContext* encoder = stream->encoder;
    encoder->width = stream->width;
    encoder->height = stream->height;
    encoder->pix_fmt = setup.pixelFormat;
    encoder->time_base = stream->timeBase;
    encoder->framerate = av_inv_q(stream->timeBase);
    encoder->color_range = setup.colorRange;
    if (setup.colorRange != AVCOL_RANGE_UNSPECIFIED) encoder->colorspace = AVCOL_SPC_SMPTE170M;
    if (setup.fixedQuantizer > 0) {
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        encoder->global_quality = FF_QP2LAMBDA * setup.fixedQuantizer;
    }
    AVDictionary* options = nullptr;
    av_dict_parse_string(&options, setup.options, "=", ":", 0);
    int opened = avcodec_open2(encoder, codec, &options);
    av_dict_free(&options);
    if (opened < 0) return failure(opened);

    stream->frame->format = setup.pixelFormat;
    stream->frame->width = stream->width;
    stream->frame->height = stream->height;
    int allocated = av_frame_get_buffer(stream->frame, 0);
    if (allocated < 0) return failure(allocated);
    stream->converter = sws_getContext(stream->width, stream->height, AV_PIX_FMT_BGR0, stream->width, stream->height,
                                       setup.pixelFormat, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (stream->converter == nullptr) return failure(AVERROR(EINVAL));
    int copied = avcodec_parameters_from_context(stream->stream->codecpar, encoder);
    return copied < 0 ? failure(copied) : 0;
}

void freeEncoder(AviStream* stream) {
    avcodec_free_context(&stream->encoder);
    sws_freeContext(stream->converter);
    stream->converter = nullptr;
    av_frame_free(&stream->frame);
    av_packet_free(&stream->packet);
}

uint32_t writeStoredFrame(AviStream* stream, const uint8_t* data, int32_t length, int64_t position) {
    AVPacket* packet = stream->packet;
    int made = av_new_packet(packet, length);
    if (made < 0) {
        stream->broken = true;
        return failure(made);
    }
    size_t rowBytes = static_cast<size_t>(stream->width) * 4;
    if (stream->bottomUp) {
        std::memcpy(packet->data, data, static_cast<size_t>(length));
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

uint32_t encodeFrame(AviStream* stream, const uint8_t* data, int64_t position) {
    AVFrame* frame = stream->frame;
    int writable = av_frame_make_writable(frame);
    if (writable < 0) return failure(writable);
    int stride = stream->width * 4;
    // Encoders take the top row first.
    const uint8_t* top = stream->bottomUp ? data + static_cast<ptrdiff_t>(stride) * (stream->height - 1) : data;
    const uint8_t* planes[1] = {top};
    const int strides[1] = {stream->bottomUp ? -stride : stride};
    sws_scale(stream->converter, planes, strides, 0, stream->height, frame->data, frame->linesize);
    frame->pts = position;
    int sent = avcodec_send_frame(stream->encoder, frame);
    if (sent < 0) {
        stream->broken = true;
        return failure(sent);
    }
    return drainEncoder(stream);
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
    int allocated = avformat_alloc_output_context2(&opened->format, nullptr, "avi", path.c_str());
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

    *stream = new AviStream{.file = file, .stream = created, .setup = findEncoderSetup(kCompressorDib), .timeBase = period};
    return 0;
}

uint32_t aviMakeCompressedStream(AviStream** compressed, AviStream* source, const AviCompressOptions& options) {
    *compressed = nullptr;
    if (source == nullptr) return failure(AVERROR(EINVAL));
    const EncoderSetup* setup = findEncoderSetup(options.fccHandler);
    if (setup == nullptr) return failure(AVERROR_ENCODER_NOT_FOUND);
    if (setup->encoderName != nullptr && avcodec_find_encoder_by_name(setup->encoderName) == nullptr) {
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
    if (stream->setup->encoderName != nullptr) {
        if (uint32_t result = openEncoder(stream)) return result;
    } else {
        AVCodecParameters* parameters = stream->stream->codecpar;
        parameters->width = stream->width;
        parameters->height = stream->height;
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
    (void)flags;
    const auto* bytes = static_cast<const uint8_t*>(data);
    return stream->encoder == nullptr ? writeStoredFrame(stream, bytes, length, position)
                                      : encodeFrame(stream, bytes, position);
}

uint32_t aviStreamRelease(AviStream* stream) {
    if (stream == nullptr) return 0;
    uint32_t result = 0;
    if (stream->encoder != nullptr && stream->formatSet && !stream->broken) {
        int sent = avcodec_send_frame(stream->encoder, nullptr);
        result = sent < 0 ? failure(sent) : drainEncoder(stream);
    }
    freeEncoder(stream);
    delete stream;
    return result;
}

uint32_t aviFileRelease(AviFile* file) {
    if (file == nullptr) return 0;
    uint32_t result = 0;
    if (file->format->nb_streams == 0) {
        result = writeEmptyAvi(file);
    } else {
        // A stream whose format never came (the choice was cancelled, the encoder refused the
        // frame size) still gets its header, announcing uncompressed frames of its size.
        if (!file->headerTried) result = writeHeader(file);
        if (file->headerWritten) {
            int finished = av_write_trailer(file->format);
            if (result == 0 && finished < 0) result = failure(finished);
            if (result == 0) result = flushFile(file);
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
    delete file;
    return result;
}

std::string aviFileErrorText(uint32_t code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(static_cast<int>(code), text, sizeof text);
    return text;
}
