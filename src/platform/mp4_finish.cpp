#include "platform/mp4_finish.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

struct Remux {
    AVFormatContext* input = nullptr;
    AVFormatContext* output = nullptr;
    AVPacket* packet = nullptr;
    bool headerWritten = false;

    Remux() = default;
    Remux(const Remux&) = delete;
    Remux& operator=(const Remux&) = delete;
    ~Remux() {
        av_packet_free(&packet);
        avformat_close_input(&input);
        if (output != nullptr) avio_closep(&output->pb);
        avformat_free_context(output);
    }
};

// Stream i of the output is described as written's stream i, with the set-up the container
// kept for stream i of the input.
int addStream(Remux& remux, const AVStream& written, const AVCodecParameters& kept) {
    AVStream* out = avformat_new_stream(remux.output, nullptr);
    if (out == nullptr) return AVERROR(ENOMEM);
    if (int copied = avcodec_parameters_copy(out->codecpar, written.codecpar); copied < 0) return copied;
    out->codecpar->codec_tag = 0;
    // The set-up as the container keeps it, in the form its packets take (H.264's encoder gives
    // both as start-code streams, which the muxer would otherwise convert a second time).
    if (kept.extradata_size > 0) {
        av_freep(&out->codecpar->extradata);
        out->codecpar->extradata_size = 0;
        const size_t size = static_cast<size_t>(kept.extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE;
        out->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(size));
        if (out->codecpar->extradata == nullptr) return AVERROR(ENOMEM);
        std::memcpy(out->codecpar->extradata, kept.extradata, kept.extradata_size);
        out->codecpar->extradata_size = kept.extradata_size;
    }
    out->time_base = written.time_base;
    out->avg_frame_rate = written.avg_frame_rate;
    out->r_frame_rate = written.r_frame_rate;
    return 0;
}

int openRemux(Remux& remux, const std::string& from, const std::string& to, const AVFormatContext& written) {
    if (int opened = avformat_open_input(&remux.input, ("file:" + from).c_str(), nullptr, nullptr); opened < 0) {
        return opened;
    }
    if (remux.input->nb_streams != written.nb_streams) return AVERROR_INVALIDDATA;
    // The index is moved to the front by reading the file back by this name.
    const std::string url = "file:" + to;
    if (int made = avformat_alloc_output_context2(&remux.output, nullptr, "mp4", url.c_str()); made < 0) return made;
    remux.packet = av_packet_alloc();
    if (remux.packet == nullptr) return AVERROR(ENOMEM);
    for (unsigned i = 0; i < written.nb_streams; ++i) {
        if (int added = addStream(remux, *written.streams[i], *remux.input->streams[i]->codecpar); added < 0) {
            return added;
        }
    }
    return avio_open(&remux.output->pb, url.c_str(), AVIO_FLAG_WRITE);
}

// A stream's packet read last, waiting for the next one's decoding time.
struct Held {
    AVPacket* packet = nullptr;
    int64_t end = AV_NOPTS_VALUE;       // where the stream's pictures end
    int64_t firstCts = AV_NOPTS_VALUE;  // of its first packet: where the track's pictures begin
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { av_packet_free(&packet); }
};

// The container keeps a packet's time until the next one's decoding as its duration, the last
// one's as given, and ends the track's pictures where a packet's presentation plus its duration
// reaches farthest. So a packet lasts until the next one's decoding but never past the end,
// and the last is decoded as late as the first packet's offset allows (B-frames decode it well
// before it shows), to last until the end in both reckonings.
int writeHeld(Remux& remux, Held& held, int64_t nextDts) {
    AVPacket* packet = held.packet;
    if (packet == nullptr || packet->data == nullptr) return 0;
    const bool timed = packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE;
    if (timed && nextDts != AV_NOPTS_VALUE && nextDts > packet->dts) {
        packet->duration = nextDts - packet->dts;
        if (held.end != AV_NOPTS_VALUE && held.end > packet->pts) {
            packet->duration = std::min(packet->duration, held.end - packet->pts);
        }
    } else if (timed && nextDts == AV_NOPTS_VALUE && held.end != AV_NOPTS_VALUE && held.firstCts != AV_NOPTS_VALUE) {
        packet->dts = std::max(packet->dts, packet->pts - held.firstCts);
        if (held.end - held.firstCts > packet->dts) packet->duration = held.end - held.firstCts - packet->dts;
    }
    int written = av_interleaved_write_frame(remux.output, packet);
    av_packet_unref(packet);
    return written;
}

int copyPackets(Remux& remux, std::span<const int64_t> firstPts, std::span<const int64_t> ends,
                const AVFormatContext& written) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    int result = avformat_write_header(remux.output, &options);
    av_dict_free(&options);
    if (result < 0) return result;
    remux.headerWritten = true;
    std::vector<int64_t> shifts(remux.input->nb_streams, AV_NOPTS_VALUE);
    std::vector<Held> held(remux.input->nb_streams);
    while ((result = av_read_frame(remux.input, remux.packet)) >= 0) {
        AVPacket* packet = remux.packet;
        const auto stream = static_cast<unsigned>(packet->stream_index);
        if (stream >= shifts.size()) {
            av_packet_unref(packet);
            continue;
        }
        const AVRational from = remux.input->streams[stream]->time_base;
        const AVRational to = remux.output->streams[stream]->time_base;
        int64_t& shift = shifts[stream];
        if (shift == AV_NOPTS_VALUE) {
            const int64_t first = stream < firstPts.size() ? firstPts[stream] : AV_NOPTS_VALUE;
            shift = first == AV_NOPTS_VALUE || packet->pts == AV_NOPTS_VALUE
                        ? 0
                        : packet->pts - av_rescale_q(first, written.streams[stream]->time_base, from);
        }
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts -= shift;
        packet->pos = -1;
        av_packet_rescale_ts(packet, from, to);
        Held& waiting = held[stream];
        if (waiting.packet == nullptr) {
            if ((waiting.packet = av_packet_alloc()) == nullptr) return AVERROR(ENOMEM);
            const int64_t end = stream < ends.size() ? ends[stream] : AV_NOPTS_VALUE;
            if (end != AV_NOPTS_VALUE) waiting.end = av_rescale_q(end, written.streams[stream]->time_base, to);
            if (packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE) {
                waiting.firstCts = packet->pts - packet->dts;
            }
        }
        result = writeHeld(remux, waiting, packet->dts == AV_NOPTS_VALUE ? packet->pts : packet->dts);
        av_packet_move_ref(waiting.packet, packet);
        if (result < 0) return result;
    }
    if (result != AVERROR_EOF) return result;
    for (Held& waiting : held) {
        if ((result = writeHeld(remux, waiting, AV_NOPTS_VALUE)) < 0) return result;
    }
    result = av_write_trailer(remux.output);
    if (result < 0) return result;
    avio_flush(remux.output->pb);
    return remux.output->pb->error;
}

}  // namespace

int finishFragmentedMp4(const std::string& path, const AVFormatContext& written, std::span<const int64_t> firstPts,
                        std::span<const int64_t> ends, std::span<const MovieChapter> chapters) {
    const std::string temporary = path + ".reelcap-part";
    int result = 0;
    {
        Remux remux;
        result = openRemux(remux, path, temporary, written);
        if (result >= 0) result = addChapters(*remux.output, chapters);
        if (result >= 0) result = copyPackets(remux, firstPts, ends, written);
        if (result >= 0 && remux.output->pb != nullptr) result = avio_closep(&remux.output->pb);
    }
    if (result >= 0 && std::rename(temporary.c_str(), path.c_str()) != 0) result = AVERROR(errno);
    if (result < 0) unlink(temporary.c_str());
    return result < 0 ? result : 0;
}
