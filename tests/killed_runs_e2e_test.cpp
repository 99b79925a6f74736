// Runs killed outright (SIGKILL) leave a movie that plays up to about where they were.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "test_support.h"

namespace {

// A screen that changes every tenth of a second, for far longer than the runs are let go on.
std::string longRecording() {
    std::string recording;
    for (uint32_t i = 0; i < 2000; ++i) {
        std::string payload = "\x1b[" + std::to_string(i % 25 + 1) + ";1H\x1b[3" + std::to_string(i % 7 + 1) +
                              "mline " + std::to_string(i) + std::string(i % 50, '#') + "\x1b[K";
        recording += ttyrecRecord(1000 + i / 10, i % 10 * 100000, payload);
    }
    return recording;
}

bool finished(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 0; i < 3 && stat >> field; ++i) {
    }
    return !stat || field == "Z";
}

// Kills the run once the movie has grown to bytes; false when the run ended first.
bool killAtSize(RunningReelcap running, const fs::path& movie, uintmax_t bytes) {
    std::error_code error;
    while (fs::file_size(movie, error) < bytes || error) {
        if (finished(running.pid)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool killed = kill(running.pid, SIGKILL) == 0 && !finished(running.pid);
    RunResult result = finishReelcap(running);
    return killed && result.status == 128 + SIGKILL;
}

// Frames FFmpeg decodes from the file, as a player reads it; -1 when it does not open.
int decodedFrames(const fs::path& path) {
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return -1;
    int frames = -1;
    const AVCodec* codec = nullptr;
    AVCodecContext* decoder = nullptr;
    if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams == 1 &&
        (codec = avcodec_find_decoder(format->streams[0]->codecpar->codec_id)) != nullptr) {
        decoder = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoder, format->streams[0]->codecpar);
        if (avcodec_open2(decoder, codec, nullptr) >= 0) frames = 0;
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(decoder, frame) >= 0) ++frames;
    };
    while (frames >= 0 && av_read_frame(format, packet) >= 0) {
        avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        receive();
    }
    if (frames >= 0) {
        avcodec_send_packet(decoder, nullptr);
        receive();
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
    return frames;
}

TEST(KilledRunTest, EveryContainerPlaysUpToTheKill) {
    struct Case {
        const char* output;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"movie.avi", {"-codec", "zmbv"}},
        {"movie.mkv", {}},
        {"movie.webm", {}},
        {"movie.mp4", {}},
        {"movie.gif", {}},
    };
    fs::path dir = makeTempDir();
    installFont(dir);
    writeFile(dir / "long.ttyrec", longRecording());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        int earlier = 0;
        // The second kill comes once more has been written than a flush holds (an MP4 fragment
        // of a second, a Matroska cluster of a key frame and five seconds of movie at most).
        uintmax_t bytes = uintmax_t{20} << 10;
        for (int kill = 0; kill < 2; ++kill) {
            // One job, so that the file grows frame by frame rather than a segment at a time.
            std::vector<std::string> args{"long.ttyrec", "-quiet", "-jobs", "1", "-output", c.output};
            args.insert(args.end(), c.options.begin(), c.options.end());
            ASSERT_TRUE(killAtSize(startReelcap(dir, args, RunOptions{}), dir / c.output, bytes)) << bytes;
            int frames = decodedFrames(dir / c.output);
            EXPECT_GT(frames, earlier) << bytes;
            earlier = frames;
            bytes = fs::file_size(dir / c.output) + (uintmax_t{192} << 10);
        }
    }
    fs::remove_all(dir);
}

}  // namespace
