#include "platform/movie_chapters.h"

#include <cerrno>
#include <limits>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

int addChapters(AVFormatContext& format, std::span<const MovieChapter> chapters) {
    if (chapters.empty()) return 0;
    if (chapters.size() > std::numeric_limits<int>::max() - format.nb_chapters) return AVERROR(EINVAL);
    // libavformat makes chapters for its demuxers only: the array and entries are allocated as
    // avformat_free_context frees them.
    const size_t count = format.nb_chapters + chapters.size();
    auto* grown = static_cast<AVChapter**>(av_realloc_array(format.chapters, count, sizeof(AVChapter*)));
    if (grown == nullptr) return AVERROR(ENOMEM);
    format.chapters = grown;
    for (const MovieChapter& chapter : chapters) {
        auto* made = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (made == nullptr) return AVERROR(ENOMEM);
        made->id = format.nb_chapters + 1;
        made->time_base = AVRational{1, 1000};
        made->start = chapter.start;
        made->end = chapter.end;
        format.chapters[format.nb_chapters++] = made;
        if (int set = av_dict_set(&made->metadata, "title", chapter.title.c_str(), 0); set < 0) return set;
    }
    return 0;
}
