#include "emission/emission.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include "emission/frame_sink.h"
#include "emission/bmp_writer.h"
#include "emission/frame_files.h"
#include "emission/png_queue.h"
#include "emission/png_writer.h"
#include "platform/bitmap.h"
#include "render/screen_changes.h"
#include "render/surface.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;

// Movie mode keeps the screens in memory rather than in the temporary BMP files, which are
// deleted again anyway. Each file is still created, at its full size but without its pixels:
// that answers whether writing it would have worked, and so whether the next record could
// have loaded it. The one file left after the run gets its pixels when the run ends.
struct KeptBitmap {
    Bitmap bitmap;          // the screen of the newest file, as that file would hold it
    bool valid = false;
    bool fileMade = false;  // the newest file exists, waiting for its pixels
    size_t fileSize = 0;    // the size it will have
    bool loadable = false;  // and loading it would have worked
    int32_t width = 0;      // the picture it was made from
    int32_t height = 0;
};

// PNG mode encodes each screen once, on the workers, and gives every frame showing it the
// same bytes.
struct PngScreens {
    std::shared_ptr<PngEncoding> current;  // encoding of the screen now shown, once asked for
    bool previousShown = false;            // the previous record left a screen to show
    Surface skipped;                       // the newest screen whose own frame was skipped
    int32_t width = 0;
    int32_t height = 0;
};

}  // namespace

struct Emission::State {
    EmissionOptions options;
    std::string previousBmpName;        // movie mode: the file holding the previous screen
    int32_t previousPngFrame = -1;      // PNG mode: frame number of this run's newest own file
    Surface previousScreen;             // PNG mode: the screen shown before the current record
    std::array<uint8_t, kCopyBufferSize> copyBuffer{};
    KeptBitmap kept;
    PngScreens png;
    Surface doubled;  // -double's picture for the BMP writer
    UnwrittenFrames unwritten;
    uint64_t lastBitmapVersion = 0;  // versions are never reused, so a writer can trust them
    int32_t lastPngFrame = -1;       // the highest frame number of the series so far
    bool fileMade = false;           // planning and replaying: the last screen's file
};

namespace {

using EmissionState = Emission::State;

// The frame files of a run, in its directory.
std::string bmpFileOf(const EmissionOptions& options, int32_t frame) {
    return (options.directory / bmpFrameName(frame)).string();
}
std::string pngFileOf(const EmissionOptions& options, int32_t frame) {
    return (options.directory / pngFrameName(frame)).string();
}

// A screen's file is removed once the next is there, whatever the result; a directory that was
// in the way of its name is not a file of this run's and stays.
void removeFile(const std::string& path) { unlink(path.c_str()); }

bool passesSkip(const EmissionOptions& options, int32_t frame) { return options.skipFrames <= 0 || frame > options.skipFrames; }
bool passesStop(const EmissionOptions& options, int32_t frame) { return options.stopFrame < 0 || frame <= options.stopFrame; }

void emitMovieFrames(EmissionState& emission, const Surface& picture, int32_t frameStart, int32_t frameEnd) {
    if (!passesSkip(emission.options, frameEnd)) return;

    std::string currentName = bmpFileOf(emission.options, frameEnd);
    if (emission.options.sizeFactor > 1) {
        writeDoubledBmp(currentName, picture, emission.doubled);
    } else {
        if (picture.turn == 0) {
            writeBmp(currentName, picture.width, picture.height, picture.pixels.data());
        } else {
            Surface settled = picture;
            settleRows(settled);
            writeBmp(currentName, settled.width, settled.height, settled.pixels.data());
        }
    }

    // The first record to get here has no earlier image, so its own screen fills its gap.
    const std::string& sourceName = emission.previousBmpName.empty() ? currentName : emission.previousBmpName;
    std::unique_ptr<Bitmap> bitmap = loadBitmapFile(sourceName);
    for (int32_t frame = frameStart; frame < frameEnd; ++frame) {
        if (!passesSkip(emission.options, frame) || !passesStop(emission.options, frame)) continue;
        // A missing bitmap is reported by the movie writer; its results do not stop the run.
        if (emission.options.movie == nullptr) continue;
        emission.options.movie->setCompression(bitmap.get());
        emission.options.movie->addFrame(bitmap.get());
    }
    bitmap.reset();

    if (!emission.previousBmpName.empty()) removeFile(emission.previousBmpName);
    emission.previousBmpName = currentName;
}

// A gap frame is a copy of the previous screen's file. When this run never wrote that file
// (its number was skipped) or it cannot be read, the kept previous screen is encoded instead,
// and the rest of the gap copies that new file.
void emitPngFrames(EmissionState& emission, const Surface& picture, int32_t frameStart, int32_t frameEnd) {
    std::string sourceName = pngFileOf(emission.options, frameStart);
    bool sourceWritten = emission.previousPngFrame == frameStart;

    for (int32_t frame = frameStart + 1; frame < frameEnd; ++frame) {
        if (!passesSkip(emission.options, frame)) continue;
        std::string name = pngFileOf(emission.options, frame);
        if (sourceWritten) {
            CopyResult result = copyWholeFile(sourceName, name, emission.copyBuffer);
            if (result == CopyResult::targetUnwritable) emission.unwritten.note(name);
            if (result != CopyResult::sourceUnreadable) continue;
            sourceWritten = false;
        }
        if (emission.previousScreen.pixels.empty()) continue;  // no earlier screen to show
        if (writePngImage(name, emission.previousScreen, emission.options.sizeFactor, emission.unwritten)) {
            sourceName = name;
            sourceWritten = true;
        }
    }

    if (passesSkip(emission.options, frameEnd)) {
        bool written =
            writePngImage(pngFileOf(emission.options, frameEnd), picture, emission.options.sizeFactor, emission.unwritten);
        emission.previousPngFrame = written ? frameEnd : -1;
    }
    emission.previousScreen.width = picture.width;
    emission.previousScreen.height = picture.height;
    emission.previousScreen.turn = picture.turn;
    emission.previousScreen.pixels = picture.pixels;
}

// ---- Movie mode, screens kept in memory ----

int32_t bmpFactor(const EmissionOptions& options) { return options.sizeFactor > 1 ? 2 : 1; }

bool wholeImage(const Surface& surface) {
    return surface.pixels.size() >= static_cast<size_t>(std::max(surface.width, 0)) *
                                        static_cast<size_t>(std::max(surface.height, 0)) * 4;
}

// Whether a disk with the numbers of disk has room for size bytes beside alsoHeld.
bool roomFor(const struct statvfs& disk, size_t size, size_t alsoHeld) {
    if (disk.f_blocks == 0) return true;
    // Blocks kept for the superuser are there for a superuser's run.
    uint64_t free = (geteuid() == 0 ? disk.f_bfree : disk.f_bavail) * uint64_t{disk.f_frsize};
    return free >= uint64_t{size} + alsoHeld;
}

// Creates path as a file of size bytes that holds none of them yet; false, leaving no file,
// where writing them would have failed: no such directory, no permission, something else in
// the way, a file size limit, or a disk without room for them beside the previous screen's
// file (which the plain way still holds at that moment). Reserving the blocks would answer the
// last more exactly, but costs milliseconds a file on common file systems. previous: the file
// made so for the screen before, if there is one; it becomes path, which spares the file system
// a file made and another removed (where something is at path already, or the file system
// cannot rename so, a new file is made and renamed is false).
bool makeBmpPlaceholder(const std::string& path, size_t size, size_t alsoHeld, const std::string* previous,
                        bool& renamed) {
    renamed = previous != nullptr &&
              renameat2(AT_FDCWD, previous->c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
    bool made = false;
    struct statvfs disk {};
    if (renamed) {
        made = truncate(path.c_str(), static_cast<off_t>(size)) == 0;
        if (made && statvfs(path.c_str(), &disk) == 0) made = roomFor(disk, size, alsoHeld);
    } else {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        made = ftruncate(fd, static_cast<off_t>(size)) == 0;
        if (made && fstatvfs(fd, &disk) == 0) made = roomFor(disk, size, alsoHeld);
        if (close(fd) != 0) made = false;
    }
    if (!made) unlink(path.c_str());
    return made;
}

// Brings the kept bitmap to the picture, row band by row band as the renderer reports them,
// the way the BMP writers store it (doubled with -double, fourth bytes cleared when doubled).
void keepScreen(EmissionState& emission, const Surface& source, const ScreenChanges& changes) {
    KeptBitmap& kept = emission.kept;
    const int32_t factor = bmpFactor(emission.options);
    const int32_t width = std::max(source.width, 0);
    const int32_t height = std::max(source.height, 0);
    int32_t top = changes.top;
    int32_t bottom = changes.bottom;
    const bool planning = emission.options.planning;
    if (!wholeImage(source) && !planning) {
        kept.valid = false;  // no file of it would load
        return;
    }
    const bool relaidOut =
        !kept.valid || changes.everything || kept.width != source.width || kept.height != source.height;
    if (relaidOut) {
        BitmapInfoHeader& header = kept.bitmap.header;
        header = BitmapInfoHeader{};
        header.biWidth = width * factor;
        header.biHeight = height * factor;
        header.biSizeImage = static_cast<uint32_t>(4 * static_cast<size_t>(width * factor) * (height * factor));
        header.biXPelsPerMeter = 1000;
        header.biYPelsPerMeter = 1000;
        kept.bitmap.bits.resize(header.biSizeImage);
        kept.valid = true;
        kept.width = source.width;
        kept.height = source.height;
        kept.bitmap.version = 0;
        top = 0;
        bottom = height - 1;
    }
    // The workers paint the pixels.
    if (planning) return;
    top = std::max(top, 0);
    bottom = std::min(bottom, height - 1);
    if (top > bottom) return;
    const size_t sourceRow = static_cast<size_t>(width) * 4;
    const size_t keptRow = sourceRow * factor;
    // Rows the painter left where they were hold what the kept bitmap holds already.
    const bool exact = changes.exact && !relaidOut;
    for (int32_t y = top; y <= bottom; ++y) {
        if (exact && changes.moved == 0 && !changes.repainted.holds(y)) continue;
        const uint8_t* in = pixelRow(source, y);
        if (factor == 1) {
            std::memcpy(kept.bitmap.bits.data() + static_cast<size_t>(height - 1 - y) * keptRow, in, sourceRow);
            continue;
        }
        // Memory row m of the source covers memory rows 2m and 2m + 1.
        uint8_t* lower = kept.bitmap.bits.data() + 2 * static_cast<size_t>(height - 1 - y) * keptRow;
        for (size_t x = 0; x < static_cast<size_t>(width); ++x) {
            const uint8_t pixel[8] = {in[4 * x], in[4 * x + 1], in[4 * x + 2], 0, in[4 * x], in[4 * x + 1], in[4 * x + 2], 0};
            std::memcpy(lower + 8 * x, pixel, 8);
        }
        std::memcpy(lower + keptRow, lower, keptRow);
    }
    kept.bitmap.changedSince = kept.bitmap.version;
    kept.bitmap.changed = RowsChanged{.top = top * factor,
                                      .bottom = bottom * factor + factor - 1,
                                      .exact = exact,
                                      .moved = exact ? changes.moved * factor : 0,
                                      .repainted = exact ? changes.repainted.scaled(factor, top, bottom) : RowBands{}};
    kept.bitmap.version = ++emission.lastBitmapVersion;
}

void emitMovieFramesKept(EmissionState& emission, const Surface& picture, const ScreenChanges& changes,
                         int32_t frameStart, int32_t frameEnd) {
    const EmissionOptions& options = emission.options;
    if (!passesSkip(emission.options, frameEnd)) {
        emission.kept.valid = false;
        return;
    }
    KeptBitmap& kept = emission.kept;
    std::string currentName = bmpFileOf(emission.options, frameEnd);
    // The doubled writer writes nothing for a surface without a whole image; loading a BMP
    // without pixels fails.
    bool written = options.sizeFactor <= 1 || wholeImage(picture) || options.planning;
    size_t fileSize = kBmpHeaderSize + 4 * static_cast<size_t>(std::max(picture.width, 0) * bmpFactor(options)) *
                                           static_cast<size_t>(std::max(picture.height, 0) * bmpFactor(options));
    const bool previousMade = kept.fileMade && !emission.previousBmpName.empty();
    bool renamed = false;
    bool made = written && (options.colourPass || (options.replaying && emission.fileMade) ||
                            (!options.replaying &&
                             makeBmpPlaceholder(currentName, fileSize, kept.fileMade ? kept.fileSize : 0,
                                                previousMade ? &emission.previousBmpName : nullptr, renamed)));
    emission.fileMade = made;
    bool loads = made && picture.width > 0 && picture.height > 0;

    bool first = emission.previousBmpName.empty();
    if (first) {
        keepScreen(emission, picture, changes);
        kept.fileMade = made;
        kept.fileSize = fileSize;
        kept.loadable = loads && kept.valid;
    }
    const Bitmap* bitmap = kept.loadable ? &kept.bitmap : nullptr;
    for (int32_t frame = frameStart; frame < frameEnd; ++frame) {
        if (!passesSkip(emission.options, frame) || !passesStop(emission.options, frame)) continue;
        if (emission.options.movie == nullptr) continue;
        emission.options.movie->setCompression(bitmap);
        emission.options.movie->addFrame(bitmap);
    }
    if (!first) {
        if (!renamed && !options.replaying) removeFile(emission.previousBmpName);
        keepScreen(emission, picture, changes);
        kept.fileMade = made;
        kept.fileSize = fileSize;
        kept.loadable = loads && kept.valid;
    }
    emission.previousBmpName = currentName;
}

// The file left after the run gets its bytes.
void writeLastBmp(EmissionState& emission) {
    KeptBitmap& kept = emission.kept;
    if (!kept.fileMade) return;
    kept.fileMade = false;  // a second call has nothing to do
    if (!kept.valid) return;
    const BitmapInfoHeader& header = kept.bitmap.header;
    std::vector<uint8_t> bytes = encodeBmp(header.biWidth, header.biHeight, kept.bitmap.bits.data());
    int fd = open(emission.previousBmpName.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t wrote = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) ok = false;
        if (ok) done += static_cast<size_t>(wrote);
    }
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) unlink(emission.previousBmpName.c_str());
}

// ---- PNG mode, encodings on the workers ----

void emitPngFramesQueued(EmissionState& emission, const Surface& picture, const ScreenChanges& changes,
                         int32_t frameStart, int32_t frameEnd) {
    const EmissionOptions& options = emission.options;
    PngScreens& png = emission.png;
    bool newScreen = changes.everything || changes.top <= changes.bottom || png.width != picture.width ||
                     png.height != picture.height;
    png.width = picture.width;
    png.height = picture.height;
    std::shared_ptr<PngEncoding> previous = png.current;
    if (newScreen) png.current = nullptr;

    // Every gap frame shows the previous screen: one encoding, its bytes in every file.
    for (int32_t frame = frameStart + 1; frame < frameEnd; ++frame) {
        if (!passesSkip(emission.options, frame) || !png.previousShown) continue;
        if (!previous) {
            previous = options.pngQueue->startEncoding(png.skipped, options.sizeFactor);
            if (!newScreen) png.current = previous;
        }
        options.pngQueue->queueFile(previous, pngFileOf(emission.options, frame));
    }

    if (passesSkip(emission.options, frameEnd)) {
        if (!png.current) png.current = options.pngQueue->startEncoding(picture, options.sizeFactor);
        options.pngQueue->queueFile(png.current, pngFileOf(emission.options, frameEnd));
        png.skipped = Surface{};
    } else if (newScreen || png.skipped.pixels.empty()) {
        // The next record's gap frames may show this screen, which nobody encoded.
        png.skipped.width = picture.width;
        png.skipped.height = picture.height;
        png.skipped.turn = picture.turn;
        png.skipped.pixels = picture.pixels;
    }
    png.previousShown = !picture.pixels.empty();
    options.pngQueue->writeReady();
}

}  // namespace

std::string bmpFrameName(int32_t frameNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "%07d.bmp", frameNumber);
    return name;
}

std::string pngFrameName(int32_t frameNumber) {
    char name[40];
    std::snprintf(name, sizeof name, "frames/%07d.png", frameNumber);
    return name;
}

Emission::Emission(const EmissionOptions& options) : state_(std::make_unique<State>()) { state_->options = options; }

Emission::~Emission() = default;

void Emission::emitFrames(const Surface& picture, const ScreenChanges& changes, const FrameSpan& span) {
    State& emission = *state_;
    const EmissionOptions& options = emission.options;
    if (!options.writeFrames) return;
    const int32_t frameStart = span.start;
    const int32_t frameEnd = span.end;
    if (options.movieOutput) {
        options.plainPaths ? emitMovieFrames(emission, picture, frameStart, frameEnd)
                           : emitMovieFramesKept(emission, picture, changes, frameStart, frameEnd);
    } else {
        if (!options.planning) {
            options.plainPaths || options.pngQueue == nullptr
                ? emitPngFrames(emission, picture, frameStart, frameEnd)
                : emitPngFramesQueued(emission, picture, changes, frameStart, frameEnd);
        }
        if (passesSkip(options, frameEnd)) emission.lastPngFrame = std::max(emission.lastPngFrame, frameEnd);
    }
}

void Emission::emitFinalFrames(const Surface& picture, const ScreenChanges& changes, const FrameSpan& span) {
    State& emission = *state_;
    const EmissionOptions& options = emission.options;
    if (!options.writeFrames || span.end <= span.start) return;
    // The screen is unchanged, so a span ending past the last frame shows it as its previous
    // screen; a PNG series already holds its frame at span.start.
    if (options.movieOutput) {
        options.plainPaths ? emitMovieFrames(emission, picture, span.start, span.end)
                           : emitMovieFramesKept(emission, picture, changes, span.start, span.end);
    } else if (span.end - 1 > span.start) {
        if (!options.planning) {
            options.plainPaths || options.pngQueue == nullptr
                ? emitPngFrames(emission, picture, span.start, span.end - 1)
                : emitPngFramesQueued(emission, picture, changes, span.start, span.end - 1);
        }
        if (passesSkip(options, span.end - 1)) emission.lastPngFrame = std::max(emission.lastPngFrame, span.end - 1);
    }
}

void Emission::finish() {
    State& emission = *state_;
    if (emission.options.pngQueue != nullptr) emission.options.pngQueue->finish();
    if (emission.options.keepLastBitmap) {
        writeLastBmp(emission);
    } else if (!emission.previousBmpName.empty()) {
        emission.kept.fileMade = false;
        removeFile(emission.previousBmpName);
        emission.previousBmpName.clear();
    }
}

bool Emission::lastFileMade() const { return state_->fileMade; }
void Emission::setFileMade(bool made) { state_->fileMade = made; }

void Emission::forgetScreen() { state_->kept.valid = false; }

void Emission::skipThrough(int32_t frame) {
    state_->options.skipFrames = std::max(state_->options.skipFrames, frame);
}

UnwrittenFrames Emission::takeUnwritten() { return std::exchange(state_->unwritten, UnwrittenFrames{}); }

void Emission::addUnwritten(const UnwrittenFrames& unwritten) {
    if (unwritten.count == 0) return;
    if (state_->unwritten.count == 0) state_->unwritten.first = unwritten.first;
    state_->unwritten.count += unwritten.count;
}

void Emission::setLastScreen(Bitmap&& bitmap) {
    KeptBitmap& kept = state_->kept;
    kept.valid = kept.valid && bitmap.bits.size() == kept.bitmap.bits.size() && !bitmap.bits.empty();
    if (kept.valid) kept.bitmap.bits = std::move(bitmap.bits);
}

Bitmap Emission::lastScreen() const {
    const KeptBitmap& kept = state_->kept;
    return kept.valid ? kept.bitmap : Bitmap{};
}

int32_t Emission::lastPngFrame() const { return state_->lastPngFrame; }

UnwrittenFrames Emission::unwrittenFrames() const {
    // A run writes its PNG files either here or through the queue, never both.
    const PngQueue* queue = state_->options.pngQueue;
    if (state_->unwritten.count > 0 || queue == nullptr) return state_->unwritten;
    return queue->unwritten();
}
