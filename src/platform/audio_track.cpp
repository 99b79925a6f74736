#include "platform/audio_track.h"

#include <algorithm>
#include <cerrno>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include "platform/muxer.h"

namespace {

// Every encoder here takes 48 kHz (Opus takes nothing between it and 24 kHz), and a narration
// needs no more than two channels.
constexpr int kSampleRate = 48000;
constexpr AVRational kSampleTime{1, kSampleRate};
constexpr int kMostChannels = 2;
constexpr int64_t kBitsPerSecondPerChannel = 64000;
constexpr int64_t kSilenceChunk = 4096;  // samples of silence made at a time

int64_t samplesOf(int64_t micros) { return av_rescale(micros, kSampleRate, 1000000); }

std::string errorText(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return text;
}

// The stream declares no samples to skip: its first packet's priming plays (see addStream).
// Opus keeps its count in its header too.
void withoutPreSkip(AVCodecParameters& parameters) {
    parameters.initial_padding = 0;
    constexpr int kOpusPreSkipAt = 10;
    if (parameters.codec_id == AV_CODEC_ID_OPUS && parameters.extradata_size >= kOpusPreSkipAt + 2) {
        parameters.extradata[kOpusPreSkipAt] = 0;
        parameters.extradata[kOpusPreSkipAt + 1] = 0;
    }
}

}  // namespace

struct AudioTrack::State {
    AVFormatContext* input = nullptr;
    int inputStream = -1;
    AVCodecContext* decoder = nullptr;
    AVCodecContext* encoder = nullptr;
    SwrContext* resampler = nullptr;
    AVAudioFifo* fifo = nullptr;  // resampled sound from movie sample `next` on
    AVPacket* packet = nullptr;
    AVFrame* decoded = nullptr;
    bool pendingFrame = false;    // decoded holds a frame not yet resampled
    bool inputEnded = false;      // the decoder and the resampler are drained
    bool ended = false;           // a last, short frame went to the encoder: nothing more does
    bool flushed = false;
    bool started = false;         // the track's first movie sample is known
    int stream = -1;              // the muxer's
    int64_t skip = 0;             // resampled samples still to drop before the movie's start
    int64_t silence = 0;          // silent samples still to give before the narration begins
    int64_t next = 0;             // the movie sample the fifo's first sample plays at
    int64_t padding = 0;          // the encoder's priming, in samples

    ~State() {
        avformat_close_input(&input);
        avcodec_free_context(&decoder);
        avcodec_free_context(&encoder);
        swr_free(&resampler);
        if (fifo != nullptr) av_audio_fifo_free(fifo);
        av_packet_free(&packet);
        av_frame_free(&decoded);
    }

    // The next frame from the decoder into `decoded`: 0, AVERROR_EOF at the end of the sound,
    // or a failure to read.
    int decodeFrame() {
        for (;;) {
            int received = avcodec_receive_frame(decoder, decoded);
            if (received != AVERROR(EAGAIN)) return received;
            int read = av_read_frame(input, packet);
            if (read < 0) {
                // A file that breaks off ends the narration there.
                avcodec_send_packet(decoder, nullptr);
                continue;
            }
            if (packet->stream_index == inputStream) {
                // A damaged packet is left out; the sound goes on after it.
                int sent = avcodec_send_packet(decoder, packet);
                if (sent < 0 && sent != AVERROR_INVALIDDATA) {
                    av_packet_unref(packet);
                    return sent;
                }
            }
            av_packet_unref(packet);
        }
    }

    // Resampled sound into the fifo, from the decoded frame or, with none, what the resampler
    // still holds; the samples before the movie's start are dropped.
    int resample(const AVFrame* frame) {
        const int inCount = frame != nullptr ? frame->nb_samples : 0;
        const int room = swr_get_out_samples(resampler, inCount);
        if (room < 0) return room;
        if (room == 0) return 0;
        AVFrame* out = av_frame_alloc();
        if (out == nullptr) return AVERROR(ENOMEM);
        out->format = encoder->sample_fmt;
        out->nb_samples = room;
        int result = av_channel_layout_copy(&out->ch_layout, &encoder->ch_layout);
        if (result >= 0) result = av_frame_get_buffer(out, 0);
        if (result >= 0) {
            const auto** in = frame != nullptr ? const_cast<const uint8_t**>(frame->extended_data) : nullptr;
            result = swr_convert(resampler, out->data, room, in, inCount);
        }
        if (result > 0) result = av_audio_fifo_write(fifo, reinterpret_cast<void**>(out->data), result);
        av_frame_free(&out);
        if (result < 0) return result;
        const int64_t dropped = std::min<int64_t>(skip, av_audio_fifo_size(fifo));
        if (dropped > 0) av_audio_fifo_drain(fifo, static_cast<int>(dropped));
        skip -= dropped;
        return 0;
    }

    // More sound into the fifo, silence once the narration has ended: 0, or a failure.
    int fill() {
        if (silence > 0) {
            const int count = static_cast<int>(std::min<int64_t>(silence, kSilenceChunk));
            uint8_t* planes[kMostChannels] = {};
            int result =
                av_samples_alloc(planes, nullptr, encoder->ch_layout.nb_channels, count, encoder->sample_fmt, 0);
            if (result >= 0) {
                av_samples_set_silence(planes, 0, count, encoder->ch_layout.nb_channels, encoder->sample_fmt);
                result = av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes), count);
            }
            av_freep(&planes[0]);
            silence -= count;
            return result < 0 ? result : 0;
        }
        if (inputEnded) {
            // The track goes on in silence to the movie's end, so that it always has packets.
            silence = kSilenceChunk;
            return fill();
        }
        if (!pendingFrame) {
            int decodedNow = decodeFrame();
            if (decodedNow == AVERROR_EOF) {
                inputEnded = true;
                return resample(nullptr);
            }
            if (decodedNow < 0) return decodedNow;
        }
        pendingFrame = false;
        int result = resample(decoded);
        av_frame_unref(decoded);
        return result;
    }

    int drainEncoder(Muxer& muxer) {
        for (;;) {
            int received = avcodec_receive_packet(encoder, packet);
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return 0;
            if (received < 0) return received;
            if (int written = muxer.writePacket(stream, *packet, encoder->time_base)) return written;
        }
    }

    // count samples from the fifo, at movie sample `next`.
    int encode(Muxer& muxer, int count) {
        AVFrame* frame = av_frame_alloc();
        if (frame == nullptr) return AVERROR(ENOMEM);
        frame->format = encoder->sample_fmt;
        frame->nb_samples = count;
        frame->sample_rate = kSampleRate;
        int result = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
        if (result >= 0) result = av_frame_get_buffer(frame, 0);
        if (result >= 0) result = av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), count);
        if (result >= 0) {
            frame->pts = next;
            next += count;
            result = avcodec_send_frame(encoder, frame);
        }
        av_frame_free(&frame);
        return result < 0 ? result : drainEncoder(muxer);
    }
};

AudioTrack::AudioTrack(AudioTrackOptions options) : options_(std::move(options)), state_(std::make_unique<State>()) {}

AudioTrack::~AudioTrack() = default;

std::string AudioTrack::open() {
    State& s = *state_;
    av_log_set_level(AV_LOG_QUIET);  // failures are reported through the results
    const std::string name = "the narration " + options_.path;
    const std::string what = "; give a sound file FFmpeg reads (WAV, FLAC, MP3, Ogg, M4A).";
    if (int opened = avformat_open_input(&s.input, ("file:" + options_.path).c_str(), nullptr, nullptr); opened < 0) {
        return "Error: cannot read " + name + ": " + errorText(opened) + what;
    }
    avformat_find_stream_info(s.input, nullptr);
    const AVCodec* codec = nullptr;
    s.inputStream = av_find_best_stream(s.input, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (s.inputStream < 0 || codec == nullptr) {
        return "Error: " + options_.path + " holds no sound FFmpeg can decode" + what;
    }
    s.decoder = avcodec_alloc_context3(codec);
    s.packet = av_packet_alloc();
    s.decoded = av_frame_alloc();
    if (s.decoder == nullptr || s.packet == nullptr || s.decoded == nullptr) return "Error: out of memory";
    int result = avcodec_parameters_to_context(s.decoder, s.input->streams[s.inputStream]->codecpar);
    if (result >= 0) result = avcodec_open2(s.decoder, codec, nullptr);
    if (result >= 0) result = s.decodeFrame();
    if (result == AVERROR_EOF) return "Error: " + options_.path + " holds no sound" + what;
    if (result < 0) return "Error: cannot decode " + name + ": " + errorText(result) + what;
    if (s.decoder->ch_layout.nb_channels <= 0 || s.decoder->sample_rate <= 0) {
        return "Error: " + options_.path + " does not say how its sound is laid out" + what;
    }
    s.pendingFrame = true;
    return {};
}

int AudioTrack::addStream(Muxer& muxer) {
    State& s = *state_;
    if (s.decoder == nullptr || s.encoder != nullptr) return AVERROR(EINVAL);
    const char* name = muxer.container() == MovieContainer::mp4 ? "aac" : "libopus";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
    s.encoder = avcodec_alloc_context3(codec);
    if (s.encoder == nullptr) return AVERROR(ENOMEM);
    const int channels = std::min(s.decoder->ch_layout.nb_channels, kMostChannels);
    av_channel_layout_default(&s.encoder->ch_layout, channels);
    s.encoder->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    s.encoder->sample_rate = kSampleRate;
    s.encoder->time_base = kSampleTime;
    s.encoder->bit_rate = kBitsPerSecondPerChannel * channels;
    if (muxer.wantsGlobalHeader()) s.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int opened = avcodec_open2(s.encoder, codec, nullptr); opened < 0) return opened;

    AVChannelLayout inputLayout{};
    if (s.decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&inputLayout, s.decoder->ch_layout.nb_channels);
    } else if (int copied = av_channel_layout_copy(&inputLayout, &s.decoder->ch_layout); copied < 0) {
        return copied;
    }
    int result = swr_alloc_set_opts2(&s.resampler, &s.encoder->ch_layout, s.encoder->sample_fmt, kSampleRate,
                                     &inputLayout, s.decoder->sample_fmt, s.decoder->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inputLayout);
    if (result >= 0) result = swr_init(s.resampler);
    if (result < 0) return result;
    s.fifo = av_audio_fifo_alloc(s.encoder->sample_fmt, channels, std::max(s.encoder->frame_size, 1));
    if (s.fifo == nullptr) return AVERROR(ENOMEM);

    s.padding = s.encoder->initial_padding;

    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (parameters == nullptr) return AVERROR(ENOMEM);
    result = avcodec_parameters_from_context(parameters, s.encoder);
    withoutPreSkip(*parameters);
    if (result >= 0) result = s.stream = muxer.addStream(*parameters, kSampleTime);
    avcodec_parameters_free(&parameters);
    return result < 0 ? result : 0;
}

// Whole encoder frames up to lastSample (exclusive), and with final the short frame left before it.
int AudioTrack::encodeUpTo(Muxer& muxer, int64_t lastSample, bool final) {
    State& s = *state_;
    if (s.encoder == nullptr || s.stream < 0 || !s.started) return 0;
    if (options_.cutAt >= 0) lastSample = std::min(lastSample, samplesOf(options_.cutAt));
    const int frameSize = s.encoder->frame_size > 0 ? s.encoder->frame_size : 1024;
    while (!s.ended && s.next < lastSample) {
        const int wanted = static_cast<int>(std::min<int64_t>(frameSize, lastSample - s.next));
        if (wanted < frameSize && !final) break;
        int filled = 0;
        while (av_audio_fifo_size(s.fifo) < wanted && (filled = s.fill()) == 0) {
        }
        if (filled < 0) return filled;
        if (wanted < frameSize) s.ended = true;  // the encoder takes one short frame, the last
        if (int encoded = s.encode(muxer, wanted)) return encoded;
    }
    if (!final || s.flushed) return 0;
    s.flushed = true;
    if (int sent = avcodec_send_frame(s.encoder, nullptr); sent < 0) return sent;
    return s.drainEncoder(muxer);
}

// An encoder's first packet decodes to its priming, not to sound. The track starts with that
// packet at the video's first packet's time (its decoding time in MP4), and the priming plays as
// a moment of near silence, the narration moved ahead by as much: every packet is then at the
// time of the sound it decodes to, no container needs an edit list or a pre-skip, and the
// stream's times shift as the video's do where the container keeps them from going negative.
// Silence fills the track until the narration begins (an MP4 fragment cannot say that a track
// starts later than the others).
void AudioTrack::start(int64_t first) {
    State& s = *state_;
    if (s.started || s.encoder == nullptr) return;
    s.started = true;
    s.next = std::min<int64_t>(samplesOf(first), 0) + s.padding;
    const int64_t lead = s.next + samplesOf(options_.audioAtStart);
    s.skip = std::max<int64_t>(lead, 0);
    s.silence = std::max<int64_t>(-lead, 0);
}

int AudioTrack::writeUpTo(Muxer& muxer, int64_t until) { return encodeUpTo(muxer, samplesOf(until), false); }

int AudioTrack::finish(Muxer& muxer, int64_t end) {
    start(0);
    return encodeUpTo(muxer, samplesOf(end), true);
}

bool containerTakesAudio(MovieContainer container) {
    return container == MovieContainer::mp4 || container == MovieContainer::matroska ||
           container == MovieContainer::webm;
}
