#include "tmux_departures.h"

#include <cstdint>
#include <string>

#include "terminal/character_widths.h"
#include "terminal/terminal.h"
#include "test_support.h"

namespace {

enum Departure : size_t { eraseWaiting, verticalMoveWaiting, backspaceWaiting, backspaceAfterWrap, alternateAgain };

// Cuts the bytes into characters, controls and whole sequences (which may span records), feeds
// each to our emulation and writes what tmux is to get, record by record.
class Rewriter {
public:
    explicit Rewriter(const XtermCase& testCase)
        : terminal_({.columns = testCase.columns, .rows = testCase.rows, .emulation = Emulation::xterm}),
          columns_(testCase.columns) {
        input_.records.resize(testCase.records.size());
    }

    // What is left open at the end (a cut sequence) goes on as recorded.
    TmuxInput finish() {
        for (size_t i = 0; i < token_.size(); ++i) input_.records[tokenRecords_[i]] += token_[i];
        return std::move(input_);
    }

    void feed(uint8_t byte, size_t record) {
        token_.push_back(static_cast<char>(byte));
        tokenRecords_.push_back(record);
        switch (state_) {
            case State::ground:
                if (token_.size() > 1 && (byte & 0xC0) != 0x80) {  // a cut UTF-8 character goes on as it is
                    restartWith(byte, record);
                } else if (byte == 0x1B) {
                    state_ = State::escape;
                } else if (utf8Missing_ > 0) {
                    if (--utf8Missing_ == 0) complete();
                } else {
                    utf8Missing_ = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
                    if (utf8Missing_ == 0) complete();
                }
                break;
            case State::escape:
                if (byte == 0x1B) {
                    restartWith(byte, record);
                } else if (byte == '[') {
                    state_ = State::controlSequence;
                } else if (byte == ']' || byte == 'P' || byte == '_' || byte == '^' || byte == 'X') {
                    state_ = State::controlString;
                } else if (byte < 0x20 || byte >= 0x30) {
                    complete();
                }
                break;
            case State::controlSequence:
                if (byte == 0x1B) {
                    restartWith(byte, record);
                } else if (byte < 0x20 || byte >= 0x40) {
                    complete();
                }
                break;
            case State::controlString:
                if (byte == 0x07) complete();
                if (byte == 0x1B) state_ = State::controlStringEscape;
                break;
            case State::controlStringEscape:
                if (byte == '\\') {
                    complete();
                } else {
                    state_ = State::controlString;
                }
                break;
        }
    }

private:
    enum class State { ground, escape, controlSequence, controlString, controlStringEscape };

    // Ends the token before byte, which starts the next.
    void restartWith(uint8_t byte, size_t record) {
        token_.pop_back();
        tokenRecords_.pop_back();
        complete();
        feed(byte, record);
    }

    void complete() {
        const std::string token = std::move(token_);
        const std::vector<size_t> records = std::move(tokenRecords_);
        token_.clear();
        tokenRecords_.clear();
        const State state = state_;
        state_ = State::ground;
        utf8Missing_ = 0;

        std::string& out = input_.records[records.front()];
        const XtermCursor before = terminal_.xtermCursor();
        const bool sequence = token.size() > 1 && token[0] == 0x1B;
        const char final = token.back();
        const bool controlSequence = state == State::controlSequence && token.size() > 2 && token[1] == '[';
        const bool privateSequence = controlSequence && token.size() > 3 && token[2] >= '<' && token[2] <= '?';
        const bool verticalMove = token == "\n" || token == "\v" || token == "\f" || token == "\x1b" "D" ||
                                  token == "\x1b" "M" || (controlSequence && !privateSequence && final == 'd');
        bool passOn = true;
        if (waitingToWrap_ && ((controlSequence && !privateSequence && final == 'K') || verticalMove || token == "\b")) {
            out += "\x1b[" + std::to_string(columns_) + "G";
            ++input_.rewritten[token == "\b" ? backspaceWaiting : verticalMove ? verticalMoveWaiting : eraseWaiting];
        } else if (token == "\b" && before.column == 0 && before.row > 0 && lastColumnUsed(before.row - 1)) {
            passOn = false;
            ++input_.rewritten[backspaceAfterWrap];
        } else if (token == "\x1b[?1049h" && alternate_ && records.front() == records.back()) {
            out += "\x1b[2J";
            passOn = false;
            ++input_.rewritten[alternateAgain];
        }
        for (size_t i = 0; passOn && i < token.size(); ++i) input_.records[records[i]] += token[i];

        terminal_.feed(bytesOf(token));
        if (!sequence && static_cast<uint8_t>(token[0]) >= 0x20 && token[0] != 0x7F) {
            size_t at = 0;
            const int width = characterWidth(decodeCharacter(token, at));
            if (width > 0) {
                waitingToWrap_ = before.column + width >= columns_ && terminal_.xtermCursor().column == columns_ - 1;
            }
        } else if (!(controlSequence && !privateSequence && final == 'm') && state != State::controlString &&
                   state != State::controlStringEscape) {
            waitingToWrap_ = false;  // SGR and control strings leave the cursor waiting
        }
        if (privateSequence && token[2] == '?' && (final == 'h' || final == 'l')) {
            for (std::string_view mode : {"1049", "1047", "47"}) {
                const size_t at = token.find(mode);
                if (at != std::string::npos && (token[at - 1] == '?' || token[at - 1] == ';') &&
                    (token[at + mode.size()] == ';' || token[at + mode.size()] == final)) {
                    alternate_ = final == 'h';
                }
            }
        }
        if (token == "\x1b" "c") alternate_ = false;
    }

    // A full line: the one a soft wrap leaves behind.
    bool lastColumnUsed(int32_t row) const {
        const XtermCell& cell = terminal_.xtermScreen().at(row, columns_ - 1);
        return cell.codePoint != ' ' || cell.width == 0;
    }

    static uint32_t decodeCharacter(const std::string& text, size_t& at) {
        const uint8_t lead = static_cast<uint8_t>(text[at++]);
        const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        uint32_t codePoint = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int i = 0; i < extra && at < text.size(); ++i) codePoint = (codePoint << 6) | (text[at++] & 0x3F);
        return codePoint;
    }

    Terminal terminal_;
    int32_t columns_;
    TmuxInput input_;
    std::string token_;
    std::vector<size_t> tokenRecords_;
    State state_ = State::ground;
    int utf8Missing_ = 0;
    bool waitingToWrap_ = false;
    bool alternate_ = false;
};

}  // namespace

std::string_view departureOfCase(std::string_view caseName) {
    for (const TmuxDeparture& departure : kTmuxDepartures) {
        for (std::string_view name : departure.cases) {
            if (caseName == "tmux_departures/" + std::string(name)) return departure.name;
        }
    }
    return {};
}

TmuxInput tmuxInputFor(const XtermCase& testCase) {
    Rewriter rewriter(testCase);
    for (size_t record = 0; record < testCase.records.size(); ++record) {
        for (char byte : testCase.records[record]) rewriter.feed(static_cast<uint8_t>(byte), record);
    }
    return rewriter.finish();
}
