// The xterm emulation's cell model: what reaches the renderer for each kind of input, and the
// places where the wrapper makes up for libvterm 0.1.4 (the tmux oracle test covers the rest).

#include "terminal/xterm_emulation.h"

#include "terminal/character_widths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <span>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

class XtermEmulationTest : public ::testing::Test {
protected:
    // A fresh emulation of this size.
    void start(int32_t columns, int32_t rows) {
        columns_ = columns;
        rows_ = rows;
        emulation_ = XtermEmulation(columns, rows);
    }
    void restart() { start(columns_, rows_); }

    // Feeds each string as one record.
    const XtermScreen& screenAfter(const std::vector<std::string>& records) {
        for (const std::string& record : records) {
            emulation_.feed(std::span(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
        }
        return emulation_.screen();
    }

    std::string rowText(int32_t row) { return xtermRowText(emulation_.screen(), row); }

    int32_t columns_ = 10;
    int32_t rows_ = 4;
    XtermEmulation emulation_{10, 4};
};

XtermColour standard() { return {}; }
XtermColour indexed(uint8_t index) { return {XtermColourKind::indexed, index, 0}; }
XtermColour rgb(uint32_t value) { return {XtermColourKind::rgb, 0, value}; }

TEST_F(XtermEmulationTest, SizeComesFromTheTerminalOptionsAndStartsBlank) {
    const XtermScreen& screen = screenAfter({});
    ASSERT_EQ(screen.columns, 10);
    ASSERT_EQ(screen.rows, 4);
    ASSERT_EQ(screen.cells.size(), 40u);
    for (const XtermCell& cell : screen.cells) EXPECT_EQ(cell, XtermCell{});
}

TEST_F(XtermEmulationTest, SgrFormsGiveColourKinds) {
    struct Case {
        std::string sgr;
        XtermColour foreground;
        XtermColour background;
    };
    const Case cases[] = {
        {"", standard(), standard()},
        {"31", indexed(1), standard()},
        {"1;37;44", indexed(7), indexed(4)},
        {"91;103", indexed(9), indexed(11)},
        {"38;5;200;48;5;17", indexed(200), indexed(17)},
        {"38;2;1;2;3;48;2;255;128;0", rgb(0x010203), rgb(0xFF8000)},
        {"31;39;42;49", standard(), standard()},
        {"31;42;0", standard(), standard()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sgr);
        restart();
        const XtermCell& cell = screenAfter({"\x1b[" + c.sgr + "mX"}).at(0, 0);
        EXPECT_EQ(cell.codePoint, uint32_t{'X'});
        EXPECT_EQ(cell.foreground, c.foreground);
        EXPECT_EQ(cell.background, c.background);
    }
}

TEST_F(XtermEmulationTest, AttributesSetAndCleared) {
    struct Case {
        std::string sgr;
        bool bold, underline, reverse;
    };
    const Case cases[] = {
        {"1", true, false, false},   {"4", false, true, false},  {"7", false, false, true},
        {"21", false, true, false},  {"4:3", false, true, false}, {"1;4;7;22", false, true, true},
        {"1;4;7;24", true, false, true}, {"1;4;7;27", true, true, false}, {"2;3;5;8;9", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sgr);
        restart();
        const XtermCell& cell = screenAfter({"\x1b[" + c.sgr + "mX"}).at(0, 0);
        EXPECT_EQ(cell.bold, c.bold);
        EXPECT_EQ(cell.underline, c.underline);
        EXPECT_EQ(cell.reverse, c.reverse);
    }
}

// tmux's capture cannot show the colours of erased cells past a row's last written one.
TEST_F(XtermEmulationTest, ErasesFillWithTheBackgroundColourOnly) {
    const XtermScreen& screen = screenAfter({"\x1b[1;4;7;31;44mab\x1b[K\x1b[2;1H\x1b[48;5;99m\x1b[2K\x1b[0m"});
    for (int32_t column = 2; column < 10; ++column) {
        const XtermCell& cell = screen.at(0, column);
        EXPECT_EQ(cell.codePoint, uint32_t{' '});
        EXPECT_EQ(cell.background, indexed(4)) << column;
        EXPECT_FALSE(cell.bold || cell.underline || cell.reverse) << column;
        EXPECT_EQ(screen.at(1, column).background, indexed(99));
    }
    EXPECT_TRUE(screen.at(0, 0).bold && screen.at(0, 0).underline && screen.at(0, 0).reverse);
}

// A written space keeps every attribute: reversed spaces are how status bars are drawn.
TEST_F(XtermEmulationTest, WrittenSpacesKeepTheirAttributes) {
    const XtermCell& cell = screenAfter({"\x1b[7;4m "}).at(0, 0);
    EXPECT_TRUE(cell.reverse);
    EXPECT_TRUE(cell.underline);
}

TEST_F(XtermEmulationTest, WideCharactersTakeTwoCells) {
    const XtermScreen& screen = screenAfter({"a\xe4\xb8\xad" "b"});
    EXPECT_EQ(screen.at(0, 0).codePoint, uint32_t{'a'});
    EXPECT_EQ(screen.at(0, 1).codePoint, 0x4E2Du);
    EXPECT_EQ(screen.at(0, 1).width, 2);
    EXPECT_EQ(screen.at(0, 2).codePoint, 0u);
    EXPECT_EQ(screen.at(0, 2).width, 0);
    EXPECT_EQ(screen.at(0, 3).codePoint, uint32_t{'b'});
}

TEST_F(XtermEmulationTest, NarrowCharacterOverTheLeftHalfOfAWideOneBlanksTheRightHalf) {
    const XtermScreen& screen = screenAfter({"\xe4\xb8\xad\xe6\x96\x87\x1b[1;3H\x1b[32m-"});
    EXPECT_EQ(screen.at(0, 0).width, 2);
    EXPECT_EQ(screen.at(0, 2).codePoint, uint32_t{'-'});
    EXPECT_EQ(screen.at(0, 2).width, 1);
    EXPECT_EQ(screen.at(0, 3), XtermCell{});
}

// xterm blanks a wide character that loses either half; libvterm leaves the other half.
TEST_F(XtermEmulationTest, WideCharacterLosingAHalfIsBlanked) {
    const std::string wide = "\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\xe4\xb8\xad";  // 中文字中
    struct Case {
        std::string name;
        std::string bytes;
        std::string row;  // '#' a wide character's left half, '-' its right half
    };
    const Case cases[] = {
        {"erase from a right half", "\x1b[1;4H\x1b[X", "#-  #-#-  "},
        {"erase up to a left half", "\x1b[1;5H\x1b[1K", "      #-  "},
        {"narrow over a right half", "\x1b[1;2Hx", " x#-#-#-  "},
        {"narrow over a left half", "\x1b[1;3Hx", "#-x #-#-  "},
        {"wide over a right half", "\x1b[1;2H\xe4\xb8\xad", " #- #-#-  "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        const XtermScreen& screen = screenAfter({wide, c.bytes});
        std::string row;
        for (int32_t column = 0; column < 10; ++column) {
            const XtermCell& cell = screen.at(0, column);
            row += cell.width == 2 ? '#' : cell.width == 0 ? '-' : static_cast<char>(cell.codePoint);
        }
        EXPECT_EQ(row, c.row);
    }
}

TEST(CharacterWidths, FollowTheUnicodeTable) {
    const std::pair<uint32_t, int> kWidths[] = {
        {'A', 1},      {0xAD, 1},    {0x301, 0},   {0x200D, 0},  {0xFE0F, 0},  {0x1AB0, 0},   {0x4E2D, 2},
        {0x2705, 2},   {0x1F680, 2}, {0x1F973, 2}, {0x1FAE0, 2}, {0x1FAE8, 2}, {0x1F1E6, 2},  {0x2500, 1},
        {0x1F321, 1},  {0x3099, 0},  {0xFF01, 2},  {0x20000, 2}, {0xE0100, 0}, {0x10FFFD, 1},
    };
    for (const auto& [codePoint, width] : kWidths) EXPECT_EQ(characterWidth(codePoint), width) << std::hex << codePoint;
}

// libvterm's older tables are made up for by stand-ins, which never show: not even for input
// that holds a stand-in's code point itself.
TEST_F(XtermEmulationTest, WidthsAreTheTablesWhateverLibvtermThinks) {
    const XtermScreen& screen = screenAfter({"\U0001FAE0" "\U0003C000" "e" "\u1AB0" "a"});
    EXPECT_EQ(screen.at(0, 0).codePoint, 0x1FAE0u);
    EXPECT_EQ(screen.at(0, 0).width, 2);
    EXPECT_EQ(screen.at(0, 2).codePoint, 0x3C000u);
    EXPECT_EQ(screen.at(0, 2).width, 2);
    EXPECT_EQ(screen.at(0, 4).codePoint, uint32_t{'e'});
    EXPECT_EQ(screen.at(0, 5).codePoint, uint32_t{'a'});
    EXPECT_EQ(emulation_.cursor().column, 6);
}

TEST_F(XtermEmulationTest, Utf8CharactersCutByRecordsAreJoined) {
    const std::string characters[] = {"\xc3\xa9", "\xe4\xb8\xad", "\xe2\x94\x80", "\xf0\x9f\x98\x80"};
    const uint32_t codePoints[] = {0xE9, 0x4E2D, 0x2500, 0x1F600};
    for (size_t i = 0; i < 4; ++i) {
        const std::string& character = characters[i];
        for (size_t cut = 1; cut < character.size(); ++cut) {
            SCOPED_TRACE(std::to_string(i) + " cut at " + std::to_string(cut));
            restart();
            const XtermScreen& screen =
                screenAfter({std::string("x").append(character, 0, cut), character.substr(cut), "z"});
            EXPECT_EQ(screen.at(0, 1).codePoint, codePoints[i]);
            int32_t next = 1 + screen.at(0, 1).width;
            EXPECT_EQ(screen.at(0, next).codePoint, uint32_t{'z'});
        }
    }
}

TEST_F(XtermEmulationTest, BrokenUtf8ShowsReplacementCharacters) {
    const XtermScreen& screen = screenAfter({"\xe4\xb8" "a", "\xff" "b"});
    EXPECT_EQ(screen.at(0, 0).codePoint, 0xFFFDu);
    EXPECT_EQ(rowText(0).substr(1, 3), "a?b");
    EXPECT_EQ(screen.at(0, 2).codePoint, 0xFFFDu);
}

// Found by fuzz_xterm and fuzz_ttyrec: libvterm's decoder, left inside a broken character,
// read what followed differently in one write than in two, and took lead bytes beyond U+10FFFF.
TEST_F(XtermEmulationTest, BrokenUtf8ShowsTheSameWhereverRecordsCutIt) {
    const std::string cases[] = {"\xe4\x02" "B\x94", "a\xf7\xa0\x86\x9c" "b", "\xe0\x80\xaf\xed\xa0\x80" "c",
                                 "\x80\xbf\xfe" "d", "\xc3\x1b[1m\xa9" "e", "\xf4\x90\x80\x80\xc0\xaf"};
    for (const std::string& bytes : cases) {
        restart();
        const std::vector<XtermCell> whole = screenAfter({bytes}).cells;
        for (const XtermCell& cell : whole) EXPECT_LE(cell.codePoint, 0x10FFFFu);
        for (size_t cut = 1; cut < bytes.size(); ++cut) {
            SCOPED_TRACE(::testing::PrintToString(bytes) + " cut at " + std::to_string(cut));
            restart();
            EXPECT_EQ(screenAfter({bytes.substr(0, cut), bytes.substr(cut)}).cells, whole);
        }
    }
}

// Found by fuzz_xterm: libvterm gave a letter and a following mark it counts two columns wide
// (U+3099, U+302A) two columns and moved three, past the edge of a narrow screen.
TEST_F(XtermEmulationTest, MarksLibvtermCountsWideStayWithTheLetterBefore) {
    const XtermScreen& screen = screenAfter({"e\xe3\x82\x99" "a\xe3\x80\xaa" "x"});
    EXPECT_EQ(screen.at(0, 0).width, 1);
    EXPECT_EQ(screen.at(0, 1).codePoint, uint32_t{'a'});
    EXPECT_EQ(screen.at(0, 1).width, 1);
    EXPECT_EQ(screen.at(0, 2).codePoint, uint32_t{'x'});
}

// Found by fuzz_xterm: the width of a mark was measured after whatever had been measured before
// (U+FFFD, when the screen was read between the records), which libvterm let it join.
TEST_F(XtermEmulationTest, ReadingTheScreenBetweenRecordsChangesNothing) {
    screenAfter({"\xff"});
    const std::vector<XtermCell> pieces = screenAfter({"\xff\xe3\x82\x99" "x"}).cells;
    restart();
    EXPECT_EQ(screenAfter({"\xff\xff\xe3\x82\x99" "x"}).cells, pieces);
}

// Found by fuzz_ttyrec: libvterm printed them with a width of -1, the cursor left of the screen.
TEST_F(XtermEmulationTest, C1ControlsWrittenAsUtf8AreDropped) {
    screenAfter({"a\xc2\x90" "b\xc2\x80\xc2\x9f" "c"});
    EXPECT_EQ(rowText(0).substr(0, 4), "abc ");
    EXPECT_EQ(emulation_.cursor().column, 3);
}

TEST_F(XtermEmulationTest, DecSpecialGraphicsBecomeUnicode) {
    const XtermScreen& screen = screenAfter({"\x1b(0lqkxyz~\x1b(Bq"});
    const uint32_t expected[] = {0x250C, 0x2500, 0x2510, 0x2502, 0x2264, 0x2265, 0x00B7, 'q'};
    for (int32_t column = 0; column < 8; ++column) EXPECT_EQ(screen.at(0, column).codePoint, expected[column]);
}

// Found by fuzz_xterm: libvterm read the ASCII after a character beyond it in the same write
// as UTF-8, past the character set in use, so that a record boundary changed the screen.
TEST_F(XtermEmulationTest, DecSpecialGraphicsHoldAfterCharactersBeyondAscii) {
    const std::string bytes = "\x1b(0q\xc3\xa9mq\xcc\x81q\xff" "x";
    const uint32_t expected[] = {0x2500, 0xE9, 0x2514, 0x2500, 0x2500, 0xFFFD, 0x2502};
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        restart();
        const XtermScreen& screen = screenAfter({bytes.substr(0, cut), bytes.substr(cut)});
        for (int32_t column = 0; column < 7; ++column) EXPECT_EQ(screen.at(0, column).codePoint, expected[column]);
    }
}

// The filter must read escape sequences as libvterm does, or a sequence it cannot see would
// reach libvterm unchecked: after ESC ( a [ still begins a control sequence (here a REP with
// nothing to repeat, which would hang libvterm), and bytes from DEL up inside an escape
// sequence are ignored (so ESC 0xE4 A is ESC A).
TEST_F(XtermEmulationTest, EscapeSequencesAreReadAsLibvtermReadsThem) {
    screenAfter({"\x1b([b\x1b([31mX\x1b\xe4" "A\x1b(\xe4" "0q\x1b(B", std::string("\x1b(\x00[", 4) + std::string(40, ';') + "4mY"});
    EXPECT_EQ(emulation_.screen().at(0, 0).codePoint, uint32_t{'X'});
    EXPECT_EQ(emulation_.screen().at(0, 0).foreground, indexed(1));
    EXPECT_EQ(emulation_.screen().at(0, 1).codePoint, 0x2500u);
    EXPECT_EQ(emulation_.screen().at(0, 2).codePoint, uint32_t{'Y'});
    EXPECT_TRUE(emulation_.screen().at(0, 2).underline);
}

TEST_F(XtermEmulationTest, ShiftOutUsesTheSecondSet) {
    const XtermScreen& screen = screenAfter({"\x1b)0\x0eq\x0fq"});
    EXPECT_EQ(screen.at(0, 0).codePoint, 0x2500u);
    EXPECT_EQ(screen.at(0, 1).codePoint, uint32_t{'q'});
}

// Parser state lasts across records, unlike the default emulation's.
TEST_F(XtermEmulationTest, SequencesCutByRecordsAreJoined) {
    const XtermScreen& screen = screenAfter({"\x1b", "[3", "1m", "r\x1b[", "2;", "4Hx\x1b(", "0q"});
    EXPECT_EQ(screen.at(0, 0).codePoint, uint32_t{'r'});
    EXPECT_EQ(screen.at(0, 0).foreground, indexed(1));
    EXPECT_EQ(screen.at(1, 3).codePoint, uint32_t{'x'});
    EXPECT_EQ(screen.at(1, 4).codePoint, 0x2500u);
}

TEST_F(XtermEmulationTest, CancelEndsASequence) {
    screenAfter({"\x1b[3\x18" "1m"});
    EXPECT_EQ(rowText(0).substr(0, 2), "1m");
}

TEST_F(XtermEmulationTest, ScoSaveAndRestoreMoveTheCursorLikeDecsc) {
    screenAfter({"\x1b[3;4H\x1b[s\x1b[1;1Hab\x1b[uX"});
    EXPECT_EQ(rowText(0).substr(0, 3), "ab ");
    EXPECT_EQ(rowText(2).substr(3, 1), "X");
}

TEST_F(XtermEmulationTest, OldAlternateScreenSwitchWorks) {
    screenAfter({"main", "\x1b[?47h"});
    EXPECT_EQ(rowText(0), std::string(10, ' '));
    screenAfter({"alt", "\x1b[?1;47l"});
    EXPECT_EQ(rowText(0).substr(0, 4), "main");
}

TEST_F(XtermEmulationTest, AlternateScreenIsShownAndLeft) {
    screenAfter({"main\x1b[?1049h\x1b[Halt"});
    EXPECT_EQ(rowText(0).substr(0, 4), "alt ");
    screenAfter({"\x1b[?1049l"});
    EXPECT_EQ(rowText(0).substr(0, 4), "main");
}

// Two things tmux 3.3a does differently from xterm, so the oracle cannot check them.
TEST_F(XtermEmulationTest, InsertingPastTheRightMarginBlanksTheRestOfTheLine) {
    screenAfter({"0123456789\x1b[1;9H\x1b[5@"});
    EXPECT_EQ(rowText(0), "01234567  ");
}

TEST_F(XtermEmulationTest, TabForwardByACount) {
    start(30, 4);
    screenAfter({"\x1b[2Ia"});
    EXPECT_EQ(emulation_.screen().at(0, 16).codePoint, uint32_t{'a'});
}

TEST_F(XtermEmulationTest, ScrollRegionKeepsTheLinesOutsideIt) {
    screenAfter({"top\x1b[4;1Hbottom\x1b[2;3r\x1b[3;1Ha\nb\nc"});
    EXPECT_EQ(rowText(0).substr(0, 3), "top");
    EXPECT_EQ(rowText(1).substr(0, 2), " b");
    EXPECT_EQ(rowText(2).substr(0, 3), "  c");
    EXPECT_EQ(rowText(3).substr(0, 6), "bottom");
}

// An ESC inside a control string that is not a string terminator begins a new sequence.
TEST_F(XtermEmulationTest, ControlStringsEndAtAnyEscape) {
    screenAfter({"\x1b]0;title\x1b[1;31mX\x1bPzz\x1b", "[4mY\x1b]2;t\x1b[" + std::string(40, ';') + "2mZ"});
    EXPECT_TRUE(emulation_.screen().at(0, 0).bold);
    EXPECT_EQ(emulation_.screen().at(0, 0).foreground, indexed(1));
    EXPECT_TRUE(emulation_.screen().at(0, 1).underline);
    EXPECT_EQ(rowText(0).substr(0, 4), "XYZ ");
}

// Found by fuzz_xterm: the sequences a resize sends ended a control string for libvterm alone,
// which then took the rest of the string for text.
TEST_F(XtermEmulationTest, ControlStringsLastThroughAResize) {
    const std::pair<std::string, std::string> cases[] = {{"\x1bP$x", "\xd4\xd4tle\x1b\\c"},
                                                         {"\x1b]0;ti", "\xd4tle\x07" "c"}};
    for (const auto& [opened, rest] : cases) {
        restart();
        screenAfter({"ab" + opened});
        emulation_.resize(8, 3);
        screenAfter({rest});
        EXPECT_EQ(rowText(0).substr(0, 5), "abc  ") << ::testing::PrintToString(opened);
    }
}

// Only the columns libvterm reports changed are read again, with those beside them: what the
// emulation holds is what reading every cell gives, as a resize to the same size does.
TEST_F(XtermEmulationTest, CellsReadAfterChangesAreThoseOfAWholeRead) {
    const std::vector<std::string> cases[] = {
        {"abcdefghij", "\x1b#6", "\x1b[1;1HX"},  // a line made double-width, changed left of its middle
        {"\xe4\xb8\xad\xe4\xb8\xad", "\x1b[1;2Hx"},  // a wide character's right half overwritten
        {"\xe4\xb8\xad\xe4\xb8\xad", "\x1b[1;3Hx"},  // a wide character's left half overwritten
        {"", "\xcc\x81"},  // a combining mark on a fresh screen, reported with no width (found by a fuzzer)
    };
    for (const std::vector<std::string>& records : cases) {
        restart();
        const std::vector<XtermCell> held = screenAfter(records).cells;
        emulation_.resize(columns_, rows_);
        EXPECT_EQ(emulation_.screen().cells, held) << ::testing::PrintToString(records);
    }
}

// Found by fuzz_xterm: libvterm erases only the left half of a double-width line, so a shrink
// that erased the lines it drops left such a line's right half, scrolled the screen for it and
// put the cursor above the top.
TEST_F(XtermEmulationTest, ShrinkingDropsDoubleWidthLinesWhole) {
    start(3, 6);
    screenAfter({"\x1b[2;3rabcdefghij\x1b#6\xe4\xb8\xad\x1b[u"});
    emulation_.resize(7, 1);
    EXPECT_EQ(emulation_.cursor().row, 0);
    EXPECT_EQ(rowText(0), "abc    ");
}

// libvterm 0.1.4 answers a DECRQSS it does not know through a format that reads a number as a
// string, which AddressSanitizer's printf checks follow (found by fuzz_xterm).
TEST_F(XtermEmulationTest, QueriesChangeNothing) {
    screenAfter({"\x1b[c\x1b[>c\x1b[6n\x1b]11;?\x07\x1bP$qx\x1b\\\x1bP$q\xff\x1bK" "ok"});
    EXPECT_EQ(rowText(0).substr(0, 3), "ok ");
}

// libvterm itself crashes on a wide character in a screen one column wide.
TEST_F(XtermEmulationTest, OneColumnScreenTakesWideCharacters) {
    start(1, 4);
    const XtermScreen& screen = screenAfter({"\xe4\xb8\xad\x0e\xe6\x96\x87\x1b[?9\x98\xe4\xa4\x8f" "a"});
    ASSERT_EQ(screen.columns, 1);
    EXPECT_EQ(screen.at(0, 0).codePoint, 0x4E2Du);
    EXPECT_EQ(screen.at(1, 0).codePoint, 0x6587u);
}

// libvterm 0.1.4 loops forever on a REP after nothing or after a character without width, and
// stops at the end of the line where xterm wraps.
TEST_F(XtermEmulationTest, RepeatRepeatsTheLastCharacterWithAWidth) {
    screenAfter({std::string("\x1b[\x01\x00" "3b", 6), "\x1b[b\x1b[?1049h\x1b[5b" "ab\x1b[2b"});
    EXPECT_EQ(rowText(0).substr(0, 5), "abbb ");
    // A zero-width space and an acute accent have no width: b, then é, are repeated.
    const XtermScreen& screen = screenAfter({"\r\n\xe2\x80\x8b\x1b[b\xc3\xa9\xcc\x81\x1b[3b\x1b[b"});
    EXPECT_EQ(screen.at(1, 0).codePoint, uint32_t{'b'});
    for (int32_t column = 1; column <= 5; ++column) EXPECT_EQ(screen.at(1, column).codePoint, 0xE9u) << column;
    // A huge count wraps and scrolls like that many characters: all but two cells are z.
    screenAfter({"\x1b[3;8Hz\x1b[400000000b"});
    for (int32_t row = 0; row < 3; ++row) EXPECT_EQ(rowText(row), "zzzzzzzzzz");
    EXPECT_EQ(rowText(3), "zzzzzzzz  ");
    // The count is the leading digits only: a parameter byte after them such as '=' was once
    // read as a digit, making 2=b 33 repeats.
    for (const char* marked : {"\x1b[2J\x1b[Ha\x1b[2=b", "\x1b[2J\x1b[Ha\x1b[2<1b"}) {
        SCOPED_TRACE(marked + 8);
        screenAfter({marked});
        std::string rows;
        for (int32_t row = 0; row < 4; ++row) rows += rowText(row);
        EXPECT_EQ(std::count(rows.begin(), rows.end(), 'a'), 3) << rows;
    }
}

// libvterm 0.1.4 writes past its array of 16 parameters.
TEST_F(XtermEmulationTest, LongSgrIsAppliedWhole) {
    std::string sgr = "1;4;7;0;1;0;1;0;1;0;1;0;1;0;31;38;5;200;48;2;1;2;3;4";
    const XtermCell& cell = screenAfter({"\x1b[" + sgr + "mX"}).at(0, 0);
    EXPECT_EQ(cell.foreground, indexed(200));
    EXPECT_EQ(cell.background, rgb(0x010203));
    EXPECT_TRUE(cell.underline);
    EXPECT_FALSE(cell.bold || cell.reverse);
}

TEST_F(XtermEmulationTest, LongParameterListsAreCut) {
    std::string many;
    for (int i = 0; i < 30; ++i) many += "2;";
    screenAfter({"\x1b[" + many + "HX\x1b[?" + many + "25h\x1b[4:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1mU"});
    EXPECT_EQ(emulation_.screen().at(1, 1).codePoint, uint32_t{'X'});
    EXPECT_TRUE(emulation_.screen().at(1, 2).underline);
}

// A sequence cut short must not stay open in libvterm: here the repeated characters would
// otherwise become parameters of the cut one, far more than libvterm's 16.
TEST_F(XtermEmulationTest, SequencesCutShortLeaveNothingOpen) {
    start(80, 4);
    screenAfter({"a;\x1b[1;\x1b[1;\x1b[50b\x1b]0;t\x1b[3b"});
    EXPECT_EQ(rowText(0), "a" + std::string(54, ';') + std::string(25, ' '));
}

TEST_F(XtermEmulationTest, ControlsInsideASequenceActAtOnce) {
    screenAfter({"ab\x1b[3\r1mx\x1b[?10\n49h"});
    EXPECT_EQ(rowText(0), std::string(10, ' '));  // the alternate screen
    screenAfter({"\x1b[?1049l\x1b[0my"});  // back, at the cursor saved on row 1
    EXPECT_EQ(emulation_.screen().at(0, 0).codePoint, uint32_t{'x'});
    EXPECT_EQ(emulation_.screen().at(0, 0).foreground, indexed(1));
    EXPECT_EQ(rowText(0).substr(0, 2), "xb");
    EXPECT_EQ(rowText(1).substr(0, 2), " y");
}

TEST_F(XtermEmulationTest, ResetStartsAFreshTerminal) {
    screenAfter({"\x1b[31mtext\x1b[?1049h\x1b[3"});
    restart();
    start(5, 4);
    const XtermScreen& screen = screenAfter({"1mz"});
    EXPECT_EQ(screen.columns, 5);
    EXPECT_EQ(screen.at(0, 0).codePoint, uint32_t{'1'});
    EXPECT_EQ(screen.at(0, 0).foreground, standard());
}

// Random runs of the sequences where libvterm needs our help (double-width lines, margins,
// screens switched and reset, wide characters and marks) with resizes between records: the
// cursor stays on the screen, a record cut elsewhere changes nothing, and the cells held are
// those a whole read gives. A grammar of such sequences finds in a few thousand runs what raw
// bytes take a fuzzer an hour to find.
TEST(XtermEmulationRandomRuns, KeepTheCursorTheCutsAndTheCells) {
    const std::vector<std::string> tokens = {
        "abcdefghij", "\x1b#6", "\x1b#3", "\x1b#5", "\x1b#8", "\r\n", "\x1b[1;1H", "\x1b[5;1H", "\x1b[3;4H",
        "\x1b[99;99H", "\x1b[?1049h", "\x1b[?1049l", "\x1b[?47h", "\x1b" "c", "\x1b[2J", "\x1b[K", "\x1b[1K",
        "\x1b[2;3r", "\x1b[3;1r", "\x1b[r", "\x1b[?6h", "\x1b[?69h", "\x1b[2;5s", "\x1b[s", "\x1b[u", "\x1b" "7",
        "\x1b" "8", "\x1b" "M", "\x1b[3L", "\x1b[2M", "\x1b[2@", "\x1b[4P", "\x1b[3X", "\x1b[S", "\x1b[T",
        "\x1b[?7l", "\x1b[4h", "\x1b[b", "\x1b]0;x", "\x1bP$q", "\x1b\\", "\xe4\xb8\xad", "\xcc\x81",
        "\xe2\x80\x8b", "\x1b(0q", "\x1b[41m", "\t", "\x1b[1;2Hx"};
    std::mt19937 random(25);
    auto below = [&random](size_t bound) { return static_cast<size_t>(random() % bound); };
    struct Step {
        int32_t columns = 0;  // a resize when not 0
        int32_t rows = 0;
        std::string bytes;
        size_t cut = 0;  // fed as two records, cut here
    };
    for (int sequence = 0; sequence < 3000; ++sequence) {
        const auto columns = static_cast<int32_t>(1 + below(12));
        const auto rows = static_cast<int32_t>(1 + below(8));
        std::vector<Step> steps(4 + below(12));
        for (Step& step : steps) {
            if (below(4) == 0) {
                step.columns = static_cast<int32_t>(1 + below(12));
                step.rows = static_cast<int32_t>(1 + below(8));
                continue;
            }
            for (size_t count = 1 + below(4); count > 0; --count) step.bytes += tokens[below(tokens.size())];
            step.cut = below(step.bytes.size() + 1);
        }
        auto bytes = [](std::string_view text) {
            return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        };
        XtermEmulation pieces(columns, rows);
        XtermEmulation joined(columns, rows);
        std::string run;
        std::ostringstream shown;
        shown << columns << "x" << rows;
        for (const Step& step : steps) {
            if (step.columns != 0) {
                pieces.resize(step.columns, step.rows);
                joined.feed(bytes(run));
                run.clear();
                joined.resize(step.columns, step.rows);
                shown << " resize " << step.columns << "x" << step.rows;
            } else {
                pieces.feed(bytes(std::string_view(step.bytes).substr(0, step.cut)));
                pieces.feed(bytes(std::string_view(step.bytes).substr(step.cut)));
                run += step.bytes;
                shown << " " << ::testing::PrintToString(step.bytes) << " cut at " << step.cut;
            }
            const XtermScreen& screen = pieces.screen();
            const XtermCursor cursor = pieces.cursor();
            ASSERT_TRUE(cursor.row >= 0 && cursor.row < screen.rows && cursor.column >= 0 &&
                        cursor.column < std::max(screen.columns, 2))
                << shown.str();
        }
        joined.feed(bytes(run));
        ASSERT_EQ(pieces.screen().cells, joined.screen().cells) << shown.str();
        ASSERT_EQ(pieces.cursor().row, joined.cursor().row) << shown.str();
        ASSERT_EQ(pieces.cursor().column, joined.cursor().column) << shown.str();
        const std::vector<XtermCell> held = pieces.screen().cells;
        pieces.resize(pieces.screen().columns, pieces.screen().rows);
        ASSERT_EQ(pieces.screen().cells, held) << shown.str();
    }
}

}  // namespace
