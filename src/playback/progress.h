#pragma once
// How the walk shows where it is: a progress line per record, or the status line, and the log
// "output".

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "emission/emission.h"
#include "playback/events.h"
#include "playback/timing.h"

// A line per record on standard output, one status line that updates in place on standard
// error, or nothing.
enum class Progress { lines, statusLine, none };

class ProgressReport {
public:
    ProgressReport(Progress mode, int32_t skipFrames) : mode_(mode), skipFrames_(skipFrames) {}
    ~ProgressReport();
    ProgressReport(const ProgressReport&) = delete;
    ProgressReport& operator=(const ProgressReport&) = delete;

    // Creates the log "output" in directory (empty: the working directory); one that cannot be
    // created is not reported.
    void openLog(const std::filesystem::path& directory);
    // Counts the records ahead, for the status line.
    void start(EventSource source);
    // clockAdjusted: times are shown on the played clock, origin (microseconds) added to them.
    void report(const Event& event, const FrameSpan& span, const FrameClock& clock, const OutputTiming& timing,
                bool clockAdjusted, int64_t origin = 0);
    // Ends a status line left open.
    void finish();

private:
    void showStatus(const Event& event, const FrameSpan& span);

    Progress mode_;
    int32_t skipFrames_;
    std::FILE* log_ = nullptr;
    size_t records_ = 0;  // in the whole recording
    size_t done_ = 0;
    double started_ = 0;  // monotonic seconds
    double lastShown_ = -1;
    bool terminal_ = false;  // standard error is a terminal: the line is rewritten in place
    bool lineOpen_ = false;  // the line on the terminal waits for its end
    Stamp first_;
};
