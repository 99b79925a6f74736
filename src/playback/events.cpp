#include "playback/events.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "playback/asciicast.h"
#include "playback/ttyrec_record.h"

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Event eventOf(const StoredEvent& stored) {
    Event event;
    event.kind = stored.kind;
    event.time = stored.time;
    event.data = bytesOf(stored.data);
    event.columns = stored.columns;
    event.rows = stored.rows;
    if (stored.kind == EventKind::output) {
        event.stamp = {static_cast<uint32_t>(stored.time / 1000000), static_cast<int32_t>(stored.time % 1000000)};
        event.length = static_cast<uint32_t>(stored.data.size());
    }
    return event;
}

Stamp stampOf(const RecordHeader& header) { return {header.seconds, static_cast<int32_t>(header.micros)}; }

// Read at once from a file: many records at a time, few enough bytes to stay small.
constexpr size_t kWindowSize = size_t{1} << 20;

}  // namespace

RecordingFile::~RecordingFile() { close(fd_); }

size_t RecordingFile::read(size_t offset, std::span<uint8_t> out) const {
    size_t done = 0;
    while (done < out.size()) {
        ssize_t got = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = 0;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

std::optional<std::span<const uint8_t>> LineReader::next() {
    const size_t size = file_->size();
    if (at_ >= size || failed_) return std::nullopt;
    size_t searched = at_;  // the line's bytes before this hold no newline
    while (true) {
        const size_t held = windowStart_ + window_.size();
        const auto begin = window_.begin() + static_cast<std::ptrdiff_t>(searched - windowStart_);
        const auto newline = std::find(begin, window_.end(), uint8_t{'\n'});
        if (at_ >= windowStart_ && (newline != window_.end() || held == size)) {
            const size_t end = newline != window_.end() ? searched + static_cast<size_t>(newline - begin) : size;
            std::span<const uint8_t> line = std::span(window_).subspan(at_ - windowStart_, end - at_);
            at_ = std::min(size, end + 1);
            return line;
        }
        // The line goes on past the window: read again from its start, a larger window if need be.
        const size_t wanted = std::min(size - at_, std::max(kWindowSize, 2 * (held - std::min(held, at_))));
        searched = std::max(at_, held);
        window_.resize(wanted);
        windowStart_ = at_;
        if (file_->read(at_, window_) < wanted) {
            failed_ = true;
            return std::nullopt;
        }
    }
}

size_t markerCount(const Recording& recording) { return recording.asciicast.markers; }

EventSource::EventSource(const Recording& recording) : recording_(&recording) {
    if (streamsLines()) {
        lines_.emplace(*recording.file);
        lineState_ = recording.asciicast;
    }
    const std::vector<StoredEvent>& events = recording.asciicast.events;
    for (size_t index = 0; index < events.size(); ++index) {
        if (events[index].kind == EventKind::output) lastOutput_ = index;
    }
}

std::optional<Event> EventSource::next() {
    if (streamsLines()) return nextLineEvent();
    if (recording_->format == RecordingFormat::asciicast) {
        const std::vector<StoredEvent>& events = recording_->asciicast.events;
        if (at_ >= events.size()) return std::nullopt;
        Event event = eventOf(events[at_++]);
        if (event.kind == EventKind::output) event.lastOutput = at_ - 1 == lastOutput_;
        return event;
    }
    const size_t size = ttyrecSize();
    if (size - at_ < kRecordHeaderSize) return std::nullopt;
    std::span<const uint8_t> head = bytes(at_, kRecordHeaderSize);
    if (head.size() < kRecordHeaderSize) return std::nullopt;
    const RecordHeader header = readRecordHeader(head);
    const size_t payload = at_ + kRecordHeaderSize;
    const size_t available = size - payload;
    Event event;
    event.stamp = stampOf(header);
    event.time = microsOf(event.stamp);
    event.length = header.length;
    // A record cut short by the end of the recording is played with what is there.
    const size_t next = header.length > available ? size : payload + header.length;
    // The next record's header comes into the window too, for nextOutputTime.
    std::span<const uint8_t> record = bytes(at_, std::min(size - next, kRecordHeaderSize) + next - at_);
    if (record.size() < next - at_) return std::nullopt;
    event.data = record.subspan(kRecordHeaderSize, next - payload);
    if (header.length > available) event.cut = Truncation{size, at_, available, header.length};
    event.lastOutput = next >= size;
    at_ = next;
    return event;
}

bool EventSource::readLine() {
    while (true) {
        std::optional<std::span<const uint8_t>> line = lines_->next();
        if (!line) {
            if (lines_->failed()) failure_ = errno != 0 ? std::strerror(errno) : "the file was shortened";
            return false;
        }
        // The header was read before the walk.
        if (++lineNumber_ == 1) continue;
        std::string error;
        if (!convertAsciicastLine(*line, lineNumber_, lineState_, elapsed_, error)) {
            failure_ = error;
            return false;
        }
        if (lineState_.events.empty()) continue;
        for (StoredEvent& event : lineState_.events) ahead_.push_back(std::move(event));
        lineState_.events.clear();
        return true;
    }
}

std::optional<Event> EventSource::nextLineEvent() {
    if (ahead_.empty() && !readLine()) return std::nullopt;
    current_ = std::move(ahead_.front());
    ahead_.pop_front();
    Event event = eventOf(current_);
    if (event.kind == EventKind::output) event.lastOutput = ++outputsSeen_ == recording_->asciicast.outputs;
    return event;
}

size_t EventSource::ttyrecSize() const {
    return recording_->file != nullptr ? recording_->file->size() : recording_->ttyrec.size();
}

std::span<const uint8_t> EventSource::bytes(size_t offset, size_t count) {
    if (recording_->file == nullptr) return std::span(recording_->ttyrec).subspan(offset, count);
    if (offset >= windowStart_ && offset - windowStart_ + count <= window_.size()) {
        return std::span(window_).subspan(offset - windowStart_, count);
    }
    window_.resize(std::max(count, std::min(kWindowSize, recording_->file->size() - offset)));
    windowStart_ = offset;
    if (recording_->file->read(offset, window_) < window_.size()) {
        failure_ = errno != 0 ? std::strerror(errno) : "the file was shortened";
        window_.clear();
        return {};
    }
    return std::span(window_).first(count);
}

std::optional<int64_t> EventSource::nextOutputTime() {
    if (streamsLines()) {
        for (size_t index = 0;; ++index) {
            if (index == ahead_.size() && !readLine()) return std::nullopt;
            if (ahead_[index].kind == EventKind::output) return ahead_[index].time;
        }
    }
    if (recording_->format == RecordingFormat::asciicast) {
        const std::vector<StoredEvent>& events = recording_->asciicast.events;
        auto output = std::find_if(events.begin() + static_cast<std::ptrdiff_t>(at_), events.end(),
                                   [](const StoredEvent& event) { return event.kind == EventKind::output; });
        if (output == events.end()) return std::nullopt;
        return output->time;
    }
    if (ttyrecSize() - at_ < kRecordHeaderSize) return std::nullopt;
    std::array<uint8_t, kRecordHeaderSize> head{};
    if (recording_->file == nullptr) {
        std::copy_n(recording_->ttyrec.begin() + static_cast<std::ptrdiff_t>(at_), head.size(), head.begin());
    } else if (at_ >= windowStart_ && at_ - windowStart_ + head.size() <= window_.size()) {
        std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(at_ - windowStart_), head.size(), head.begin());
    } else if (recording_->file->read(at_, head) < head.size()) {
        return std::nullopt;
    }
    return microsOf(stampOf(readRecordHeader(head)));
}

std::optional<Truncation> EventSource::tail() const {
    const size_t size = ttyrecSize();
    if (recording_->format != RecordingFormat::ttyrec || at_ >= size || size - at_ >= kRecordHeaderSize) {
        return std::nullopt;
    }
    return Truncation{size, at_, size - at_, 0};
}
