// End-to-end runs under faults: unwritable outputs, full disks, bad recordings, interruption.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
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
    makeReadOnly(dir / "readonly");
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
        EXPECT_EQ(lastLine(result.errors), c.message) << c.name;
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
        EXPECT_EQ(lastLine(result.errors), "Error: cannot create the directory frames: it exists and is not a directory");
        EXPECT_EQ(readFile(dir / "frames"), "not a directory");
        EXPECT_FALSE(fs::exists(dir / "output"));
        fs::remove(dir / "frames");
    }
    {
        fs::path readonly = dir / "readonly";
        fs::create_directory(readonly);
        fs::copy_file(dir / "rec.ttyrec", readonly / "rec.ttyrec");
        installFont(readonly);
        makeReadOnly(readonly);
        RunResult result = runReelcapWith(readonly, {"rec.ttyrec", "-png"}, unprivileged());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lastLine(result.errors), "Error: cannot create the directory frames: Permission denied");
        EXPECT_FALSE(fs::exists(readonly / "frames"));
        EXPECT_FALSE(fs::exists(readonly / "output"));
    }
    {
        fs::create_directory(dir / "frames");
        makeReadOnly(dir / "frames");
        RunResult result = runReelcapWith(dir, {"rec.ttyrec", "-png"}, unprivileged());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lastLine(result.errors), "Error: cannot create files in the directory frames: Permission denied");
        EXPECT_TRUE(fs::is_empty(dir / "frames"));
        EXPECT_FALSE(fs::exists(dir / "output"));
    }
}

TEST_F(FaultsTest, FullDiskDuringAMovieKeepsWhatWasWritten) {
    writeFile(dir / "rec.ttyrec", recordingOf(12, 100000));  // 34 frames of 1.6 MB
    RunOptions options;
    makeSmallDisk(8 * 1024 * 1024, options);
    RunResult result = runReelcapWith(dir, {"rec.ttyrec", "-output", "small/out.avi"}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lastLine(result.errors).rfind("Error: writing small/out.avi failed: ", 0), 0u) << result.errors;
    EXPECT_EQ(progressCount(result.output), 12) << "the run goes on after the failure";
    DecodedMovie movie = readMovie((dir / "small/out.avi").string());
    ASSERT_TRUE(movie.opened);
    EXPECT_GE(movie.frames.size(), 1u);
    EXPECT_LT(movie.frames.size(), 34u);
    EXPECT_EQ(movie.frames.size(), movie.packets.size()) << "every stored frame decodes";
}

// The frame files lost are told at the end, with the first of them (the lowest number, as files
// are written in order), and the run ends with status 1; the paths that encode every frame
// afresh lose them likewise.
TEST_F(FaultsTest, FullDiskDuringAPngSeriesGoesOnWithoutPartialFiles) {
    writeFile(dir / "rec.ttyrec", recordingOf(30, 100000));
    RunOptions options;
    fs::path small = makeSmallDisk(256 * 1024, options);
    installFont(small);
    fs::copy_file(dir / "rec.ttyrec", small / "rec.ttyrec");
    const std::string why = mounted ? "No space left on device" : "File too large";
    for (bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain paths" : "queued encodings");
        fs::remove_all(small / "frames");
        fs::create_directory(small / "frames");
        RunOptions run = options;
        if (plain) run.extraEnv = {"REELCAP_PLAIN_PATHS=1"};
        RunResult result = runReelcapWith(small, {"rec.ttyrec", "-png"}, run);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(progressCount(result.output), 30) << "the run goes on";
        size_t files = 0;
        int firstMissing = 0;
        for (int frame = 1; frame <= 88; ++frame) {
            fs::path file = small / "frames" / (std::string(frame < 10 ? "000000" : "00000") + std::to_string(frame) + ".png");
            if (!fs::exists(file)) {
                if (firstMissing == 0) firstMissing = frame;
                continue;
            }
            ++files;
            EXPECT_EQ(readPng(file).error, 0u) << file << " is a partial file";
        }
        EXPECT_GT(files, 0u);
        ASSERT_LT(files, 88u) << "the disk was meant to fill up";
        std::string first = std::to_string(firstMissing);
        EXPECT_EQ(lastLine(result.errors), "Error: " + std::to_string(88 - files) +
                                               " frame files could not be written (first: frames/" +
                                               std::string(7 - first.size(), '0') + first + ".png: " + why + ")");
    }
    // A single frame file in the way.
    fs::remove_all(small / "frames");
    fs::create_directories(small / "frames" / "0000003.png");
    RunResult result = runReelcapWith(small, {"rec.ttyrec", "-png", "-stop", "5"}, RunOptions{});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lastLine(result.errors), "Error: 1 frame files could not be written (first: frames/0000003.png: Is a directory)");
}

// What a bad recording leaves in either mode: the log only when playback began, and in movie
// mode a movie closed properly, never a file without its headers; one that cannot be read at
// all, no movie.
TEST_F(FaultsTest, BadRecordingsInBothModes) {
    fs::create_directory(dir / "adir");
    writeFile(dir / "locked.ttyrec", recordingOf(2, 100000));
    fs::permissions(dir / "locked.ttyrec", fs::perms::none);
    writeFile(dir / "empty.ttyrec", "");
    std::string cut = recordingOf(2, 100000);
    cut.resize(cut.size() - 3);
    writeFile(dir / "cut.ttyrec", cut);
    std::string nowhere = ttyrecRecord(1, 0, "");
    nowhere[8] = nowhere[9] = nowhere[10] = nowhere[11] = '\xff';  // 4 GB of payload announced
    writeFile(dir / "nowhere.ttyrec", nowhere + "abc");
    struct Case {
        std::string recording;
        int status;
        std::string lastLine;  // a prefix of it
        int frames;            // -1: playback never began, so there is no log
    };
    const Case cases[] = {
        {"missing.ttyrec", 1, "errno 2", -1},
        {"adir", 1, "errno 21", -1},
        {"locked.ttyrec", 1, "errno 13", -1},
        {"empty.ttyrec", 0, "Output to", 0},
        {"cut.ttyrec", 0, "Frame 4, time 00:00:00...", 4},
        {"nowhere.ttyrec", 1, "Using terminal size", -1},  // not a recording
    };
    for (bool movie : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.recording + (movie ? " as a movie" : " as PNG files"));
            fs::remove(dir / "output");
            fs::remove(dir / "out.avi");
            fs::remove_all(dir / "frames");
            std::vector<std::string> args{c.recording, "-codec", "zmbv", "-output", "out.avi"};
            if (!movie) args = {c.recording, "-png"};
            RunResult result = runReelcapWith(dir, args, unprivileged());
            EXPECT_EQ(result.status, c.status);
            std::string expectedLast = c.lastLine == "Output to" && !movie ? "Using terminal size" : c.lastLine;
            EXPECT_EQ(lastLine(result.output).rfind(expectedLast, 0), 0u) << result.output;
            EXPECT_EQ(fs::exists(dir / "output"), c.frames >= 0);
            EXPECT_EQ(fs::exists(dir / "out.avi"), movie && c.frames >= 0) << "made for an unreadable recording";
            if (!movie) {
                size_t files = 0;
                for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir / "frames")) ++files;
                EXPECT_EQ(files, static_cast<size_t>(std::max(c.frames, 0)));
            } else if (c.frames >= 0) {
                DecodedMovie written = readMovie((dir / "out.avi").string());
                EXPECT_TRUE(written.opened);
                EXPECT_EQ(written.frames.size(), static_cast<size_t>(c.frames));
            }
        }
    }
}

// A recording that cannot be read is found out before the outputs of an earlier run are touched.
TEST_F(FaultsTest, UnreadableRecordingLeavesEarlierOutputsAlone) {
    writeFile(dir / "output.avi", "an earlier movie");
    fs::create_directory(dir / "frames");
    writeFile(dir / "frames" / "0000001.png", "an earlier frame");
    writeFile(dir / "poster.png", "an earlier poster");
    fs::create_directory(dir / "adir");
    const std::vector<std::vector<std::string>> runs = {
        {"typo.ttyrec"}, {"typo.ttyrec", "-png"}, {"typo.ttyrec", "-at", "1"}, {"adir", "-codec", "zmbv"}};
    for (const std::vector<std::string>& args : runs) {
        SCOPED_TRACE(args[0] + " " + args.back());
        RunResult result = runReelcap(dir, args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lastLine(result.output), args[0] == "adir" ? "errno 21" : "errno 2");
        EXPECT_EQ(readFile(dir / "output.avi"), "an earlier movie");
        EXPECT_EQ(readFile(dir / "frames" / "0000001.png"), "an earlier frame");
        EXPECT_EQ(readFile(dir / "poster.png"), "an earlier poster");
        EXPECT_FALSE(fs::exists(dir / "output"));
    }
}

TEST_F(FaultsTest, RecordingTruncatedAtEveryOffset) {
    const std::string whole = ttyrecRecord(1, 0, "\x1b[2Jab") + ttyrecRecord(1, 500000, "\x1b[31mcd") +
                              ttyrecRecord(2, 0, "\x1b(0lqk");
    const std::vector<size_t> boundaries = {0, 18, 37, whole.size()};
    for (size_t offset = 0; offset <= whole.size(); ++offset) {
        SCOPED_TRACE("cut at " + std::to_string(offset));
        writeFile(dir / "rec.ttyrec", whole.substr(0, offset));
        RunResult result = runReelcap(dir, {"rec.ttyrec", "-png", "-width", "8", "-height", "2"});
        // Without its whole first record the file is no recording.
        const bool firstRecordCut = offset > 0 && offset < boundaries[1];
        EXPECT_EQ(result.status, firstRecordCut ? 1 : 0);
        if (firstRecordCut) {
            EXPECT_EQ(result.errors.rfind("Error: rec.ttyrec is not a ttyrec or asciicast recording: ", 0), 0u)
                << result.errors;
            EXPECT_EQ(progressCount(result.output), 0);
            continue;
        }
        bool atBoundary = std::find(boundaries.begin(), boundaries.end(), offset) != boundaries.end();
        EXPECT_EQ(result.errors.find("Warning: the recording is cut at byte offset " + std::to_string(offset)) !=
                      std::string::npos,
                  !atBoundary)
            << result.errors;
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
    fs::create_hard_link(dir / "rec.ttyrec", dir / "hard.avi");
    const std::string absolute = (dir / "rec.ttyrec").string();
    struct Case {
        std::string recording;
        std::string output;
    };
    const Case cases[] = {
        {"rec.ttyrec", "rec.ttyrec"}, {"rec.ttyrec", "./rec.ttyrec"}, {"rec.ttyrec", "sub/../rec.ttyrec"},
        {"rec.ttyrec", "link.avi"},   {"rec.ttyrec", "hard.avi"},     {"rec.ttyrec", absolute},
        {"link.avi", "rec.ttyrec"},   {absolute, "rec.ttyrec"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recording + " -output " + c.output);
        RunResult result = runReelcap(dir, {c.recording, "-output", c.output});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(lastLine(result.errors),
                  "Error: the output file \"" + c.output + "\" is the recording itself; choose another -output name.");
        EXPECT_EQ(readFile(dir / "rec.ttyrec"), recording);
        EXPECT_TRUE(fs::is_symlink(dir / "link.avi"));
        EXPECT_EQ(fs::hard_link_count(dir / "rec.ttyrec"), 2u);
    }
}

// Reads what is in fd now or within a tenth of a second; false once the writer has closed it.
bool readSome(int fd, std::string& into) {
    pollfd wanted{fd, POLLIN, 0};
    poll(&wanted, 1, 100);
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) into.append(buffer, static_cast<size_t>(got));
    return got != 0;
}

// Interrupted while the movie is still being opened (a pipe as movie waits for its reader),
// the run plays nothing and still closes the movie and says so.
TEST_F(FaultsTest, InterruptionBeforeTheFirstRecord) {
    writeFile(dir / "rec.ttyrec", recordingOf(3, 100000));
    ASSERT_EQ(mkfifo((dir / "out.avi").c_str(), 0600), 0);
    RunningReelcap running = startReelcap(dir, {"rec.ttyrec", "-codec", "zmbv", "-output", "out.avi"}, RunOptions{});
    std::string shown;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (shown.find("Output to out.avi...\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        readSome(running.outputFd, shown);
    }
    kill(running.pid, SIGINT);  // announced, so the movie is being opened or about to be
    int movie = open((dir / "out.avi").c_str(), O_RDONLY | O_CLOEXEC);
    std::string written;
    while (movie >= 0 && readSome(movie, written)) {
    }
    if (movie >= 0) close(movie);
    RunResult result = finishReelcap(running);
    result.output = shown + result.output;
    EXPECT_EQ(result.status, 130);
    EXPECT_EQ(result.errors, "Interrupted at frame 0; out.avi is closed and plays up to there.\n");
    EXPECT_EQ(result.output.find("Frame "), std::string::npos) << "no record is played";
    EXPECT_EQ(written.rfind("RIFF", 0), 0u) << "the movie was closed, headers and all";
}

// Address-space limits mean nothing to a run under AddressSanitizer, which reserves terabytes.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

TEST_F(FaultsTest, RunningOutOfMemoryEndsWithAMessage) {
    if (kUnderAddressSanitizer) GTEST_SKIP() << "no address-space limit under AddressSanitizer";
    writeFile(dir / "rec.ttyrec", recordingOf(3, 1000000));
    // A sparse file of 2 GB and an endless stream: both are read as they are played.
    { std::ofstream(dir / "huge.ttyrec"); }
    fs::resize_file(dir / "huge.ttyrec", 2L << 30);
    fs::create_directory(dir / "tmp");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string lastLine;
    };
    const Case cases[] = {
        {{"huge.ttyrec", "-png", "-stop", "3"}, 0, ""},
        {{"/dev/zero", "-png"}, 1, "Error: /dev/zero is more than 4294967296 bytes long"},
        {{"rec.ttyrec", "-png", "-double", "-width", "200", "-height", "80"}, 1, "Error: not enough memory to go on"},
        {{"rec.ttyrec", "-codec", "zmbv", "-double", "-width", "200", "-height", "80"}, 1, "Error: "},
    };
    RunOptions options;
    // Enough to load the libraries and start, not enough for 4000 x 3200 frames.
    options.addressSpaceLimit = 280L << 20;
    options.extraEnv = {"TMPDIR=" + (dir / "tmp").string()};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        RunResult result = runReelcapWith(dir, c.args, options);
        EXPECT_EQ(result.status, c.status) << result.output;
        EXPECT_EQ(lastLine(result.errors).rfind(c.lastLine, 0), 0u) << result.errors;
    }
    EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "the stream's spool is left behind";
}

// A stream is copied into a file of $TMPDIR that has no name: nothing is left there when the run
// is ended while reading, and a TMPDIR that cannot take it is named.
TEST_F(FaultsTest, StreamSpoolLeavesNothingBehind) {
    fs::create_directory(dir / "tmp");
    RunOptions options;
    options.extraEnv = {"TMPDIR=" + (dir / "missing").string()};
    RunResult missing = runReelcapWith(dir, {"/dev/zero", "-png"}, options);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.errors.rfind("Error: /dev/zero cannot be copied into a temporary file in " +
                                       (dir / "missing").string() + " (No such file or directory)", 0), 0u)
        << missing.errors;
    options.extraEnv = {"TMPDIR=" + (dir / "tmp").string()};
    options.input = RunInput::silentPipe;
    for (int signalNumber : {SIGINT, SIGTERM}) {
        RunningReelcap running = startReelcap(dir, {"-", "-png"}, options);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(running.pid, signalNumber);
        RunResult result = finishReelcap(running);
        EXPECT_NE(result.status, 0);
        EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "the stream's spool is left behind";
    }
}

TEST_F(FaultsTest, InterruptionClosesTheMovie) {
    // One frame per record, thousands of records: far more than the run gets through while the
    // test holds it up.
    writeFile(dir / "rec.ttyrec", recordingOf(5000, 1000000));
    struct Case {
        int signalNumber;
        int status;
    };
    for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
        SCOPED_TRACE(c.signalNumber);
        // The log is a pipe the test reads: once the test stops reading, the run stops with the
        // pipe full, a few hundred records in, so the signal always comes in the middle.
        fs::remove(dir / "output");
        ASSERT_EQ(mkfifo((dir / "output").c_str(), 0600), 0);
        int log = open((dir / "output").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(log, 0);
        RunningReelcap running =
            startReelcap(dir, {"rec.ttyrec", "-fps", "1", "-codec", "zmbv", "-output", "out.avi"}, RunOptions{});
        std::string logged;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::count(logged.begin(), logged.end(), '\n') < 3 * 20 && std::chrono::steady_clock::now() < deadline) {
            readSome(log, logged);
        }
        kill(running.pid, c.signalNumber);
        while (readSome(log, logged)) {
        }
        close(log);
        RunResult result = finishReelcap(running);
        EXPECT_EQ(result.status, c.status);
        std::string last = lastLine(result.errors);
        ASSERT_EQ(last.rfind("Interrupted at frame ", 0), 0u) << last;
        int frame = std::stoi(last.substr(21));
        EXPECT_EQ(last, "Interrupted at frame " + std::to_string(frame) + "; out.avi is closed and plays up to there.");
        EXPECT_GE(frame, 20);
        EXPECT_LT(frame, 5000);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 3 * frame) << "one log entry per record played";
        DecodedMovie movie = readMovie((dir / "out.avi").string());
        ASSERT_TRUE(movie.opened);
        EXPECT_EQ(movie.frames.size(), static_cast<size_t>(frame));
    }
}

}  // namespace
