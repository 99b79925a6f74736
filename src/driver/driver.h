#pragma once
// The converter's entry point: banner, options, announcements, output preparation, playback.

// Returns the exit status; some errors end the process directly.
int runConverter(int argc, char** argv);
