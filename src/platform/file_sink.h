#pragma once
// The file a movie goes into, written through FFmpeg's I/O layer, with disk space held ahead of
// the writes: a full disk (or a file size limit) then refuses a packet before the muxer has taken
// it, never in the middle of one, and what closing the file adds always has room. The space is
// held beyond the file's length where the file system can, so that a run killed outright leaves
// what it wrote and no zeros after it. Results are 0 or a negative FFmpeg error number.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct AVIOContext;

struct FileSink {
    std::string path;
    int fd = -1;
    bool regularFile = false;  // only a regular file has disk space to hold
    int64_t position = 0;      // where the next write lands
    int64_t end = 0;           // the length of what has been written
    int64_t reservedEnd = 0;   // disk space is held up to here
    bool lengthKept = true;    // the space is held without lengthening the file
    int64_t sizeLimit = -1;    // RLIMIT_FSIZE; -1: none
};

// Creates (or empties) the file at once; false with errno set.
bool openFileSink(FileSink& sink, const std::string& path);

// FFmpeg's I/O into the sink, seeking where the file can; nullptr when out of memory.
AVIOContext* openSinkIo(FileSink& sink);
void closeSinkIo(AVIOContext*& io);

// Writes all of bytes where the sink stands; bytes.size() or a failure.
int writeToSink(FileSink& sink, std::span<const uint8_t> bytes);

// Holds disk space for bytes beyond what is written, and closingBytes beyond those for what
// closing the file may still add.
int reserveSpace(FileSink& sink, int64_t bytes, int64_t closingBytes);

// The file's first bytes, read through a second opening (the sink is open for writing only);
// empty where that is refused.
std::vector<uint8_t> readSinkHead(const FileSink& sink, size_t size);

int overwriteInSink(FileSink& sink, int64_t at, std::span<const uint8_t> bytes);

// Gives back the space held beyond what was written and closes the file; the first failure.
int closeFileSink(FileSink& sink);
