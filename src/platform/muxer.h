#pragma once
// A movie file and its streams over libavformat, in the container its name asks for (AVI, MP4,
// Matroska, WebM or GIF). Any number of streams, each described by codec parameters and a time
// base; packets from every stream are interleaved by time, their timestamps rescaled from the
// encoder's time base to the stream's. The file goes through a FileSink, which holds disk space
// ahead of the writes. An MP4 file is written fragmented and made a fast-start file at close.
// Results are 0 (or an index) on success, otherwise a negative FFmpeg error number.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/rational.h>
}

#include "platform/codecs.h"
#include "platform/file_sink.h"
#include "platform/movie_chapters.h"

struct AVCodecParameters;
struct AVDictionary;
struct AVFormatContext;
struct AVPacket;

// Closing a file without streams: only an AVI file can be left that way; any other is deleted.
constexpr int kMuxerNoStreamsError = FFERRTAG('N', 'O', 'F', 'R');

class Muxer {
public:
    Muxer() = default;
    Muxer(const Muxer&) = delete;
    Muxer& operator=(const Muxer&) = delete;
    ~Muxer();  // an open file is closed unfinished

    // Creates (or empties) the file at once; on failure errno says why.
    int open(const std::string& path);
    bool isOpen() const { return format_ != nullptr; }
    MovieContainer container() const { return container_; }
    // The container wants each codec's set-up in its header rather than in the packets.
    bool wantsGlobalHeader() const;

    // A new stream; its index, or a failure. Only before the header.
    int addStream(const AVCodecParameters& parameters, AVRational timeBase);
    int streamCount() const;
    // Describes the stream anew (an encoder opened after the stream was added). Only before the header.
    int setStreamParameters(int stream, const AVCodecParameters& parameters);

    // Packets are written straight from their data rather than through the I/O buffer (large
    // uncompressed frames).
    void writeDirect();

    // options: the container's own, added to those the muxer sets. Tried once only.
    int writeHeader(AVDictionary** options = nullptr);
    bool headerTried() const { return headerTried_; }
    bool headerWritten() const { return headerWritten_; }

    // Takes the packet's contents (timestamps in from); the packet is empty after.
    int writePacket(int stream, AVPacket& packet, AVRational from);

    // The chapters the file gets when it is completed, in MP4 and Matroska files; the other
    // containers leave them aside (a WebM file's would have to come before its header). A killed
    // run's file has none.
    void setChapters(std::vector<MovieChapter> chapters) { chapters_ = std::move(chapters); }

    // Completes the file (held packets, trailer; an MP4 file's fast-start copy) and closes it;
    // the first failure. A file whose header never came gets it now.
    int close();

private:
    int mux(AVPacket& packet);
    int writeFragment();
    int flush();
    int64_t closingBytes() const;
    void release();

    FileSink sink_;
    MovieContainer container_ = MovieContainer::avi;
    AVFormatContext* format_ = nullptr;
    int64_t packetCount_ = 0;
    int64_t fragmentBytes_ = 0;   // MP4: what the muxer holds for the fragment under way
    double fragmentStarted_ = 0;  // MP4: when that fragment began, monotonic seconds
    // MP4: each stream's packet written last waits for the next one, whose time gives its
    // duration; a fragment's last frame would otherwise last the packet's own duration, and the
    // frames after the fragment would be shifted by the difference.
    std::vector<AVPacket*> waiting_;
    std::vector<int64_t> firstPts_;  // MP4: of each stream's first packet, in its time base
    // MP4: where each stream's pictures end (the latest time plus duration), in its time base:
    // the fast-start copy's tracks end there.
    std::vector<int64_t> ends_;
    std::vector<MovieChapter> chapters_;
    // MP4: which streams have had a packet muxed. The first packet to reach the file sets the
    // shift that keeps every stream's times from going negative, so no fragment is written
    // before each stream has one in the interleaving queue, which hands over the earliest first.
    std::vector<bool> muxed_;
    bool headerTried_ = false;
    bool headerWritten_ = false;
};
