#pragma once
// Scalable fonts (-font): FreeType draws the glyphs, fontconfig finds the font by name and the
// fonts after it that fill in the characters it lacks. Nothing here knows of cells' colours.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct OutlineMetrics {
    int32_t cellWidth = 0;  // the advance of the font's 'M', in pixels
    int32_t cellHeight = 0;  // ascent plus descent, times the line height
    int32_t baseline = 0;   // rows from the cell's top to the baseline
    int32_t underlineTop = 0;  // first row of the underline, from the cell's top
    int32_t underlineRows = 1;
    int32_t strikeTop = 0;  // first row of the strikethrough
    int32_t strikeRows = 1;
};

enum OutlineStyle : uint8_t { kStyleBold = 1, kStyleItalic = 2 };

// A drawn character, placed in its box of one or two cells: coverage (one byte a pixel) or,
// from a colour font, premultiplied blue, green, red, alpha.
struct OutlineGlyph {
    int32_t left = 0;  // the bitmap's top-left pixel in the box
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool colour = false;
    std::vector<uint8_t> pixels;
};

// The -font faces of one painter, FreeType's library with them; closed when it goes.
class OutlineFont {
public:
    OutlineFont();
    ~OutlineFont();
    OutlineFont(OutlineFont&&) noexcept;
    OutlineFont& operator=(OutlineFont&&) noexcept;

    // Opens the font (a file, else a fontconfig pattern such as "DejaVu Sans Mono") at
    // pixelSize pixels, with the cell's height times lineHeight. Opening the same font again
    // does nothing. False, with error saying why, when there is no such font.
    // nameOrFile may list fonts, "Fira Code, DejaVu Sans Mono": the first that opens is used (a
    // file whose name holds a comma is one font).
    bool open(const std::string& nameOrFile, int32_t pixelSize, double lineHeight, std::string& error);
    // Opens the font at the largest pixel size whose cell fits cellWidth x cellHeight, and makes
    // that box the cell, the baseline baseline rows from its top where the glyphs fit (0: centred).
    bool openInCell(const std::string& nameOrFile, int32_t cellWidth, int32_t cellHeight, int32_t baseline,
                    std::string& error);
    bool isOpen() const;
    const OutlineMetrics& metrics() const;
    // The file of the font that draws codePoint in style; "" when none has it.
    std::string fileFor(uint32_t codePoint, uint8_t style);
    // Draws codePoint in style into a box of span cells; false when no font has the character.
    bool drawGlyph(uint32_t codePoint, uint8_t style, int32_t span, OutlineGlyph& glyph);

    struct State;

private:
    std::unique_ptr<State> state_;
};
