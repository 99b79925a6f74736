#include "terminal/xterm_input_filter.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kSub = 0x1A;
constexpr size_t kLongestSequence = 1024;  // bytes past it are dropped from a control sequence
// DECRST 1048 restores the cursor as ESC 8 does in libvterm, and as a control sequence it then
// keeps the cursor on the screen, as xterm's restore does: a cursor saved before the screen
// shrank would be left below it, where libvterm writes out of bounds.
constexpr std::string_view kRestoreCursor = "\x1b[?1048l";
// What libvterm receives for UTF-8 that is not well formed, whole: its decoder, left inside a
// broken character, reads what follows differently as it comes in one write or in several, and
// it takes lead bytes beyond U+10FFFF.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The code point of a complete UTF-8 character.
uint32_t decodeUtf8(std::string_view text) {
    uint32_t codePoint = static_cast<uint8_t>(text[0]) & (0x7F >> text.size());
    for (size_t i = 1; i < text.size(); ++i) codePoint = (codePoint << 6) | (static_cast<uint8_t>(text[i]) & 0x3F);
    return codePoint;
}

// The UTF-8 of a code point from U+0080 on.
std::string encodeUtf8(uint32_t codePoint) {
    static constexpr uint8_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    const int extra = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
    std::string out(1, static_cast<char>(kLead[extra] | (codePoint >> (6 * extra))));
    for (int i = extra - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((codePoint >> (6 * i)) & 0x3F));
    return out;
}

// libvterm 0.1.4 reads the ASCII after a character beyond it in the same write as UTF-8, past
// the character set in use (DEC special graphics would be lost); a NUL between them, which it
// ignores, starts the ASCII afresh as a new write does.
void appendAscii(std::string& out, std::string_view text) {
    if (!out.empty() && static_cast<uint8_t>(out.back()) >= 0x80) out += '\0';
    out += text;
}

// The parameters of a finished control sequence ESC [ ... final, or nothing when it has a
// leader other than '?' or intermediate bytes.
struct ControlSequence {
    bool privateMode = false;  // leader '?'
    std::vector<std::string_view> parameters;
    char final = 0;
};

std::optional<ControlSequence> splitSequence(std::string_view sequence) {
    ControlSequence parsed;
    std::string_view body = sequence.substr(2, sequence.size() - 3);
    parsed.final = sequence.back();
    if (!body.empty() && body.front() == '?') {
        parsed.privateMode = true;
        body.remove_prefix(1);
    }
    for (char c : body) {
        if (!(c >= '0' && c <= '9') && c != ';') return std::nullopt;
    }
    while (!body.empty()) {
        size_t end = body.find(';');
        parsed.parameters.push_back(body.substr(0, end));
        if (end == std::string_view::npos) break;
        body.remove_prefix(end + 1);
        if (body.empty()) parsed.parameters.push_back(body);
    }
    return parsed;
}

bool parameterIs(std::string_view parameter, int value) {
    int parsed = -1;
    auto result = std::from_chars(parameter.data(), parameter.data() + parameter.size(), parsed);
    return result.ec == std::errc() && result.ptr == parameter.data() + parameter.size() && parsed == value;
}

// libvterm 0.1.4 keeps 16 parameters (sub-parameters included) and writes past its array when
// given more.
constexpr size_t kMostParameters = 16;

// A control sequence (from its ESC, finished or not) without the parameters past the 16th.
std::string capParameters(std::string_view sequence) {
    std::string capped(sequence.substr(0, 2));
    size_t separators = 0;
    for (char c : sequence.substr(2)) {
        bool separator = c == ';' || c == ':';
        bool digit = c >= '0' && c <= '9';
        if (separator) ++separators;
        if ((separator || digit) && separators >= kMostParameters) continue;
        capped += c;
    }
    return capped;
}

size_t countParameters(std::string_view body) {
    return 1 + static_cast<size_t>(std::count_if(body.begin(), body.end(), [](char c) { return c == ';' || c == ':'; }));
}

// The first `count` parameters of a parameter string.
std::string_view firstParameters(std::string_view body, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        if ((body[i] == ';' || body[i] == ':') && ++seen == count) return body.substr(0, i);
    }
    return body;
}

// SGR parameters are applied one after another, so a long SGR can be passed on as several,
// cut between colour specifications (38;5;N and 38;2;R;G;B stay whole).
void splitLongSgr(std::string_view body, std::string& out) {
    std::vector<std::string_view> fields;
    while (true) {
        size_t end = body.find(';');
        fields.push_back(body.substr(0, end));
        if (end == std::string_view::npos) break;
        body.remove_prefix(end + 1);
    }
    std::string pending;
    size_t pendingCount = 0;
    for (size_t i = 0; i < fields.size();) {
        size_t length = 1;
        bool colour = fields[i] == "38" || fields[i] == "48" || fields[i] == "58";
        if (colour && i + 1 < fields.size()) length = fields[i + 1] == "5" ? 3 : fields[i + 1] == "2" ? 5 : 1;
        length = std::min(length, fields.size() - i);
        std::string group;
        for (size_t k = 0; k < length; ++k) {
            if (k > 0) group += ';';
            group += fields[i + k];
        }
        i += length;
        std::string_view kept = firstParameters(group, kMostParameters);
        size_t count = countParameters(kept);
        if (pendingCount > 0 && pendingCount + count > kMostParameters) {
            out.append("\x1b[").append(pending).append("m");
            pending.clear();
            pendingCount = 0;
        }
        if (pendingCount > 0) pending += ';';
        pending += kept;
        pendingCount += count;
    }
    out.append("\x1b[").append(pending).append("m");
}

// REP - repeat the preceding character. libvterm 0.1.4 loops forever when that character
// had no width (or there was none), and stops at the end of the line where xterm wraps; so
// the character is sent again instead. Beyond a screenful, only the cursor's column changes.
void repeatLastCharacter(const XtermInputFilter& filter, std::string_view body, std::string& out) {
    if (filter.lastPrinted.empty()) return;
    uint64_t count = 0;
    for (char c : body) {
        if (c < '0' || c > '9') break;
        count = std::min<uint64_t>(count * 10 + static_cast<uint64_t>(c - '0'), uint64_t{1} << 30);
    }
    count = std::max<uint64_t>(count, 1);
    uint64_t screenful = filter.screenCells + filter.screenColumns;
    if (count > screenful) count = screenful + (count - screenful) % filter.screenColumns;
    if (static_cast<uint8_t>(filter.lastPrinted[0]) < 0x80) {
        appendAscii(out, filter.lastPrinted);
        --count;
    }
    for (uint64_t i = 0; i < count; ++i) out += filter.lastPrinted;
}

// The bytes libvterm receives for a finished control sequence.
void finishSequence(XtermInputFilter& filter, std::string& out) {
    std::string sequence = std::move(filter.sequence);
    filter.sequence.clear();
    std::string_view body = std::string_view(sequence).substr(2, sequence.size() - 3);
    char final = sequence.back();
    bool plain = body.empty() || (body.front() >= '0' && body.front() <= ';');  // no leader

    bool intermediates = body.find_first_of(" !\"#$%&'()*+,-./") != std::string_view::npos;
    if (final == 'b' && plain && !intermediates) {
        repeatLastCharacter(filter, body, out);
        return;
    }

    if (countParameters(body) > kMostParameters) {
        if (final == 'm' && plain && !intermediates) {
            splitLongSgr(body, out);
            return;
        }
        sequence = capParameters(sequence);
    }

    std::optional<ControlSequence> parsed = splitSequence(sequence);
    std::string replacement = sequence;
    if (parsed && parsed->privateMode && (parsed->final == 'h' || parsed->final == 'l')) {
        // DECSET, DECRST - one sequence per mode: libvterm acts on the first mode only.
        bool set = parsed->final == 'h';
        replacement.clear();
        for (std::string_view parameter : parsed->parameters) {
            if (parameterIs(parameter, 69)) filter.marginsEnabled = set;  // DECLRMM
            replacement += "\x1b[?";
            replacement += parameterIs(parameter, 47) ? std::string_view("1047") : parameter;  // alternate screen
            replacement += parsed->final;
        }
    } else if (parsed && !parsed->privateMode && parsed->parameters.empty()) {
        if (parsed->final == 's' && !filter.marginsEnabled) replacement = "\x1b" "7";  // SCOSC - save cursor
        if (parsed->final == 'u') replacement = kRestoreCursor;                         // SCORC - restore cursor
    }
    out += replacement;
}

// A sequence cut short by ESC, CAN or SUB does nothing in libvterm either; it is not passed
// on, for libvterm must never be left inside a sequence that the filter has finished with.
void abandonSequence(XtermInputFilter& filter) {
    filter.sequence.clear();
    filter.dropString = false;
}

// A held UTF-8 start that is cut short goes on as U+FFFD.
void releaseText(XtermInputFilter& filter, std::string& out) {
    if (filter.heldText.empty()) return;
    out += kReplacement;
    filter.lastPrinted = kReplacement;
    filter.heldText.clear();
    filter.utf8Missing = 0;
}

// The continuation bytes a lead byte of well-formed UTF-8 announces; 0 for any other byte.
size_t continuationsAfter(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return 1;
    if (byte >= 0xE0 && byte <= 0xEF) return 2;
    if (byte >= 0xF0 && byte <= 0xF4) return 3;
    return 0;
}

// A whole character that is not overlong, not a surrogate and not beyond U+10FFFF.
bool wellFormed(std::string_view character) {
    static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const uint32_t codePoint = decodeUtf8(character);
    return codePoint >= kLeast[character.size()] && (codePoint < 0xD800 || codePoint > 0xDFFF) &&
           codePoint <= 0x10FFFF;
}

void filterText(XtermInputFilter& filter, uint8_t byte, const CharacterWidth& widthOf, std::string& out) {
    char c = static_cast<char>(byte);
    if (byte == kEsc) {
        releaseText(filter, out);
        filter.sequence = c;
        filter.state = XtermFilterState::escape;
    } else if (filter.utf8Missing > 0 && (byte & 0xC0) == 0x80) {
        filter.heldText += c;
        if (--filter.utf8Missing > 0) return;
        std::string character = std::move(filter.heldText);
        filter.heldText.clear();
        if (!wellFormed(character)) character = kReplacement;
        // A C1 control written as UTF-8 is dropped: libvterm prints it as a character of width
        // -1, which takes the cursor left, past the screen's edge.
        const uint32_t codePoint = decodeUtf8(character);
        if (codePoint >= 0x80 && codePoint < 0xA0) return;
        const CharacterMeasure measure = widthOf(codePoint);
        if (measure.standIn != codePoint) character = encodeUtf8(measure.standIn);
        if (measure.width > 0) {
            filter.lastPrinted = character;
        } else {
            // A mark goes to the character before it whatever libvterm makes of its width when
            // it starts a run of text; within a run, a mark it counts wide (U+3099) would widen
            // that character and carry the cursor past the screen's edge.
            out += '\0';
        }
        out += character;
    } else {
        releaseText(filter, out);
        filter.utf8Missing = continuationsAfter(byte);
        if (filter.utf8Missing > 0) {
            filter.heldText = c;
        } else if (byte >= 0x80) {
            out += kReplacement;
            filter.lastPrinted = kReplacement;
        } else {
            appendAscii(out, std::string_view(&c, 1));
            if (byte >= 0x20 && byte < 0x7F) filter.lastPrinted = c;
        }
    }
}

// After ESC and any intermediate bytes, which are held: the filter reads what follows as
// libvterm 0.1.4's parser does. A [ begins a control sequence (collected whole), a ] or P a
// control string, even after intermediates (which are then dropped); bytes from DEL up are
// ignored; any other byte from 0x30 is the final one.
void filterEscape(XtermInputFilter& filter, uint8_t byte, std::string& out) {
    char c = static_cast<char>(byte);
    if (byte == kEsc) {
        abandonSequence(filter);  // cut short by another: libvterm starts afresh too
        filter.sequence = c;
    } else if (byte < 0x20) {
        out += c;  // a control in the middle of a sequence acts at once
    } else if (byte < 0x30) {
        if (filter.sequence.size() < kLongestSequence) filter.sequence += c;  // intermediate
        filter.state = XtermFilterState::escapeIntermediate;
    } else if (byte >= 0x7F) {
        // ignored, as libvterm ignores it
    } else if (byte == '[') {
        filter.sequence = "\x1b[";
        filter.state = XtermFilterState::controlSequence;
    } else if (byte == 'P') {  // DCS: held until its first two bytes are known
        filter.sequence = "\x1bP";
        filter.state = XtermFilterState::deviceControlStart;
    } else if (byte == ']') {  // OSC
        filter.sequence.clear();
        out += '\x1b';
        out += c;
        filter.state = XtermFilterState::controlString;
    } else {
        if (filter.sequence.size() == 1 && c == '8') {  // DECRC - restore cursor
            out += kRestoreCursor;
        } else {
            out += filter.sequence;
            out += c;
        }
        filter.sequence.clear();
        filter.state = XtermFilterState::text;
    }
}

void filterByte(XtermInputFilter& filter, uint8_t byte, const CharacterWidth& widthOf, std::string& out) {
    char c = static_cast<char>(byte);
    if (byte == kCan || byte == kSub) {  // cancels any sequence
        releaseText(filter, out);
        abandonSequence(filter);
        out += c;
        filter.state = XtermFilterState::text;
        return;
    }
    switch (filter.state) {
        case XtermFilterState::text:
            filterText(filter, byte, widthOf, out);
            break;
        case XtermFilterState::escape:
        case XtermFilterState::escapeIntermediate:
            filterEscape(filter, byte, out);
            break;
        case XtermFilterState::controlSequence:
            if (byte == kEsc) {
                abandonSequence(filter);
                filter.sequence = c;
                filter.state = XtermFilterState::escape;
            } else if (byte < 0x20) {
                out += c;  // a control inside a sequence acts at once, before the sequence
            } else if (byte >= 0x80) {
                // libvterm drops the sequence and this byte; what follows is text.
                abandonSequence(filter);
                filter.state = XtermFilterState::text;
            } else if (byte >= 0x40 && byte <= 0x7E) {
                filter.sequence += c;
                finishSequence(filter, out);
                filter.state = XtermFilterState::text;
            } else if (filter.sequence.size() < kLongestSequence) {
                filter.sequence += c;
            }
            break;
        case XtermFilterState::deviceControlStart:
            // libvterm ignores NUL and DEL here and acts on other controls at once; neither is
            // part of the DCS's start.
            if (byte == 0x00 || byte == 0x7F) break;
            if (byte < 0x20 && byte != kEsc && byte != 0x07) {
                out += c;
                break;
            }
            if (byte != kEsc && byte != 0x07) {
                filter.sequence += c;
                if (filter.sequence == "\x1bP$q") {
                    filter.dropString = true;
                    filter.sequence.clear();
                    filter.state = XtermFilterState::controlString;
                    break;
                }
                if (std::string_view("\x1bP$q").starts_with(filter.sequence)) break;
            }
            out += filter.sequence;
            filter.sequence.clear();
            filter.state = XtermFilterState::controlString;
            if (byte == kEsc || byte == 0x07) filterByte(filter, byte, widthOf, out);
            break;
        case XtermFilterState::controlString:
            if (byte == kEsc) {
                filter.state = XtermFilterState::controlStringEscape;  // ST, or the start of something new
                break;
            }
            if (!filter.dropString) out += c;
            if (byte == 0x07) {
                filter.state = XtermFilterState::text;
                filter.dropString = false;
            }
            break;
        case XtermFilterState::controlStringEscape:
            if (byte == '\\') {  // ST - string terminator
                if (!filter.dropString) out += "\x1b\\";
                filter.dropString = false;
                filter.state = XtermFilterState::text;
                break;
            }
            // Any other byte ends the string, and the ESC begins a new sequence, as in libvterm.
            // The string is ended explicitly, as the new sequence may be rewritten.
            if (!filter.dropString) out += "\x1b\\";
            filter.dropString = false;
            filter.sequence.assign(1, static_cast<char>(kEsc));
            filter.state = XtermFilterState::escape;
            filterEscape(filter, byte, out);
            break;
    }
}

}  // namespace

void filterXtermInput(XtermInputFilter& filter, std::span<const uint8_t> bytes, const CharacterWidth& widthOf,
                      std::string& out) {
    auto printable = [](uint8_t byte) { return byte >= 0x20 && byte < 0x7F; };
    for (size_t at = 0; at < bytes.size();) {
        // A run of printable ASCII text, the bulk of most output, is passed on whole.
        if (filter.state == XtermFilterState::text && filter.utf8Missing == 0 && printable(bytes[at])) {
            size_t end = at + 1;
            while (end < bytes.size() && printable(bytes[end])) ++end;
            appendAscii(out, std::string_view(reinterpret_cast<const char*>(bytes.data() + at), end - at));
            filter.lastPrinted.assign(1, static_cast<char>(bytes[end - 1]));
            at = end;
            continue;
        }
        filterByte(filter, bytes[at++], widthOf, out);
    }
}

void endControlString(XtermInputFilter& filter, std::string& out) {
    const bool inString =
        filter.state == XtermFilterState::controlString || filter.state == XtermFilterState::controlStringEscape;
    if (!inString || filter.dropString) return;
    out += "\x1b\\";
    filter.dropString = true;
}
