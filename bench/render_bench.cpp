// Emulation and rendering alone: every record walked, interpreted and painted, no frame written.
//
//     render_bench RECORDING [FPS [FONT]]
//
// FONT paints with that scalable font at 16 pixels (-font FONT), else with font.txt.
// Prints records, seconds, records_per_second and peak_rss_kib.

#include "bench_support.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: render_bench RECORDING [FPS [FONT]]\n");
        return 2;
    }
    const Recording recording = bench::readTtyrec(argv[1]);
    bench::Report report;
    bench::useFps(bench::fpsArgument(argc, argv, 2));
    settings.writeFrames = false;
    if (argc > 3) settings.font = argv[3];
    std::unique_ptr<RunStages> stages = bench::startConverterStages();

    size_t records = 0;
    EventSource events(recording);
    PlaybackStages walked = stages->playback();
    Playback playback(bench::playbackOptions());
    playback.begin(events);
    double start = bench::now();
    while (playback.step(events, walked)) {
        ++records;
    }
    double seconds = bench::now() - start;
    report.line("records", static_cast<double>(records));
    report.line("seconds", seconds);
    report.line("records_per_second", static_cast<double>(records) / seconds);
    report.line("peak_rss_kib", static_cast<double>(bench::peakResidentKib()));
    return 0;
}
