#include "platform/codecs.h"

#include <strings.h>

namespace {

constexpr ContainerSet kAvi = containerBit(MovieContainer::avi);
constexpr ContainerSet kMp4 = containerBit(MovieContainer::mp4);
constexpr ContainerSet kMatroska = containerBit(MovieContainer::matroska);
constexpr ContainerSet kWebm = containerBit(MovieContainer::webm);
constexpr ContainerSet kGif = containerBit(MovieContainer::gif);

// zmbv and ffv1 take the pixels as they are, so they stay lossless. Terminal screens scroll by
// whole text rows, further than zmbv's motion search reaches, so its search is cut to one
// pixel (the default of 8 takes five times as long on a scrolling screen, for a fifth fewer
// bytes); zlib level 6 instead of 9 is three to four times faster on busy screens for a tenth
// more bytes. Key frames come as each compressor spaces them by default (zmbv: every 25). ffv1
// takes level 3 (RFC 9043) with slices on two threads and checksums, and the range coder, which
// makes terminal screens 40 to 60 percent smaller than the default Golomb coder for a third to
// a half more time. (bench/codec_study compares these settings.)
// mjpeg and h264 use 4:2:0 because that is what hardware decoders and most players accept; for
// h264, crf 18 keeps text edges clean and "stillimage" lowers the deblocking that would soften
// them, while the mostly unchanged frames of a terminal cost almost nothing either way. x264 on
// one thread with a lookahead of 3 frames holds about 25 MB rather than 90 (its frame threads and
// lookahead of 40 each keep frames), for files a quarter smaller than with no lookahead at all;
// its veryfast preset takes half the time of the default for a tenth more bytes. Its uneven
// multi-hexagon search over 24 pixels finds a scroll by one text row (20 pixels), which the
// preset's hexagon search misses: a scrolling screen's movie is 25 to 45 percent smaller for the
// same time. vp9 and av1 are
// for browsers too, so 4:2:0 as well, at constant quality in the encoders' real-time modes: on
// terminal screens these are several times faster than their slower modes and hardly larger. gif
// gets palette indexes from us.
constexpr CodecChoice kCodecs[] = {
    {"dib", "uncompressed 32-bit frames, the largest files (default)", kCompressorDib, kAvi,
     {nullptr, "bgr0", nullptr, 0, ""}},
    {"zmbv", "Zip Motion Blocks Video: lossless, made for screen content, small (recommended)", fourcc("ZMBV"),
     kAvi | kMatroska, {"zmbv", "bgr0", nullptr, 0, "me_range=1:compression_level=6"}},
    {"ffv1", "FFV1: lossless, larger than zmbv on terminal screens", fourcc("FFV1"), kAvi | kMatroska,
     {"ffv1", "bgr0", nullptr, 0, "level=3:coder=range_def:slices=4:slicecrc=1:threads=2"}},
    {"mjpeg", "Motion JPEG: lossy, every frame a picture of its own, plays almost anywhere", fourcc("MJPG"),
     kAvi | kMatroska, {"mjpeg", "yuvj420p", "pc", 2, ""}},
    {"h264", "H.264 by x264 (4:2:0, crf 18): small, for common players and the web", fourcc("H264"),
     kAvi | kMp4 | kMatroska,
     {"libx264", "yuv420p", "tv", 0, "crf=18:tune=stillimage:preset=veryfast:threads=1:rc-lookahead=3:motion-est=umh:me_range=24"}},
    {"vp9", "VP9 by libvpx (4:2:0): small, plays in browsers; .webm, .mp4, .mkv", kCompressorVp9,
     kMp4 | kMatroska | kWebm,
     {"libvpx-vp9", "yuv420p", "tv", 0, "crf=32:b=0:deadline=realtime:cpu-used=7:row-mt=1:tune-content=screen"}},
    {"av1", "AV1 by libaom (4:2:0): smaller than vp9 in .webm, .mp4, .mkv", kCompressorAv1, kMp4 | kMatroska | kWebm,
     {"libaom-av1", "yuv420p", "tv", 0, "crf=24:usage=realtime:cpu-used=8"}},
    {"gif", "GIF with exact colours, for .gif files", kCompressorGif, kGif, {"gif", "pal8", nullptr, 0, ""}},
};

constexpr MovieContainerInfo kContainers[] = {
    {MovieContainer::avi, ".avi", "AVI", kCompressorDib, "avi"},
    {MovieContainer::mp4, ".mp4", "MP4", fourcc("H264"), "mp4"},
    {MovieContainer::matroska, ".mkv", "Matroska", fourcc("H264"), "matroska"},
    {MovieContainer::webm, ".webm", "WebM", kCompressorVp9, "webm"},
    {MovieContainer::gif, ".gif", "GIF", kCompressorGif, "gif"},
};

bool sameLetters(std::string_view known, std::string_view text) {
    return known.size() == text.size() && strncasecmp(known.data(), text.data(), known.size()) == 0;
}

}  // namespace

std::span<const CodecChoice> codecChoices() { return kCodecs; }

const CodecChoice* findCodecChoice(std::string_view name) {
    for (const CodecChoice& codec : kCodecs) {
        if (sameLetters(codec.name, name)) return &codec;
    }
    return nullptr;
}

const CodecChoice* codecWithFourcc(uint32_t compressor) {
    if (compressor == 0) compressor = kCompressorDib;
    for (const CodecChoice& codec : kCodecs) {
        if (codec.fourcc == compressor) return &codec;
    }
    return nullptr;
}

const CodecChoice* defaultCodecChoice(MovieContainer container) {
    if (container == MovieContainer::avi) return nullptr;
    for (const MovieContainerInfo& info : kContainers) {
        if (info.container == container) return codecWithFourcc(info.defaultCompressor);
    }
    return nullptr;
}

std::span<const MovieContainerInfo> movieContainers() { return kContainers; }

const MovieContainerInfo& movieContainerFor(std::string_view path) {
    size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != std::string_view::npos) {
        for (const MovieContainerInfo& info : kContainers) {
            if (sameLetters(info.extension, name.substr(dot))) return info;
        }
    }
    return kContainers[0];
}

bool movieContainerHolds(MovieContainer container, uint32_t compressor) {
    const CodecChoice* codec = codecWithFourcc(compressor);
    return codec != nullptr && (codec->containers & containerBit(container)) != 0;
}
