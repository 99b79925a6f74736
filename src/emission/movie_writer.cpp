#include "emission/movie_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/compression_dialog.h"

struct MovieWriter {
    AviFile* aviFile = nullptr;
    int32_t framePeriod = 0;  // milliseconds per frame
    AviStream* videoStream = nullptr;
    AviStream* compressedStream = nullptr;
    int32_t frameCount = 0;  // frames written, and the position of the next one
    bool failed = false;     // sticky: nothing more is written
    std::string fileName;
    bool failureReported = false;
    uint64_t lastVersion = 0;  // the version of the last frame's bitmap; 0: none known
};

namespace {

MovieWriter* activeWriter = nullptr;
AviCompressOptions options;
bool writeFailed = false;

// The colours of the frames of a first pass, for a GIF file's palette.
struct LearnedColours {
    bool learning = false;
    bool learned = false;
    uint64_t lastVersion = 0;  // of the last bitmap learned from
    std::vector<uint8_t> seen;  // its pixels
    std::unordered_map<uint64_t, size_t> seenRows;  // where a row of them starts, by its rowKey
    SharedPalette palette;
};
LearnedColours colours;

constexpr uint32_t kMillisecondsPerSecond = 1000;

// A failed stream step is reported once, when it happens; the run goes on without the movie.
void reportFailure(MovieWriter& writer, AviResult code) {
    if (writer.failureReported) return;
    writer.failureReported = true;
    writeFailed = true;
    std::printf("Error: writing %s failed: %s\n", writer.fileName.c_str(), aviFileErrorText(code).c_str());
    std::fflush(stdout);
}

AviResult fail(MovieWriter& writer, AviResult code) {
    writer.failed = true;
    reportFailure(writer, code);
    return code;
}

AviResult createVideoStream(MovieWriter& writer, const BitmapInfoHeader& header) {
    AviStreamInfo info;
    info.fccType = kStreamTypeVideo;
    // More than 1000 frames per second would make the period 0, which no timing can carry.
    info.dwScale = static_cast<uint32_t>(writer.framePeriod > 0 ? writer.framePeriod : 1);
    info.dwRate = kMillisecondsPerSecond;
    info.dwSuggestedBufferSize = header.biSizeImage;
    info.rcFrame = {0, 0, header.biWidth, header.biHeight};
    AviResult result = aviFileCreateStream(writer.aviFile, &writer.videoStream, info);
    return result == kAviErrOk ? kAviErrOk : fail(writer, result);
}

AviResult setStreamFormat(MovieWriter& writer, const BitmapInfoHeader& header) {
    auto length = static_cast<int32_t>(header.biSize + 4 * header.biClrUsed);
    AviResult result = aviStreamSetFormat(writer.compressedStream, 0, &header, length);
    return result == kAviErrOk ? kAviErrOk : fail(writer, result);
}

AviResult makeCompressedStream(MovieWriter& writer, const AviCompressOptions& options) {
    AviResult result = aviMakeCompressedStream(&writer.compressedStream, writer.videoStream, options);
    if (result == kAviErrOk && colours.learned && options.fccHandler == kCompressorGif) {
        result = aviStreamSetColours(writer.compressedStream, colours.palette);
    }
    return result == kAviErrOk ? kAviErrOk : fail(writer, result);
}

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
// is not known already, so only the others are scanned.
void learnColours(const DibSection& dib, uint64_t version) {
    if (version != 0 && version == colours.lastVersion) return;
    colours.lastVersion = version;
    if (colours.palette.count == kTransparentIndex) return;  // full: nothing more is taken in
    const BitmapInfoHeader& header = dib.dsBmih;
    const int height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    const size_t stride = static_cast<size_t>(header.biWidth) * 4;
    const size_t size = stride * static_cast<size_t>(height);
    const bool compared = colours.seen.size() == size && stride >= 8;
    auto seenBefore = [&](const uint8_t* row, size_t at) {
        if (!compared) return false;
        if (std::memcmp(row, colours.seen.data() + at, stride) == 0) return true;
        auto found = colours.seenRows.find(rowKey(row, stride));
        return found != colours.seenRows.end() && std::memcmp(row, colours.seen.data() + found->second, stride) == 0;
    };
    for (int y = 0; y < height; ++y) {
        const size_t at = stride * static_cast<size_t>(header.biHeight > 0 ? height - 1 - y : y);
        const uint8_t* row = dib.bmBits + at;
        if (seenBefore(row, at)) continue;
        mapToSharedPalette(colours.palette, PixelRows{row, static_cast<int>(stride), header.biWidth, 1}, IndexRows{});
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

bool openMovieWriter(const std::string& fileName, int32_t framePeriod) {
    closeMovieWriter();
    AviFile* file = nullptr;
    if (aviFileOpen(&file, fileName) != kAviErrOk) return false;
    activeWriter = new MovieWriter{.aviFile = file, .framePeriod = framePeriod, .fileName = fileName};
    return true;
}

bool movieWriterOpen() { return activeWriter != nullptr; }

bool movieWriteFailed() { return writeFailed; }

AviCompressOptions& compressionOptions() { return options; }

void closeMovieWriter() {
    MovieWriter* writer = std::exchange(activeWriter, nullptr);
    if (writer == nullptr) return;
    // A compressor may still hold frames: releasing its stream writes them, so it can fail too.
    if (AviResult result = aviStreamRelease(writer->compressedStream)) reportFailure(*writer, result);
    writer->compressedStream = nullptr;
    aviStreamRelease(writer->videoStream);
    writer->videoStream = nullptr;
    if (AviResult result = aviFileRelease(writer->aviFile)) reportFailure(*writer, result);
    delete writer;
}

void resetCompressionOptions() {
    options = {};
    options.dwFlags = 9;  // AVICOMPRESSF_VALID | AVICOMPRESSF_INTERLEAVE
    options.dwInterleaveEvery = 1;
}

void learnMovieColours(bool on) {
    if (on) colours = LearnedColours{};
    colours.learning = on;
    colours.learned = !on;
}

void resetMovieWriter() {
    closeMovieWriter();
    writeFailed = false;
    colours = LearnedColours{};
    resetCompressionOptions();
}

AviResult setMovieCompression(const Bitmap* bitmap) {
    if (colours.learning) return kAviErrOk;
    if (activeWriter == nullptr) return kAviErrBadHandle;
    MovieWriter& writer = *activeWriter;
    DibSection dib;
    bool described = getBitmapObject(bitmap, dib) != 0;
    if (!described) printGetObjectFailure();
    if (writer.failed) return kAviErrError;
    if (writer.compressedStream != nullptr) return kAviErrCompressor;
    // Without a description there is no frame size to set up the stream with; the next
    // good bitmap does it.
    if (!described) return kAviErrBadParam;

    if (writer.videoStream == nullptr) {
        if (AviResult result = createVideoStream(writer, dib.dsBmih)) return result;
    }
    if (!aviSaveOptions(options)) {
        freeSaveOptions(options);
        writer.failed = true;
        return kAviErrUserAbort;
    }
    if (AviResult result = makeCompressedStream(writer, options)) return result;
    freeSaveOptions(options);
    return setStreamFormat(writer, dib.dsBmih);
}

AviResult addMovieFrame(const Bitmap* bitmap) {
    if (activeWriter == nullptr && !colours.learning) return kAviErrBadHandle;
    DibSection dib;
    if (getBitmapObject(bitmap, dib) != kDibSectionSize) return kAviErrBadParam;
    if (colours.learning) {
        learnColours(dib, bitmap->version);
        return kAviErrOk;
    }
    MovieWriter& writer = *activeWriter;
    if (writer.failed) return kAviErrError;

    if (writer.videoStream == nullptr) {
        if (AviResult result = createVideoStream(writer, dib.dsBmih)) return result;
    }
    if (writer.compressedStream == nullptr) {
        AviCompressOptions uncompressed;
        uncompressed.fccHandler = kCompressorDib;
        if (AviResult result = makeCompressedStream(writer, uncompressed)) return result;
        if (AviResult result = setStreamFormat(writer, dib.dsBmih)) return result;
    }
    bool same = bitmap->version != 0 && bitmap->version == writer.lastVersion;
    AviResult result = aviStreamWrite(writer.compressedStream, writer.frameCount, 1, dib.bmBits,
                                      static_cast<int32_t>(dib.dsBmih.biSizeImage),
                                      kAviKeyFrameFlag | (same ? kAviSameFrameFlag : 0));
    if (result != kAviErrOk) return fail(writer, result);
    writer.lastVersion = bitmap->version;
    ++writer.frameCount;
    return kAviErrOk;
}

std::string lastErrorText() {
    int code = errno;
    if (code == 0) return "error with Win32_LastError";
    return std::string(std::strerror(code)) + "\n";
}
