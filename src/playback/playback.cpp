#include "playback/playback.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/interrupts.h"
#include "platform/messages.h"
#include "render/renderer.h"
#include "terminal/terminal.h"

namespace {

constexpr double kLatestSeconds = 1e12;

PlaybackResult failure(std::string message) { return {PlaybackEnd::recordingError, std::move(message)}; }

std::string secondsText(int64_t micros) {
    char text[40];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(micros) / kMicrosPerSecond);
    return text;
}

// The idle limit: -idle, else the recording's own.
TimingRules rulesFor(const PlaybackOptions& options, const Recording& recording) {
    TimingRules rules{.frameInterval = options.frameInterval,
                      .fps = options.fps,
                      .realtime = options.realtime,
                      .speed = options.speed};
    if (options.idleLimit >= 0) {
        rules.idle = options.idleLimit;
    } else if (recording.asciicast.idleTimeLimit) {
        rules.idle = std::llround(std::min(*recording.asciicast.idleTimeLimit, kLatestSeconds) * kMicrosPerSecond);
    }
    return rules;
}

}  // namespace

void PlaybackStages::feed(std::span<const uint8_t> payload) {
    terminal.feed(payload);
    ++fed;
}

void PlaybackStages::resize(int32_t columns, int32_t rows, bool columnsFixed, bool rowsFixed) {
    ++resized;
    const TerminalOptions& now = terminal.options();
    terminal.resize(columnsFixed ? now.columns : columns, rowsFixed ? now.rows : rows);
}

bool PlaybackStages::paint() {
    paintedFed = fed;
    paintedResized = resized;
    // Planning paints one screen, for the size of every picture.
    if (planner != nullptr && plannedScreen.width > 0) return true;
    const PaintResult painted = painter.paint(terminal);
    changes = painted.changes;
    if (planner != nullptr) {
        plannedScreen.width = painter.frame().width;
        plannedScreen.height = painter.frame().height;
    }
    return painted.painted;
}

ComposedFrame PlaybackStages::composed(const ScreenChanges& frameChanges) {
    const bool xterm = terminal.options().emulation == Emulation::xterm;
    const int32_t cursorRow = xterm ? terminal.xtermScreen().cursorRow : terminal.grid().cursorRow;
    return caption->compose(painter.frame(), frameChanges, look, cursorRow);
}

void PlaybackStages::emit(const FrameSpan& span) {
    if (planner != nullptr) {
        emission.emitFrames(plannedScreen, ScreenChanges{}, span);
        return planner->planned({StageCall::Kind::emit, fed, resized, paintedFed, paintedResized, span, look});
    }
    if (caption == nullptr) return emission.emitFrames(painter.turnedFrame(), changes, span);
    const ComposedFrame frame = composed(changes);
    emission.emitFrames(frame.picture, frame.changes, span);
}

void PlaybackStages::emitFinal(const FrameSpan& span) {
    if (planner != nullptr) {
        emission.emitFinalFrames(plannedScreen, ScreenChanges{}, span);
        return planner->planned({StageCall::Kind::emitFinal, fed, resized, paintedFed, paintedResized, span, look});
    }
    if (caption == nullptr) return emission.emitFinalFrames(painter.turnedFrame(), changes, span);
    const ComposedFrame frame = composed(changes);
    emission.emitFinalFrames(frame.picture, frame.changes, span);
}

void PlaybackStages::emitLook(const FrameSpan& span, const CaptionLook& newLook) {
    look = newLook;
    if (planner != nullptr) {
        emission.emitFrames(plannedScreen, ScreenChanges{}, span);
        return planner->planned({StageCall::Kind::emitLook, fed, resized, paintedFed, paintedResized, span, look});
    }
    const ComposedFrame frame = composed(ScreenChanges{.everything = false});
    emission.emitFrames(frame.picture, frame.changes, span);
}

Playback::Playback(const PlaybackOptions& options) : options_(options), progress_(options.progress, options.skipFrames) {}

// The walk ends at an interruption, or where the walk it repeats ended.
bool Playback::walkCut() const {
    return options_.recordLimit >= 0 ? walked_ >= options_.recordLimit : interruptRequested();
}

std::optional<PlaybackResult> Playback::begin(const EventSource& source) {
    const Recording& recording = source.recording();
    rules_ = rulesFor(options_, recording);
    // An asciicast recording's times count from its start, as its player shows them.
    ownClock_ = recording.format == RecordingFormat::asciicast;
    origin_ = ownClock_ ? playedStart(rules_, source, recording.asciicast.startTime) : 0;
    // -from and -to on the played clock; a marker that is not there ends the walk before it starts.
    std::vector<int64_t> markers;
    if (options_.from.marker != 0 || options_.to.marker != 0) markers = markerTimes(rules_, source);
    auto resolve = [&](const TimePoint& point, int64_t& micros) -> std::optional<PlaybackResult> {
        if (!point.given) return std::nullopt;
        // A time before the first output event shows its screen.
        micros = std::max<int64_t>(point.micros - origin_, 0);
        if (point.marker == 0) return std::nullopt;
        if (static_cast<size_t>(point.marker) > markers.size()) {
            return failure("Error: " + recording.name + " has no marker " + std::to_string(point.marker) +
                           " (it has " + std::to_string(markers.size()) + ")");
        }
        micros = markers[static_cast<size_t>(point.marker) - 1];
        return std::nullopt;
    };
    if (std::optional<PlaybackResult> failed = resolve(options_.from, rules_.from)) return failed;
    rules_.hasFrom = options_.from.given;
    if (!options_.poster) {
        if (std::optional<PlaybackResult> failed = resolve(options_.to, rules_.to)) return failed;
    }
    if (options_.warnings) warnPastTheEnd(source);
    if (options_.keys.on) captionSteps_ = captionSteps(rules_, source, options_.keys);
    progress_.start(source);
    return std::nullopt;
}

// A time past the last output event shows the last screen, or nothing after -from.
void Playback::warnPastTheEnd(const EventSource& source) const {
    if (!options_.from.given && !options_.to.given) return;
    const int64_t length = playedLength(rules_, source);
    struct Named {
        const char* option;
        const TimePoint& point;
        int64_t micros;
    };
    const Named times[] = {{options_.poster ? "-at" : "-from", options_.from, rules_.from},
                           {"-to", options_.to, rules_.to}};
    for (const Named& time : times) {
        if (!time.point.given || time.micros <= length || (options_.poster && &time.point == &options_.to)) continue;
        const std::string named = time.point.marker != 0 ? "marker:" + std::to_string(time.point.marker)
                                                         : secondsText(time.point.micros) + " s";
        printDiagnostic("Warning: " + std::string(time.option) + " " + named + " is past the end of " +
                        source.recording().name + ", which lasts " + secondsText(length + origin_) + " s" +
                        (options_.poster ? "; the last screen is shown." : "."));
    }
}

bool Playback::step(EventSource& source, PlaybackStages& stages) {
    while (std::optional<Event> event = source.next()) {
        if (event->kind == EventKind::resize) pendingResizes_.push_back(*event);
        if (event->kind == EventKind::marker) noteMarker(*event);
        if (event->kind == EventKind::output) return playOutput(*event, source, stages);
    }
    if (!source.failure().empty()) {
        result_.end = PlaybackEnd::recordingError;
        result_.message = "Error: reading the recording " + source.recording().name + " stopped: " + source.failure();
        return false;
    }
    const std::optional<Truncation> tail = source.tail();
    if (tail && options_.warnings) {
        printDiagnostic("Warning: the recording is cut at byte offset " + std::to_string(tail->end) + ": the " +
                        std::to_string(tail->available) + " bytes from offset " + std::to_string(tail->offset) +
                        " are too short for a record header and are ignored");
    }
    return false;
}

// A marker before -from, or at or after -to (where the cut ends), is left out.
void Playback::noteMarker(const Event& event) {
    ++markersSeen_;
    const int64_t played = markerPlayed(rules_, clock_, event.time);
    if (played < rules_.from || (rules_.to >= 0 && played >= rules_.to)) return;
    pendingMarkers_.push_back({markersSeen_, played, std::string(event.data.begin(), event.data.end())});
}

// A marker stamped before the one ahead of it (a recording's times may go back) shares its frame:
// chapters follow one another.
void Playback::placeMarkers(const OutputTiming* next) {
    for (PendingMarker& marker : pendingMarkers_) {
        auto frame = markerFrame(rules_, clock_, marker.played, next);
        if (!result_.markers.empty()) frame = std::max(frame, result_.markers.back().frame);
        result_.markers.push_back({marker.number, frame, std::move(marker.label)});
    }
    pendingMarkers_.clear();
}

bool Playback::playOutput(const Event& event, EventSource& source, PlaybackStages& stages) {
    ++walked_;
    for (const Event& resize : pendingResizes_) {
        stages.resize(resize.columns, resize.rows, options_.columnsFixed, options_.rowsFixed);
    }
    pendingResizes_.clear();
    if (event.cut && options_.warnings) {
        printDiagnostic("Warning: the recording is cut at byte offset " + std::to_string(event.cut->end) +
                        ": the record at offset " + std::to_string(event.cut->offset) + " has " +
                        std::to_string(event.cut->available) + " of its " + std::to_string(event.cut->length) +
                        " payload bytes");
    }
    clock_ = clockStartedBy(clock_, event.stamp, event.time);
    const OutputTiming timing = timeOutput(rules_, clock_, event.time);
    if (!timing.past) placeMarkers(&timing);
    if (timing.past) {
        reachedTo_ = true;
        return false;
    }
    if (timing.frame > std::numeric_limits<int32_t>::max()) {
        if (options_.warnings) {
            printDiagnostic("Warning: frame numbers would pass " +
                            std::to_string(std::numeric_limits<int32_t>::max()) +
                            "; the rest of the recording is not played");
        }
        return false;
    }
    const FrameSpan span{clock_.frameStart, static_cast<int32_t>(timing.frame)};
    clock_.frameEnd = span.end;
    progress_.report(event, span, clock_, timing, ownClock_ || rules_.idle >= 0 || rules_.speed != 1, origin_);

    // The caption's changes before this screen's frame show on the screen shown so far.
    if (stages.caption != nullptr) playCaption(stages, timing.frame, timing.played, timing.frame);
    stages.feed(event.data);
    // Only the last screen of a frame is painted and shown.
    const bool shown = !sharesFrameWithNext(rules_, event.time, timing, source.nextOutputTime());
    if (shown) {
        if (!stages.paint()) {
            result_.end = PlaybackEnd::fontMissing;
            return false;
        }
        stages.emit({std::max(span.start, captionStart_), span.end});
        captionStart_ = span.end;
    }

    clock_ = clockAfter(clock_, event.time, timing, span.end, shown);
    if (shown && options_.stopFrame > 0 && span.end >= options_.stopFrame) {
        result_.end = PlaybackEnd::stopLimit;
        return false;
    }
    return !(shown && options_.poster);
}

PlaybackResult Playback::finish(PlaybackStages& stages) {
    result_.records = walked_;
    if (result_.end == PlaybackEnd::finished && !walkCut() && !options_.poster) {
        // At the end the final screen fills the frames up to -to, and then -last's.
        std::optional<FrameSpan> span = finalSpan(rules_, clock_, reachedTo_, options_.finalFrames);
        // Unchanged, the screen paints nothing new; painting it again says so.
        if (span && stages.paint()) {
            int32_t start = span->start;
            if (stages.caption != nullptr) {
                captionStart_ = std::max(captionStart_, start);
                const int64_t lastPlayed = std::max(clock_.playedTime, rules_.from) +
                                           int64_t{span->end - 1 - clock_.frameStart} * rules_.frameInterval;
                playCaption(stages, span->end - 1, lastPlayed, span->end);
                start = captionStart_;
            }
            stages.emitFinal({start, span->end});
        }
    }
    placeMarkers(nullptr);
    progress_.finish();
    result_.frame = clock_.haveFirst ? clock_.frameEnd : 0;
    return result_;
}

// The frame a caption step first shows in, in the gap after the screen shown last.
int64_t Playback::stepFrame(const CaptionStep& step) const {
    if (rules_.realtime) return realtimeFrame(rules_, step.played - rules_.from);
    const int64_t base = std::max(clock_.playedTime, rules_.from);
    if (step.played <= base) return clock_.frameStart;
    return clock_.frameStart + (step.played - base + rules_.frameInterval - 1) / rules_.frameInterval;
}

// Takes the caption steps due by the screen at frame, at played on the clock: those whose frame
// comes before emitBefore are emitted on the screen shown so far, the others wait in
// stages.look for the next frame emitted.
void Playback::playCaption(PlaybackStages& stages, int64_t frame, int64_t played, int64_t emitBefore) {
    auto due = [&](const CaptionStep& step) {
        return rules_.realtime ? stepFrame(step) <= frame : step.played <= played;
    };
    while (nextStep_ < captionSteps_.size() && due(captionSteps_[nextStep_])) {
        const int64_t at = stepFrame(captionSteps_[nextStep_]);
        // Of the steps in one frame, the last shows.
        while (nextStep_ + 1 < captionSteps_.size() && due(captionSteps_[nextStep_ + 1]) &&
               stepFrame(captionSteps_[nextStep_ + 1]) == at) {
            ++nextStep_;
        }
        const CaptionLook& look = captionSteps_[nextStep_].look;
        ++nextStep_;
        if (clock_.screenShown && at > captionStart_ && at < emitBefore) {
            stages.emitLook({captionStart_, static_cast<int32_t>(at)}, look);
            captionStart_ = static_cast<int32_t>(at);
        } else {
            stages.look = look;
        }
    }
}

PlaybackResult Playback::walk(EventSource& source, PlaybackStages& stages) {
    if (options_.log) progress_.openLog(options_.directory);
    if (std::optional<PlaybackResult> failed = begin(source)) return *failed;
    while (!walkCut() && step(source, stages)) {
    }
    return finish(stages);
}
