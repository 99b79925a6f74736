#include "driver/run_end.h"

#include <cinttypes>
#include <cstdio>

#include "driver/announce.h"
#include "emission/emission.h"
#include "emission/frame_files.h"
#include "emission/movie_writer.h"
#include "render/outline_font.h"

void finishOutput() {
    finishFrames();
    closeOutlineFont();
}

void finishMovie() {
    finishFrames();
    closeMovieWriter();
    // The run went on past them; they are told once, at its end.
    const UnwrittenFrames& lost = unwrittenFrames();
    if (lost.count > 0) {
        std::printf("Error: %" PRId64 " frame files could not be written (first: %s)\n", lost.count, lost.first.c_str());
    }
    finishOutput();
}

int outputStatus() { return movieWriteFailed() || unwrittenFrames().count > 0 ? 1 : 0; }

int endWith(const RunError& error) {
    printAlways(error.message);
    finishOutput();
    std::fflush(stdout);
    return error.status;
}
