#pragma once
// A Unicode bitmap font read from an X11 PCF file, gzip-compressed or not: by default Debian's
// Terminus 10 x 20. Glyphs are decoded once, when the file is read.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr char kTerminusFontPath[] = "/usr/share/fonts/X11/misc/ter-u20n_unicode.pcf.gz";

// One glyph's bitmap, placed in its character cell by the font's metrics.
struct UnicodeGlyph {
    int32_t left = 0;       // x of the bitmap's first column, from the cell's left edge
    int32_t top = 0;        // y of its first row, from the cell's top edge
    int32_t width = 0;      // 0 to 32 columns
    int32_t height = 0;
    uint32_t firstRow = 0;  // its first row in UnicodeFont::rows
};

struct UnicodeFont {
    int32_t ascent = 0;  // cell rows above the baseline
    int32_t descent = 0;
    std::vector<UnicodeGlyph> glyphs;
    std::vector<uint32_t> rows;  // one word per bitmap row; column 0 is bit 31
    // Code point to glyph: byte 1 is the code point's high byte, byte 2 its low byte.
    int32_t firstByte1 = 0, lastByte1 = -1, firstByte2 = 0, lastByte2 = -1;
    std::vector<uint16_t> glyphOfCode;  // 0xFFFF: no glyph
};

// Decodes a PCF file held in memory; false when it is not one this reader understands.
bool parsePcfFont(std::span<const uint8_t> data, UnicodeFont& font);

// Reads and decodes a PCF file, gunzipping it when it is compressed.
bool readPcfFile(const std::string& path, UnicodeFont& font);

// nullptr when the font has no glyph for the code point.
const UnicodeGlyph* findUnicodeGlyph(const UnicodeFont& font, uint32_t codePoint);

// The font the xterm renderer draws with, read from path on first use.
struct UnicodeFontSlot {
    std::string path = kTerminusFontPath;
    bool read = false;
    UnicodeFont font;
};

// The slot's font, read now if it was not. It is empty (every lookup fails) when the file
// cannot be read: characters then come from font.txt and the fallback font.
const UnicodeFont& activeUnicodeFont(UnicodeFontSlot& slot);
