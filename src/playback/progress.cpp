#include "playback/progress.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <ctime>
#include <string>

namespace {

constexpr std::array<char, 81> kRule = [] {
    std::array<char, 81> rule{};
    for (size_t i = 0; i + 1 < rule.size(); ++i) rule[i] = '-';
    return rule;
}();

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string clockText(double seconds) {
    auto whole = static_cast<int64_t>(std::max(seconds, 0.0));
    char text[32];
    std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, whole / 3600, (whole / 60) % 60,
                  whole % 60);
    return text;
}

// Writes the time since the first record as "%02d:%02d:%02d", without a newline: on the clock
// that -from and -to count on.
void printRecordTime(Stamp stamp, const FrameClock& clock, const OutputTiming& timing, bool clockAdjusted,
                     int64_t origin) {
    int64_t elapsed = static_cast<int64_t>(stamp.seconds) - clock.first.seconds;
    if (stamp.micros < clock.first.micros) elapsed -= 1;  // borrow: count whole seconds only
    if (clockAdjusted) elapsed = (timing.played + origin) / kMicrosPerSecond;
    std::printf("%02" PRId64 ":%02" PRId64 ":%02" PRId64, elapsed / 3600, (elapsed / 60) % 60, elapsed % 60);
}

}  // namespace

ProgressReport::~ProgressReport() {
    if (log_ != nullptr) std::fclose(log_);
}

void ProgressReport::openLog(const std::filesystem::path& directory) {
    if (log_ == nullptr) log_ = std::fopen((directory / "output").c_str(), "w");
}

void ProgressReport::start(EventSource source) {
    if (mode_ != Progress::statusLine) return;
    terminal_ = isatty(STDERR_FILENO) != 0;
    started_ = monotonicSeconds();
    while (std::optional<Event> event = source.next()) {
        if (event->kind != EventKind::output) continue;
        if (records_ == 0) first_ = event->stamp;
        ++records_;
    }
}

// Records done of all, frames, recording time, speed against the recording's clock, time left.
void ProgressReport::showStatus(const Event& event, const FrameSpan& span) {
    const bool last = event.lastOutput;
    ++done_;
    double now = monotonicSeconds();
    // A terminal is redrawn ten times a second at most, anything else written every ten seconds.
    double every = terminal_ ? 0.1 : 10;
    if (!last && lastShown_ >= 0 && now - lastShown_ < every) return;
    lastShown_ = now;
    double wall = std::max(now - started_, 1e-6);
    // A record stamped before the first counts as at it; a stamp's microseconds can be any 32 bits.
    double played = static_cast<double>(std::max<int64_t>(microsOf(event.stamp) - microsOf(first_), 0)) / 1e6;
    double left = wall / static_cast<double>(done_) * static_cast<double>(records_ - done_);
    char line[200];
    std::snprintf(line, sizeof line, "%zu/%zu records, frame %" PRId32 ", recording %s, %.1fx, %s left", done_,
                  records_, span.end, clockText(played).c_str(), played / wall, clockText(left).c_str());
    lineOpen_ = terminal_ && !last;
    std::fprintf(stderr, terminal_ ? "\r%s\x1b[K%s" : "%s%s", line, lineOpen_ ? "" : "\n");
    std::fflush(stderr);
}

void ProgressReport::report(const Event& event, const FrameSpan& span, const FrameClock& clock,
                            const OutputTiming& timing, bool clockAdjusted, int64_t origin) {
    if (mode_ == Progress::lines) {
        std::printf("Frame %" PRId32 ", time ", span.end);
        printRecordTime(event.stamp, clock, timing, clockAdjusted, origin);
        std::fputs(span.end < skipFrames_ ? " (skipping) \n" : "...\n", stdout);
        std::fflush(stdout);
    } else if (mode_ == Progress::statusLine) {
        showStatus(event, span);
    }
    if (log_ == nullptr) return;
    std::fprintf(log_, "%s\nFrame %" PRId32 ", %" PRIu32 ".%" PRId32 ", payload %" PRId32 "\n%s\n", kRule.data(),
                 span.end, event.stamp.seconds, event.stamp.micros, static_cast<int32_t>(event.length), kRule.data());
    std::fflush(log_);
}

void ProgressReport::finish() {
    if (lineOpen_) std::fputc('\n', stderr);
    lineOpen_ = false;
}
