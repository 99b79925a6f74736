#include "emission/movie_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/messages.h"

namespace {

constexpr uint32_t kMillisecondsPerSecond = 1000;

// A few words of a pixel row, which tell rows apart often enough to find one that moved.
uint64_t rowKey(const uint8_t* row, size_t stride) {
    uint64_t key = stride;
    for (size_t i = 1; i <= 8; ++i) {
        uint64_t word = 0;
        std::memcpy(&word, row + (stride - 8) * i / 8, 8);
        key = (key ^ word) * 0x100000001B3u;
    }
    return key;
}

// A bitmap's colours, top row first, as the encoder would meet them. A row that the bitmap
// learned last also held, where it was or elsewhere (a scroll moves rows), brings no colour that
// is not known already, so only the others are scanned; when this bitmap tells which rows
// changed since that one, the rest are not even compared.
void learnColoursOf(MovieWriter::LearnedColours& colours, const DibSection& dib, const Bitmap& bitmap) {
    const uint64_t version = bitmap.version;
    if (version != 0 && version == colours.lastVersion) return;
    const bool follows = version != 0 && colours.lastVersion != 0 && bitmap.changedSince == colours.lastVersion;
    colours.lastVersion = version;
    if (colours.palette.count == kTransparentIndex) return;  // full: nothing more is taken in
    const BitmapInfoHeader& header = dib.dsBmih;
    const int height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    const size_t stride = static_cast<size_t>(header.biWidth) * 4;
    const size_t size = stride * static_cast<size_t>(height);
    const bool compared = colours.seen.size() == size && stride >= 8;
    const RowsChanged& changed = bitmap.changed;
    const bool told = follows && compared;
    auto untouched = [&](int y) { return told && changed.keeps(y); };
    auto seenBefore = [&](const uint8_t* row, size_t at) {
        if (!compared) return false;
        if (std::memcmp(row, colours.seen.data() + at, stride) == 0) return true;
        auto found = colours.seenRows.find(rowKey(row, stride));
        return found != colours.seenRows.end() && std::memcmp(row, colours.seen.data() + found->second, stride) == 0;
    };
    auto offsetOf = [&](int y) { return stride * static_cast<size_t>(header.biHeight > 0 ? height - 1 - y : y); };
    for (int y = 0; y < height; ++y) {
        const size_t at = offsetOf(y);
        const uint8_t* row = dib.bmBits + at;
        if (untouched(y) || seenBefore(row, at)) continue;
        mapToSharedPalette(colours.palette, PixelRows{row, static_cast<int>(stride), header.biWidth, 1}, IndexRows{});
    }
    if (told) {
        // The rows outside the band are those seen already; a row's key left behind by one that
        // changed finds a row that no longer matches, and is compared in vain.
        for (int y = std::max(changed.top, 0); y <= std::min(changed.bottom, height - 1); ++y) {
            const size_t at = offsetOf(y);
            if (untouched(y)) continue;
            std::memcpy(colours.seen.data() + at, dib.bmBits + at, stride);
            colours.seenRows.insert_or_assign(rowKey(dib.bmBits + at, stride), at);
        }
        return;
    }
    colours.seen.assign(dib.bmBits, dib.bmBits + size);
    colours.seenRows.clear();
    for (size_t at = 0; stride >= 8 && at < size; at += stride) {
        colours.seenRows.emplace(rowKey(dib.bmBits + at, stride), at);
    }
}

// The dialog attaches no blocks to the options, so releasing its choice only forgets them.
void freeSaveOptions(AviCompressOptions& options) {
    options.lpFormat = nullptr;
    options.cbFormat = 0;
    options.lpParms = nullptr;
    options.cbParms = 0;
}

// The system's text keeps its own line end, so a blank line follows it.
void printGetObjectFailure() {
    std::printf("GetObject: %s\n", lastErrorText().c_str());
    std::fflush(stdout);
}

}  // namespace

// A failed stream step is reported once, when it happens; the run goes on without the movie.
void MovieWriter::reportFailure(AviResult code) {
    if (failureReported_) return;
    failureReported_ = true;
    writeFailed_ = true;
    printDiagnostic("Error: writing " + fileName_ + " failed: " + aviFileErrorText(code));
}

AviResult MovieWriter::fail(AviResult code) {
    failed_ = true;
    reportFailure(code);
    return code;
}

AviResult MovieWriter::createVideoStream(const BitmapInfoHeader& header) {
    AviStreamInfo info;
    info.fccType = kStreamTypeVideo;
    // More than 1000 frames per second would make the period 0, which no timing can carry.
    info.dwScale = static_cast<uint32_t>(framePeriod_ > 0 ? framePeriod_ : 1);
    info.dwRate = kMillisecondsPerSecond;
    if (audio_ != nullptr && audioFps_ > 0) {
        info.dwScale = 1;
        info.dwRate = static_cast<uint32_t>(audioFps_);
    }
    info.dwSuggestedBufferSize = header.biSizeImage;
    info.rcFrame = {0, 0, header.biWidth, header.biHeight};
    AviResult result = aviFileCreateStream(file_, &videoStream_, info);
    return result == kAviErrOk ? kAviErrOk : fail(result);
}

AviResult MovieWriter::setStreamFormat(const BitmapInfoHeader& header) {
    auto length = static_cast<int32_t>(header.biSize + 4 * header.biClrUsed);
    AviResult result = aviStreamSetFormat(compressedStream_, 0, &header, length);
    return result == kAviErrOk ? kAviErrOk : fail(result);
}

AviResult MovieWriter::makeCompressedStream(const AviCompressOptions& options) {
    AviResult result = aviMakeCompressedStream(&compressedStream_, videoStream_, options);
    if (result == kAviErrOk) result = aviStreamSetJobs(compressedStream_, jobs_, planning_);
    if (result == kAviErrOk && colours_.learned) {
        result = aviStreamSetColours(compressedStream_, colours_.palette);
    }
    return result == kAviErrOk ? kAviErrOk : fail(result);
}

bool MovieWriter::open(const std::string& fileName, int32_t framePeriod) {
    close();
    AviFile* file = nullptr;
    if (aviFileOpen(&file, fileName) != kAviErrOk) return false;
    if (audio_ != nullptr && aviFileAttachAudio(file, audio_.get()) != kAviErrOk) {
        aviFileRelease(file);
        errno = EINVAL;
        return false;
    }
    file_ = file;
    framePeriod_ = framePeriod;
    videoStream_ = nullptr;
    compressedStream_ = nullptr;
    frameCount_ = 0;
    failed_ = false;
    fileName_ = fileName;
    failureReported_ = false;
    lastVersion_ = 0;
    return true;
}

void MovieWriter::close() {
    if (file_ == nullptr) return;
    // A compressor may still hold frames: releasing its stream writes them, so it can fail too.
    if (AviResult result = aviStreamRelease(std::exchange(compressedStream_, nullptr))) reportFailure(result);
    aviStreamRelease(std::exchange(videoStream_, nullptr));
    if (AviResult result = aviFileRelease(std::exchange(file_, nullptr))) reportFailure(result);
}

void MovieWriter::setChapters(std::vector<MovieChapter> chapters) {
    if (file_ != nullptr) aviFileSetChapters(file_, std::move(chapters));
}

void MovieWriter::resetCompressionOptions() {
    options_ = {};
    options_.dwFlags = 9;  // AVICOMPRESSF_VALID | AVICOMPRESSF_INTERLEAVE
    options_.dwInterleaveEvery = 1;
}

void MovieWriter::learnColours(bool on) {
    if (on) colours_ = LearnedColours{};
    colours_.learning = on;
    colours_.learned = !on;
}

void MovieWriter::useColours(const SharedPalette& palette) {
    colours_ = LearnedColours{};
    colours_.palette = palette;
    colours_.learned = true;
}

AviResult MovieWriter::setCompression(const Bitmap* bitmap) {
    if (colours_.learning) return kAviErrOk;
    if (file_ == nullptr) return kAviErrBadHandle;
    DibSection dib;
    bool described = getBitmapObject(bitmap, dib) != 0;
    if (!described) printGetObjectFailure();
    if (failed_) return kAviErrError;
    if (compressedStream_ != nullptr) return kAviErrCompressor;
    // Without a description there is no frame size to set up the stream with; the next
    // good bitmap does it.
    if (!described) return kAviErrBadParam;

    if (videoStream_ == nullptr) {
        if (AviResult result = createVideoStream(dib.dsBmih)) return result;
    }
    if (!aviSaveOptions(options_, dialog_)) {
        freeSaveOptions(options_);
        failed_ = true;
        return kAviErrUserAbort;
    }
    if (AviResult result = makeCompressedStream(options_)) return result;
    freeSaveOptions(options_);
    return setStreamFormat(dib.dsBmih);
}

AviResult MovieWriter::addFrame(const Bitmap* bitmap) {
    if (file_ == nullptr && !colours_.learning) return kAviErrBadHandle;
    DibSection dib;
    if (getBitmapObject(bitmap, dib) != kDibSectionSize) return kAviErrBadParam;
    if (colours_.learning) {
        learnColoursOf(colours_, dib, *bitmap);
        return kAviErrOk;
    }
    if (failed_) return kAviErrError;

    if (videoStream_ == nullptr) {
        if (AviResult result = createVideoStream(dib.dsBmih)) return result;
    }
    if (compressedStream_ == nullptr) {
        AviCompressOptions uncompressed;
        uncompressed.fccHandler = kCompressorDib;
        if (AviResult result = makeCompressedStream(uncompressed)) return result;
        if (AviResult result = setStreamFormat(dib.dsBmih)) return result;
    }
    if (planning_) {
        ++frameCount_;
        return kAviErrOk;
    }
    bool same = bitmap->version != 0 && bitmap->version == lastVersion_;
    // The rows that changed since the frame written last, when this bitmap followed it.
    const RowsChanged& changed = bitmap->changed;
    const bool chained = bitmap->changedSince != 0 && bitmap->changedSince == lastVersion_;
    AviResult result = aviStreamWrite(compressedStream_, frameCount_, 1, dib.bmBits,
                                      static_cast<int32_t>(dib.dsBmih.biSizeImage),
                                      kAviKeyFrameFlag | (same ? kAviSameFrameFlag : 0), chained ? &changed : nullptr);
    if (result != kAviErrOk) return fail(result);
    lastVersion_ = bitmap->version;
    ++frameCount_;
    return kAviErrOk;
}

AviResult MovieWriter::produceSegment(SegmentProducer producer, int64_t next) {
    if (file_ == nullptr || compressedStream_ == nullptr) return kAviErrBadHandle;
    if (failed_) return kAviErrError;
    if (AviResult result = aviStreamProduce(compressedStream_, std::move(producer), next)) return fail(result);
    return kAviErrOk;
}

AviResult MovieWriter::finishSegments() {
    // After a failure too: the workers still encoding must be done before their stages go.
    if (file_ == nullptr || compressedStream_ == nullptr) return kAviErrOk;
    AviResult result = aviStreamFinishSegments(compressedStream_);
    if (result != kAviErrOk && !failed_) return fail(result);
    return kAviErrOk;
}

std::string lastErrorText() {
    int code = errno;
    if (code == 0) return "error with Win32_LastError";
    return std::string(std::strerror(code)) + "\n";
}
