#pragma once
// Chapters of a movie, as MP4 and Matroska files keep them, handed to libavformat.

#include <cstdint>
#include <span>
#include <string>

struct AVFormatContext;

// A chapter from start up to end, in milliseconds of the movie's time.
struct MovieChapter {
    int64_t start = 0;
    int64_t end = 0;
    std::string title;
};

// Gives the chapters to format, which writes them with its trailer (or its header, when they come
// before it); its context frees them. 0 or a negative FFmpeg error number.
int addChapters(AVFormatContext& format, std::span<const MovieChapter> chapters);
