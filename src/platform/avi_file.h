#pragma once
// The AVI file and stream calls the movie writer needs, in their call shapes, as an adapter over
// the muxer (platform/muxer.h) and a video encoder per stream. The same calls write MP4,
// Matroska, WebM and GIF files when the file name asks for one.
//
// Results are 0 on success, otherwise an FFmpeg error number (a negative AVERROR value) read
// as an unsigned 32-bit code; aviFileErrorText gives its text. These calls keep one video stream
// a file, and a narration beside it (the muxer takes any number); streams must be released
// before their file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/codecs.h"
#include "platform/gif_palette.h"
#include "platform/little_endian.h"
#include "platform/movie_chapters.h"
#include "platform/row_store.h"
#include "platform/segment_encoder.h"

class AudioTrack;
struct AviFile;
struct AviStream;

constexpr uint32_t kStreamTypeVideo = fourcc("vids");  // streamtypeVIDEO
constexpr uint32_t kAviKeyFrameFlag = 0x10;            // AVIIF_KEYFRAME
// Ours: the data holds the same pixels as the stream's previous write, so what was made of
// them then (the converted picture) is used again.
constexpr uint32_t kAviSameFrameFlag = 0x80000000;

// The fields of AVICOMPRESSOPTIONS. The blocks behind lpFormat and lpParms are never filled here.
struct AviCompressOptions {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;  // the compressor; 0 or kCompressorDib: uncompressed frames
    uint32_t dwKeyFrameEvery = 0;
    uint32_t dwQuality = 0;
    uint32_t dwBytesPerSecond = 0;
    uint32_t dwFlags = 0;
    void* lpFormat = nullptr;
    uint32_t cbFormat = 0;
    void* lpParms = nullptr;
    uint32_t cbParms = 0;
    uint32_t dwInterleaveEvery = 0;
};

struct AviRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// The fields of AVISTREAMINFO that a video stream header uses; the others are zero.
struct AviStreamInfo {
    uint32_t fccType = 0;
    uint32_t fccHandler = 0;
    uint32_t dwScale = 0;  // seconds per frame = dwScale / dwRate
    uint32_t dwRate = 0;
    uint32_t dwQuality = 0;
    uint32_t dwSuggestedBufferSize = 0;
    AviRect rcFrame;
};

// Creates (or empties) the file at once, in the container its name asks for; on failure *file
// stays null and errno says why.
uint32_t aviFileOpen(AviFile** file, const std::string& path);

// A narration laid under the video (MP4, Matroska and WebM files only), its stream added with
// the header and its sound written as the frames advance; the track outlives the file.
uint32_t aviFileAttachAudio(AviFile* file, AudioTrack* track);

// The stream of uncompressed frames, timed from info.
uint32_t aviFileCreateStream(AviFile* file, AviStream** stream, const AviStreamInfo& info);

// A stream on top of source that encodes with options.fccHandler's compressor.
uint32_t aviMakeCompressedStream(AviStream** compressed, AviStream* source, const AviCompressOptions& options);

// The colours of every frame a stream will be given, known or learned beforehand: a GIF's
// frames then share one palette and go to the file as they come, and zmbv takes 8-bit frames.
// Set before the format.
uint32_t aviStreamSetColours(AviStream* stream, const SharedPalette& colours);

// The jobs a compressed stream runs on (at most the usable cores); 1 by default. segmented:
// its frames come as segments (aviStreamProduce), encoded at once, one a job; otherwise one
// encoder takes them, x264 on the jobs' threads. Set before the format.
uint32_t aviStreamSetJobs(AviStream* stream, size_t jobs, bool segmented = false);

// format is a BITMAPINFOHEADER of a 32-bit BI_RGB bitmap; the first call fixes the frame size.
uint32_t aviStreamSetFormat(AviStream* stream, int32_t position, const void* format, int32_t length);

// One frame of length bytes in the layout the format describes, at frame index position (not
// to a stream encoded in segments).
// changed: the rows (the picture's top one 0) that may differ from the frame written before;
// null: any.
uint32_t aviStreamWrite(AviStream* stream, int32_t position, int32_t samples, const void* data, int32_t length,
                        uint32_t flags, const RowsChanged* changed = nullptr);

// A stream encoded in segments (more than one job) takes a segment that encodes its own frames
// on a worker (see SegmentEncoder::produce) instead of frames written one by one.
uint32_t aviStreamProduce(AviStream* stream, SegmentProducer producer, int64_t next);
// Every segment handed over is encoded and its packets written.
uint32_t aviStreamFinishSegments(AviStream* stream);

// A compressed stream hands its encoder's held-back frames to the file before it goes.
uint32_t aviStreamRelease(AviStream* stream);

// The chapters the file gets when it is completed, where its container keeps chapters.
uint32_t aviFileSetChapters(AviFile* file, std::vector<MovieChapter> chapters);

// Completes the file (index, sizes) and closes it.
uint32_t aviFileRelease(AviFile* file);

std::string aviFileErrorText(uint32_t code);
