#pragma once
// The cells a character takes in xterm mode, from one table of today's Unicode (made by
// tools/make_character_widths.cpp): two for East Asian Wide and Fullwidth characters and
// emoji shown as emoji, none for combining marks and format characters, one for the rest.

#include <cstdint>
#include <span>

struct CharacterWidthRange {
    uint32_t first;
    uint32_t last;
    uint8_t width;  // 0 or 2
};

// The table's ranges, in order, none of width 1.
std::span<const CharacterWidthRange> characterWidthRanges();

// 0, 1 or 2 for a printable character; controls are not asked about.
int characterWidth(uint32_t codePoint);
