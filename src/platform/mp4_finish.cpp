#include "platform/mp4_finish.h"

#include <unistd.h>

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

int copyPackets(Remux& remux, std::span<const int64_t> firstPts, const AVFormatContext& written) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    int result = avformat_write_header(remux.output, &options);
    av_dict_free(&options);
    if (result < 0) return result;
    remux.headerWritten = true;
    std::vector<int64_t> shifts(remux.input->nb_streams, AV_NOPTS_VALUE);
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
        result = av_interleaved_write_frame(remux.output, packet);
        av_packet_unref(packet);
        if (result < 0) return result;
    }
    if (result != AVERROR_EOF) return result;
    result = av_write_trailer(remux.output);
    if (result < 0) return result;
    avio_flush(remux.output->pb);
    return remux.output->pb->error;
}

}  // namespace

int finishFragmentedMp4(const std::string& path, const AVFormatContext& written, std::span<const int64_t> firstPts) {
    const std::string temporary = path + ".reelcap-part";
    int result = 0;
    {
        Remux remux;
        result = openRemux(remux, path, temporary, written);
        if (result >= 0) result = copyPackets(remux, firstPts, written);
        if (result >= 0 && remux.output->pb != nullptr) result = avio_closep(&remux.output->pb);
    }
    if (result >= 0 && std::rename(temporary.c_str(), path.c_str()) != 0) result = AVERROR(errno);
    if (result < 0) unlink(temporary.c_str());
    return result < 0 ? result : 0;
}
