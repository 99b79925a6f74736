#pragma once
// The movie writer: one video stream, frames appended as key frames or through a compressor,
// through the AVI calls, and a narration laid under it if one is given.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/audio_track.h"
#include "platform/avi_file.h"
#include "platform/bitmap.h"
#include "platform/compression_dialog.h"
#include "platform/segment_encoder.h"
#include "emission/frame_sink.h"

using AviResult = uint32_t;
constexpr AviResult kAviErrOk = 0;                  // AVIERR_OK
constexpr AviResult kAviErrBadHandle = 0x8004406C;  // AVIERR_BADHANDLE
constexpr AviResult kAviErrBadParam = 0x8004406A;   // AVIERR_BADPARAM
constexpr AviResult kAviErrError = 0x800440C7;      // AVIERR_ERROR
constexpr AviResult kAviErrCompressor = 0x80044070; // AVIERR_COMPRESSOR
constexpr AviResult kAviErrUserAbort = 0x800440C6;  // AVIERR_USERABORT

// A movie: opened on a file, frames appended, closed by its owner (closed too when it goes).
class MovieWriter final : public FrameSink {
public:
    MovieWriter() = default;
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;
    ~MovieWriter() { close(); }

    // False when the file cannot be created; errno tells why. An open movie is closed first.
    bool open(const std::string& fileName, int32_t framePeriod);
    // The narration of the movies opened after, opened and placed by the caller. It keeps real
    // time, so their frames last exactly 1 / fps seconds rather than whole milliseconds.
    void setAudio(std::unique_ptr<AudioTrack> track, int32_t fps) {
        audio_ = std::move(track);
        audioFps_ = fps;
    }
    bool isOpen() const { return file_ != nullptr; }
    // Closes the movie, if one is open; a failure is reported then.
    void close();

    // True once a stream step or frame write failed (not a cancelled choice); the run then ends
    // with exit status 1.
    bool writeFailed() const { return writeFailed_; }

    // The record the compression dialog starts from, and the dialog that asks.
    AviCompressOptions& compressionOptions() { return options_; }
    CompressionDialog& compressionDialog() { return dialog_; }
    // All zero, then dwFlags 9 and dwInterleaveEvery 1.
    void resetCompressionOptions();

    // A first pass over the recording: while on, frames given to the writer only teach it their
    // colours, and nothing is written or said. The GIF file written after gets them before its
    // first frame, so that it is written as it goes with one palette.
    void learnColours(bool on);
    // Colours known before the run, in place of a first pass: the GIF file's palette.
    void useColours(const SharedPalette& palette);
    // No colours known: the frames keep their own.
    void forgetColours() { colours_ = LearnedColours{}; }

    // The jobs the movies opened after run on (see aviStreamSetJobs); 1 by default. A movie
    // planned in segments encodes them at once; any other runs one encoder.
    void setJobs(size_t jobs) { jobs_ = jobs; }

    // The movie's length so far: the frames written, each lasting whole milliseconds.
    int64_t lengthMillis() const { return int64_t{frameCount_} * (framePeriod_ > 0 ? framePeriod_ : 1); }
    // Chapters for the open movie, written when it is closed (MP4, Matroska).
    void setChapters(std::vector<MovieChapter> chapters);

    AviResult setCompression(const Bitmap* bitmap) override;
    AviResult addFrame(const Bitmap* bitmap) override;

    // A pass that plans a movie encoded in segments: frames are counted and their stream set
    // up, but their pixels are not read; the segments, handed over with produceSegment, encode
    // them on the workers.
    void planFrames(bool on) { planning_ = on; }
    int32_t frameCount() const { return frameCount_; }
    // Hands over a segment that encodes its own frames (see SegmentEncoder::produce); next: the
    // position the following segment starts at, -1 for the last.
    AviResult produceSegment(SegmentProducer producer, int64_t next);
    // Waits for every segment handed over and writes their packets.
    AviResult finishSegments();

    // The colours of the frames of a first pass, for a GIF file's palette.
    struct LearnedColours {
        bool learning = false;
        bool learned = false;
        uint64_t lastVersion = 0;                       // of the last bitmap learned from
        std::vector<uint8_t> seen;                      // its pixels
        std::unordered_map<uint64_t, size_t> seenRows;  // where a row of them starts, by its rowKey
        SharedPalette palette;
    };

private:
    void reportFailure(AviResult code);
    AviResult fail(AviResult code);
    AviResult createVideoStream(const BitmapInfoHeader& header);
    AviResult setStreamFormat(const BitmapInfoHeader& header);
    AviResult makeCompressedStream(const AviCompressOptions& options);

    std::unique_ptr<AudioTrack> audio_;
    int32_t audioFps_ = 0;
    size_t jobs_ = 1;
    AviFile* file_ = nullptr;
    int32_t framePeriod_ = 0;  // milliseconds per frame
    AviStream* videoStream_ = nullptr;
    AviStream* compressedStream_ = nullptr;
    int32_t frameCount_ = 0;  // frames written, and the position of the next one
    bool failed_ = false;     // sticky: nothing more is written
    std::string fileName_;
    bool failureReported_ = false;
    uint64_t lastVersion_ = 0;  // the version of the last frame's bitmap; 0: none known
    bool writeFailed_ = false;  // outlives the file: the run's exit status
    bool planning_ = false;
    AviCompressOptions options_{};
    CompressionDialog dialog_{};
    LearnedColours colours_{};
};

std::string lastErrorText();
