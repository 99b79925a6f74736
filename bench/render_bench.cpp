// Emulation and rendering alone: every record walked, interpreted and painted, no frame written.
//
//     render_bench RECORDING [FPS [FONT [EMULATION]]]
//
// FONT paints with that scalable font at 16 pixels (-font FONT), else (or when "") with font.txt;
// EMULATION "xterm" interprets with libvterm (-emulation xterm), else with the basic emulation.
// Prints records, seconds, records_per_second and peak_rss_kib.

#include "bench_support.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: render_bench RECORDING [FPS [FONT [EMULATION]]]\n");
        return 2;
    }
    const Recording recording = bench::readTtyrec(argv[1]);
    bench::Report report;
    bench::useFps(bench::fpsArgument(argc, argv, 2));
    settings.writeFrames = false;
    if (argc > 3) settings.font = argv[3];
    if (argc > 4 && std::string(argv[4]) == "xterm") settings.emulation = Emulation::xterm;
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
