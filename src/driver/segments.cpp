#include "driver/segments.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <thread>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "emission/emission.h"
#include "emission/frame_files.h"
#include "emission/frame_sink.h"
#include "emission/movie_writer.h"
#include "platform/codecs.h"
#include "platform/row_store.h"
#include "platform/cores.h"
#include "platform/segment_encoder.h"
#include "platform/video_encoder.h"
#include "playback/events.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {

// Screens a movie's segment paints before it may end: x264's own key frame interval. A PNG
// series has no key frames to pay for, and its shorter segments keep the threads evenly busy.
constexpr int64_t kSegmentScreens = static_cast<int64_t>(kSegmentPictures);
constexpr int64_t kSeriesSegmentScreens = 50;

// One emission of the planning pass, with what the movie made of it.
struct PlannedCall {
    StageCall call;
    int64_t before = 0;  // frames the movie had before it
    int64_t after = 0;   // and after
    bool fileMade = false;
};

// A segment: its own calls, after the two before them that show the screen it starts from.
struct SegmentPlan {
    size_t index = 0;
    int64_t firstCall = 0;  // the walk's index of calls[0]
    std::vector<PlannedCall> calls;
    size_t own = 0;              // where the segment's own calls begin
    int64_t firstPosition = 0;   // its first frame's
    int64_t next = -1;           // the first frame's of the segment after; -1: the last segment
    bool last = false;
};

// Top row first, as encoders take them, from a bitmap laid out bottom row first.
PixelRows rowsOf(const Bitmap& bitmap) {
    const int width = bitmap.header.biWidth;
    const int height = bitmap.header.biHeight;
    const int stride = width * 4;
    return {bitmap.bits.data() + static_cast<ptrdiff_t>(stride) * (height - 1), -stride, width, height};
}

// A worker's movie: frames from first on are encoded, those before only set the picture shown
// before the segment (a GIF's frames are coded against it) and the version the next is compared with.
class SegmentSink final : public FrameSink {
public:
    // end: the position of the segment after; -1 for none.
    void start(int64_t position, int64_t first, int64_t end, VideoEncoder* encoder, const PacketUse* keep) {
        position_ = position;
        first_ = first;
        end_ = end;
        encoder_ = encoder;
        keep_ = keep;
        started_ = false;
        result_ = 0;
        gif_ = encoder != nullptr && std::string_view(encoder->codec->encoding.encoder) == "gif";
        // A new encoder has indexed no row.
        if (rows_) rows_->clear();
    }
    void stop() {
        encoder_ = nullptr;
        keep_ = nullptr;
    }
    void moveTo(int64_t position) { position_ = position; }
    void fail(int result) {
        if (result_ >= 0) result_ = result;
    }
    int result() const { return result_; }

    uint32_t setCompression(const Bitmap*) override { return 0; }

    uint32_t addFrame(const Bitmap* bitmap) override {
        if (bitmap == nullptr || bitmap->header.biSizeImage == 0 || bitmap->bits.size() < bitmap->header.biSizeImage) {
            return kAviErrBadParam;
        }
        const int64_t position = position_++;
        const bool same = bitmap->version != 0 && bitmap->version == lastVersion_;
        const bool chained = bitmap->changedSince != 0 && bitmap->changedSince == lastVersion_;
        lastVersion_ = bitmap->version;
        const PixelRows rows = rowsOf(*bitmap);
        // The picture a GIF segment is coded against: the one before the segment's first.
        if (gif_ && (position == first_ - 1 || position == end_ - 1)) shownBefore_ = bitmap->bits;
        if (position < first_ || encoder_ == nullptr || result_ < 0) return kAviErrOk;
        if (!started_) {
            started_ = true;
            if (gif_ && !shownBefore_.empty()) {
                Bitmap before;
                before.header = bitmap->header;
                before.bits = std::move(shownBefore_);
                const PacketUse drop = [](AVPacket&) { return 0; };
                result_ = encode(rowsOf(before), position - 1, false, drop, nullptr);
                shownBefore_.clear();
                if (result_ < 0) return kAviErrOk;
            }
        }
        result_ = encode(rows, position, same, *keep_, chained ? &bitmap->changed : nullptr);
        return kAviErrOk;
    }

private:
    // Palette pictures (GIF, zmbv on known colours) index each distinct row once.
    int encode(PixelRows pixels, int64_t position, bool same, const PacketUse& use, const RowsChanged* changed) {
        if (!encoder_->paletted) return encodePicture(*encoder_, pixels, position, same, use);
        if (!rows_) rows_ = std::make_unique<RowStore>(static_cast<size_t>(pixels.width) * 4, kSegmentBytes, pixels.height);
        return encodePictureByRows(*encoder_, *rows_, {kSegmentBytes, kSegmentPictures}, pixels, position, same, use,
                                   changed);
    }

    std::unique_ptr<RowStore> rows_;
    int64_t position_ = 0;
    int64_t first_ = 0;
    int64_t end_ = -1;
    uint64_t lastVersion_ = 0;
    VideoEncoder* encoder_ = nullptr;
    const PacketUse* keep_ = nullptr;
    bool gif_ = false;
    bool started_ = false;
    std::vector<uint8_t> shownBefore_;  // a GIF's: the last picture before the next segment's first
    int result_ = 0;
};

// One worker's stages: its own terminal, painter and emission, walking the recording forward
// from segment to segment, painting only the screens of the segments it plays.
class ScreenReplay {
public:
    ScreenReplay(const RunSettings& settings, const Recording& recording) : settings_(settings), events_(recording) {
        EmissionOptions options = emissionOptionsFor(settings, &sink_, nullptr);
        options.replaying = true;
        stages_ = makePictureStages(settings, options);
        playback_.emplace(stages_->playback());
    }

    bool canPlay(const SegmentPlan& plan) const {
        if (continues(plan)) return true;
        const StageCall& first = plan.calls.front().call;
        return doneCall_ < plan.firstCall && playback_->fed <= first.screenFed &&
               playback_->resized <= first.screenResized;
    }
    bool continues(const SegmentPlan& plan) const {
        return doneCall_ >= 0 && doneCall_ == plan.firstCall + static_cast<int64_t>(plan.own) - 1;
    }
    int64_t fed() const { return playback_->fed; }

    // encoder and keep: a movie's; null for a PNG series, whose files the emission writes.
    int play(const SegmentPlan& plan, VideoEncoder* encoder, const PacketUse* keep) {
        const size_t from = continues(plan) ? plan.own : 0;
        // A PNG series' frames up to the segment's are the segments' before (a movie's frames
        // before the segment only show the sink where it starts).
        if (!settings_.movieOutput) stages_->emission.skipThrough(plan.calls[plan.own].call.span.start);
        if (from == 0) {
            // The caption and the kept screen follow the paintings they saw; those skipped since
            // are not in them, so the first screen played is composed and kept whole.
            stages_->emission.forgetScreen();
            if (stages_->caption) {
                stages_->caption = std::move(makePictureStages(settings_, EmissionOptions{})->caption);
                playback_->caption = stages_->caption.get();
            }
        }
        sink_.start(plan.calls[from].before, plan.firstPosition, plan.next, encoder, keep);
        for (size_t index = from; index < plan.calls.size() && sink_.result() >= 0; ++index) {
            apply(plan.calls[index]);
            doneCall_ = plan.firstCall + static_cast<int64_t>(index);
        }
        sink_.stop();
        return sink_.result();
    }

    Bitmap lastScreen() const { return stages_->emission.lastScreen(); }
    UnwrittenFrames takeUnwritten() { return stages_->emission.takeUnwritten(); }

private:
    // Takes the events up to the terminal the walk had: fed output events, and the resizes
    // taken by then (a walk that stops before an output event takes the resizes before it).
    void advance(int64_t fed, int64_t resized) {
        PlaybackStages& stages = *playback_;
        while (stages.fed < fed || stages.resized < resized) {
            if (held_ && stages.fed < fed) {
                takeResizes();
                stages.feed(held_->data);
                held_.reset();
                continue;
            }
            if (held_ || ended_) {
                takeResizes();
                break;
            }
            std::optional<Event> event = events_.next();
            if (!event) {
                ended_ = true;
            } else if (event->kind == EventKind::resize) {
                resizes_.push_back(*event);
            } else if (event->kind == EventKind::output) {
                held_ = std::move(event);
            }
        }
    }

    void takeResizes() {
        for (const Event& resize : resizes_) {
            playback_->resize(resize.columns, resize.rows, settings_.columnsGiven, settings_.rowsGiven);
        }
        resizes_.clear();
    }

    void apply(const PlannedCall& planned) {
        const StageCall& call = planned.call;
        PlaybackStages& stages = *playback_;
        advance(call.screenFed, call.screenResized);
        stages_->emission.setFileMade(planned.fileMade);
        sink_.moveTo(planned.before);
        if (call.kind == StageCall::Kind::emitLook) {
            // The caption alone changes, over the screen painted last, by the cursor of now.
            if (stages.paintedFed != call.screenFed || stages.paintedResized != call.screenResized) {
                if (!stages.paint()) return sink_.fail(AVERROR(ENOENT));
            }
            advance(call.fed, call.resized);
            return stages.emitLook(call.span, call.look);
        }
        stages.look = call.look;
        if (!stages.paint()) return sink_.fail(AVERROR(ENOENT));
        if (call.kind == StageCall::Kind::emitFinal) {
            stages.emitFinal(call.span);
        } else {
            stages.emit(call.span);
        }
    }

    RunSettings settings_;
    EventSource events_;
    std::optional<Event> held_;   // the next output event, read ahead
    std::vector<Event> resizes_;  // before it
    bool ended_ = false;
    SegmentSink sink_;
    std::unique_ptr<RunStages> stages_;
    std::optional<PlaybackStages> playback_;
    int64_t doneCall_ = -1;
};

// The workers' stages, each kept for the next segment its worker takes: the one that played the
// segment before goes on from there, any other walks forward to it.
class ReplayPool {
public:
    ReplayPool(const RunSettings& settings, const Recording& recording) : settings_(settings), recording_(recording) {}

    int play(const SegmentPlan& plan, VideoEncoder* encoder, const PacketUse* keep) {
        std::unique_ptr<ScreenReplay> replay = take(plan);
        if (!replay) replay = std::make_unique<ScreenReplay>(settings_, recording_);
        const int result = replay->play(plan, encoder, keep);
        std::lock_guard guard(lock_);
        if (plan.last) last_ = replay->lastScreen();
        if (UnwrittenFrames lost = replay->takeUnwritten(); lost.count > 0) unwritten_[plan.index] = std::move(lost);
        idle_.push_back(std::move(replay));
        return result;
    }

    // The frame files the segments could not write, in the order of the segments.
    UnwrittenFrames unwritten() {
        std::lock_guard guard(lock_);
        UnwrittenFrames all;
        for (const auto& [index, lost] : unwritten_) {
            if (all.count == 0) all.first = lost.first;
            all.count += lost.count;
        }
        return all;
    }

    Bitmap takeLastScreen() {
        std::lock_guard guard(lock_);
        return std::move(last_);
    }

private:
    std::unique_ptr<ScreenReplay> take(const SegmentPlan& plan) {
        std::lock_guard guard(lock_);
        auto best = idle_.end();
        for (auto at = idle_.begin(); at != idle_.end(); ++at) {
            if (!(*at)->canPlay(plan)) continue;
            if ((*at)->continues(plan)) {
                best = at;
                break;
            }
            if (best == idle_.end() || (*at)->fed() > (*best)->fed()) best = at;
        }
        if (best == idle_.end()) return nullptr;
        std::unique_ptr<ScreenReplay> chosen = std::move(*best);
        idle_.erase(best);
        return chosen;
    }

    RunSettings settings_;
    const Recording& recording_;
    std::mutex lock_;
    std::vector<std::unique_ptr<ScreenReplay>> idle_;
    Bitmap last_;
    std::map<size_t, UnwrittenFrames> unwritten_;  // by segment
};

// A PNG series' segments, played on threads of their own; the caller waits while every thread
// is busy and another segment waits.
class PngSegments {
public:
    explicit PngSegments(size_t jobs) {
        startWorkerThreads(threads_, std::min(jobs, usableCores()), [this] { work(); });
    }
    ~PngSegments() { finish(); }

    void add(std::function<void()> segment) {
        if (threads_.empty()) return segment();
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return waiting_.empty(); });
        waiting_.push_back(std::move(segment));
        changed_.notify_all();
    }

    void finish() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    void work() {
        std::unique_lock guard(lock_);
        while (true) {
            changed_.wait(guard, [&] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) return;
            std::function<void()> segment = std::move(waiting_.front());
            waiting_.pop_front();
            changed_.notify_all();
            guard.unlock();
            segment();
            guard.lock();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> waiting_;
    bool stopping_ = false;
};

// Where the segments go: a movie's encoders, or a PNG series' threads.
class SegmentOutput {
public:
    virtual ~SegmentOutput() = default;
    // The frames made so far: the movie's, or the number of the series' newest.
    virtual int64_t frames() const = 0;
    // next: the first position of the segment after; -1 for the last.
    virtual void handOut(std::shared_ptr<const SegmentPlan> plan, int64_t next) = 0;
    // Every segment handed out is done.
    virtual void finish() = 0;
};

class MovieSegments final : public SegmentOutput {
public:
    MovieSegments(MovieWriter& movie, std::shared_ptr<ReplayPool> pool) : movie_(movie), pool_(std::move(pool)) {}
    int64_t frames() const override { return movie_.frameCount(); }
    void handOut(std::shared_ptr<const SegmentPlan> plan, int64_t next) override {
        std::shared_ptr<ReplayPool> pool = pool_;
        movie_.produceSegment([plan, pool](VideoEncoder& encoder, const PacketUse& keep) {
            return pool->play(*plan, &encoder, &keep);
        }, next);
    }
    void finish() override { movie_.finishSegments(); }

private:
    MovieWriter& movie_;
    std::shared_ptr<ReplayPool> pool_;
};

class SeriesSegments final : public SegmentOutput {
public:
    SeriesSegments(const Emission& emission, std::shared_ptr<ReplayPool> pool, size_t jobs)
        : emission_(emission), pool_(std::move(pool)), threads_(jobs) {}
    int64_t frames() const override { return emission_.lastPngFrame(); }
    void handOut(std::shared_ptr<const SegmentPlan> plan, int64_t) override {
        std::shared_ptr<ReplayPool> pool = pool_;
        threads_.add([plan, pool] { pool->play(*plan, nullptr, nullptr); });
    }
    void finish() override { threads_.finish(); }

private:
    const Emission& emission_;
    std::shared_ptr<ReplayPool> pool_;
    PngSegments threads_;
};

// Cuts the planning walk into segments where a screen's frames begin, once a segment has painted
// enough screens, and hands them out.
class SegmentPlanner final : public StagePlanner {
public:
    SegmentPlanner(SegmentOutput& output, Emission& emission, std::shared_ptr<ReplayPool> pool, int64_t screens)
        : output_(output), emission_(emission), pool_(std::move(pool)), segmentScreens_(screens) {}

    void planned(const StageCall& call) override {
        PlannedCall planned{call, frames_, output_.frames(), emission_.lastFileMade()};
        frames_ = planned.after;
        // A segment starts where the call before it and its own first call show frames, so that
        // its worker finds the screen it starts from in the two calls before.
        if (screens_ >= segmentScreens_ && calls_.size() > own_ && calls_.back().after > calls_.back().before &&
            planned.after > planned.before) {
            handOut(planned.before, false);
            const size_t kept = std::min<size_t>(calls_.size(), 2);
            calls_.erase(calls_.begin(), calls_.end() - static_cast<ptrdiff_t>(kept));
            firstCall_ = made_ - static_cast<int64_t>(kept);
            own_ = calls_.size();
            screens_ = 0;
        }
        calls_.push_back(std::move(planned));
        ++made_;
        ++screens_;
    }

    // Hands out the rest, waits for every segment and gives the emission the last screen and
    // the files the workers could not write.
    void finish() {
        if (calls_.size() > own_ && calls_.back().after > calls_[own_].before) handOut(-1, true);
        output_.finish();
        if (handedLast_) emission_.setLastScreen(pool_->takeLastScreen());
        emission_.addUnwritten(pool_->unwritten());
    }

private:
    void handOut(int64_t next, bool last) {
        auto plan = std::make_shared<SegmentPlan>();
        plan->index = handed_++;
        plan->firstCall = firstCall_;
        plan->calls = calls_;
        plan->own = own_;
        plan->firstPosition = calls_[own_].before;
        plan->next = next;
        plan->last = last;
        handedLast_ = last;
        output_.handOut(std::move(plan), next);
    }

    SegmentOutput& output_;
    Emission& emission_;
    std::shared_ptr<ReplayPool> pool_;
    int64_t segmentScreens_;
    std::vector<PlannedCall> calls_;
    size_t own_ = 0;
    int64_t firstCall_ = 0;
    int64_t made_ = 0;    // calls so far
    int64_t frames_ = 0;  // the frames made after the last call
    int64_t screens_ = 0;
    size_t handed_ = 0;
    bool handedLast_ = false;
};

const CodecChoice* codecOf(const RunSettings& settings) {
    if (!settings.codecName.empty()) return findCodecChoice(settings.codecName);
    return defaultCodecChoice(movieContainerFor(settings.outputName).container);
}

size_t jobsOf(const RunSettings& settings) {
    return settings.jobs > 0 ? static_cast<size_t>(settings.jobs) : usableCores();
}

}  // namespace

bool paintsInSegments(const RunSettings& settings) {
    if (settings.at.given || !settings.writeFrames || settings.plainPaths || jobsOf(settings) <= 1) return false;
    if (!settings.movieOutput) return true;
    const CodecChoice* codec = codecOf(settings);
    if (!settings.audioPath.empty() || codec == nullptr || codec->encoding.encoder == nullptr) return false;
    // Palette frames need their colours before the first: a GIF file learns them first.
    return std::string_view(codec->encoding.pixelFormat) != "pal8" ||
           movieContainerFor(settings.outputName).container == MovieContainer::gif;
}

PlaybackResult walkInSegments(const RunSettings& settings, const Recording& recording,
                              std::unique_ptr<RunStages>& stages, MovieWriter& movie, const PlaybackOptions& options) {
    EmissionOptions emission = emissionOptionsFor(settings, &movie, nullptr);
    emission.planning = true;
    stages = makePictureStages(settings, emission);
    auto pool = std::make_shared<ReplayPool>(settings, recording);
    std::unique_ptr<SegmentOutput> output;
    if (settings.movieOutput) {
        output = std::make_unique<MovieSegments>(movie, pool);
    } else {
        output = std::make_unique<SeriesSegments>(stages->emission, pool, jobsOf(settings));
    }
    SegmentPlanner planner(*output, stages->emission, pool,
                           settings.movieOutput ? kSegmentScreens : kSeriesSegmentScreens);
    PlaybackStages playback = stages->playback();
    playback.planner = &planner;
    if (settings.movieOutput) movie.planFrames(true);
    EventSource events(recording);
    PlaybackResult result = Playback(options).walk(events, playback);
    planner.finish();
    movie.planFrames(false);
    return result;
}
