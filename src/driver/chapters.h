#pragma once
// A movie's chapters: an asciicast recording's markers where the video shows them, else one
// every -chapter-every seconds. MP4 and Matroska files keep chapters; the other outputs have none.

#include <cstdint>
#include <span>
#include <vector>

#include "driver/settings.h"
#include "platform/movie_chapters.h"
#include "playback/playback.h"

class MovieWriter;

// The chapters of a movie lengthMillis long, in the order of their starts, each ending where the
// next begins and the last at the movie's end: a chapter for each marker inside the movie, titled
// with its label or "Marker N" (the last of several on one frame wins), unless -chapters off; where
// none is made so, one every -chapter-every seconds, "Chapter 1", "Chapter 2", ... (when markers
// make them, a note on standard error says -chapter-every is left aside).
std::vector<MovieChapter> movieChapters(const RunSettings& settings, std::span<const VideoMarker> markers,
                                        int64_t lengthMillis);

// Hands the open movie its chapters once the walk placed the markers, before it is closed.
void giveChapters(const RunSettings& settings, std::span<const VideoMarker> markers, MovieWriter& movie);

// -chapter-every with an output that keeps no chapters: one warning.
void warnChaptersLeftAside(const RunSettings& settings);
