#include "emission/frame_files.h"

#include <cstdio>

namespace {

// Closes a file being written; when anything went wrong the half-written file is removed.
bool finishWrite(std::FILE* file, const std::string& path, bool ok) {
    if (std::fclose(file) != 0) ok = false;
    if (!ok) std::remove(path.c_str());
    return ok;
}

}  // namespace

bool writeWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return finishWrite(file, path, ok);
}

CopyResult copyWholeFile(const std::string& source, const std::string& target, std::span<uint8_t> buffer) {
    std::FILE* in = std::fopen(source.c_str(), "rb");
    if (in == nullptr) return CopyResult::sourceUnreadable;
    std::FILE* out = std::fopen(target.c_str(), "wb");
    if (out == nullptr) {
        std::fclose(in);
        return CopyResult::targetUnwritable;
    }
    bool written = true;
    size_t got;
    while (written && (got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        written = std::fwrite(buffer.data(), 1, got, out) == got;
    }
    bool readFailed = std::ferror(in) != 0;
    std::fclose(in);
    if (!finishWrite(out, target, written && !readFailed)) {
        return readFailed ? CopyResult::sourceUnreadable : CopyResult::targetUnwritable;
    }
    return CopyResult::copied;
}
