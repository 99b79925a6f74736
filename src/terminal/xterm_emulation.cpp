#include "terminal/xterm_emulation.h"

#include <vterm.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

namespace {

// libvterm marks the right half of a wide character with this code.
constexpr uint32_t kWideContinuation = 0xFFFFFFFF;

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kSub = 0x1A;
constexpr size_t kLongestSequence = 1024;  // bytes past it are dropped from a control sequence

// What the input filter is in the middle of, as far as it needs to know.
enum class FilterState : uint8_t {
    text,
    escape,              // after ESC
    escapeIntermediate,  // after ESC and an intermediate byte, as in ESC ( 0
    controlSequence,     // after ESC [
    controlString,       // OSC or DCS, up to BEL, ST or any other ESC
    controlStringEscape,
};

// libvterm 0.1.4 lacks a few things that xterm (and tmux) do and that recordings use. The
// filter sits between the payloads and libvterm and makes up for them:
// - a UTF-8 character cut by a record boundary is held back until its rest arrives (libvterm
//   would show it as two replacement characters);
// - DECSET/DECRST 47, the older alternate-screen switch, is passed on as 1047, and a
//   DECSET/DECRST of several modes as one sequence per mode;
// - CSI s and CSI u save and restore the cursor as ESC 7 and ESC 8 do, unless left and right
//   margins are enabled (DECLRMM), where CSI s sets them;
// - REP (CSI b) is done here, by sending the character again (libvterm can hang on it), and
//   control sequences of more than 16 parameters are cut down (libvterm would write past its
//   array). To find the sequences, the filter follows libvterm's parser, oddities included.
struct InputFilter {
    FilterState state = FilterState::text;
    std::string sequence;   // the control sequence being collected, from its ESC
    std::string heldText;   // the start of a UTF-8 character
    size_t utf8Missing = 0;
    bool marginsEnabled = false;
    std::string lastPrinted;  // the last character with a width, for REP
    uint64_t screenColumns = 1;
    uint64_t screenCells = 1;
};

struct Terminal {
    VTerm* vterm = nullptr;
    VTermScreen* screen = nullptr;
    XtermScreen cells;
    std::vector<uint8_t> rowDamaged;  // rows whose cells must be read again from libvterm
    bool anyDamage = false;
    InputFilter filter;
    std::string forward;  // what the filter passes on from one feed
    VTerm* scratch = nullptr;  // for measuring characters
    std::unordered_map<uint32_t, int> widths;
};

Terminal terminal;

int onDamage(VTermRect rect, void*) {
    int32_t first = std::max(rect.start_row, 0);
    int32_t last = std::min(rect.end_row, terminal.cells.rows);
    for (int32_t row = first; row < last; ++row) terminal.rowDamaged[static_cast<size_t>(row)] = 1;
    terminal.anyDamage = true;
    return 1;
}

// Answers to queries (device attributes, cursor reports) have no one to go to.
void discardOutput(const char*, size_t, void*) {}

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
        return;
    }
    static constexpr uint8_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    int extra = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[extra] | (codePoint >> (6 * extra)));
    for (int i = extra - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((codePoint >> (6 * i)) & 0x3F));
}

// The code point of a complete UTF-8 character.
uint32_t decodeUtf8(std::string_view text) {
    uint32_t codePoint = static_cast<uint8_t>(text[0]) & (0x7F >> text.size());
    for (size_t i = 1; i < text.size(); ++i) codePoint = (codePoint << 6) | (static_cast<uint8_t>(text[i]) & 0x3F);
    return codePoint;
}

const VTermScreenCallbacks kScreenCallbacks = {
    .damage = onDamage,
    .moverect = nullptr,  // without it, scrolls are reported as damage
    .movecursor = nullptr,
    .settermprop = nullptr,
    .bell = nullptr,
    .resize = nullptr,
    .sb_pushline = nullptr,  // lines scrolled off the top are gone, as on a video
    .sb_popline = nullptr,
};

// The driver keeps the size within these bounds; tests may not.
int32_t clampColumns(int32_t columns) { return std::clamp(columns, 1, kGridColumns); }
int32_t clampRows(int32_t rows) { return std::clamp(rows, 1, kGridRows); }

// Our copy of the screen at a new size, every row to be read again from libvterm.
void sizeCells(int32_t columns, int32_t rows) {
    terminal.filter.screenColumns = static_cast<uint64_t>(columns);
    terminal.filter.screenCells = static_cast<uint64_t>(columns) * static_cast<uint64_t>(rows);
    terminal.cells.columns = columns;
    terminal.cells.rows = rows;
    terminal.cells.cells.assign(static_cast<size_t>(columns) * static_cast<size_t>(rows), XtermCell{});
    terminal.rowDamaged.assign(static_cast<size_t>(rows), 1);
    terminal.anyDamage = true;
}

void createTerminal() {
    int32_t columns = clampColumns(terminalOptions().columns);
    int32_t rows = clampRows(terminalOptions().rows);
    // libvterm 0.1.4 crashes on a wide character that cannot fit its screen; a screen one
    // column wide is emulated two wide, of which the first column is shown.
    terminal.vterm = vterm_new(rows, std::max(columns, 2));
    vterm_set_utf8(terminal.vterm, 1);
    vterm_output_set_callback(terminal.vterm, discardOutput, nullptr);
    terminal.screen = vterm_obtain_screen(terminal.vterm);
    vterm_screen_enable_altscreen(terminal.screen, 1);
    vterm_screen_set_callbacks(terminal.screen, &kScreenCallbacks, nullptr);
    vterm_screen_reset(terminal.screen, 1);
    sizeCells(columns, rows);
}

// libvterm's own idea of a character's width, 0 to 2 (its tables are not those of the C
// library), found by writing it on a scratch terminal and seeing how far the cursor moves.
// Answers are kept.
int libvtermWidth(uint32_t codePoint) {
    if (codePoint < 0x300) return 1;  // nothing below the combining diacritical marks is wide or empty
    auto known = terminal.widths.find(codePoint);
    if (known != terminal.widths.end()) return known->second;
    if (terminal.scratch == nullptr) {
        terminal.scratch = vterm_new(1, 4);
        vterm_set_utf8(terminal.scratch, 1);
        vterm_output_set_callback(terminal.scratch, discardOutput, nullptr);
        vterm_screen_reset(vterm_obtain_screen(terminal.scratch), 1);
    }
    std::string bytes = "\r\x1b[K";  // from a clean line: no halves left over
    appendUtf8(bytes, codePoint);
    vterm_input_write(terminal.scratch, bytes.data(), bytes.size());
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(terminal.scratch), &cursor);
    int width = std::clamp(cursor.col, 0, 2);
    terminal.widths.emplace(codePoint, width);
    return width;
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
void repeatLastCharacter(const InputFilter& filter, std::string_view body, std::string& out) {
    if (filter.lastPrinted.empty()) return;
    uint64_t count = 0;
    for (char c : body) {
        if (c < '0' || c > '9') break;
        count = std::min<uint64_t>(count * 10 + static_cast<uint64_t>(c - '0'), uint64_t{1} << 30);
    }
    count = std::max<uint64_t>(count, 1);
    uint64_t screenful = filter.screenCells + filter.screenColumns;
    if (count > screenful) count = screenful + (count - screenful) % filter.screenColumns;
    for (uint64_t i = 0; i < count; ++i) out += filter.lastPrinted;
}

// The bytes libvterm receives for a finished control sequence.
void finishSequence(InputFilter& filter, std::string& out) {
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
        if (parsed->final == 'u') replacement = "\x1b" "8";                            // SCORC - restore cursor
    }
    out += replacement;
}

// A sequence cut short by ESC, CAN or SUB does nothing in libvterm either; it is not passed
// on, for libvterm must never be left inside a sequence that the filter has finished with.
void abandonSequence(InputFilter& filter) { filter.sequence.clear(); }

// Moves a held UTF-8 start on to libvterm, finished or not.
void releaseText(InputFilter& filter, std::string& out) {
    out += filter.heldText;
    filter.heldText.clear();
    filter.utf8Missing = 0;
}

void filterText(InputFilter& filter, uint8_t byte, std::string& out) {
    char c = static_cast<char>(byte);
    if (byte == kEsc) {
        releaseText(filter, out);
        filter.sequence = c;
        filter.state = FilterState::escape;
    } else if (filter.utf8Missing > 0 && (byte & 0xC0) == 0x80) {
        filter.heldText += c;
        if (--filter.utf8Missing > 0) return;
        if (libvtermWidth(decodeUtf8(filter.heldText)) > 0) filter.lastPrinted = filter.heldText;
        releaseText(filter, out);
    } else {
        releaseText(filter, out);
        filter.utf8Missing = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
        if (filter.utf8Missing > 0) {
            filter.heldText = c;
        } else {
            out += c;
            if (byte >= 0x20 && byte < 0x7F) filter.lastPrinted = c;
        }
    }
}

// After ESC and any intermediate bytes, which are held: the filter reads what follows as
// libvterm 0.1.4's parser does. A [ begins a control sequence (collected whole), a ] or P a
// control string, even after intermediates (which are then dropped); bytes from DEL up are
// ignored; any other byte from 0x30 is the final one.
void filterEscape(InputFilter& filter, uint8_t byte, std::string& out) {
    char c = static_cast<char>(byte);
    if (byte == kEsc) {
        abandonSequence(filter);  // cut short by another: libvterm starts afresh too
        filter.sequence = c;
    } else if (byte < 0x20) {
        out += c;  // a control in the middle of a sequence acts at once
    } else if (byte < 0x30) {
        if (filter.sequence.size() < kLongestSequence) filter.sequence += c;  // intermediate
        filter.state = FilterState::escapeIntermediate;
    } else if (byte >= 0x7F) {
        // ignored, as libvterm ignores it
    } else if (byte == '[') {
        filter.sequence = "\x1b[";
        filter.state = FilterState::controlSequence;
    } else if (byte == ']' || byte == 'P') {  // OSC, DCS
        filter.sequence.clear();
        out += '\x1b';
        out += c;
        filter.state = FilterState::controlString;
    } else {
        out += filter.sequence;
        out += c;
        filter.sequence.clear();
        filter.state = FilterState::text;
    }
}

void filterByte(InputFilter& filter, uint8_t byte, std::string& out) {
    char c = static_cast<char>(byte);
    if (byte == kCan || byte == kSub) {  // cancels any sequence
        releaseText(filter, out);
        abandonSequence(filter);
        out += c;
        filter.state = FilterState::text;
        return;
    }
    switch (filter.state) {
        case FilterState::text:
            filterText(filter, byte, out);
            break;
        case FilterState::escape:
        case FilterState::escapeIntermediate:
            filterEscape(filter, byte, out);
            break;
        case FilterState::controlSequence:
            if (byte == kEsc) {
                abandonSequence(filter);
                filter.sequence = c;
                filter.state = FilterState::escape;
            } else if (byte < 0x20) {
                out += c;  // a control inside a sequence acts at once, before the sequence
            } else if (byte >= 0x40 && byte <= 0x7E) {
                filter.sequence += c;
                finishSequence(filter, out);
                filter.state = FilterState::text;
            } else if (filter.sequence.size() < kLongestSequence) {
                filter.sequence += c;
            }
            break;
        case FilterState::controlString:
            if (byte == kEsc) {
                filter.state = FilterState::controlStringEscape;  // ST, or the start of something new
                break;
            }
            out += c;
            if (byte == 0x07) filter.state = FilterState::text;
            break;
        case FilterState::controlStringEscape:
            if (byte == '\\') {  // ST - string terminator
                out += "\x1b\\";
                filter.state = FilterState::text;
                break;
            }
            // Any other byte ends the string, and the ESC begins a new sequence, as in libvterm.
            // The string is ended explicitly, as the new sequence may be rewritten.
            out += "\x1b\\";
            filter.sequence.assign(1, static_cast<char>(kEsc));
            filter.state = FilterState::escape;
            filterEscape(filter, byte, out);
            break;
    }
}

XtermColour convertColour(const VTermColor& colour, bool foreground) {
    bool isDefault = foreground ? VTERM_COLOR_IS_DEFAULT_FG(&colour) : VTERM_COLOR_IS_DEFAULT_BG(&colour);
    if (isDefault) return {};
    if (VTERM_COLOR_IS_INDEXED(&colour)) return {XtermColourKind::indexed, colour.indexed.idx, 0};
    uint32_t rgb = (uint32_t{colour.rgb.red} << 16) | (uint32_t{colour.rgb.green} << 8) | colour.rgb.blue;
    return {XtermColourKind::rgb, 0, rgb};
}

XtermCell readCell(int32_t row, int32_t column) {
    VTermScreenCell source{};
    vterm_screen_get_cell(terminal.screen, VTermPos{row, column}, &source);
    XtermCell cell;
    uint32_t first = source.chars[0];
    cell.foreground = convertColour(source.fg, true);
    cell.background = convertColour(source.bg, false);
    if (first == 0) {
        // Never written, or erased: libvterm gives erased cells the whole pen, xterm and tmux
        // only its colours.
        return cell;
    }
    if (first == kWideContinuation) {
        cell.codePoint = 0;
        cell.width = 0;
    } else {
        cell.codePoint = first;
        cell.width = source.width == 2 ? 2 : 1;
    }
    // libvterm's DEC special graphics turn y and z into these; xterm shows them as ≤ and ≥.
    if (first == 0x2A7D) cell.codePoint = 0x2264;
    if (first == 0x2A7E) cell.codePoint = 0x2265;
    cell.bold = source.attrs.bold;
    cell.underline = source.attrs.underline != VTERM_UNDERLINE_OFF;
    cell.reverse = source.attrs.reverse;
    return cell;
}

// libvterm leaves half characters behind where xterm blanks the whole: a narrow character
// written over the left half of a wide one keeps the marker of the right half (and so reads as
// wide), and a wide character whose other half was overwritten or erased stays in its cell.
void repairWideCells(XtermCell* row, int32_t columns) {
    for (int32_t column = 0; column < columns; ++column) {
        XtermCell& cell = row[column];
        if (cell.width == 0) {
            if (column == 0 || row[column - 1].width != 2) cell = XtermCell{};
        } else if (cell.width == 2 && libvtermWidth(cell.codePoint) == 1) {
            cell.width = 1;
            if (column + 1 < columns) row[column + 1] = XtermCell{};
        } else if (cell.width == 1 && libvtermWidth(cell.codePoint) == 2) {
            cell = XtermCell{};
        }
    }
}

void readDamagedRows() {
    vterm_screen_flush_damage(terminal.screen);
    if (!terminal.anyDamage) return;
    XtermScreen& cells = terminal.cells;
    for (int32_t row = 0; row < cells.rows; ++row) {
        if (!terminal.rowDamaged[static_cast<size_t>(row)]) continue;
        terminal.rowDamaged[static_cast<size_t>(row)] = 0;
        size_t base = static_cast<size_t>(row) * static_cast<size_t>(cells.columns);
        for (int32_t column = 0; column < cells.columns; ++column) {
            cells.cells[base + static_cast<size_t>(column)] = readCell(row, column);
        }
        repairWideCells(&cells.cells[base], cells.columns);
    }
    terminal.anyDamage = false;
}

}  // namespace

void feedXterm(std::span<const uint8_t> bytes) {
    if (terminal.vterm == nullptr) createTerminal();
    terminal.forward.clear();
    for (uint8_t byte : bytes) filterByte(terminal.filter, byte, terminal.forward);
    if (terminal.forward.empty()) return;
    vterm_input_write(terminal.vterm, terminal.forward.data(), terminal.forward.size());
}

void resizeXterm(int32_t columns, int32_t rows) {
    if (terminal.vterm == nullptr) return;
    columns = clampColumns(columns);
    rows = clampRows(rows);
    // Sized first, so that the damage libvterm reports while resizing falls within the rows.
    sizeCells(columns, rows);
    vterm_set_size(terminal.vterm, rows, std::max(columns, 2));
    sizeCells(columns, rows);
}

const XtermScreen& xtermScreen() {
    if (terminal.vterm == nullptr) createTerminal();
    readDamagedRows();
    return terminal.cells;
}

void resetXtermEmulation() {
    if (terminal.vterm != nullptr) vterm_free(terminal.vterm);
    if (terminal.scratch != nullptr) vterm_free(terminal.scratch);
    terminal = Terminal{};
}
