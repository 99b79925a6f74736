#pragma once
// Where tmux 3.3a departs from xterm and reelcap follows xterm, by name; each has cases in
// tests/xterm_cases/tmux_departures.case, whose screens are xterm's. To compare a recording with
// tmux beyond these places, tmux is handed bytes rewritten where our emulation shows that one of
// them applies: bytes that mean the same to xterm and that tmux reads as xterm does. Everything
// else tmux gets as recorded, and the places rewritten are counted by departure.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "xterm_case_files.h"

struct TmuxDeparture {
    std::string_view name;
    std::vector<std::string_view> cases;  // in tmux_departures.case
};

// The pending wrap: the cursor waits at the last column after a character written there. xterm
// stops waiting on an erase in line, a vertical move or a backspace; tmux keeps its cursor past
// the last column. tmux is handed a CHA to the last column first (in xterm it only ends the wait,
// which the control ends anyway). A backspace at the first column, below a full line: xterm
// stays, tmux goes back over a soft wrap; tmux is not handed it. CSI ? 1049 h on the alternate
// screen: xterm clears it, tmux ignores it; tmux is handed ED 2.
inline const std::array<TmuxDeparture, 5> kTmuxDepartures{{
    {"erase in line while waiting to wrap", {"erase-in-line-waiting-to-wrap"}},
    {"vertical move while waiting to wrap",
     {"line-position-waiting-to-wrap", "line-feed-waiting-to-wrap", "index-waiting-to-wrap",
      "reverse-index-waiting-to-wrap"}},
    {"backspace while waiting to wrap", {"backspace-waiting-to-wrap"}},
    {"backspace at the first column after a soft wrap", {"backspace-after-soft-wrap"}},
    {"alternate screen entered again", {"alternate-screen-entered-again"}},
}};

// The name of the case file's case (without the file's part), or the empty view.
std::string_view departureOfCase(std::string_view caseName);

struct TmuxInput {
    std::vector<std::string> records;  // one for each of the case's, with the same checkpoints
    std::array<size_t, kTmuxDepartures.size()> rewritten{};  // places, by departure
};

// The bytes tmux is handed for a case without resizes.
TmuxInput tmuxInputFor(const XtermCase& testCase);
