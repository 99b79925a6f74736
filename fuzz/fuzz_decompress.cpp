// Arbitrary bytes as a possibly compressed recording: decoded whole from memory and as a stream
// through a pipe, which must agree on the bytes and on whether the stream is sound.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "platform/decompress.h"

namespace {

constexpr size_t kLimit = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    const bool compressed = isCompressed(bytes);
    std::vector<uint8_t> decoded;
    std::string error;
    const bool whole = decompress(bytes, kLimit, decoded, error);
    if ((whole && !compressed) || whole != error.empty() || decoded.size() > kLimit) std::abort();

    // Inputs are at most a few kilobytes, within what a pipe holds before its reader starts.
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fds[1]);
    std::vector<uint8_t> streamed;
    std::string streamError;
    const bool read = readDecompressing(fds[0], kLimit, streamed, streamError);
    close(fds[0]);
    // libarchive's reason for a failure may differ as the stream arrives in other pieces.
    if (compressed && (read != whole || streamed != decoded || read != streamError.empty())) std::abort();
    if (!compressed && (!read || !std::equal(streamed.begin(), streamed.end(), bytes.begin(), bytes.end()))) {
        std::abort();
    }
    return 0;
}
