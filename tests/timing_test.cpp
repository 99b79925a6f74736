#include "playback/timing.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "playback/events.h"

namespace {

constexpr int64_t kSecond = 1000000;

// Output events at these times walked through the timing functions as the walk composes them:
// "FRAME" per event ("past" for one after -to, which ends the walk), "y"/"n" per event for
// whether its screen is shown, and the final screen's span "START-END" or "none".
struct Walked {
    std::string frames;
    std::string shown;
    std::string final;
};

Walked walkTimes(const TimingRules& rules, const std::vector<int64_t>& times, int32_t finalFrames) {
    Walked walked;
    FrameClock clock;
    bool reachedTo = false;
    for (size_t i = 0; i < times.size(); ++i) {
        clock = clockStartedBy(clock, {}, times[i]);
        const OutputTiming timing = timeOutput(rules, clock, times[i]);
        if (!walked.frames.empty()) walked.frames += " ";
        if (timing.past) {
            walked.frames += "past";
            reachedTo = true;
            break;
        }
        walked.frames += std::to_string(timing.frame);
        const std::optional<int64_t> next = i + 1 < times.size() ? std::optional(times[i + 1]) : std::nullopt;
        const bool shown = !sharesFrameWithNext(rules, times[i], timing, next);
        walked.shown += shown ? "y" : "n";
        clock = clockAfter(clock, times[i], timing, static_cast<int32_t>(timing.frame), shown);
    }
    const std::optional<FrameSpan> span = finalSpan(rules, clock, reachedTo, finalFrames);
    walked.final = span ? std::to_string(span->start) + "-" + std::to_string(span->end) : "none";
    return walked;
}

TEST(TimingFunctionsTest, OutputEventsFallOnFrames) {
    struct Case {
        const char* name;
        TimingRules rules;
        std::vector<int64_t> times;
        int32_t finalFrames;
        Walked expected;
    };
    const TimingRules frameClock;
    TimingRules idleAndSpeed;
    idleAndSpeed.idle = kSecond / 2;
    idleAndSpeed.speed = 2;
    TimingRules longIdle;
    longIdle.idle = 120 * kSecond;
    TimingRules realtime;
    realtime.realtime = true;
    TimingRules cut;
    cut.hasFrom = true;
    cut.from = kSecond;
    cut.to = 2 * kSecond;
    TimingRules realtimeCut = cut;
    realtimeCut.realtime = true;
    const Case cases[] = {
        {"at least a frame per record, a minute's pause one frame", frameClock,
         {0, 10000, kSecond, 62 * kSecond, 63 * kSecond}, 0, {"1 2 31 32 62", "yyyyy", "none"}},
        {"-last holds the final screen", frameClock, {0, kSecond}, 3, {"1 31", "yy", "31-34"}},
        {"time going back counts as no pause", frameClock, {0, 2 * kSecond, kSecond}, 0, {"1 61 62", "yyy", "none"}},
        {"-idle shortens, then -speed divides", idleAndSpeed, {0, 2 * kSecond, 2100000}, 0,
         {"1 8 9", "yyy", "none"}},
        {"an idle limit leaves a long pause its frames", longIdle, {0, 61 * kSecond}, 0, {"1 1831", "yy", "none"}},
        {"-realtime: the last screen of a frame is shown", realtime, {0, 10000, 20000, 50000, kSecond}, 0,
         {"0 1 1 2 30", "ynyyy", "none"}},
        {"-from shares the first frame, -to ends the walk", cut, {0, kSecond / 2, 1500000, 3 * kSecond}, 0,
         {"1 1 16 past", "nyy", "16-31"}},
        {"-realtime from -from up to, not including, -to", realtimeCut, {0, 1500000, 2500000}, 2,
         {"0 15 past", "yy", "15-32"}},
    };
    for (const Case& c : cases) {
        const Walked walked = walkTimes(c.rules, c.times, c.finalFrames);
        EXPECT_EQ(walked.frames, c.expected.frames) << c.name;
        EXPECT_EQ(walked.shown, c.expected.shown) << c.name;
        EXPECT_EQ(walked.final, c.expected.final) << c.name;
    }
}

TEST(TimingFunctionsTest, RealtimeFramesRoundUp) {
    TimingRules rules;
    rules.fps = 7;
    const std::pair<int64_t, int64_t> cases[] = {
        {-5, 0}, {0, 0}, {1, 1}, {kSecond / 7, 1}, {kSecond / 7 + 1, 2}, {kSecond, 7}, {kSecond + 1, 8},
        {int64_t{1} << 50, ((int64_t{1} << 50) / kSecond) * 7 + ((int64_t{1} << 50) % kSecond * 7 + kSecond - 1) / kSecond},
    };
    for (const auto& [time, frame] : cases) EXPECT_EQ(realtimeFrame(rules, time), frame) << time;
}

TEST(TimingFunctionsTest, MarkersArePlacedOnThePlayedClock) {
    Recording recording;
    recording.format = RecordingFormat::asciicast;
    auto add = [&](EventKind kind, int64_t seconds) {
        StoredEvent event;
        event.kind = kind;
        event.time = seconds * kSecond;
        recording.asciicast.events.push_back(event);
    };
    add(EventKind::marker, 0);
    add(EventKind::output, 10);
    add(EventKind::marker, 12);
    add(EventKind::resize, 15);
    add(EventKind::output, 20);
    add(EventKind::marker, 100);
    TimingRules rules;
    rules.idle = 5 * kSecond;
    EXPECT_EQ(markerTimes(rules, EventSource(recording)), (std::vector<int64_t>{0, 2 * kSecond, 10 * kSecond}));
    rules.speed = 0.5;
    EXPECT_EQ(markerTimes(rules, EventSource(recording)), (std::vector<int64_t>{0, 4 * kSecond, 20 * kSecond}));
}

// An asciicast player counts from the recording's start: the first output event's played time
// from there, after -idle and -speed, and the length from the first to the last output event.
TEST(TimingFunctionsTest, RecordingStartAndLengthOnThePlayedClock) {
    Recording recording;
    recording.format = RecordingFormat::asciicast;
    for (auto [kind, seconds] : {std::pair{EventKind::marker, 101}, {EventKind::output, 103}, {EventKind::output, 110},
                                 {EventKind::marker, 200}}) {
        StoredEvent event;
        event.kind = kind;
        event.time = seconds * kSecond;
        recording.asciicast.events.push_back(event);
    }
    TimingRules rules;
    EXPECT_EQ(playedStart(rules, EventSource(recording), 100 * kSecond), 3 * kSecond);
    EXPECT_EQ(playedLength(rules, EventSource(recording)), 7 * kSecond);
    rules.idle = 2 * kSecond;
    rules.speed = 2;
    EXPECT_EQ(playedStart(rules, EventSource(recording), 100 * kSecond), kSecond);
    EXPECT_EQ(playedLength(rules, EventSource(recording)), kSecond);
    EXPECT_EQ(playedStart(rules, EventSource(Recording{}), 0), 0);
}

}  // namespace
