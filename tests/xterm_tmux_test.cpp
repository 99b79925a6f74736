// The xterm emulation checked against an emulator we did not write: each input is replayed in
// a tmux pane of the same size, and at every checkpoint the pane's screen (capture-pane -e:
// text and SGR attributes) is compared cell by cell with ours.
//
// Inputs: the hand-made cases of tests/xterm_cases/*.case, the project's samples/demo.ttyrec,
// and, when the environment variable REELCAP_RECORDINGS names a directory, every *.ttyrec in it
// (taken as 80 x 25).
//
// Case files hold stanzas:
//   case NAME             starts a case (80 x 25 unless "size" says otherwise)
//   size COLUMNS ROWS
//   record BYTES          one record (\e \r \n \b \t \a \\ \xNN \u{HEX} escapes); the screens
//                         are compared after each record
//   resize COLUMNS ROWS   the terminal takes a new size (tmux's window, without scrollback,
//                         and resizeTerminal); the screens are compared again
// Lines starting with # and blank lines are ignored.
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
// And where tmux 3.3a itself departs from xterm, which the cases therefore leave out (the
// emulation's own tests cover them):
// - CHT (CSI I, tab forward by a count) is ignored;
// - REP (CSI b) repeats only an ASCII character, and stops at the end of the line where
//   xterm (and reelcap) go on into the next, as for any text;
// - ICH (CSI @) that inserts at least as many blanks as the line has cells left changes
//   nothing, where xterm blanks the rest of the line;
// - a wide character whose right half is overwritten or erased stays, where xterm blanks it
//   (and so does reelcap, making up for libvterm, which leaves half a character).
// - tmux rewraps lines when the width changes; libvterm 0.1.4 cuts them. The resize cases keep
//   their lines shorter than any width they take.
// Characters that recent Unicode made wide but libvterm 0.1.4's tables do not (newer emoji,
// for instance) are one cell wide in reelcap and two in tmux; the cases use none.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"
#include "test_support.h"

namespace {

constexpr auto kCheckpointTimeout = std::chrono::seconds(60);

struct Resize {
    size_t before = 0;  // the number of records fed before it
    int32_t columns = 0;
    int32_t rows = 0;
};

struct Case {
    std::string name;
    int32_t columns = 80;
    int32_t rows = 25;
    std::vector<std::string> records;
    std::vector<Resize> resizes;
};

// ---- Reading the inputs ----

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::string unescapeRecord(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[++i];
        switch (next) {
            case 'e': out.push_back('\x1b'); break;
            case 'r': out.push_back('\r'); break;
            case 'n': out.push_back('\n'); break;
            case 'b': out.push_back('\b'); break;
            case 't': out.push_back('\t'); break;
            case 'a': out.push_back('\a'); break;
            case 'x':
                out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
                i += 2;
                break;
            case 'u': {
                size_t close = text.find('}', i);
                appendUtf8(out, static_cast<uint32_t>(std::stoul(text.substr(i + 2, close - i - 2), nullptr, 16)));
                i = close;
                break;
            }
            default: out.push_back(next); break;
        }
    }
    return out;
}

std::vector<Case> readCaseFile(const fs::path& path) {
    std::vector<Case> cases;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string directive;
        words >> directive;
        if (directive == "case") {
            cases.push_back(Case{});
            words >> cases.back().name;
            cases.back().name = path.stem().string() + "/" + cases.back().name;
        } else if (cases.empty()) {
            ADD_FAILURE() << path << ": " << line << " before any case";
        } else if (directive == "size") {
            words >> cases.back().columns >> cases.back().rows;
        } else if (directive == "record") {
            cases.back().records.push_back(unescapeRecord(line.substr(line.find("record") + 7)));
        } else if (directive == "resize") {
            Resize resize{cases.back().records.size()};
            words >> resize.columns >> resize.rows;
            if (resize.before == 0) ADD_FAILURE() << path << ": a resize before any record";
            cases.back().resizes.push_back(resize);
        } else {
            ADD_FAILURE() << path << ": unknown directive " << directive;
        }
    }
    return cases;
}

Case readRecording(const fs::path& path, int32_t columns, int32_t rows) {
    Case recording{path.filename().string(), columns, rows, {}, {}};
    std::string data = readFile(path);
    size_t position = 0;
    while (data.size() - position >= 12) {
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= uint32_t{static_cast<uint8_t>(data[position + 8 + i])} << (8 * i);
        size_t available = std::min<size_t>(length, data.size() - position - 12);
        recording.records.push_back(data.substr(position + 12, available));
        position += 12 + available;
    }
    return recording;
}

// True when bytes leave a terminal's parser in its ground state: no escape sequence, control
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

// ---- Running tmux ----

struct ToolResult {
    int status = -1;
    std::string output;
};

ToolResult runTool(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        unsetenv("TMUX");  // a tmux around the test run must not be the one addressed
        std::vector<char*> argv;
        std::vector<std::string> copies(arguments);
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ToolResult result;
    char buffer[65536];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return result;
}

// tmux 3.3 answers the version query the pane's feeder waits for.
bool tmuxUsable(std::string& why) {
    ToolResult version = runTool({"tmux", "-V"});
    if (version.status != 0) {
        why = "tmux is not installed (tools/install-deps installs it)";
        return false;
    }
    int major = 0, minor = 0;
    if (std::sscanf(version.output.c_str(), "tmux %d.%d", &major, &minor) == 2 && (major > 3 || (major == 3 && minor >= 3))) {
        return true;
    }
    why = "tmux 3.3 or later is needed, found " + version.output;
    return false;
}

// One tmux server on its own socket, its pane running the feeder; killed on destruction.
class TmuxPane {
public:
    TmuxPane(const Case& testCase, const std::vector<std::string>& chunks) {
        static std::atomic<int> serial{0};
        socket_ = "reelcap-oracle-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        dir_ = makeTempDir();
        for (size_t i = 0; i < chunks.size(); ++i) writeFile(dir_ / std::to_string(i + 1), chunks[i]);
        mkfifo((dir_ / "ready").c_str(), 0600);
        mkfifo((dir_ / "go").c_str(), 0600);
        readyFd_ = open((dir_ / "ready").c_str(), O_RDONLY | O_NONBLOCK);

        std::string command = "exec bash " + sourcePath("tests/xterm_cases/feed_pane.sh").string() + " " +
                              dir_.string() + " " + std::to_string(chunks.size());
        // Without scrollback, as the emulation has none: lines a shrinking screen pushes out are gone.
        ToolResult started = runTool({"tmux", "-L", socket_, "-f", "/dev/null", "start-server", ";", "set-option",
                                      "-g", "history-limit", "0", ";", "new-session", "-d", "-x",
                                      std::to_string(testCase.columns), "-y", std::to_string(testCase.rows),
                                      "-s", "oracle", command});
        started_ = started.status == 0;
        if (started_) {
            std::string path = runTool({"tmux", "-L", socket_, "display-message", "-p", "#{socket_path}"}).output;
            socketPath_ = path.substr(0, path.find('\n'));
        }
    }

    ~TmuxPane() {
        if (goFd_ >= 0) close(goFd_);
        if (readyFd_ >= 0) close(readyFd_);
        runTool({"tmux", "-L", socket_, "kill-server"});
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        if (!socketPath_.empty()) fs::remove(socketPath_, ignored);  // tmux leaves it behind
    }

    bool started() const { return started_; }

    // Waits until the feeder reports that chunk `number` has been interpreted.
    bool waitForChunk(size_t number) {
        auto deadline = std::chrono::steady_clock::now() + kCheckpointTimeout;
        while (true) {
            size_t newline = pendingReady_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pendingReady_.substr(0, newline);
                pendingReady_.erase(0, newline + 1);
                return line == std::to_string(number);
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd poller{readyFd_, POLLIN, 0};
            if (poll(&poller, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[256];
            ssize_t got = read(readyFd_, buffer, sizeof buffer);
            if (got <= 0) return false;  // the feeder is gone
            pendingReady_.append(buffer, static_cast<size_t>(got));
        }
    }

    std::string capture() {
        return runTool({"tmux", "-L", socket_, "capture-pane", "-p", "-e", "-N", "-t", "oracle"}).output;
    }

    bool resize(int32_t columns, int32_t rows) {
        return runTool({"tmux", "-L", socket_, "resize-window", "-t", "oracle", "-x", std::to_string(columns), "-y",
                        std::to_string(rows)})
                   .status == 0;
    }

    // Lets the feeder go on to the next chunk.
    bool release() {
        if (goFd_ < 0) {
            // The feeder opened its end before it reported the first chunk.
            goFd_ = open((dir_ / "go").c_str(), O_WRONLY | O_NONBLOCK);
            if (goFd_ < 0) return false;
        }
        return write(goFd_, "g", 1) == 1;
    }

private:
    std::string socket_;
    std::string socketPath_;
    fs::path dir_;
    int readyFd_ = -1;
    int goFd_ = -1;
    bool started_ = false;
    std::string pendingReady_;
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
    CapturedScreen captured{{columns, rows, std::vector<XtermCell>(static_cast<size_t>(columns) * rows)},
                            std::vector<bool>(static_cast<size_t>(columns) * rows, false)};
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
// parser is at rest. Returns the number of checkpoints compared.
int compareWithTmux(const Case& testCase) {
    resetAll();
    resetXtermEmulation();
    startTerminal({.columns = testCase.columns, .rows = testCase.rows, .emulation = Emulation::xterm});

    // Records are grouped into chunks that end where a query can follow, and where a resize comes.
    std::vector<std::string> chunks;
    std::vector<size_t> chunkEnds;  // records fed once the chunk is through
    GroundTracker tracker;
    std::string pending;
    for (size_t i = 0; i < testCase.records.size(); ++i) {
        pending += testCase.records[i];
        tracker.feed(testCase.records[i]);
        if (tracker.inGround()) {
            chunks.push_back(pending);
            chunkEnds.push_back(i + 1);
            pending.clear();
        }
    }
    for (const Resize& resize : testCase.resizes) {
        if (std::find(chunkEnds.begin(), chunkEnds.end(), resize.before) == chunkEnds.end()) {
            ADD_FAILURE() << testCase.name << ": a resize inside a sequence";
            return 0;
        }
    }
    int32_t columns = testCase.columns;
    int32_t rows = testCase.rows;
    size_t nextResize = 0;

    TmuxPane pane(testCase, chunks);
    if (!pane.started()) {
        ADD_FAILURE() << testCase.name << ": tmux did not start";
        return 0;
    }
    size_t fed = 0;
    for (size_t chunk = 0; chunk < chunks.size(); ++chunk) {
        if (!pane.waitForChunk(chunk + 1)) {
            ADD_FAILURE() << testCase.name << ": tmux did not get through chunk " << chunk + 1;
            return static_cast<int>(chunk);
        }
        CapturedScreen oracle = parseCapture(pane.capture(), columns, rows);
        for (; fed < chunkEnds[chunk]; ++fed) {
            const std::string& record = testCase.records[fed];
            feedXterm(std::span(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
        }
        std::string differences = compareScreens(xtermScreen(), oracle);
        for (; differences.empty() && nextResize < testCase.resizes.size() &&
               testCase.resizes[nextResize].before == fed;
             ++nextResize) {
            const Resize& resize = testCase.resizes[nextResize];
            columns = resize.columns;
            rows = resize.rows;
            if (!pane.resize(columns, rows)) differences = "tmux did not resize";
            resizeTerminal(columns, rows);
            if (differences.empty()) differences = compareScreens(xtermScreen(), parseCapture(pane.capture(), columns, rows));
            if (!differences.empty()) differences = "resized to " + std::to_string(columns) + " x " + std::to_string(rows) + ": " + differences;
        }
        if (!differences.empty()) {
            ADD_FAILURE() << testCase.name << ", after record " << fed << " of " << testCase.records.size()
                          << ": " << differences;
            return static_cast<int>(chunk + 1);
        }
        if (!pane.release()) {
            ADD_FAILURE() << testCase.name << ": the feeder is gone";
            return static_cast<int>(chunk + 1);
        }
    }
    resetXtermEmulation();
    return static_cast<int>(chunks.size());
}

class XtermTmuxOracle : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!tmuxUsable(why)) GTEST_SKIP() << why;
        std::setlocale(LC_CTYPE, "C.UTF-8");  // for wcwidth
        previousPipeHandler_ = signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override {
        if (previousPipeHandler_ != nullptr) signal(SIGPIPE, previousPipeHandler_);
        resetXtermEmulation();
        resetAll();
    }

private:
    sighandler_t previousPipeHandler_ = nullptr;
};

TEST_F(XtermTmuxOracle, HandMadeCasesMatchTmux) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(sourcePath("tests/xterm_cases"))) {
        if (entry.path().extension() == ".case") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    int cases = 0;
    for (const fs::path& file : files) {
        for (const Case& testCase : readCaseFile(file)) {
            SCOPED_TRACE(testCase.name);
            EXPECT_GT(compareWithTmux(testCase), 0) << testCase.name;
            ++cases;
        }
    }
    EXPECT_GT(cases, 10);
}

TEST_F(XtermTmuxOracle, ProjectDemoRecordingMatchesTmux) {
    Case demo = readRecording(sourcePath("samples/demo.ttyrec"), 80, 25);
    ASSERT_GT(demo.records.size(), 100u);
    EXPECT_EQ(compareWithTmux(demo), static_cast<int>(demo.records.size()));
}

// Recordings kept outside the repository; set REELCAP_RECORDINGS to their directory.
TEST_F(XtermTmuxOracle, RecordingsFromEnvironmentMatchTmux) {
    const char* dir = std::getenv("REELCAP_RECORDINGS");
    if (dir == nullptr || !fs::is_directory(dir)) GTEST_SKIP() << "REELCAP_RECORDINGS names no directory";
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".ttyrec") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        Case recording = readRecording(file, 80, 25);
        SCOPED_TRACE(recording.name);
        int checkpoints = compareWithTmux(recording);
        std::printf("%s: %zu records, screens compared after %d of them\n", recording.name.c_str(),
                    recording.records.size(), checkpoints);
        // Records that end inside a sequence are compared with the next one.
        EXPECT_GE(static_cast<size_t>(checkpoints) * 2, recording.records.size()) << recording.name;
    }
}

}  // namespace
