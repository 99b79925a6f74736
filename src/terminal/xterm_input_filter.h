#pragma once
// libvterm 0.1.4 lacks a few things that xterm (and tmux) do and that recordings use. The
// filter sits between the payloads and libvterm and makes up for them:
// - a UTF-8 character cut by a record boundary is held back until its rest arrives (libvterm
//   would show it as two replacement characters), UTF-8 that is not well formed is passed
//   on as U+FFFD, and C1 controls written as UTF-8 are dropped;
// - a character whose width libvterm's tables get wrong is passed on as the emulation's
//   stand-in for it;
// - DECSET/DECRST 47, the older alternate-screen switch, is passed on as 1047, and a
//   DECSET/DECRST of several modes as one sequence per mode;
// - CSI s and CSI u save and restore the cursor as ESC 7 and ESC 8 do, unless left and right
//   margins are enabled (DECLRMM), where CSI s sets them; ESC 8 and CSI u are passed on as
//   DECRST 1048, after which libvterm keeps the cursor on a screen that shrank since the save;
// - REP (CSI b) is done here, by sending the character again (libvterm can hang on it), and
//   control sequences of more than 16 parameters are cut down (libvterm would write past its
//   array). To find the sequences, the filter follows libvterm's parser, oddities included;
// - DECRQSS (DCS $ q) is dropped: its answer has no one to go to, and libvterm answers an unknown
//   one through a format that reads a number as a string (harmless in the C library, a crash
//   under AddressSanitizer).

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// What the input filter is in the middle of, as far as it needs to know.
enum class XtermFilterState : uint8_t {
    text,
    escape,              // after ESC
    escapeIntermediate,  // after ESC and an intermediate byte, as in ESC ( 0
    controlSequence,     // after ESC [
    deviceControlStart,  // after ESC P, before the DCS's first two bytes tell whether it is DECRQSS
    controlString,       // OSC or DCS, up to BEL, ST or any other ESC
    controlStringEscape,
};

// What the emulation makes of a printed character: the cells it takes, 0 to 2 (REP repeats
// only a character with a width), and the code point libvterm is given in its place, one that
// libvterm's older tables measure as that many cells.
struct CharacterMeasure {
    int width = 1;
    uint32_t standIn = 0;
};
using CharacterWidth = std::function<CharacterMeasure(uint32_t codePoint)>;

// The filter's state, which lasts across payloads as the terminal's does.
struct XtermInputFilter {
    XtermFilterState state = XtermFilterState::text;
    std::string sequence;   // the control sequence being collected, from its ESC
    bool dropString = false;  // the control string is DECRQSS: nothing of it is passed on
    std::string heldText;   // the start of a UTF-8 character
    size_t utf8Missing = 0;
    bool marginsEnabled = false;
    std::string lastPrinted;  // the last character with a width, for REP
    uint64_t screenColumns = 1;  // the screen's size, set by the emulation: it bounds REP
    uint64_t screenCells = 1;
};

// Appends to out the bytes libvterm is to receive for bytes.
void filterXtermInput(XtermInputFilter& filter, std::span<const uint8_t> bytes, const CharacterWidth& widthOf,
                      std::string& out);

// Before sequences of the emulation's own: a control string libvterm is inside is ended for it
// (appended to out), and the rest of the string, which shows nothing, is dropped. Otherwise
// libvterm would take the string's end for text while the filter still reads a string.
void endControlString(XtermInputFilter& filter, std::string& out);
