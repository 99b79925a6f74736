#include "xterm_case_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <span>
#include <sstream>

#include "terminal/character_widths.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"

namespace {

// string or UTF-8 character is left open. Only there can the synchronising query follow.
class GroundTracker {
public:
    void feed(const std::string& bytes) {
        for (char c : bytes) step(static_cast<uint8_t>(c));
    }
    bool inGround() const { return state_ == State::ground && utf8Pending_ == 0; }

private:
    enum class State { ground, escape, csi, controlString, controlStringEscape };

    void step(uint8_t byte) {
        if (byte == 0x18 || byte == 0x1A) {  // CAN, SUB abort any sequence
            state_ = State::ground;
            return;
        }
        switch (state_) {
            case State::ground:
                if (byte == 0x1B) {
                    state_ = State::escape;
                    utf8Pending_ = 0;
                } else if (utf8Pending_ > 0 && (byte & 0xC0) == 0x80) {
                    --utf8Pending_;
                } else {
                    utf8Pending_ = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
                }
                break;
            case State::escape:
                if (byte == '[') {
                    state_ = State::csi;
                } else if (byte == ']' || byte == 'P' || byte == '_' || byte == '^' || byte == 'X') {
                    state_ = State::controlString;
                } else if (byte >= 0x20 && byte <= 0x2F) {
                    // intermediates: the final byte is still to come
                } else if (byte >= 0x30) {
                    state_ = State::ground;
                }
                break;
            case State::csi:
                if (byte == 0x1B) {
                    state_ = State::escape;
                } else if (byte >= 0x40 && byte <= 0x7E) {
                    state_ = State::ground;
                }
                break;
            case State::controlString:
                if (byte == 0x07) state_ = State::ground;
                if (byte == 0x1B) state_ = State::controlStringEscape;
                break;
            case State::controlStringEscape:
                state_ = byte == '\\' ? State::ground : State::controlString;
                break;
        }
    }

    State state_ = State::ground;
    int utf8Pending_ = 0;
};

// ---- Reading tmux's screen ----

// The VT100 special graphics set, as tmux shows it: the ASCII letter between SO and SI.
uint32_t decGraphic(uint32_t ascii) {
    static constexpr uint32_t kGraphics[] = {
        0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1,  // ` a b c d e f g
        0x2424, 0x240B, 0x2518, 0x2510, 0x250C, 0x2514, 0x253C, 0x23BA,  // h i j k l m n o
        0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534, 0x252C,  // p q r s t u v w
        0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,          // x y z { | } ~
    };
    if (ascii >= 0x60 && ascii <= 0x7E) return kGraphics[ascii - 0x60];
    return ascii;
}

XtermColour indexed(int32_t index) { return {XtermColourKind::indexed, static_cast<uint8_t>(index), 0}; }

// Applies one SGR sequence's parameters (sub-parameters after ':' are kept with their parameter).
void applySgrParameters(const std::string& parameters, XtermCell& pen) {
    std::vector<std::string> fields;
    std::stringstream stream(parameters);
    std::string field;
    while (std::getline(stream, field, ';')) fields.push_back(field);
    if (fields.empty()) fields.push_back("0");
    auto number = [&](size_t i) { return i < fields.size() && !fields[i].empty() ? std::stoi(fields[i]) : 0; };
    for (size_t i = 0; i < fields.size(); ++i) {
        int32_t code = number(i);
        bool hasSub = fields[i].find(':') != std::string::npos;
        if (hasSub && code == 4) {
            pen.underline = fields[i].substr(2) != "0";
            continue;
        }
        if (code == 0) {
            XtermCell blank;
            pen.bold = pen.underline = pen.reverse = false;
            pen.foreground = pen.background = blank.foreground;
        } else if (code == 1) {
            pen.bold = true;
        } else if (code == 4 || code == 21) {
            pen.underline = true;
        } else if (code == 7) {
            pen.reverse = true;
        } else if (code == 22) {
            pen.bold = false;
        } else if (code == 24) {
            pen.underline = false;
        } else if (code == 27) {
            pen.reverse = false;
        } else if (code >= 30 && code <= 37) {
            pen.foreground = indexed(code - 30);
        } else if (code >= 40 && code <= 47) {
            pen.background = indexed(code - 40);
        } else if (code >= 90 && code <= 97) {
            pen.foreground = indexed(code - 90 + 8);
        } else if (code >= 100 && code <= 107) {
            pen.background = indexed(code - 100 + 8);
        } else if (code == 39) {
            pen.foreground = XtermColour{};
        } else if (code == 49) {
            pen.background = XtermColour{};
        } else if (code == 38 || code == 48) {
            XtermColour& target = code == 38 ? pen.foreground : pen.background;
            if (number(i + 1) == 5) {
                target = indexed(number(i + 2));
                i += 2;
            } else if (number(i + 1) == 2) {
                uint32_t rgb = (static_cast<uint32_t>(number(i + 2)) << 16) |
                               (static_cast<uint32_t>(number(i + 3)) << 8) | static_cast<uint32_t>(number(i + 4));
                target = {XtermColourKind::rgb, 0, rgb};
                i += 4;
            }
        }
        // Dim, italic, blink, invisible, strike-through and overline are not painted.
    }
}

uint32_t decodeUtf8(const std::string& text, size_t& position) {
    uint8_t lead = static_cast<uint8_t>(text[position++]);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    uint32_t codePoint = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int i = 0; i < extra && position < text.size(); ++i) {
        codePoint = (codePoint << 6) | (static_cast<uint8_t>(text[position++]) & 0x3F);
    }
    return codePoint;
}

// tmux's screen as capture-pane shows it. Each row ends at its last written cell: cells past
// it are blank, but their colours are not shown.
struct CapturedScreen {
    XtermScreen screen;
    std::vector<bool> shown;
};

// tmux writes each row's cells with SGR changes between them; state carries across rows. A
// wide character is written once and stands for two cells.
CapturedScreen parseCapture(const std::string& capture, int32_t columns, int32_t rows) {
    // Filled in place: GCC 12's -O3 warns (-Wuse-after-free) on the vectors as temporaries here.
    CapturedScreen captured;
    captured.screen.columns = columns;
    captured.screen.rows = rows;
    captured.screen.cells.resize(static_cast<size_t>(columns) * rows);
    captured.shown.resize(static_cast<size_t>(columns) * rows, false);
    XtermScreen& screen = captured.screen;
    XtermCell pen;
    bool graphics = false;
    int32_t row = 0;
    int32_t column = 0;
    for (size_t i = 0; i < capture.size() && row < rows;) {
        char c = capture[i];
        if (c == '\n') {
            ++row;
            column = 0;
            ++i;
        } else if (c == '\x1b' && i + 1 < capture.size() && capture[i + 1] == '[') {
            size_t end = capture.find_first_of("ABCDEFGHJKSTfhlmnr", i + 2);
            if (end != std::string::npos && capture[end] == 'm') applySgrParameters(capture.substr(i + 2, end - i - 2), pen);
            i = end == std::string::npos ? capture.size() : end + 1;
        } else if (c == '\x0e' || c == '\x0f') {
            graphics = c == '\x0e';
            ++i;
        } else {
            uint32_t codePoint = decodeUtf8(capture, i);
            if (graphics) codePoint = decGraphic(codePoint);
            int width = wcwidth(static_cast<wchar_t>(codePoint));
            if (width < 0) width = characterWidth(codePoint);  // newer than the C library's Unicode
            if (width == 0) continue;  // a combining mark belongs to the cell before
            if (column >= columns) continue;
            XtermCell cell = pen;
            cell.codePoint = codePoint;
            cell.width = width == 2 ? 2 : 1;
            size_t base = static_cast<size_t>(row) * columns;
            screen.cells[base + column] = cell;
            captured.shown[base + column] = true;
            if (width == 2 && column + 1 < columns) {
                cell.codePoint = 0;
                cell.width = 0;
                screen.cells[base + column + 1] = cell;
                captured.shown[base + column + 1] = true;
            }
            column += width == 2 ? 2 : 1;
        }
    }
    return captured;
}

// ---- Comparing ----
//
// Differences between tmux and libvterm that are not faults, and how they are treated:
// - capture-pane ends each row at its last written cell. Cells past it are blank, but their
//   colours (from an erase with a background colour) are not shown: there only the text is
//   compared. The emulation's own tests check those colours.
// - An erased cell keeps the pen's foreground in libvterm and gets the default one in tmux.
//   A blank cell's foreground is invisible, so it is compared only where it shows: when the
//   cell is reversed or underlined.
// - Only what reelcap paints is compared: the first code point of a cell (combining marks are
//   not drawn), bold, underline (of any style), reverse, and both colours. Dim, italic, blink,
//   strike-through, invisible and overline are not painted and not compared.

std::string describeColour(const XtermColour& colour) {
    char text[32];
    switch (colour.kind) {
        case XtermColourKind::standard: return "default";
        case XtermColourKind::indexed: std::snprintf(text, sizeof text, "%d", colour.index); return text;
        case XtermColourKind::rgb: std::snprintf(text, sizeof text, "#%06X", colour.rgb); return text;
    }
    return "?";
}

std::string describeCell(const XtermCell& cell) {
    std::string text = "U+";
    char code[16];
    std::snprintf(code, sizeof code, "%04X", cell.codePoint);
    text += code;
    if (cell.codePoint >= 0x20 && cell.codePoint < 0x7F) text += std::string(" '") + static_cast<char>(cell.codePoint) + "'";
    text += " fg " + describeColour(cell.foreground) + " bg " + describeColour(cell.background);
    if (cell.bold) text += " bold";
    if (cell.underline) text += " underline";
    if (cell.reverse) text += " reverse";
    return text;
}

bool sameAsOracle(const XtermCell& ours, const XtermCell& oracle, bool shown) {
    if (ours.codePoint != oracle.codePoint || ours.width != oracle.width) return false;
    if (oracle.width == 0) return true;  // the right half of a wide character: nothing of its own
    if (!shown) return true;
    if (ours.bold != oracle.bold || ours.underline != oracle.underline || ours.reverse != oracle.reverse) return false;
    if (ours.background != oracle.background) return false;
    bool foregroundShows = ours.codePoint != ' ' || ours.reverse || ours.underline;
    return !foregroundShows || ours.foreground == oracle.foreground;
}

std::string screenText(const XtermScreen& screen) {
    std::string text;
    for (int32_t row = 0; row < screen.rows; ++row) {
        text += "  |";
        for (int32_t column = 0; column < screen.columns; ++column) {
            uint32_t codePoint = screen.at(row, column).codePoint;
            if (codePoint != 0) appendUtf8(text, codePoint);
        }
        text += "|\n";
    }
    return text;
}

// Empty when the screens agree; otherwise the first differences and both screens.
std::string compareScreens(const XtermScreen& ours, const CapturedScreen& captured) {
    const XtermScreen& oracle = captured.screen;
    std::string report;
    int differences = 0;
    for (int32_t row = 0; row < ours.rows; ++row) {
        for (int32_t column = 0; column < ours.columns; ++column) {
            const XtermCell& mine = ours.at(row, column);
            const XtermCell& theirs = oracle.at(row, column);
            bool shown = captured.shown[static_cast<size_t>(row) * ours.columns + column];
            if (sameAsOracle(mine, theirs, shown)) continue;
            if (++differences <= 8) {
                report += "  row " + std::to_string(row) + " column " + std::to_string(column) + ": ours " +
                          describeCell(mine) + ", tmux " + describeCell(theirs) + "\n";
            }
        }
    }
    if (differences == 0) return {};
    return std::to_string(differences) + " cells differ\n" + report + " ours:\n" + screenText(ours) + " tmux:\n" +
           screenText(oracle);
}

// Replays a case in tmux and in our emulation, comparing at every record boundary where the

// ---- Writing screens ----

// A row as a screen line holds it: controls and backslashes escaped, and a last space too, so
// that no editor strips it.
std::string escapeRow(std::string_view row) {
    std::string out;
    for (size_t i = 0; i < row.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(row[i]);
        if (c == 0x1B) {
            out += "\\e";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == ' ' && i + 1 == row.size()) {
            out += "\\s";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The capture's rows up to the last that is not empty, at least one.
std::vector<std::string> rowsOf(const std::string& capture) {
    std::vector<std::string> rows;
    std::istringstream lines(capture);
    std::string row;
    while (std::getline(lines, row)) rows.push_back(row);
    while (rows.size() > 1 && rows.back().empty()) rows.pop_back();
    if (rows.empty()) rows.emplace_back();
    return rows;
}

}  // namespace

std::vector<XtermCase> readCaseFile(const fs::path& path) {
    std::vector<XtermCase> cases;
    std::ifstream file(path);
    std::string line;
    std::string previous;  // the directive of the line before, blank and comment lines aside
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string directive;
        words >> directive;
        if (directive == "case") {
            cases.push_back(XtermCase{});
            words >> cases.back().name;
            cases.back().name = path.stem().string() + "/" + cases.back().name;
        } else if (cases.empty()) {
            ADD_FAILURE() << path << ": " << line << " before any case";
        } else if (directive == "size") {
            words >> cases.back().columns >> cases.back().rows;
        } else if (directive == "record") {
            cases.back().records.push_back(decodeEscapes(line.substr(line.find("record") + 7)));
        } else if (directive == "resize") {
            CaseResize resize{cases.back().records.size()};
            words >> resize.columns >> resize.rows;
            cases.back().resizes.push_back(resize);
        } else if (directive == "screen") {
            std::vector<ExpectedScreen>& screens = cases.back().screens;
            if (previous != "screen") screens.push_back({cases.back().records.size(), cases.back().resizes.size(), {}});
            size_t text = line.find("screen") + 7;
            screens.back().capture += decodeEscapes(text < line.size() ? line.substr(text) : "") + "\n";
        } else {
            ADD_FAILURE() << path << ": unknown directive " << directive;
        }
        previous = directive;
    }
    return cases;
}

void rewriteScreens(const fs::path& path, const std::vector<XtermCase>& cases) {
    std::ifstream file(path);
    std::string out;
    std::string line;
    size_t casesSeen = 0;
    size_t records = 0;
    size_t resizes = 0;
    size_t screensWritten = 0;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string directive;
        if (!line.empty() && line[0] != '#') words >> directive;
        if (directive == "screen") continue;
        out += line + "\n";
        if (directive == "case") {
            ++casesSeen;
            records = 0;
            resizes = 0;
            screensWritten = 0;
        } else if ((directive == "record" || directive == "resize") && casesSeen > 0 && casesSeen <= cases.size()) {
            ++(directive == "record" ? records : resizes);
            const std::vector<ExpectedScreen>& screens = cases[casesSeen - 1].screens;
            for (; screensWritten < screens.size() && screens[screensWritten].afterRecords == records &&
                   screens[screensWritten].afterResizes == resizes;
                 ++screensWritten) {
                for (const std::string& row : rowsOf(screens[screensWritten].capture)) {
                    out += row.empty() ? "screen\n" : "screen " + escapeRow(row) + "\n";
                }
            }
        }
    }
    file.close();
    writeFile(path, out);
}

std::vector<size_t> checkpointsOf(const std::vector<std::string>& records) {
    std::vector<size_t> checkpoints;
    GroundTracker tracker;
    for (size_t i = 0; i < records.size(); ++i) {
        tracker.feed(records[i]);
        if (tracker.inGround()) checkpoints.push_back(i + 1);
    }
    return checkpoints;
}

std::vector<ExpectedScreen> screenPointsOf(const XtermCase& testCase) {
    std::vector<ExpectedScreen> points;
    size_t resized = 0;
    for (size_t checkpoint : checkpointsOf(testCase.records)) {
        for (; resized < testCase.resizes.size() && testCase.resizes[resized].afterRecords < checkpoint; ++resized) {
            points.push_back({testCase.resizes[resized].afterRecords, resized + 1, {}});
        }
        points.push_back({checkpoint, resized, {}});
    }
    for (; resized < testCase.resizes.size(); ++resized) {
        points.push_back({testCase.resizes[resized].afterRecords, resized + 1, {}});
    }
    return points;
}

ReplayPosition startReplay(const XtermCase& testCase) {
    return {.terminal = Terminal({.columns = testCase.columns, .rows = testCase.rows, .emulation = Emulation::xterm})};
}

std::string compareWithCapture(const XtermCase& testCase, ReplayPosition& position, const ExpectedScreen& expected) {
    while (true) {
        if (position.resized < expected.afterResizes && position.resized < testCase.resizes.size() &&
            testCase.resizes[position.resized].afterRecords <= position.fed) {
            const CaseResize& resize = testCase.resizes[position.resized++];
            position.terminal.resize(resize.columns, resize.rows);
        } else if (position.fed < expected.afterRecords && position.fed < testCase.records.size()) {
            const std::string& record = testCase.records[position.fed++];
            position.terminal.feed(std::span(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
        } else {
            break;
        }
    }
    const TerminalOptions& size = position.terminal.options();
    return compareScreens(position.terminal.xtermScreen(), parseCapture(expected.capture, size.columns, size.rows));
}
