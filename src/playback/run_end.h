#pragma once
// How a run ends: the movie closed, output flushed, the process ended with a status.

// Closes the active movie writer, if any, and empties activeAviWriter.
void finishMovie();

// Flushes standard output and ends the process.
[[noreturn]] void endRun(int status);

// Progress lines are flushed one by one only when a person is watching them.
void flushProgress();
