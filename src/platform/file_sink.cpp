#include "platform/file_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

constexpr int kIoBufferSize = 1 << 16;
// Space is held well ahead, an eighth of what is written at a time up to this, so that large
// frames do not each ask the file system for theirs.
constexpr int64_t kMostReservedAhead = int64_t{64} << 20;

int writePacketBytes(void* opaque, uint8_t* buffer, int size) {
    return writeToSink(*static_cast<FileSink*>(opaque), std::span(buffer, static_cast<size_t>(size)));
}

int64_t seekInSink(void* opaque, int64_t offset, int whence) {
    auto* sink = static_cast<FileSink*>(opaque);
    if (whence & AVSEEK_SIZE) return sink->end;
    off_t reached = lseek(sink->fd, offset, whence & ~AVSEEK_FORCE);
    if (reached < 0) return AVERROR(errno);
    sink->position = reached;
    return reached;
}

}  // namespace

bool openFileSink(FileSink& sink, const std::string& path) {
    sink.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (sink.fd < 0) return false;
    sink.path = path;
    struct stat status {};
    sink.regularFile = fstat(sink.fd, &status) == 0 && S_ISREG(status.st_mode);
    return true;
}

AVIOContext* openSinkIo(FileSink& sink) {
    bool seekable = lseek(sink.fd, 0, SEEK_CUR) >= 0;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr) return nullptr;
    AVIOContext* io = avio_alloc_context(buffer, kIoBufferSize, 1, &sink, nullptr, writePacketBytes,
                                         seekable ? seekInSink : nullptr);
    if (io == nullptr) av_free(buffer);
    return io;
}

void closeSinkIo(AVIOContext*& io) {
    if (io != nullptr) av_freep(&io->buffer);
    avio_context_free(&io);
}

int writeToSink(FileSink& sink, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(sink.fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<size_t>(written);
        sink.position += written;
        sink.end = std::max(sink.end, sink.position);
    }
    return static_cast<int>(bytes.size());
}

int reserveSpace(FileSink& sink, int64_t bytes, int64_t closingBytes) {
    if (!sink.regularFile) return 0;
    int64_t target = std::max(sink.end, sink.position) + bytes + closingBytes;
    if (target <= sink.reservedEnd) return 0;
    // Where the space ahead is not free, the exact amount decides.
    int64_t ahead = std::max(target, sink.reservedEnd + std::min(sink.end / 8, kMostReservedAhead));
    if (ahead > target && posix_fallocate(sink.fd, sink.reservedEnd, ahead - sink.reservedEnd) == 0) {
        sink.reservedEnd = ahead;
        return 0;
    }
    int error = posix_fallocate(sink.fd, sink.reservedEnd, target - sink.reservedEnd);
    if (error != 0) return AVERROR(error);
    sink.reservedEnd = target;
    return 0;
}

std::vector<uint8_t> readSinkHead(const FileSink& sink, size_t size) {
    std::vector<uint8_t> head(size);
    int reader = open(("/proc/self/fd/" + std::to_string(sink.fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (reader < 0) return {};
    ssize_t got = pread(reader, head.data(), head.size(), 0);
    close(reader);
    head.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return head;
}

int overwriteInSink(FileSink& sink, int64_t at, std::span<const uint8_t> bytes) {
    ssize_t written = pwrite(sink.fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
    return written == static_cast<ssize_t>(bytes.size()) ? 0 : AVERROR(errno);
}

int closeFileSink(FileSink& sink) {
    int result = 0;
    if (sink.regularFile && ftruncate(sink.fd, sink.end) != 0) result = AVERROR(errno);
    if (close(sink.fd) != 0 && result == 0) result = AVERROR(errno);
    sink.fd = -1;
    return result;
}
