#include "emission/frame_files.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {


// Closes a file being written; when anything went wrong the half-written file is removed,
// errno still saying what.
bool finishWrite(int fd, const std::string& path, bool ok) {
    int why = errno;
    if (close(fd) != 0) {
        why = ok ? errno : why;
        ok = false;
    }
    if (!ok) unlink(path.c_str());
    errno = why;
    return ok;
}

bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t wrote = write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

enum class Copied { all, notHere, readFailed, writeFailed };

// The kernel copies within the file system; where it cannot (another file system, a kernel or
// file system without it, a file-size limit) the rest is left to the plain copy, from where
// both offsets stand.
Copied copyRange(int in, int out) {
    while (true) {
        ssize_t copied = copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
        if (copied == 0) return Copied::all;
        if (copied < 0 && errno == EINTR) continue;
        if (copied < 0) return Copied::notHere;
    }
}

Copied copyPlainly(int in, int out, std::span<uint8_t> buffer) {
    while (true) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Copied::readFailed;
        if (got == 0) return Copied::all;
        if (!writeAll(out, buffer.data(), static_cast<size_t>(got))) return Copied::writeFailed;
    }
}

}  // namespace

bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    return finishWrite(fd, path, writeAll(fd, bytes.data(), bytes.size()));
}

CopyResult copyWholeFile(const std::string& source, const std::string& target, std::span<uint8_t> buffer,
                         CopyWay firstWay) {
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return CopyResult::sourceUnreadable;
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        close(in);
        return CopyResult::targetUnwritable;
    }
    // A clone shares the blocks: no data moves at all.
    Copied result = firstWay == CopyWay::clone && ioctl(out, FICLONE, in) == 0 ? Copied::all : Copied::notHere;
    if (result == Copied::notHere && firstWay != CopyWay::plain) result = copyRange(in, out);
    if (result == Copied::notHere) result = copyPlainly(in, out, buffer);
    close(in);
    if (!finishWrite(out, target, result == Copied::all)) {
        return result == Copied::readFailed ? CopyResult::sourceUnreadable : CopyResult::targetUnwritable;
    }
    return CopyResult::copied;
}

void UnwrittenFrames::note(const std::string& path) {
    if (count++ == 0) first = path + ": " + std::strerror(errno);
}
