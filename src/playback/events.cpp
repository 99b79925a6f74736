#include "playback/events.h"

#include <algorithm>

#include "playback/ttyrec_record.h"

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Stamp stampOf(const RecordHeader& header) { return {header.seconds, static_cast<int32_t>(header.micros)}; }

}  // namespace

size_t markerCount(const Recording& recording) {
    const std::vector<StoredEvent>& events = recording.asciicast.events;
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [](const StoredEvent& event) { return event.kind == EventKind::marker; }));
}

EventSource::EventSource(const Recording& recording) : recording_(&recording) {
    const std::vector<StoredEvent>& events = recording.asciicast.events;
    for (size_t index = 0; index < events.size(); ++index) {
        if (events[index].kind == EventKind::output) lastOutput_ = index;
    }
}

std::optional<Event> EventSource::next() {
    if (recording_->format == RecordingFormat::asciicast) {
        const std::vector<StoredEvent>& events = recording_->asciicast.events;
        if (at_ >= events.size()) return std::nullopt;
        const StoredEvent& stored = events[at_++];
        Event event;
        event.kind = stored.kind;
        event.time = stored.time;
        event.data = bytesOf(stored.data);
        event.columns = stored.columns;
        event.rows = stored.rows;
        if (stored.kind == EventKind::output) {
            event.stamp = {static_cast<uint32_t>(stored.time / 1000000), static_cast<int32_t>(stored.time % 1000000)};
            event.length = static_cast<uint32_t>(stored.data.size());
            event.lastOutput = at_ - 1 == lastOutput_;
        }
        return event;
    }
    const std::vector<uint8_t>& bytes = recording_->ttyrec;
    if (bytes.size() - at_ < kRecordHeaderSize) return std::nullopt;
    const RecordHeader header = readRecordHeader(std::span(bytes).subspan(at_, kRecordHeaderSize));
    const size_t payload = at_ + kRecordHeaderSize;
    const size_t available = bytes.size() - payload;
    Event event;
    event.stamp = stampOf(header);
    event.time = microsOf(event.stamp);
    event.length = header.length;
    // A record cut short by the end of the recording is played with what is there.
    const size_t next = header.length > available ? bytes.size() : payload + header.length;
    event.data = std::span(bytes).subspan(payload, next - payload);
    if (header.length > available) event.cut = Truncation{bytes.size(), at_, available, header.length};
    event.lastOutput = next >= bytes.size();
    at_ = next;
    return event;
}

std::optional<int64_t> EventSource::nextOutputTime() const {
    if (recording_->format == RecordingFormat::asciicast) {
        const std::vector<StoredEvent>& events = recording_->asciicast.events;
        auto output = std::find_if(events.begin() + static_cast<std::ptrdiff_t>(at_), events.end(),
                                   [](const StoredEvent& event) { return event.kind == EventKind::output; });
        if (output == events.end()) return std::nullopt;
        return output->time;
    }
    const std::vector<uint8_t>& bytes = recording_->ttyrec;
    if (bytes.size() - at_ < kRecordHeaderSize) return std::nullopt;
    return microsOf(stampOf(readRecordHeader(std::span(bytes).subspan(at_, kRecordHeaderSize))));
}

std::optional<Truncation> EventSource::tail() const {
    const std::vector<uint8_t>& bytes = recording_->ttyrec;
    if (recording_->format != RecordingFormat::ttyrec || at_ >= bytes.size() ||
        bytes.size() - at_ >= kRecordHeaderSize) {
        return std::nullopt;
    }
    return Truncation{bytes.size(), at_, bytes.size() - at_, 0};
}
