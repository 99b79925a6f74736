#pragma once
// A narration laid under a movie: any audio file FFmpeg reads, decoded, resampled and encoded
// for the movie's container (AAC in MP4, Opus in Matroska and WebM) as one stream of the muxer.
// Its packets are written as the video advances, up to the video's time, so that the muxer never
// holds more than a moment of either. Times are microseconds on the movie's clock unless named
// otherwise. Results are 0 or a negative FFmpeg error number.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/codecs.h"

class Muxer;

struct AudioTrackOptions {
    std::string path;
    // The audio's own time at the movie's start: positive cuts that much of its start, negative
    // starts it that much into the movie.
    int64_t audioAtStart = 0;
    int64_t cutAt = -1;  // nothing plays from this movie time on; negative: the movie's end
};

class AudioTrack {
public:
    explicit AudioTrack(AudioTrackOptions options);
    AudioTrack(const AudioTrack&) = delete;
    AudioTrack& operator=(const AudioTrack&) = delete;
    ~AudioTrack();

    // Opens the file and decodes its first sound, before any movie is touched; empty on success,
    // else why it cannot be used, in plain words.
    std::string open();

    // The encoder for the muxer's container and its stream; before the muxer's header.
    int addStream(Muxer& muxer);
    // The track begins at first (the video's first time as the container shifts it; 0 or before),
    // with silence until the narration; nothing is written before.
    void start(int64_t first);
    // Sound up to movie time `until`, in whole encoder frames.
    int writeUpTo(Muxer& muxer, int64_t until);
    // The rest, up to the movie's end at `end`; the encoder's held-back packets with it.
    int finish(Muxer& muxer, int64_t end);

    struct State;

private:
    int encodeUpTo(Muxer& muxer, int64_t lastSample, bool final);

    AudioTrackOptions options_;
    std::unique_ptr<State> state_;
};

// The containers that hold a narration, as messages name them.
inline constexpr char kAudioContainers[] = "MP4, Matroska or WebM (.mp4, .mkv, .webm)";
bool containerTakesAudio(MovieContainer container);
