// The floor of PNG mode: LodePNG encoding each distinct screen of a recording once, on one
// core; the floor on all cores is that time divided by their number.
//
//     png_floor RECORDING [FPS] [SCALE]
//
// Screens are painted by the converter's renderer; a screen equal to the one before it is not
// encoded again (the converter reuses its bytes too). Only LodePNG's encoding is timed, not the
// making of the RGBA image it is given. With SCALE 2 (-double) the images are twice the size.
// Prints screens, encode_seconds, cores, floor_seconds and peak_rss_kib.

#include <lodepng.h>
#include <sched.h>

#include "bench_support.h"
#include "emission/png_writer.h"
#include "playback/ttyrec_record.h"
#include "render/surface.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: png_floor RECORDING [FPS] [SCALE]\n");
        return 2;
    }
    std::vector<uint8_t> data = bench::readRecording(argv[1]);
    bench::Report report;
    bench::useFps(bench::fpsArgument(argc, argv, 2));
    const int32_t factor = argc > 3 ? std::atoi(argv[3]) : 1;
    settings.writeFrames = false;
    bench::startConverterStages();

    std::vector<uint8_t> encoded;
    size_t screens = 0;
    double seconds = 0;
    const uint8_t* position = data.data();
    const uint8_t* end = position + data.size();
    while (end - position >= static_cast<ptrdiff_t>(kRecordHeaderSize)) {
        position = stepRecord(position, end);
        if (mainSurface().pixels == encoded) continue;
        encoded = mainSurface().pixels;
        std::vector<uint8_t> image = pngImageBuffer(mainSurface(), factor);
        unsigned char* png = nullptr;
        size_t size = 0;
        double started = bench::now();
        unsigned error = lodepng_encode32(&png, &size, image.data(), static_cast<unsigned>(mainSurface().width * factor),
                                          static_cast<unsigned>(mainSurface().height * factor));
        seconds += bench::now() - started;
        std::free(png);
        if (error != 0) return 1;
        ++screens;
    }
    cpu_set_t cores;
    sched_getaffinity(0, sizeof cores, &cores);
    report.line("screens", static_cast<double>(screens));
    report.line("encode_seconds", seconds);
    report.line("cores", CPU_COUNT(&cores));
    report.line("floor_seconds", seconds / CPU_COUNT(&cores));
    report.line("peak_rss_kib", static_cast<double>(bench::peakResidentKib()));
    return 0;
}
