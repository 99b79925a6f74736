#include "emission/emission.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "driver/settings.h"
#include "emission/avi_writer.h"
#include "emission/bmp_writer.h"
#include "emission/frame_files.h"
#include "emission/png_writer.h"
#include "platform/bitmap.h"
#include "playback/recording.h"
#include "render/surface.h"

namespace {

constexpr size_t kCopyBufferSize = 65536;

struct Emission {
    std::string previousBmpName;        // movie mode: the file holding the previous screen
    int32_t previousPngFrame = -1;      // PNG mode: frame number of this run's newest own file
    Surface previousScreen;             // PNG mode: the screen shown before the current record
    std::array<uint8_t, kCopyBufferSize> copyBuffer{};
};

Emission emission;

bool passesSkip(int32_t frame) { return settings.skipFrames <= 0 || frame > settings.skipFrames; }
bool passesStop(int32_t frame) { return settings.stopFrame < 0 || frame <= settings.stopFrame; }

void emitMovieFrames() {
    int32_t frameStart = frameClock.frameStart;
    int32_t frameEnd = frameClock.frameEnd;
    if (!passesSkip(frameEnd)) return;

    std::string currentName = bmpFrameName(frameEnd);
    if (settings.sizeFactor > 1) {
        writeDoubledBmp(currentName);
    } else {
        writeBmp(currentName, mainSurface.width, mainSurface.height, mainSurface.pixels.data());
    }

    // The first record to get here has no earlier image, so its own screen fills its gap.
    const std::string& sourceName = emission.previousBmpName.empty() ? currentName : emission.previousBmpName;
    std::unique_ptr<Bitmap> bitmap = loadBitmapFile(sourceName);
    for (int32_t frame = frameStart; frame < frameEnd; ++frame) {
        if (!passesSkip(frame) || !passesStop(frame)) continue;
        // A missing bitmap is reported by the movie writer; its results do not stop the run.
        setAviCompression(bitmap.get());
        addAviFrame(bitmap.get());
    }
    bitmap.reset();

    if (!emission.previousBmpName.empty()) {
        std::error_code ignored;
        std::filesystem::remove(emission.previousBmpName, ignored);
    }
    emission.previousBmpName = currentName;
}

// A gap frame is a copy of the previous screen's file. When this run never wrote that file
// (its number was skipped) or it cannot be read, the kept previous screen is encoded instead,
// and the rest of the gap copies that new file.
void emitPngFrames() {
    int32_t frameStart = frameClock.frameStart;
    int32_t frameEnd = frameClock.frameEnd;
    std::string sourceName = pngFrameName(frameStart);
    bool sourceWritten = emission.previousPngFrame == frameStart;

    for (int32_t frame = frameStart + 1; frame < frameEnd; ++frame) {
        if (!passesSkip(frame)) continue;
        std::string name = pngFrameName(frame);
        if (sourceWritten) {
            CopyResult result = copyWholeFile(sourceName, name, emission.copyBuffer);
            if (result != CopyResult::sourceUnreadable) continue;
            sourceWritten = false;
        }
        if (emission.previousScreen.pixels.empty()) continue;  // no earlier screen to show
        if (writePngImage(name, emission.previousScreen, settings.sizeFactor)) {
            sourceName = name;
            sourceWritten = true;
        }
    }

    if (passesSkip(frameEnd)) {
        bool written = writePngImage(pngFrameName(frameEnd), mainSurface, settings.sizeFactor);
        emission.previousPngFrame = written ? frameEnd : -1;
    }
    emission.previousScreen.width = mainSurface.width;
    emission.previousScreen.height = mainSurface.height;
    emission.previousScreen.pixels = mainSurface.pixels;
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

void emitFrames() {
    if (!settings.writeFrames) return;
    if (settings.aviOutput) {
        emitMovieFrames();
    } else {
        emitPngFrames();
    }
}

void resetEmission() { emission = Emission{}; }
