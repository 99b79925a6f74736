#include "playback/timing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr int64_t kLongestGap = 60000000;  // a pause longer than a minute shrinks to one frame

}  // namespace

int64_t playedGap(const TimingRules& rules, int64_t gap) {
    if (gap <= 0) return 0;
    if (rules.idle >= 0) gap = std::min(gap, rules.idle);
    if (rules.speed != 1) gap = std::llround(static_cast<double>(gap) / rules.speed);
    return gap;
}

int64_t realtimeFrame(const TimingRules& rules, int64_t time) {
    if (time <= 0) return 0;
    const int64_t fps = rules.fps;
    return time / kMicrosPerSecond * fps + (time % kMicrosPerSecond * fps + kMicrosPerSecond - 1) / kMicrosPerSecond;
}

int64_t gapFrames(const TimingRules& rules, int64_t gap) {
    if (rules.idle < 0 && gap > kLongestGap) gap = 1;
    return std::max<int64_t>(1, gap / rules.frameInterval);
}

int64_t lastFrameBeforeTo(const TimingRules& rules) {
    // -realtime shows time from -from up to, not including, -to.
    return rules.to >= 0 ? realtimeFrame(rules, rules.to - rules.from) - 1 : -1;
}

FrameClock clockStartedBy(FrameClock clock, Stamp stamp, int64_t time) {
    if (clock.haveFirst) return clock;
    clock.haveFirst = true;
    clock.first = stamp;
    clock.previousTime = time;
    return clock;
}

OutputTiming timeOutput(const TimingRules& rules, const FrameClock& clock, int64_t time) {
    OutputTiming timing;
    const int64_t gap = time - clock.previousTime;
    timing.played = clock.haveFirst ? std::min(clock.playedTime + playedGap(rules, gap), kLatestPlayed) : 0;
    const int64_t sinceFrom = timing.played - rules.from;
    if (rules.realtime) {
        timing.frame = realtimeFrame(rules, sinceFrom);
        timing.past = rules.to >= 0 && timing.frame > lastFrameBeforeTo(rules);
    } else {
        timing.past = rules.to >= 0 && sinceFrom > rules.to - rules.from;
        timing.frame = clock.frameStart + 1;
        if (sinceFrom > 0 && clock.screenShown) {
            timing.frame =
                clock.frameStart + gapFrames(rules, sinceFrom - std::max<int64_t>(clock.playedTime - rules.from, 0));
        }
    }
    return timing;
}

bool sharesFrameWithNext(const TimingRules& rules, int64_t time, const OutputTiming& timing,
                         std::optional<int64_t> nextTime) {
    const bool beforeFrom = rules.hasFrom && timing.played <= rules.from;
    if ((!rules.realtime && !beforeFrom) || !nextTime) return false;
    FrameClock after;
    after.haveFirst = true;
    after.previousTime = time;
    after.playedTime = timing.played;
    const OutputTiming next = timeOutput(rules, after, *nextTime);
    if (next.past) return false;
    return rules.realtime ? next.frame == timing.frame : next.played <= rules.from;
}

FrameClock clockAfter(FrameClock clock, int64_t time, const OutputTiming& timing, int32_t spanEnd, bool shown) {
    if (shown) {
        clock.frameStart = spanEnd;
        clock.screenShown = true;
    }
    clock.previousTime = time;
    clock.playedTime = timing.played;
    return clock;
}

int64_t markerPlayed(const TimingRules& rules, const FrameClock& clock, int64_t time) {
    if (!clock.haveFirst) return 0;
    return std::min(clock.playedTime + playedGap(rules, time - clock.previousTime), kLatestPlayed);
}

int64_t markerFrame(const TimingRules& rules, const FrameClock& clock, int64_t played, const OutputTiming* next) {
    if (rules.realtime) return realtimeFrame(rules, played - rules.from);
    if (!clock.screenShown) return 0;
    const int64_t start = std::max(clock.playedTime, rules.from);
    const int64_t since = std::max<int64_t>(played - start, 0);
    // The first screen shown (its own frame is 1) fills frame 0 too: the video begins there.
    if (since == 0 && clock.frameStart == 1) return 0;
    if (next == nullptr) return clock.frameStart + since / rules.frameInterval;
    const int64_t length = next->played - start;
    if (length <= since) return next->frame;
    const double share = static_cast<double>(since) / static_cast<double>(length);
    return clock.frameStart + static_cast<int64_t>(share * static_cast<double>(next->frame - clock.frameStart));
}

std::optional<FrameSpan> finalSpan(const TimingRules& rules, const FrameClock& clock, bool reachedTo,
                                   int32_t finalFrames) {
    if (!clock.screenShown) return std::nullopt;
    const int64_t screenFrame = clock.frameStart;
    int64_t lastFrame = screenFrame - 1;  // a movie ends before the final screen's own frame
    if (reachedTo) {
        lastFrame = rules.realtime ? lastFrameBeforeTo(rules)
                                   : screenFrame - 1 + gapFrames(rules, rules.to - std::max(clock.playedTime, rules.from));
    }
    lastFrame = std::min<int64_t>(lastFrame + finalFrames, std::numeric_limits<int32_t>::max() - 1);
    if (lastFrame < screenFrame) return std::nullopt;
    return FrameSpan{static_cast<int32_t>(screenFrame), static_cast<int32_t>(lastFrame + 1)};
}

int64_t playedStart(const TimingRules& rules, EventSource source, int64_t start) {
    while (std::optional<Event> event = source.next()) {
        if (event->kind == EventKind::output) return playedGap(rules, event->time - start);
    }
    return 0;
}

int64_t playedLength(const TimingRules& rules, EventSource source) {
    bool started = false;
    int64_t played = 0;
    int64_t previous = 0;
    while (std::optional<Event> event = source.next()) {
        if (event->kind != EventKind::output) continue;
        if (started) played = std::min(played + playedGap(rules, event->time - previous), kLatestPlayed);
        started = true;
        previous = event->time;
    }
    return played;
}

std::vector<int64_t> markerTimes(const TimingRules& rules, EventSource source) {
    std::vector<int64_t> times;
    bool started = false;
    int64_t played = 0;
    int64_t previous = 0;
    while (std::optional<Event> event = source.next()) {
        if (event->kind == EventKind::output) {
            if (started) played = std::min(played + playedGap(rules, event->time - previous), kLatestPlayed);
            started = true;
            previous = event->time;
        } else if (event->kind == EventKind::marker) {
            times.push_back(started ? played + playedGap(rules, event->time - previous) : 0);
        }
    }
    return times;
}
