#pragma once
// An MP4 file is written fragmented while the run goes on, so that a run killed outright leaves
// a file that plays up to its last fragment; closed normally, it becomes a regular MP4 with its
// index at the front, as players and browsers expect. Results are 0 or a negative FFmpeg error
// number.

#include <cstdint>
#include <string>


struct AVStream;

// Copies the packets of the fragmented MP4 at path, unchanged, into a regular one with its index
// first, written beside it under a temporary name that then replaces it; the stream is described
// as written was (the fragments do not keep all of it). The fragments count time from their first
// frame's decoding: firstPts (in written's time base; AV_NOPTS_VALUE when there was no packet)
// puts the first packet back at its own time. On failure the temporary file goes and the
// fragmented one stays.
int finishFragmentedMp4(const std::string& path, const AVStream& written, int64_t firstPts);
