#pragma once
// The walk of a recording's events: for each output event the timing functions give the frames
// its screen begins at, the terminal takes the payload, the screen is painted and its frames are
// emitted.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emission/emission.h"
#include "render/key_caption.h"
#include "render/renderer.h"
#include "terminal/terminal.h"
#include "playback/events.h"
#include "playback/keys.h"
#include "playback/progress.h"
#include "playback/timing.h"

struct PlaybackOptions {
    int32_t frameInterval = 1000000 / 30;  // microseconds per video frame
    int32_t fps = 30;                      // frames per second, for -realtime's exact clock
    int32_t skipFrames = 0;                // frame numbers up to this one are shown as skipped
    int32_t stopFrame = -1;                // the walk ends once a record reaches it; negative: never
    Progress progress = Progress::lines;
    // Every gap takes at least one frame and a gap over a minute one frame; -realtime: frame k
    // shows the screen after the last record at or before k / fps.
    bool realtime = false;
    int64_t idleLimit = -1;    // -idle, microseconds; negative: an asciicast idle_time_limit, if any
    double speed = 1;          // -speed: gaps are divided by it
    TimePoint from;            // -from: frame 0 shows the screen at this time
    TimePoint to;              // -to: nothing after this time is played
    bool poster = false;       // -at: the walk ends once the screen at `from` is painted
    int32_t finalFrames = 0;   // -last: frames the final screen fills at the end
    bool columnsFixed = false;  // -width: resizes leave the number of columns alone
    bool rowsFixed = false;     // -height likewise
    bool log = true;            // the log "output" is written
    std::filesystem::path directory;  // where the log goes; empty: the working directory
    bool warnings = true;       // a recording cut short and frame numbers running out are reported
    // A second walk after one that an interruption ended: this one ends where that one did, after
    // this many records, whatever interruption is pending; negative: at an interruption.
    int64_t recordLimit = -1;
    KeysOptions keys;  // -keys: the stages' caption follows the input events
};

enum class PlaybackEnd {
    finished,        // after the last record, or asked to stop by an interruption
    stopLimit,       // a record reached stopFrame
    fontMissing,     // a screen needed font.txt and it could not be read
    recordingError,  // the recording could not be played; message says why
};

// A marker between -from and -to as the video shows it.
struct VideoMarker {
    int32_t number = 0;  // among the recording's markers, from 1, as marker:N counts
    int64_t frame = 0;   // the frame number it lands on
    std::string label;
};

struct PlaybackResult {
    PlaybackEnd end = PlaybackEnd::finished;
    std::string message;  // recordingError: the line to show
    int64_t records = 0;  // records walked
    int32_t frame = 0;    // the frame the last record's screen begins at; 0 before any record
    std::vector<VideoMarker> markers = {};  // in the recording's order
};

// One emission of the walk, as a pass that plans without painting sees it, so that another
// pass with its own stages can make it again: the terminal as it was then (the output events
// fed), the screen painted, the frames and the caption.
struct StageCall {
    enum class Kind : uint8_t { emit, emitFinal, emitLook };
    Kind kind = Kind::emit;
    int64_t fed = 0;        // output events fed before it
    int64_t resized = 0;    // resizes taken before it
    int64_t screenFed = 0;  // output events fed when the screen shown was painted (emit, emitFinal: fed)
    int64_t screenResized = 0;  // resizes by then
    FrameSpan span{};
    CaptionLook look{};     // what the caption shows from span.end (emitLook: from span.end too)
};

class StagePlanner {
public:
    virtual ~StagePlanner() = default;
    // After the emission took the call's frames.
    virtual void planned(const StageCall& call) = 0;
};

// The stages the walk drives, each call in one place: the terminal, the painter, the emission.
struct PlaybackStages {
    Terminal& terminal;
    Painter& painter;
    Emission& emission;
    ScreenChanges changes{};  // what the last paint changed, for the frames emitted after it
    KeyCaption* caption = nullptr;  // -keys: laid over every frame emitted
    CaptionLook look{};             // what the caption shows from the next frame emitted
    // Planning: only the first screen is painted, for the pictures' size; the emission gets
    // screens of that size without pixels, and the planner hears of every emission.
    StagePlanner* planner = nullptr;
    Surface plannedScreen{};
    int64_t fed = 0;         // output events fed
    int64_t resized = 0;     // resizes taken
    int64_t paintedFed = -1;  // fed and resized at the last painting
    int64_t paintedResized = -1;

    void feed(std::span<const uint8_t> payload);
    // Each side fixed keeps the terminal's own.
    void resize(int32_t columns, int32_t rows, bool columnsFixed, bool rowsFixed);
    bool paint();  // false when the font is missing
    void emit(const FrameSpan& span);
    void emitFinal(const FrameSpan& span);
    // The caption alone changes: the screen shown fills the span's gap, and from span.end it
    // shows with look.
    void emitLook(const FrameSpan& span, const CaptionLook& newLook);

private:
    ComposedFrame composed(const ScreenChanges& frameChanges);
};

class Playback {
public:
    explicit Playback(const PlaybackOptions& options);

    // Walks the events, writing the log "output" when the options ask for it. Returns early
    // when an interruption was asked for, after the record in progress. At the end the final
    // screen fills the frames that -to and -last give it.
    PlaybackResult walk(EventSource& source, PlaybackStages& stages);

    // For callers that step through the walk themselves: begin (a failure ends the walk before
    // it starts), then step until it returns false.
    std::optional<PlaybackResult> begin(const EventSource& source);
    // Plays the next output event, with the resizes before it; false once the walk must end.
    bool step(EventSource& source, PlaybackStages& stages);

    const FrameClock& clock() const { return clock_; }

    // After begin: where the video's first frame and -to fall on the recording's own clock (an
    // asciicast recording's from its start, a ttyrec's from its first record), in microseconds
    // on the played clock; end is negative without -to.
    struct VideoWindow {
        int64_t start = 0;
        int64_t end = -1;
    };
    VideoWindow videoWindow() const { return {origin_ + rules_.from, rules_.to < 0 ? -1 : origin_ + rules_.to}; }

private:
    bool walkCut() const;
    PlaybackResult finish(PlaybackStages& stages);
    void warnPastTheEnd(const EventSource& source) const;
    bool playOutput(const Event& event, EventSource& source, PlaybackStages& stages);
    void noteMarker(const Event& event);
    // The markers waiting for the frame the next output event (none: the end) gives them.
    void placeMarkers(const OutputTiming* next);
    int64_t stepFrame(const CaptionStep& step) const;
    void playCaption(PlaybackStages& stages, int64_t frame, int64_t played, int64_t emitBefore);

    PlaybackOptions options_;
    TimingRules rules_;
    FrameClock clock_;
    ProgressReport progress_;
    std::vector<Event> pendingResizes_;  // take effect before the next output event
    bool reachedTo_ = false;             // an output event after -to ended the walk
    // The played time of the first output event on the clock -from, -to, -at and the progress
    // lines count on: an asciicast recording's own, from its start; 0 for ttyrec, from the first.
    int64_t origin_ = 0;
    bool ownClock_ = false;  // progress lines show that clock
    int64_t walked_ = 0;
    int32_t markersSeen_ = 0;
    struct PendingMarker {
        int32_t number = 0;
        int64_t played = 0;
        std::string label;
    };
    std::vector<PendingMarker> pendingMarkers_;
    PlaybackResult result_;
    std::vector<CaptionStep> captionSteps_;  // -keys
    size_t nextStep_ = 0;
    int32_t captionStart_ = 0;  // where the frames not yet emitted begin: the gap's start, or a caption's change

};
