#include "playback/keys.h"

#include <algorithm>
#include <limits>

#include "terminal/character_widths.h"

namespace {

constexpr int64_t kLongestFade = 300000;  // microseconds the caption takes to fade out
constexpr int32_t kFadeSteps = 3;         // opacities 3/4, 2/4, 1/4 before it is gone

struct KeyName {
    const char32_t* symbol;
    const char32_t* ascii;
};

constexpr KeyName kEnter{U"⏎", U"Enter"};
constexpr KeyName kTab{U"⇥", U"Tab"};
constexpr KeyName kBackspace{U"⌫", U"BS"};
constexpr KeyName kEscape{U"Esc", U"Esc"};

// The final byte of a CSI or SS3 sequence, with its first parameter, as a key.
const KeyName* sequenceKey(char final, int parameter) {
    static constexpr KeyName kUp{U"↑", U"Up"}, kDown{U"↓", U"Down"}, kRight{U"→", U"Right"}, kLeft{U"←", U"Left"},
        kHome{U"Home", U"Home"}, kEnd{U"End", U"End"}, kInsert{U"Ins", U"Ins"}, kDelete{U"Del", U"Del"},
        kPageUp{U"PgUp", U"PgUp"}, kPageDown{U"PgDn", U"PgDn"}, kBackTab{U"Shift+⇥", U"Shift+Tab"};
    switch (final) {
        case 'A': return &kUp;
        case 'B': return &kDown;
        case 'C': return &kRight;
        case 'D': return &kLeft;
        case 'H': return &kHome;
        case 'F': return &kEnd;
        case 'Z': return &kBackTab;
        case '~':
            if (parameter == 1 || parameter == 7) return &kHome;
            if (parameter == 4 || parameter == 8) return &kEnd;
            if (parameter == 2) return &kInsert;
            if (parameter == 3) return &kDelete;
            if (parameter == 5) return &kPageUp;
            if (parameter == 6) return &kPageDown;
            return nullptr;
        default: return nullptr;
    }
}

// One UTF-8 character at bytes[at], its length in used; U+FFFD for a malformed one.
char32_t decodeCharacter(std::span<const uint8_t> bytes, size_t at, size_t& used) {
    const uint8_t lead = bytes[at];
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    used = 1;
    if (length == 0 || at + length > bytes.size()) return 0xFFFD;
    char32_t character = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[at + i] & 0xC0) != 0x80) return 0xFFFD;
        character = character << 6 | (bytes[at + i] & 0x3F);
    }
    used = length;
    return character;
}

int32_t cellsOf(const std::u32string& text) {
    int32_t cells = 0;
    for (char32_t c : text) cells += characterWidth(c) < 0 ? 0 : characterWidth(c);
    return cells;
}

std::u32string asciiText(const std::string& text) { return std::u32string(text.begin(), text.end()); }

}  // namespace

void KeyText::add(std::u32string label, bool typed) {
    if (!pieces_.empty() && pieces_.back().typed && typed) {
        pieces_.back().label += label;
    } else if (!pieces_.empty() && !typed && !pieces_.back().typed && pieces_.back().label == label) {
        ++pieces_.back().count;
    } else {
        pieces_.push_back({std::move(label), 1, typed});
    }
    // Every piece takes a cell at least: what lies beyond the caption's cells is never shown.
    const size_t most = static_cast<size_t>(std::max(options_.mostCells, 1));
    if (pieces_.size() > most) pieces_.erase(pieces_.begin());
    std::u32string& last = pieces_.back().label;
    if (last.size() > 2 * most) last.erase(0, last.size() - 2 * most);
}

bool KeyText::press(std::span<const uint8_t> bytes) {
    bool shown = false;
    auto named = [&](const KeyName& key) {
        add(options_.symbols ? key.symbol : key.ascii, false);
        shown = true;
    };
    for (size_t at = 0; at < bytes.size();) {
        const uint8_t byte = bytes[at];
        if (byte == 0x1B && at + 1 < bytes.size() && (bytes[at + 1] == '[' || bytes[at + 1] == 'O')) {
            // CSI or SS3: parameters, then the final byte.
            size_t end = at + 2;
            int parameter = 0;
            while (end < bytes.size() && bytes[end] >= 0x20 && bytes[end] < 0x40) {
                if (bytes[end] >= '0' && bytes[end] <= '9' && parameter < 1000) parameter = parameter * 10 + (bytes[end] - '0');
                ++end;
            }
            if (end < bytes.size()) {
                if (const KeyName* key = sequenceKey(static_cast<char>(bytes[end]), parameter)) named(*key);
                at = end + 1;
                continue;
            }
        }
        if (byte == 0x1B && at + 1 < bytes.size() && bytes[at + 1] > 0x20 && bytes[at + 1] < 0x7F) {
            add(U"Alt+" + std::u32string(1, bytes[at + 1]), false);
            shown = true;
            at += 2;
            continue;
        }
        ++at;
        if (byte == '\r' || byte == '\n') {
            named(kEnter);
        } else if (byte == '\t') {
            named(kTab);
        } else if (byte == 0x7F || byte == 0x08) {
            named(kBackspace);
        } else if (byte == 0x1B) {
            named(kEscape);
        } else if (byte < 0x20) {
            add(byte == 0 ? std::u32string(U"Ctrl+Space") : U"Ctrl+" + std::u32string(1, static_cast<char32_t>(byte + 0x40)),
                false);
            shown = true;
        } else {
            size_t used = 1;
            const char32_t character = decodeCharacter(bytes, at - 1, used);
            at += used - 1;
            if (characterWidth(character) <= 0) continue;
            add(std::u32string(1, character), true);
            shown = true;
        }
    }
    return shown;
}

std::u32string KeyText::joined() const {
    std::u32string text;
    for (const Piece& piece : pieces_) {
        if (!text.empty()) text += U' ';
        text += piece.label;
        if (piece.count > 1) text += (options_.symbols ? U" ×" : U" x") + asciiText(std::to_string(piece.count));
    }
    return text;
}

std::u32string KeyText::text() const {
    std::u32string text = joined();
    size_t drop = 0;
    for (int32_t cells = cellsOf(text); cells > options_.mostCells && drop < text.size(); ++drop) {
        cells -= std::max(characterWidth(text[drop]), 0);
    }
    return text.substr(drop);
}

std::vector<CaptionStep> captionSteps(const TimingRules& rules, EventSource source, const KeysOptions& options) {
    std::vector<CaptionStep> steps;
    KeyText text(options);
    bool started = false;
    int64_t played = 0;
    int64_t previous = 0;
    int64_t lastKey = -1;  // the played time of the last key while the caption shows
    // The fade and the end after the last key, as far as they come before until.
    auto fadeBefore = [&](int64_t until) {
        if (lastKey < 0) return;
        const int64_t fade = std::min(kLongestFade, options.hold / 2);
        const std::u32string shown = text.text();
        for (int32_t step = 0; step < kFadeSteps; ++step) {
            const int64_t time = lastKey + options.hold - fade + step * fade / kFadeSteps;
            if (time >= until) return;
            steps.push_back({time, {shown, kCaptionOpaque * (kFadeSteps - step) / (kFadeSteps + 1)}});
        }
        if (lastKey + options.hold >= until) return;
        steps.push_back({lastKey + options.hold, {}});
        text.clear();
        lastKey = -1;
    };
    while (std::optional<Event> event = source.next()) {
        if (event->kind == EventKind::output) {
            if (started) played = std::min(played + playedGap(rules, event->time - previous), kLatestPlayed);
            started = true;
            previous = event->time;
        } else if (event->kind == EventKind::input) {
            int64_t time = started ? std::min(played + playedGap(rules, event->time - previous), kLatestPlayed) : 0;
            if (!steps.empty()) time = std::max(time, steps.back().played);
            fadeBefore(time);
            if (!text.press(event->data)) continue;
            lastKey = time;
            steps.push_back({time, {text.text(), kCaptionOpaque}});
        }
    }
    fadeBefore(std::numeric_limits<int64_t>::max());
    return steps;
}

bool hasInputEvents(const Recording& recording) { return recording.asciicast.hasInput; }
