// -keys: input events named as keys, and the caption they make on the frames of every output
// while typing and its absence once the hold is over.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "movie_reader.h"
#include "playback/keys.h"
#include "test_support.h"

namespace {

std::string utf8(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) appendUtf8(out, c);
    return out;
}

TEST(KeyTextTest, NamesKeysAndCountsRepeats) {
    struct Case {
        std::vector<std::string> events;
        bool symbols;
        std::string shown;
    };
    const Case cases[] = {
        {{"l", "s", " ", "-", "l"}, true, "ls -l"},
        {{"ls\t\r"}, true, "ls ⇥ ⏎"},
        {{"\x7f", "\x7f", "\x7f", "x"}, true, "⌫ ×3 x"},
        {{"\x7f\x7f", "\x1b"}, false, "BS x2 Esc"},
        {{"\x1b[A", "\x1bOB", "\x1b[C", "\x1b[D", "\x1b[3~"}, true, "↑ ↓ → ← Del"},
        {{"\x1b[A", "\x1b[A"}, false, "Up x2"},
        {{"\x03", "\x1b" "b"}, true, "Ctrl+C Alt+b"},
        {{"\xc3\xa9t\xc3\xa9"}, true, "été"},
        {{"abcdefghijklmnop"}, true, "efghijklmnop"},  // the tail that fits 12 cells
        {{"\x1b[200~"}, true, ""},              // no key
    };
    for (const Case& c : cases) {
        KeyText text({.symbols = c.symbols, .mostCells = 12});
        for (const std::string& event : c.events) text.press(bytesOf(event));
        EXPECT_EQ(utf8(text.text()), c.shown) << c.events.front();
    }
}

// Keys at 0.5 s and 1 s after the first output: the caption holds 1.5 s after the last, its
// last 0.3 s in three fading steps; a key after that starts the text afresh.
TEST(CaptionStepsTest, HoldFadeAndAFreshStart) {
    Recording recording;
    recording.format = RecordingFormat::asciicast;
    const std::vector<std::pair<int64_t, std::string>> inputs = {{1500000, "a"}, {2000000, "b"}, {9000000, "c"}};
    recording.asciicast.events.push_back({EventKind::output, 1000000, "$", 0, 0});
    for (const auto& [time, key] : inputs) recording.asciicast.events.push_back({EventKind::input, time, key, 0, 0});
    const std::vector<CaptionStep> steps = captionSteps(TimingRules{}, EventSource(recording), KeysOptions{});
    const std::vector<std::tuple<int64_t, std::string, int32_t>> expected = {
        {500000, "a", 256}, {1000000, "ab", 256}, {2200000, "ab", 192}, {2300000, "ab", 128},
        {2400000, "ab", 64}, {2500000, "", 0}, {8000000, "c", 256}, {9200000, "c", 192},
        {9300000, "c", 128}, {9400000, "c", 64}, {9500000, "", 0}};
    std::vector<std::tuple<int64_t, std::string, int32_t>> made;
    for (const CaptionStep& step : steps) made.emplace_back(step.played, utf8(step.look.text), step.look.opacity);
    EXPECT_EQ(made, expected);
}

class KeysEndToEndTest : public RunDirTest {};

// The recording: a prompt, "ls" and Enter typed by 0.9 s, and a last output at 4 s.
std::string typedRecording() {
    return "{\"version\": 2, \"width\": 30, \"height\": 8}\n"
           "[0.0, \"o\", \"$ \"]\n[0.5, \"i\", \"l\"]\n[0.51, \"o\", \"l\"]\n[0.7, \"i\", \"s\"]\n"
           "[0.71, \"o\", \"s\"]\n[0.9, \"i\", \"\\r\"]\n[0.91, \"o\", \"\\r\\nfile\\r\\n$ \"]\n[4.0, \"o\", \"done\"]\n";
}

// Frames top row first, four bytes a pixel, at 10 frames a second.
std::vector<std::vector<uint8_t>> framesOf(const fs::path& runDir, const std::string& output) {
    if (output != "-png") return readMovie((runDir / output).string(), 10).frames;
    std::vector<std::vector<uint8_t>> frames;
    for (int frame = 0;; ++frame) {
        char name[32];
        std::snprintf(name, sizeof name, "frames/%07d.png", frame);
        if (!fs::exists(runDir / name)) return frames;
        frames.push_back(readPng(runDir / name).rgba);
    }
}

// Mean difference per byte over rows top..bottom of 300-pixel-wide pictures.
double rowsDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t top, size_t bottom) {
    const size_t row = 300 * 4;
    const auto part = [&](const std::vector<uint8_t>& picture) {
        return std::vector<uint8_t>(picture.begin() + static_cast<std::ptrdiff_t>(top * row),
                                    picture.begin() + static_cast<std::ptrdiff_t>((bottom + 1) * row));
    };
    return meanDifference(part(a), part(b));
}

TEST_F(KeysEndToEndTest, CaptionWhileTypingAndThePlainPictureAfterTheHold) {
    writeFile(dir / "typed.cast", typedRecording());
    for (const std::string output : {"typed.gif", "typed.mp4", "-png"}) {
        SCOPED_TRACE(output);
        const std::vector<std::string> plainArgs = {(dir / "typed.cast").string(), output, "-fps", "10", "-quiet"};
        std::vector<std::string> keysArgs = plainArgs;
        keysArgs.push_back("-keys");
        ASSERT_EQ(runIn("plain", plainArgs).status, 0);
        const RunResult keys = runIn("keys", keysArgs);
        ASSERT_EQ(keys.status, 0) << keys.errors;
        EXPECT_EQ(keys.errors.find("Warning"), std::string::npos) << keys.errors;
        const std::vector<std::vector<uint8_t>> plain = framesOf(dir / "plain", output);
        const std::vector<std::vector<uint8_t>> keyed = framesOf(dir / "keys", output);
        ASSERT_EQ(keyed.size(), plain.size());
        ASSERT_GT(plain.size(), 30u);
        ASSERT_EQ(plain[12].size(), size_t{300} * 160 * 4);
        // At 1.2 s the caption covers the bottom two rows; the terminal's rows above are as they were.
        EXPECT_GT(rowsDifference(keyed[12], plain[12], 120, 159), 2.0);
        EXPECT_LT(rowsDifference(keyed[12], plain[12], 0, 99), 0.5);
        // Two seconds after the last key (0.9 s) the picture is the plain one.
        EXPECT_LT(meanDifference(keyed[29], plain[29]), 0.5);
        fs::remove_all(dir / "plain");
        fs::remove_all(dir / "keys");
    }
}

TEST_F(KeysEndToEndTest, RecordingWithoutInputEventsWarnsAndShowsNoCaption) {
    writeFile(dir / "quiet.cast", "{\"version\": 2, \"width\": 30, \"height\": 8}\n[0.0, \"o\", \"$ \"]\n");
    const RunResult plain = runIn("plain", {(dir / "quiet.cast").string(), "-png", "-quiet"});
    const RunResult keys = runIn("keys", {(dir / "quiet.cast").string(), "-png", "-quiet", "-keys"});
    EXPECT_EQ(keys.errors, "Warning: -keys: " + (dir / "quiet.cast").string() +
                               " holds no input events (the keys typed), so no caption is shown; record with "
                               "asciinema rec --stdin to keep them.\n");
    EXPECT_EQ(readFile(dir / "keys" / "frames" / "0000000.png"), readFile(dir / "plain" / "frames" / "0000000.png"));
    EXPECT_EQ(keys.output, plain.output);
}

}  // namespace
