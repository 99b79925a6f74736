#include "playback/run_end.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "emission/avi_writer.h"

void finishMovie() {
    if (activeAviWriter == nullptr) return;
    closeAviWriter(activeAviWriter);
    activeAviWriter = nullptr;
}

void endRun(int status) {
    std::fflush(stdout);
    std::exit(status);
}

void flushProgress() {
    static const bool toTerminal = isatty(STDOUT_FILENO) == 1;
    if (toTerminal) std::fflush(stdout);
}
