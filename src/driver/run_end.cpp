#include "driver/run_end.h"

#include <cstdio>
#include <cstdlib>

#include "emission/emission.h"
#include "emission/movie_writer.h"

void finishMovie() {
    finishFrames();
    closeMovieWriter();
}

void endRun(int status) {
    std::fflush(stdout);
    std::exit(status);
}
