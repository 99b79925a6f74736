// The floor of PNG mode: LodePNG encoding each distinct screen of a recording once, on one
// core; the floor on all cores is that time divided by their number.
//
//     png_floor RECORDING [FPS] [SCALE] [DIRECTORY]
//
// Screens are painted by the converter's renderer; a screen equal to the one before it is not
// encoded again (the converter reuses its bytes too). Only LodePNG's encoding is timed, not the
// making of the RGBA image it is given. With SCALE 2 (-double) the images are twice the size.
// With DIRECTORY, the files of the run are written there too, one a frame as the converter
// names them, each with its screen's bytes (files_seconds), and count in the floor.
// Prints screens, encode_seconds, cores, files, files_seconds, floor_seconds and peak_rss_kib.

#include <fcntl.h>
#include <lodepng.h>
#include <sched.h>
#include <unistd.h>

#include "bench_support.h"
#include "emission/png_writer.h"
#include "render/surface.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: png_floor RECORDING [FPS] [SCALE]\n");
        return 2;
    }
    const Recording recording = bench::readTtyrec(argv[1]);
    bench::Report report;
    bench::useFps(bench::fpsArgument(argc, argv, 2));
    const int32_t factor = argc > 3 ? std::atoi(argv[3]) : 1;
    settings.writeFrames = false;
    std::unique_ptr<RunStages> stages = bench::startConverterStages();
    const Surface& picture = stages->painter.frame();

    const char* directory = argc > 4 ? argv[4] : nullptr;
    std::vector<uint8_t> encoded;
    std::vector<uint8_t> png;    // of the screen painted last
    std::vector<uint8_t> shown;  // of the screen the frames up to the record's frame show
    size_t screens = 0;
    size_t files = 0;
    double seconds = 0;
    double fileSeconds = 0;
    int32_t previousEnd = 0;
    auto writeFiles = [&](int32_t from, int32_t to) {
        if (directory == nullptr) return;
        double started = bench::now();
        for (int32_t frame = std::max(from, 1); frame < to; ++frame) {  // numbered from 1
            char path[4096];
            std::snprintf(path, sizeof path, "%s/%07d.png", directory, frame);
            int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, shown.data(), shown.size()) != static_cast<ssize_t>(shown.size())) std::exit(1);
            ::close(fd);
            ++files;
        }
        fileSeconds += bench::now() - started;
    };
    EventSource events(recording);
    PlaybackStages walked = stages->playback();
    Playback playback(bench::playbackOptions());
    playback.begin(events);
    while (playback.step(events, walked)) {
        if (picture.pixels != encoded) {
            encoded = picture.pixels;
            std::vector<uint8_t> image = pngImageBuffer(picture, factor);
            unsigned char* bytes = nullptr;
            size_t size = 0;
            double started = bench::now();
            unsigned error = lodepng_encode32(&bytes, &size, image.data(),
                                              static_cast<unsigned>(picture.width * factor),
                                              static_cast<unsigned>(picture.height * factor));
            seconds += bench::now() - started;
            if (error != 0) return 1;
            png.assign(bytes, bytes + size);
            std::free(bytes);
            ++screens;
        }
        // The first record fills its own frames; each later span shows the screen before it.
        if (shown.empty()) shown = png;
        writeFiles(previousEnd, playback.clock().frameEnd);
        previousEnd = playback.clock().frameEnd;
        shown = png;
    }
    writeFiles(previousEnd, previousEnd + 1);  // the final screen's own frame
    cpu_set_t cores;
    sched_getaffinity(0, sizeof cores, &cores);
    report.line("screens", static_cast<double>(screens));
    report.line("encode_seconds", seconds);
    report.line("cores", CPU_COUNT(&cores));
    report.line("files", static_cast<double>(files));
    report.line("files_seconds", fileSeconds);
    report.line("floor_seconds", seconds / CPU_COUNT(&cores) + fileSeconds);
    report.line("peak_rss_kib", static_cast<double>(bench::peakResidentKib()));
    return 0;
}
