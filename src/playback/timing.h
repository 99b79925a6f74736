#pragma once
// Timing as functions: where each output event falls on the video's frames, from the events'
// times and the timing options (idle limit, speed, -realtime, -from, -to, -last). Nothing here
// touches a terminal or a picture.

#include <cstdint>
#include <optional>
#include <vector>

#include "emission/emission.h"
#include "playback/events.h"

// A time on the recording's clock after -idle and -speed, counted from the first record, as
// -from, -to and -at name it: microseconds, or the number (from 1) of an asciicast marker.
struct TimePoint {
    bool given = false;
    int64_t micros = 0;
    int32_t marker = 0;  // 0: micros
};

constexpr int64_t kMicrosPerSecond = 1000000;
// Later than any recording plays, however slowly: the played clock stops there.
constexpr int64_t kLatestPlayed = int64_t{1} << 60;

// The rules the options and the recording make, times in microseconds on the played clock.
struct TimingRules {
    int32_t frameInterval = 1000000 / 30;  // microseconds per frame, for the frame clock
    int32_t fps = 30;                      // for -realtime's exact clock
    // Every gap takes at least one frame and a gap over a minute one frame (unless an idle limit
    // is in effect); -realtime: frame k shows the screen after the last record at or before k / fps.
    bool realtime = false;
    int64_t idle = -1;     // gaps longer than this play as this long; negative: none
    double speed = 1;      // gaps are divided by it
    bool hasFrom = false;  // records up to from share the first screen's frame
    int64_t from = 0;
    int64_t to = -1;       // nothing after this is played; negative: none
};

// The frame clock between output events.
struct FrameClock {
    bool haveFirst = false;  // no output event seen yet while false
    Stamp first;             // the first output event's time as recorded
    int64_t previousTime = 0;  // the previous output event's time on the recording's clock
    int64_t playedTime = 0;    // and on the played clock, from the first
    bool screenShown = false;  // an output event's screen has had its frame
    int32_t frameStart = 0;    // first frame number of the gap owned by the previous screen
    int32_t frameEnd = 1;      // frame number at which the current output event's screen begins
};

// Where an output event falls.
struct OutputTiming {
    int64_t played = 0;  // its time from the first output event, after -idle and -speed
    int64_t frame = 0;   // the frame its screen begins at
    bool past = false;   // after -to: not played
};

// A gap between output events as played: none when time goes back, at most the idle limit,
// divided by -speed.
int64_t playedGap(const TimingRules& rules, int64_t gap);

// The first frame whose time, k / fps, is at or after time (microseconds from -from).
int64_t realtimeFrame(const TimingRules& rules, int64_t time);

// Frames a gap takes on the frame clock: at least one, and one for a gap over a minute where
// no idle limit is in effect.
int64_t gapFrames(const TimingRules& rules, int64_t gap);

// -realtime: the last frame before -to.
int64_t lastFrameBeforeTo(const TimingRules& rules);

// The clock as an output event at time, stamped so, finds it: the first starts it.
FrameClock clockStartedBy(FrameClock clock, Stamp stamp, int64_t time);

// Where an output event at time falls, coming after the ones the clock has seen.
OutputTiming timeOutput(const TimingRules& rules, const FrameClock& clock, int64_t time);

// True when the next output event (at nextTime, if there is one) takes the same frame as this
// one at time, so that this one's screen is never seen: on the -realtime clock, or before -from.
bool sharesFrameWithNext(const TimingRules& rules, int64_t time, const OutputTiming& timing,
                         std::optional<int64_t> nextTime);

// The clock after an output event whose screen begins at frame spanEnd; shown: it had frames.
FrameClock clockAfter(FrameClock clock, int64_t time, const OutputTiming& timing, int32_t spanEnd, bool shown);

// The played time of a marker at time, coming after the output events the clock has seen: its
// distance from the one before it played as a gap; 0 before the first.
int64_t markerPlayed(const TimingRules& rules, const FrameClock& clock, int64_t time);

// The frame a marker played at `played` lands on, coming after the output events the clock has
// seen and before next (none: it comes after the last one played). -realtime: the first frame at
// or after its time. The frame clock maps the gap's played time onto the gap's frames; a marker
// at or before the first screen shown lands on frame 0, one after the last played screen as many
// frames after it as its time gives.
int64_t markerFrame(const TimingRules& rules, const FrameClock& clock, int64_t played, const OutputTiming* next);

// The frames the final screen fills at the end: up to -to when an event after it ended the walk
// (reachedTo), then finalFrames more; none when no screen was shown or none are left.
std::optional<FrameSpan> finalSpan(const TimingRules& rules, const FrameClock& clock, bool reachedTo,
                                   int32_t finalFrames);

// The played time of the first output event from start, the time the recording begins (an
// asciicast recording's, whose player counts from there); 0 without output events.
int64_t playedStart(const TimingRules& rules, EventSource source, int64_t start);

// The played time of the last output event from the first; 0 without output events.
int64_t playedLength(const TimingRules& rules, EventSource source);

// The played time of each marker: its distance from the output event before it played as a gap
// (0 before the first). Walks a copy of the source.
std::vector<int64_t> markerTimes(const TimingRules& rules, EventSource source);
