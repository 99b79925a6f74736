// End-to-end runs under faults: unwritable outputs, full disks, bad recordings, interruption.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>

#include <lodepng.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "movie_reader.h"
#include "test_support.h"

namespace {

constexpr int kNobody = 65534;

class FaultsTest : public testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        fs::permissions(dir, fs::perms::all);  // reachable by the unprivileged runs below
        installFont(dir);
    }
    void TearDown() override {
        if (mounted) umount(smallDisk.c_str());
        fs::remove_all(dir);
    }

    // Permissions mean nothing to root: runs that test them drop to an ordinary user.
    RunOptions unprivileged() {
        RunOptions options;
        if (geteuid() == 0) options.uid = kNobody;
        return options;
    }

    // A directory that holds only about `bytes`: a small tmpfs where the machine allows it,
    // else a file-size limit on the run.
    fs::path makeSmallDisk(long bytes, RunOptions& options) {
        smallDisk = dir / "small";
        fs::create_directory(smallDisk);
        fs::permissions(smallDisk, fs::perms::all);
        std::string data = "size=" + std::to_string(bytes) + ",mode=0777";
        if (mount("tmpfs", smallDisk.c_str(), "tmpfs", 0, data.c_str()) == 0) {
            mounted = true;
        } else {
            options.fileSizeLimit = bytes;
        }
        return smallDisk;
    }

    fs::path dir;
    fs::path smallDisk;
    bool mounted = false;
};

std::string recordingOf(int records, int gapMicros) {
    std::string recording;
    for (int i = 0; i < records; ++i) {
        int64_t at = int64_t{i} * gapMicros;
        recording += ttyrecRecord(static_cast<uint32_t>(1000 + at / 1000000), static_cast<uint32_t>(at % 1000000),
                                  "\x1b[" + std::to_string(i % 25 + 1) + ";1Hrecord " + std::to_string(i));
    }
    return recording;
}

int progressCount(const std::string& output) {
    int count = output.rfind("Frame ", 0) == 0 ? 1 : 0;
    for (size_t at = output.find("\nFrame "); at != std::string::npos; at = output.find("\nFrame ", at + 1)) ++count;
    return count;
}

std::string lastLine(const std::string& output) {
    size_t end = output.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    size_t start = output.rfind('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

TEST_F(FaultsTest, UnwritableOutputsEndTheRunBeforePlayback) {
    writeFile(dir / "rec.ttyrec", recordingOf(3, 100000));
    fs::create_directory(dir / "readonly");
    fs::permissions(dir / "readonly", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"movie into a missing directory", {"-output", "missing/out.avi"},
         "Error: cannot create missing/out.avi: No such file or directory"},
        {"movie into a read-only directory", {"-output", "readonly/out.avi"},
         "Error: cannot create readonly/out.avi: Permission denied"},
        {"movie over a directory", {"-output", "readonly"}, "Error: cannot create readonly: Is a directory"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"rec.ttyrec"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult result = runReelcapWith(dir, args, unprivileged());
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(lastLine(result.output), c.message) << c.name;
        EXPECT_FALSE(fs::exists(dir / "output")) << c.name << ": playback started";
        EXPECT_TRUE(fs::is_directory(dir / "readonly")) << c.name;
    }
}

TEST_F(FaultsTest, PngSeriesWithoutItsDirectoryIsRefused) {
    writeFile(dir / "rec.ttyrec", recordingOf(3, 100000));
    {
        writeFile(dir / "frames", "not a directory");
        RunResult result = runReelcap(dir, {"rec.ttyrec", "-png"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lastLine(result.output), "Error: cannot create the directory frames: it exists and is not a directory");
        EXPECT_EQ(readFile(dir / "frames"), "not a directory");
        EXPECT_FALSE(fs::exists(dir / "output"));
        fs::remove(dir / "frames");
    }
    {
        fs::path readonly = dir / "readonly";
        fs::create_directory(readonly);
        fs::copy_file(dir / "rec.ttyrec", readonly / "rec.ttyrec");
        installFont(readonly);
        fs::permissions(readonly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
        RunResult result = runReelcapWith(readonly, {"rec.ttyrec", "-png"}, unprivileged());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lastLine(result.output), "Error: cannot create the directory frames: Permission denied");
        EXPECT_FALSE(fs::exists(readonly / "frames"));
        EXPECT_FALSE(fs::exists(readonly / "output"));
    }
}

TEST_F(FaultsTest, FullDiskDuringAMovieKeepsWhatWasWritten) {
    writeFile(dir / "rec.ttyrec", recordingOf(12, 100000));  // 34 frames of 1.6 MB
    RunOptions options;
    makeSmallDisk(8 * 1024 * 1024, options);
    RunResult result = runReelcapWith(dir, {"rec.ttyrec", "-output", "small/out.avi"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("Error: writing small/out.avi failed: "), std::string::npos) << result.output;
    EXPECT_EQ(progressCount(result.output), 12) << "the run goes on after the failure";
    DecodedMovie movie = readMovie((dir / "small/out.avi").string());
    ASSERT_TRUE(movie.opened);
    EXPECT_GE(movie.frames.size(), 1u);
    EXPECT_LT(movie.frames.size(), 34u);
    EXPECT_EQ(movie.frames.size(), movie.packets.size()) << "every stored frame decodes";
}

TEST_F(FaultsTest, FullDiskDuringAPngSeriesGoesOnWithoutPartialFiles) {
    writeFile(dir / "rec.ttyrec", recordingOf(30, 100000));
    RunOptions options;
    fs::path small = makeSmallDisk(256 * 1024, options);
    installFont(small);
    fs::copy_file(dir / "rec.ttyrec", small / "rec.ttyrec");
    fs::create_directory(small / "frames");
    RunResult result = runReelcapWith(small, {"rec.ttyrec", "-png"}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(progressCount(result.output), 30) << "the run goes on";
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(small / "frames")) {
        ++files;
        unsigned width = 0, height = 0;
        unsigned char* pixels = nullptr;
        EXPECT_EQ(lodepng_decode32_file(&pixels, &width, &height, entry.path().c_str()), 0u)
            << entry.path() << " is a partial file";
        free(pixels);
    }
    EXPECT_GT(files, 0u);
    EXPECT_LT(files, 88u) << "the disk was meant to fill up";
}

TEST_F(FaultsTest, UnreadableRecordingFails) {
    writeFile(dir / "rec.ttyrec", recordingOf(2, 100000));
    fs::permissions(dir / "rec.ttyrec", fs::perms::none);
    RunResult result = runReelcapWith(dir, {"rec.ttyrec", "-png"}, unprivileged());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lastLine(result.output), "errno 13");
}

TEST_F(FaultsTest, RecordingTruncatedAtEveryOffset) {
    const std::string whole = ttyrecRecord(1, 0, "\x1b[2Jab") + ttyrecRecord(1, 500000, "\x1b[31mcd") +
                              ttyrecRecord(2, 0, "\x1b(0lqk");
    const std::vector<size_t> boundaries = {0, 18, 37, whole.size()};
    for (size_t offset = 0; offset <= whole.size(); ++offset) {
        SCOPED_TRACE("cut at " + std::to_string(offset));
        writeFile(dir / "rec.ttyrec", whole.substr(0, offset));
        RunResult result = runReelcap(dir, {"rec.ttyrec", "-png", "-width", "8", "-height", "2"});
        EXPECT_EQ(result.status, 0);
        bool atBoundary = std::find(boundaries.begin(), boundaries.end(), offset) != boundaries.end();
        EXPECT_EQ(result.output.find("Warning: the recording is cut at byte offset " + std::to_string(offset)) !=
                      std::string::npos,
                  !atBoundary)
            << result.output;
        int headers = 0;
        for (size_t start : {size_t{0}, size_t{18}, size_t{37}}) headers += offset >= start + 12;
        EXPECT_EQ(progressCount(result.output), headers);
    }
}

// A named pipe is read as a stream to its end, like a file; more than the pipe holds at once
// must arrive whole, so nothing may open the pipe and close it again before the read.
TEST_F(FaultsTest, RecordingFromANamedPipe) {
    const std::string recording = recordingOf(400, 100000) + ttyrecRecord(2000, 0, std::string(70000, 'x'));
    writeFile(dir / "file.ttyrec", recording);
    RunResult fromFile = runReelcap(dir, {"file.ttyrec", "-output", "file.avi", "-codec", "zmbv"});
    ASSERT_EQ(fromFile.status, 0) << fromFile.output;

    ASSERT_EQ(mkfifo((dir / "pipe.ttyrec").c_str(), 0600), 0);
    // The writer waits for a reader as `cat rec > pipe` would, and starts at the first open.
    auto previousPipeHandler = signal(SIGPIPE, SIG_IGN);  // a reader gone early shows as a short write
    std::atomic<size_t> written = 0;
    std::atomic<bool> finished = false;
    std::thread writer([&] {
        int fd = open((dir / "pipe.ttyrec").c_str(), O_WRONLY | O_CLOEXEC);
        while (fd >= 0 && written < recording.size()) {
            ssize_t got = write(fd, recording.data() + written, std::min<size_t>(4096, recording.size() - written));
            if (got <= 0) break;
            written += static_cast<size_t>(got);
        }
        if (fd >= 0) close(fd);
        finished = true;
    });
    RunningReelcap running = startReelcap(dir, {"pipe.ttyrec", "-output", "pipe.avi", "-codec", "zmbv"}, {});
    // Whatever goes wrong, nothing is left waiting for ever: a writer no one read from is let go,
    // and so is a reader that waits for a writer who has gone.
    for (int tries = 0; !finished && tries < 6000; ++tries) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!finished) close(open((dir / "pipe.ttyrec").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    writer.join();
    int lateWriter = open((dir / "pipe.ttyrec").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (lateWriter >= 0) close(lateWriter);
    RunResult fromPipe = finishReelcap(std::move(running));
    signal(SIGPIPE, previousPipeHandler);
    EXPECT_EQ(written, recording.size()) << "the reader closed the pipe early";
    EXPECT_EQ(fromPipe.status, 0) << fromPipe.output;
    EXPECT_EQ(readFile(dir / "pipe.avi"), readFile(dir / "file.avi"));
}

TEST_F(FaultsTest, OutputNamingTheRecordingIsRefused) {
    const std::string recording = recordingOf(2, 100000);
    writeFile(dir / "rec.ttyrec", recording);
    fs::create_directory(dir / "sub");
    fs::create_symlink("rec.ttyrec", dir / "link.avi");
    for (const std::string name : {"rec.ttyrec", "./rec.ttyrec", "sub/../rec.ttyrec", "link.avi"}) {
        RunResult result = runReelcap(dir, {"rec.ttyrec", "-output", name});
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(lastLine(result.output),
                  "Error: the output file \"" + name + "\" is the recording itself; choose another -output name.");
        EXPECT_EQ(readFile(dir / "rec.ttyrec"), recording) << name;
        EXPECT_TRUE(fs::is_symlink(dir / "link.avi"));
    }
}

TEST_F(FaultsTest, InterruptionClosesTheMovie) {
    // One frame per record, thousands of records: long enough to be interrupted midway.
    writeFile(dir / "rec.ttyrec", recordingOf(5000, 1000000));
    struct Case {
        int signalNumber;
        int status;
    };
    for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
        SCOPED_TRACE(c.signalNumber);
        fs::remove(dir / "output");
        RunningReelcap running =
            startReelcap(dir, {"rec.ttyrec", "-fps", "1", "-codec", "zmbv", "-output", "out.avi"}, RunOptions{});
        // The log grows record by record; interrupt once a few records are in.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::error_code error;
        auto logSize = [&] { return fs::exists(dir / "output", error) ? fs::file_size(dir / "output", error) : 0; };
        while (logSize() < 20 * 180 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(running.pid, c.signalNumber);
        RunResult result = finishReelcap(running);
        EXPECT_EQ(result.status, c.status);
        std::string last = lastLine(result.output);
        ASSERT_EQ(last.rfind("Interrupted at frame ", 0), 0u) << last;
        int frame = std::stoi(last.substr(21));
        EXPECT_EQ(last, "Interrupted at frame " + std::to_string(frame) + "; out.avi is closed and plays up to there.");
        EXPECT_LT(frame, 5000);
        DecodedMovie movie = readMovie((dir / "out.avi").string());
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.frames.size(), static_cast<size_t>(frame));
    }
}

}  // namespace
