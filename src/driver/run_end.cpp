#include "driver/run_end.h"

#include <cinttypes>
#include <cstdio>

#include "driver/announce.h"
#include "emission/emission.h"
#include "emission/frame_files.h"
#include "emission/movie_writer.h"

void finishMovie(Emission* emission, MovieWriter& movie) {
    if (emission != nullptr) emission->finish();
    movie.close();
    // The run went on past them; they are told once, at its end.
    const UnwrittenFrames lost = emission != nullptr ? emission->unwrittenFrames() : UnwrittenFrames{};
    if (lost.count > 0) {
        std::printf("Error: %" PRId64 " frame files could not be written (first: %s)\n", lost.count, lost.first.c_str());
    }
}

int outputStatus(const Emission* emission, const MovieWriter& movie) {
    return movie.writeFailed() || (emission != nullptr && emission->unwrittenFrames().count > 0) ? 1 : 0;
}

int endWith(const RunError& error, Emission* emission) {
    printAlways(error.message);
    if (emission != nullptr) emission->finish();
    std::fflush(stdout);
    return error.status;
}
