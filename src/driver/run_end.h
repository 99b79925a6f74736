#pragma once
// How a run ends: the frames completed, the movie closed, output flushed, the process ended.

// Completes the frames still being made, then closes the active movie writer, if any.
void finishMovie();

// Flushes standard output and ends the process.
[[noreturn]] void endRun(int status);
