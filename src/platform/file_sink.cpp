#include "platform/file_sink.h"

#include <fcntl.h>
#include <sys/resource.h>
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

// Disk space from..to, beyond the file's length where the file system allows; an errno value.
int holdSpace(FileSink& sink, int64_t from, int64_t to) {
    // Space held beyond the length escapes the file size limit, which is checked here instead.
    if (sink.sizeLimit >= 0 && to > sink.sizeLimit) return EFBIG;
    if (sink.lengthKept) {
        if (fallocate(sink.fd, FALLOC_FL_KEEP_SIZE, from, to - from) == 0) return 0;
        if (errno != EOPNOTSUPP) return errno;
        sink.lengthKept = false;
    }
    return posix_fallocate(sink.fd, from, to - from);
}

}  // namespace

bool openFileSink(FileSink& sink, const std::string& path) {
    sink.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (sink.fd < 0) return false;
    sink.path = path;
    struct stat status {};
    sink.regularFile = fstat(sink.fd, &status) == 0 && S_ISREG(status.st_mode);
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        sink.sizeLimit = static_cast<int64_t>(limit.rlim_cur);
    }
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
    if (ahead > target && holdSpace(sink, sink.reservedEnd, ahead) == 0) {
        sink.reservedEnd = ahead;
        return 0;
    }
    int error = holdSpace(sink, sink.reservedEnd, target);
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
    // Some file systems keep space held beyond the length through a truncation to it.
    if (sink.regularFile && sink.lengthKept && sink.reservedEnd > sink.end) {
        fallocate(sink.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, sink.end, sink.reservedEnd - sink.end);
    }
    if (close(sink.fd) != 0 && result == 0) result = AVERROR(errno);
    sink.fd = -1;
    return result;
}
