#pragma once
// An MP4 file is written fragmented while the run goes on, so that a run killed outright leaves
// a file that plays up to its last fragment; closed normally, it becomes a regular MP4 with its
// index at the front, as players and browsers expect. Results are 0 or a negative FFmpeg error
// number.

#include <cstdint>
#include <span>
#include <string>

#include "platform/movie_chapters.h"

struct AVFormatContext;

// Copies the packets of the fragmented MP4 at path into a regular one with its index
// first, written beside it under a temporary name that then replaces it; every stream is described
// as written's was (the fragments do not keep all of it). Each stream's fragments count time from
// its first packet's decoding: firstPts[i] (in stream i's time base in written; AV_NOPTS_VALUE
// when it had no packet) puts that packet back at its own time. Reading back loses the packets'
// durations: they are made anew so that stream i's track and pictures both end at ends[i] (same
// units; AV_NOPTS_VALUE: unknown). The copy gets chapters. On failure the temporary file goes and the fragmented one stays.
int finishFragmentedMp4(const std::string& path, const AVFormatContext& written, std::span<const int64_t> firstPts,
                        std::span<const int64_t> ends, std::span<const MovieChapter> chapters = {});
