#pragma once
// How a run ends: the movie closed, output flushed, the process ended with a status.

// Completes the frames still being made, then closes the active movie writer, if any, and
// empties activeMovieWriter.
void finishMovie();

// Flushes standard output and ends the process.
[[noreturn]] void endRun(int status);

// SIGINT and SIGTERM ask the walk to stop after the record in progress; a second one ends
// the process at once.
void installInterruptHandlers();
bool interruptRequested();

// The signal that asked for the interruption, 0 when none did.
int interruptSignal();
