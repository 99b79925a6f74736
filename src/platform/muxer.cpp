#include "platform/muxer.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "platform/little_endian.h"
#include "platform/mp4_finish.h"

namespace {

// Room kept free beyond what is written, so that the index and the final sizes can always be
// written at the end, even when the disk fills up during the run.
constexpr int64_t kClosingReserve = 1 << 16;
constexpr int64_t kIndexBytesPerPacket = 32;
constexpr int64_t kChunkHeaderSize = 9;  // chunk id, size and a padding byte
// An MP4 fragment goes to the file after this long or this many bytes, whichever comes first,
// so that a killed run loses no more; each costs about a hundred bytes and 16 a packet.
constexpr double kFragmentSeconds = 1;
constexpr int64_t kMostFragmentBytes = int64_t{8} << 20;
constexpr int64_t kFragmentBytesPerPacket = 16;

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// FFmpeg's AVI muxer marks each stream's quality as "default" (-1); ours is 0, which players
// ignore either way. Where the header cannot be read back the marks stay.
int clearStreamQualities(FileSink& sink) {
    constexpr size_t kQualityAt = 8 + 40;  // past the chunk's name and size, then ten fields in
    std::vector<uint8_t> head = readSinkHead(sink, 1024);
    std::string_view bytes(reinterpret_cast<const char*>(head.data()), head.size());
    const uint8_t zero[4] = {};
    for (size_t at = bytes.find("strh"); at != std::string_view::npos; at = bytes.find("strh", at + 4)) {
        if (at + kQualityAt + 4 > bytes.size()) break;
        if (int written = overwriteInSink(sink, static_cast<int64_t>(at + kQualityAt), zero)) return written;
    }
    return 0;
}

// The AVI muxer refuses a file without streams; this is the smallest AVI that readers accept:
// a main header announcing no stream, and an empty movie list.
std::vector<uint8_t> emptyAvi() {
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
    if (out.size() != 8 + 4 + 8 + 4 + 8 + 56 + 8 + 4) return {};
    return out;
}

}  // namespace

Muxer::~Muxer() { release(); }

void Muxer::release() {
    if (format_ != nullptr) {
        closeSinkIo(format_->pb);
        avformat_free_context(format_);
        format_ = nullptr;
    }
    for (AVPacket*& packet : waiting_) av_packet_free(&packet);
    waiting_.clear();
    firstPts_.clear();
    ends_.clear();
    chapters_.clear();
    muxed_.clear();
    if (sink_.fd >= 0) closeFileSink(sink_);
    packetCount_ = 0;
    fragmentBytes_ = 0;
    fragmentStarted_ = 0;
    headerTried_ = false;
    headerWritten_ = false;
}

int Muxer::open(const std::string& path) {
    release();
    av_log_set_level(AV_LOG_QUIET);  // failures are reported through the results
    if (!openFileSink(sink_, path)) return AVERROR(errno);
    auto giveUp = [&](int averror) {
        release();
        errno = ENOMEM;
        return averror;
    };
    AVIOContext* io = openSinkIo(sink_);
    if (io == nullptr) return giveUp(AVERROR(ENOMEM));
    const MovieContainerInfo& container = movieContainerFor(path);
    container_ = container.container;
    int allocated = avformat_alloc_output_context2(&format_, nullptr, container.muxer, path.c_str());
    if (allocated < 0) {
        closeSinkIo(io);
        return giveUp(allocated);
    }
    format_->pb = io;
    return 0;
}

bool Muxer::wantsGlobalHeader() const { return (format_->oformat->flags & AVFMT_GLOBALHEADER) != 0; }

int Muxer::streamCount() const { return format_ == nullptr ? 0 : static_cast<int>(format_->nb_streams); }

int Muxer::addStream(const AVCodecParameters& parameters, AVRational timeBase) {
    if (format_ == nullptr || headerTried_ || timeBase.num <= 0 || timeBase.den <= 0) return AVERROR(EINVAL);
    AVStream* created = avformat_new_stream(format_, nullptr);
    if (created == nullptr) return AVERROR(ENOMEM);
    created->time_base = timeBase;
    if (parameters.codec_type == AVMEDIA_TYPE_VIDEO) {
        created->avg_frame_rate = av_inv_q(timeBase);
        created->r_frame_rate = created->avg_frame_rate;
    }
    if (int copied = avcodec_parameters_copy(created->codecpar, &parameters); copied < 0) return copied;
    waiting_.push_back(nullptr);
    firstPts_.push_back(AV_NOPTS_VALUE);
    ends_.push_back(AV_NOPTS_VALUE);
    muxed_.push_back(false);
    return created->index;
}

int Muxer::setStreamParameters(int stream, const AVCodecParameters& parameters) {
    if (stream < 0 || stream >= streamCount() || headerTried_) return AVERROR(EINVAL);
    int copied = avcodec_parameters_copy(format_->streams[stream]->codecpar, &parameters);
    return copied < 0 ? copied : 0;
}

void Muxer::writeDirect() { format_->pb->direct = 1; }

int64_t Muxer::closingBytes() const { return kClosingReserve + kIndexBytesPerPacket * (packetCount_ + 1); }

int Muxer::flush() {
    avio_flush(format_->pb);
    return format_->pb->error < 0 ? format_->pb->error : 0;
}

int Muxer::writeHeader(AVDictionary** given) {
    if (format_ == nullptr || headerTried_ || format_->nb_streams == 0) return AVERROR(EINVAL);
    int64_t extradata = 0;
    for (unsigned i = 0; i < format_->nb_streams; ++i) extradata += format_->streams[i]->codecpar->extradata_size;
    if (int reserved = reserveSpace(sink_, kClosingReserve + extradata, closingBytes())) return reserved;
    headerTried_ = true;  // the muxer cannot be asked twice
    AVDictionary* options = nullptr;
    if (given != nullptr) av_dict_copy(&options, *given, 0);
    // Fragments the muxer hands over itself; the file becomes a regular one when it is closed.
    if (container_ == MovieContainer::mp4) {
        av_dict_set(&options, "movflags", "+frag_custom+empty_moov+default_base_moof", 0);
    }
    int result = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (result < 0) return result;
    headerWritten_ = true;
    return flush();
}

// The MP4 muxer's fragment under way goes to the file.
int Muxer::writeFragment() {
    fragmentStarted_ = monotonicSeconds();
    if (fragmentBytes_ == 0) return 0;
    fragmentBytes_ = 0;
    int written = av_interleaved_write_frame(format_, nullptr);
    if (written >= 0) written = av_write_frame(format_, nullptr);
    return written < 0 ? written : 0;
}

// Takes the packet's contents, in its stream's time base; the packet is empty after.
int Muxer::mux(AVPacket& packet) {
    const bool mp4 = container_ == MovieContainer::mp4;
    // An MP4 fragment's packets reach the file together: the space for all of them is held.
    const int64_t held = mp4 ? fragmentBytes_ + kFragmentBytesPerPacket : 0;
    const int64_t size = packet.size;
    const auto stream = static_cast<size_t>(packet.stream_index);
    int result = reserveSpace(sink_, held + size + kChunkHeaderSize, closingBytes());
    if (result == 0) {
        int written = av_interleaved_write_frame(format_, &packet);
        result = written < 0 ? written : 0;
        if (result == 0) ++packetCount_;
        if (result == 0 && mp4) fragmentBytes_ += kFragmentBytesPerPacket + size;
    }
    if (result == 0 && mp4) muxed_[stream] = true;
    av_packet_unref(&packet);
    const bool everyStream = std::find(muxed_.begin(), muxed_.end(), false) == muxed_.end();
    if (result == 0 && mp4 &&
        (fragmentBytes_ >= kMostFragmentBytes ||
         (everyStream && monotonicSeconds() - fragmentStarted_ >= kFragmentSeconds))) {
        result = writeFragment();
    }
    return result == 0 ? flush() : result;
}

int Muxer::writePacket(int stream, AVPacket& packet, AVRational from) {
    if (!headerWritten_ || stream < 0 || stream >= streamCount()) {
        av_packet_unref(&packet);
        return AVERROR(EINVAL);
    }
    packet.stream_index = stream;
    av_packet_rescale_ts(&packet, from, format_->streams[stream]->time_base);
    if (container_ != MovieContainer::mp4) return mux(packet);
    AVPacket*& waiting = waiting_[stream];
    if (waiting == nullptr && (waiting = av_packet_alloc()) == nullptr) {
        av_packet_unref(&packet);
        return AVERROR(ENOMEM);
    }
    if (firstPts_[stream] == AV_NOPTS_VALUE) firstPts_[stream] = packet.pts;
    if (packet.pts != AV_NOPTS_VALUE && packet.duration > 0 &&
        (ends_[stream] == AV_NOPTS_VALUE || packet.pts + packet.duration > ends_[stream])) {
        ends_[stream] = packet.pts + packet.duration;
    }
    if (waiting->data != nullptr && packet.dts != AV_NOPTS_VALUE && waiting->dts != AV_NOPTS_VALUE) {
        waiting->duration = packet.dts - waiting->dts;
    }
    int result = waiting->data != nullptr ? mux(*waiting) : 0;
    av_packet_move_ref(waiting, &packet);
    return result;
}

int Muxer::close() {
    if (format_ == nullptr) return 0;
    int result = 0;
    if (format_->nb_streams == 0) {
        if (container_ == MovieContainer::avi) {
            const std::vector<uint8_t> empty = emptyAvi();
            const auto size = static_cast<int64_t>(empty.size());
            result = empty.empty() ? AVERROR_BUG : reserveSpace(sink_, size, closingBytes());
            if (result == 0) {
                int written = writeToSink(sink_, empty);
                result = written < 0 ? written : 0;
            }
        } else {
            result = kMuxerNoStreamsError;
        }
    } else {
        if (!headerTried_) result = writeHeader();
        if (headerWritten_) {
            for (AVPacket* packet : waiting_) {
                if (result == 0 && packet != nullptr && packet->data != nullptr) result = mux(*packet);
            }
            // Matroska writes chapters it did not have at the header with its trailer; the MP4
            // file's go to its fast-start copy.
            if (result == 0 && container_ == MovieContainer::matroska) result = addChapters(*format_, chapters_);
            int finished = av_write_trailer(format_);
            if (result == 0 && finished < 0) result = finished;
            if (result == 0) result = flush();
            if (container_ == MovieContainer::avi && sink_.regularFile && result == 0) {
                result = clearStreamQualities(sink_);
            }
        }
    }
    closeSinkIo(format_->pb);
    int closed = closeFileSink(sink_);
    if (result == 0) result = closed;
    if (result == 0 && headerWritten_ && container_ == MovieContainer::mp4 && sink_.regularFile) {
        result = finishFragmentedMp4(sink_.path, *format_, firstPts_, ends_, chapters_);
    }
    // An empty file would only pose as a movie.
    if (result == kMuxerNoStreamsError && sink_.regularFile) unlink(sink_.path.c_str());
    release();
    return result;
}
