// Records far longer than libvterm takes in one call: megabytes of text, of escape sequences and
// of random bytes reach either emulation whole, and a record of 20 MB converts end to end.
// Recordings that never end (a device, a pipe, standard input) are read up to a limit.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "playback/asciicast.h"
#include "playback/recording.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"
#include "test_support.h"

namespace {

constexpr size_t kMegabyte = 1 << 20;

// Lines of text with characters of one to three UTF-8 bytes, at least size bytes in all.
std::string textOf(size_t size) {
    std::string text;
    text.reserve(size + 100);
    for (int line = 0; text.size() < size; ++line) {
        text += "line " + std::to_string(line) + " \xC3\xA9\xE2\x94\x80 fox\r\n";
    }
    return text;
}

// Escape sequences of every kind the emulations meet, in a random order, with text between.
std::string sequencesOf(size_t size, std::mt19937_64& random) {
    const std::vector<std::string> pieces = {
        "\x1b[31m", "\x1b[1;4;38;5;200;48;2;1;2;3m", "\x1b[0m", "\x1b[m", "\x1b[K", "\x1b[2K", "\x1b[2J",
        "\x1b[H", "\x1b[4;15H", "\x1b[A", "\x1b[5B", "\x1b(0lqk\x1b(B", "\x0emq\x0f", "\x1b[?1049h",
        "\x1b[?1049l", "\x1b[3L", "\x1b[2M", "\x1b[4P", "\x1b[5@", "\x1b]0;a title\x07", "\x1bP+q544e\x1b\\",
        "\x1b[2;4r", "\x1b[r", "\x1b" "7", "\x1b" "8", "\x1b[s", "\x1b[u", "x\x1b[3b", "\xF0\x9F\x98\x80\x1b[2b",
        "\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20m", "\xC3\xA9", "\xE2\x94\x80", "text ", "\r\n",
    };
    std::string bytes;
    bytes.reserve(size + 100);
    while (bytes.size() < size) bytes += pieces[random() % pieces.size()];
    return bytes;
}

std::string randomOf(size_t size, std::mt19937_64& random) {
    std::string bytes(size, '\0');
    for (size_t at = 0; at < size; at += 8) {
        uint64_t value = random();
        std::memcpy(bytes.data() + at, &value, std::min<size_t>(8, size - at));
    }
    return bytes;
}

// Whatever state the bulk left, these end any string or sequence in progress, set the
// attributes and character set back, clear the screen and write END at the top left.
const std::string kXtermEnding = "\x1b\\\x18\x1b" "c\x1b[HEND";
const std::string kBasicEnding = "\r\x0f\x1b(B\x1b[m\x1b[2J\x1b[HEND";

std::string basicRow(const Terminal& terminal, int32_t row) {
    const ScreenGrid& grid = terminal.grid();
    return std::string(grid.charPlane.begin() + row * kGridColumns,
                       grid.charPlane.begin() + row * kGridColumns + terminal.options().columns);
}

class LargeInputTest : public testing::TestWithParam<Emulation> {
protected:
    void feedTerminal(std::span<const uint8_t> bytes) { terminal_.feed(bytes); }

    bool xterm() const { return GetParam() == Emulation::xterm; }
    std::string row(int32_t row) const { return xterm() ? xtermRowText(terminal_.xtermScreen(), row) : basicRow(terminal_, row); }

    // A small screen: libvterm moves the whole screen for every line it scrolls.
    Terminal terminal_{{.columns = 20, .rows = 5, .emulation = GetParam()}};
};

TEST_P(LargeInputTest, RecordsOfMegabytesArePlayedWhole) {
    std::mt19937_64 random(17);
    for (size_t size : {kMegabyte, 16 * kMegabyte, 64 * kMegabyte}) {
        SCOPED_TRACE(std::to_string(size / kMegabyte) + " MB");
        // The last line of text ends on the bottom row: it scrolls there, or the basic
        // emulation's line feeds stop there.
        feedTerminal(bytesOf(textOf(size) + "last line"));
        EXPECT_EQ(row(4).substr(0, 9), "last line") << "text";
        const std::string ending = xterm() ? kXtermEnding : kBasicEnding;
        for (bool sequences : {true, false}) {
            SCOPED_TRACE(sequences ? "sequences" : "random bytes");
            std::string bulk = sequences ? sequencesOf(size, random) : randomOf(size, random);
            feedTerminal(bytesOf(bulk + ending));
            EXPECT_EQ(row(0).substr(0, 4), "END ");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothEmulations, LargeInputTest, testing::Values(Emulation::basic, Emulation::xterm),
                         [](const testing::TestParamInfo<Emulation>& info) {
                             return info.param == Emulation::basic ? "basic" : "xterm";
                         });

// libvterm gets a long payload 64 KiB at a time; whatever the write boundary falls in joins.
TEST(LargeXtermInputTest, WhatAWriteBoundaryCutsJoins) {
    constexpr size_t kWrite = 64 * 1024;
    struct Case {
        std::string tail;  // written after "x" at (0, 0)
        uint32_t codePoint;
        XtermColour foreground;
    };
    const Case cases[] = {
        {"\xC3\xA9", 0xE9, {}},
        {"\xE2\x94\x80", 0x2500, {}},
        {"\xF0\x9F\x98\x80", 0x1F600, {}},
        {"\x1b[31mY", 'Y', {XtermColourKind::indexed, 1, 0}},
        {"\x1b]0;title\x07Y", 'Y', {}},
    };
    for (const Case& c : cases) {
        for (size_t start = kWrite - c.tail.size() + 1; start <= kWrite; ++start) {
            SCOPED_TRACE(testing::PrintToString(c.tail) + " from " + std::to_string(start));
            Terminal terminal({.columns = 10, .rows = 4, .emulation = Emulation::xterm});
            // Carriage returns keep the cursor at (0, 0) without printing.
            terminal.feed(bytesOf(std::string(start - 1, '\r') + "x" + c.tail));
            const XtermCell& cell = terminal.xtermScreen().at(0, 1);
            EXPECT_EQ(cell.codePoint, c.codePoint);
            EXPECT_EQ(cell.foreground, c.foreground);
        }
    }
}

// A 20 MB record through the whole program and libvterm, and an asciicast event past the 2 MB
// that libvterm's stack took.
TEST(LargeRecordingTest, TwentyMegabyteRecordConverts) {
    const fs::path dir = makeTempDir();
    installFont(dir);
    const std::string text = textOf(20 * kMegabyte);
    std::string event;
    for (char c : textOf(4 * kMegabyte)) event += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    writeFile(dir / "big.ttyrec", ttyrecRecord(1, 0, "first\r\n") + ttyrecRecord(2, 0, text));
    writeFile(dir / "big.cast", "{\"version\": 2, \"width\": 80, \"height\": 25}\n[0, \"o\", \"first\\r\\n\"]\n"
                                "[1, \"o\", \"" + event + "\"]\n");
    for (const char* recording : {"big.ttyrec", "big.cast"}) {
        SCOPED_TRACE(recording);
        RunResult result = runReelcap(dir, {recording, "-emulation", "xterm", "-png", "-quiet"});
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(fs::exists(dir / "frames" / "0000002.png"));
        fs::remove_all(dir / "frames");
    }
    fs::remove_all(dir);
}

// Nothing asks a stream for its size: each is read until the limit is passed, which the
// message names.
TEST(StreamInputTest, StreamsAreReadUpToTheLimit) {
    resetAll();
    constexpr uint64_t kLimit = kMegabyte;
    const std::string tooLong = " is more than 1048576 bytes long";
    const ReadOptions limited{.streamLimit = kLimit};
    ReadResult zero = readRecording("/dev/zero", limited);
    EXPECT_FALSE(zero.recording.has_value());
    EXPECT_EQ(zero.error, "Error: /dev/zero" + tooLong);

    const fs::path dir = makeTempDir();
    const fs::path pipe = dir / "pipe.ttyrec";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    auto previousPipeHandler = signal(SIGPIPE, SIG_IGN);  // the reader stops early
    for (size_t size : {size_t{100}, size_t{2 * kLimit}}) {
        SCOPED_TRACE(size);
        std::thread writer([&] {
            const std::string recording = ttyrecRecord(1, 0, std::string(size - 12, 'x'));
            int fd = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
            for (size_t done = 0; fd >= 0 && done < recording.size();) {
                ssize_t wrote = write(fd, recording.data() + done, recording.size() - done);
                if (wrote <= 0) break;
                done += static_cast<size_t>(wrote);
            }
            if (fd >= 0) close(fd);
        });
        ReadResult read = readRecording(pipe.string(), limited);
        writer.join();
        EXPECT_EQ(read.error, size > kLimit ? "Error: " + pipe.string() + tooLong : "");
        EXPECT_EQ(read.recording.has_value(), size <= kLimit);
    }
    signal(SIGPIPE, previousPipeHandler);

    int savedInput = dup(STDIN_FILENO);
    int zeros = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(dup2(zeros, STDIN_FILENO), 0);
    ReadResult early = readRecording("-", {.streamLimit = kLimit, .early = true});
    EXPECT_FALSE(early.recording.has_value());
    EXPECT_EQ(early.error, "Error: standard input" + tooLong);
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    close(zeros);
    fs::remove_all(dir);
    resetAll();
}

}  // namespace

// Read from a file a window at a time, a recording gives the events it gives held in memory:
// ttyrec records across the windows' edges, one larger than a window, one cut short, and
// asciicast lines with comments and blank lines among them.
TEST(StreamInputTest, EventsReadFromAFileAreThoseHeldInMemory) {
    const fs::path dir = makeTempDir();
    std::string ttyrec;
    for (uint32_t i = 0; ttyrec.size() < 3 * kMegabyte; ++i) {
        const size_t length = i == 400 ? 3 * kMegabyte / 2 : i * 7919 % 5000;
        ttyrec += ttyrecRecord(i / 10, i % 10 * 1000, std::string(length, static_cast<char>('a' + i % 26)));
    }
    ttyrec += ttyrecRecord(9999, 0, "cut").substr(0, 14);
    std::string cast = "{\"version\": 3, \"term\": {\"cols\": 80, \"rows\": 25}}\n# a comment\n\n";
    for (int i = 0; i < 20000; ++i) {
        cast += std::string("[0.5, \"") + (i % 3 != 0 ? "o" : i % 2 != 0 ? "i" : "m") + "\", \"" +
                std::string(static_cast<size_t>(i % 200), 'x') + "\"]\n";
    }
    writeFile(dir / "rec.ttyrec", ttyrec);
    writeFile(dir / "rec.cast", cast);
    for (const std::string* recording : {&ttyrec, &cast}) {
        const std::string& bytes = *recording;
        const fs::path path = dir / (recording == &ttyrec ? "rec.ttyrec" : "rec.cast");
        SCOPED_TRACE(path.filename());
        ReadResult read = readRecording(path.string());
        ASSERT_TRUE(read.recording) << read.error;
        ASSERT_NE(read.recording->file, nullptr);
        Recording held;
        held.format = read.recording->format;
        std::string error;
        if (recording == &ttyrec) held.ttyrec.assign(bytes.begin(), bytes.end());
        else ASSERT_TRUE(convertAsciicast(bytesOf(bytes), held.asciicast, error)) << error;
        EventSource fromFile(*read.recording);
        EventSource fromMemory(held);
        size_t count = 0;
        for (;; ++count) {
            ASSERT_EQ(fromFile.nextOutputTime(), fromMemory.nextOutputTime()) << count;
            std::optional<Event> a = fromFile.next();
            std::optional<Event> b = fromMemory.next();
            ASSERT_EQ(a.has_value(), b.has_value()) << count;
            if (!a) break;
            ASSERT_EQ(std::make_tuple(a->kind, a->time, a->length, a->cut.has_value(), a->lastOutput),
                      std::make_tuple(b->kind, b->time, b->length, b->cut.has_value(), b->lastOutput)) << count;
            ASSERT_TRUE(std::equal(a->data.begin(), a->data.end(), b->data.begin(), b->data.end())) << count;
        }
        EXPECT_GT(count, 500u);
        EXPECT_EQ(fromFile.tail().has_value(), fromMemory.tail().has_value());
        EXPECT_EQ(fromFile.failure(), "");
    }
    fs::remove_all(dir);
}
