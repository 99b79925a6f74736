#include "platform/muxer.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/video_encoder.h"
#include "test_support.h"

namespace {

// Two video streams a second long at different rates, so with different time bases.
constexpr std::array<int, 2> kFramesPerSecond = {10, 25};

// Every packet's stream and time in seconds, in the order the file holds them.
struct ReadPacket {
    int stream;
    double seconds;
};

std::vector<ReadPacket> readPackets(const std::string& path, std::vector<AVMediaType>& types) {
    AVFormatContext* input = nullptr;
    std::vector<ReadPacket> packets;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return packets;
    for (unsigned i = 0; i < input->nb_streams; ++i) types.push_back(input->streams[i]->codecpar->codec_type);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        const AVStream* stream = input->streams[packet->stream_index];
        packets.push_back({packet->stream_index, static_cast<double>(packet->dts) * av_q2d(stream->time_base)});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return packets;
}

TEST(MuxerTest, TwoStreamsAreInterleavedByTimeAndAnMp4EndsInFastStartForm) {
    const fs::path dir = makeTempDir();
    for (const char* name : {"two.mp4", "two.mkv"}) {
        SCOPED_TRACE(name);
        const std::string path = (dir / name).string();
        Muxer muxer;
        ASSERT_EQ(muxer.open(path), 0);

        std::array<VideoEncoder, 2> encoders;
        for (int stream = 0; stream < 2; ++stream) {
            const AVRational time{1, kFramesPerSecond[stream]};
            ASSERT_EQ(openVideoEncoder(encoders[stream], *findCodecChoice("mjpeg"), 64, 48, time,
                                       muxer.wantsGlobalHeader(), false), 0);
            AVCodecParameters* parameters = avcodec_parameters_alloc();
            ASSERT_EQ(avcodec_parameters_from_context(parameters, encoders[stream].context), 0);
            EXPECT_EQ(muxer.addStream(*parameters, time), stream);
            avcodec_parameters_free(&parameters);
        }
        ASSERT_EQ(muxer.writeHeader(), 0);

        // All of the first stream, then all of the second: the file must still hold them by time.
        std::array<int, 2> written{};
        std::vector<uint8_t> pixels(64 * 48 * 4);
        for (int stream = 0; stream < 2; ++stream) {
            const AVRational time{1, kFramesPerSecond[stream]};
            PacketUse into = [&muxer, &written, stream, time](AVPacket& packet) {
                ++written[stream];
                return muxer.writePacket(stream, packet, time);
            };
            for (int frame = 0; frame < kFramesPerSecond[stream]; ++frame) {
                std::fill(pixels.begin(), pixels.end(), static_cast<uint8_t>(frame * 9));
                ASSERT_EQ(encodePicture(encoders[stream], {pixels.data(), 64 * 4, 64, 48}, frame, false, into), 0);
            }
            ASSERT_EQ(finishEncoding(encoders[stream], into), 0);
            closeVideoEncoder(encoders[stream]);
        }
        ASSERT_EQ(muxer.close(), 0);

        std::vector<AVMediaType> types;
        const std::vector<ReadPacket> packets = readPackets(path, types);
        EXPECT_EQ(types, (std::vector<AVMediaType>{AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_VIDEO}));
        std::array<int, 2> read{};
        std::array<double, 2> last{};
        bool interleaved = true;
        for (size_t i = 0; i < packets.size(); ++i) {
            ++read[packets[i].stream];
            last[packets[i].stream] = packets[i].seconds;
            if (i > 0 && packets[i].seconds < packets[i - 1].seconds - 1e-6) interleaved = false;
        }
        EXPECT_EQ(read, written);
        EXPECT_TRUE(interleaved);
        // Each stream's last frame starts one frame before the second's end, in its own time base.
        EXPECT_NEAR(last[0], 0.9, 1e-3);
        EXPECT_NEAR(last[1], 0.96, 1e-3);

        if (std::string(name).ends_with(".mp4")) {
            std::ifstream file(path, std::ios::binary);
            const std::string bytes{std::istreambuf_iterator<char>(file), {}};
            EXPECT_LT(bytes.find("moov"), bytes.find("mdat")) << "fast start: the index first";
            EXPECT_EQ(bytes.find("moof"), std::string::npos) << "no fragments left";
        }
    }
    fs::remove_all(dir);
}

}  // namespace
