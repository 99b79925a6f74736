// The floor of an uncompressed movie: writing the same number of bytes to the same disk, in
// pieces of one frame, from memory.
//
//     write_floor PATH BYTES PIECE
//
// Prints seconds (from creating the file to closing it) and peak_rss_kib.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "bench_support.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: write_floor PATH BYTES PIECE\n");
        return 2;
    }
    const long long total = std::atoll(argv[2]);
    const size_t piece = static_cast<size_t>(std::atoll(argv[3]));
    std::vector<uint8_t> frame(piece);
    for (size_t i = 0; i < piece; ++i) frame[i] = static_cast<uint8_t>(i * 7);
    bench::Report report;
    double started = bench::now();
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return 2;
    long long done = 0;
    while (done < total) {
        size_t length = static_cast<size_t>(std::min<long long>(static_cast<long long>(piece), total - done));
        ssize_t wrote = write(fd, frame.data(), length);
        if (wrote <= 0) return 2;
        done += wrote;
    }
    if (close(fd) != 0) return 2;
    report.line("seconds", bench::now() - started);
    report.line("peak_rss_kib", static_cast<double>(bench::peakResidentKib()));
    return 0;
}
