#pragma once
// The hand-made cases of the xterm emulation (tests/xterm_cases/*.case) and the screens tmux
// showed for them, which our emulation's screens are compared with.
//
// Case files hold stanzas:
//   case NAME             starts a case (80 x 25 unless "size" says otherwise)
//   size COLUMNS ROWS
//   record BYTES          one record (with the escapes of decodeEscapes)
//   resize COLUMNS ROWS   the terminal takes a new size after the records before it, which end
//                         at a checkpoint (tmux's window without scrollback; Terminal::resize)
//   screen ROW            a row of the screen tmux showed after the records before it, as
//                         capture-pane -e prints it (text and SGR changes), escaped as records
//                         are; a screen's rows stand together from the top, and rows after the
//                         last are empty
// Lines starting with # and blank lines are ignored. A screen follows every record after which
// the parser is at rest (no sequence or UTF-8 character left open), and every resize: the
// screens are compared there. The tmux test writes them (REELCAP_REFRESH_XTERM_CASES=1). tmux
// rewraps lines when the width changes where libvterm 0.1.4 cuts them: the resize cases keep
// their lines shorter than every width they take.

#include "terminal/terminal.h"
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

// What tmux's capture-pane -p -e -N printed at a checkpoint.
struct ExpectedScreen {
    size_t afterRecords = 0;  // how many of the case's records come before it
    size_t afterResizes = 0;  // and how many of its resizes
    std::string capture;
    bool operator==(const ExpectedScreen&) const = default;
};

struct CaseResize {
    size_t afterRecords = 0;
    int32_t columns = 0;
    int32_t rows = 0;
};

struct XtermCase {
    std::string name;
    int32_t columns = 80;
    int32_t rows = 25;
    std::vector<std::string> records;
    std::vector<ExpectedScreen> screens;
    std::vector<CaseResize> resizes;
};

std::vector<XtermCase> readCaseFile(const fs::path& path);

// Writes the cases' screens into the case file they were read from, in place of the screens it
// holds; every other line stays as it is.
void rewriteScreens(const fs::path& path, const std::vector<XtermCase>& cases);

// The numbers of records after which a terminal's parser is at rest: the checkpoints.
std::vector<size_t> checkpointsOf(const std::vector<std::string>& records);

// Where the case's screens are compared, in order (captures left empty): every checkpoint, and
// after every resize.
std::vector<ExpectedScreen> screenPointsOf(const XtermCase& testCase);

// How far a replay has gone.
struct ReplayPosition {
    Terminal terminal;
    size_t fed = 0;      // records
    size_t resized = 0;  // resizes
};

// A fresh xterm terminal at the case's size.
ReplayPosition startReplay(const XtermCase& testCase);

// Feeds the emulation the case's records, and resizes it, from `position` up to the screen's
// point and compares its screen with the captured one. Empty when they agree; otherwise the
// first differences and both screens.
std::string compareWithCapture(const XtermCase& testCase, ReplayPosition& position, const ExpectedScreen& expected);
