#pragma once
// font.txt: parsing it into the glyph table, drawing from it.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "render/surface.h"

// One glyph of font.txt: a 10 x 16 picture of marks ('.' is background).
struct Glyph {
    int32_t key = 0;     // first byte of the key token, as a signed 8-bit value
    int32_t offset = 0;  // pixels added to the cell's top edge
    std::string marks;   // accepted rows concatenated, 160 marks when all are valid
};

using GlyphTable = std::vector<Glyph>;

// Appends every glyph of the font.txt at path to the table; false when it cannot be opened.
bool loadGlyphs(const std::string& path);

// True once a font was loaded (or set), even one without glyphs.
bool glyphsLoaded();

const GlyphTable& glyphTable();

// Replaces the table, as if it had been loaded.
void setGlyphTable(GlyphTable table);

// Changes whenever the table may have, so that what was made from it can be made again.
uint64_t glyphGeneration();

// No font loaded.
void resetGlyphs();

// Appends the glyphs of a font.txt stream to table, reporting bad rows.
void parseGlyphs(std::istream& stream, GlyphTable& table);

// Draws code with its cell's top-left pixel at (x, y) into canvasSurface.
void drawGlyph(int32_t code, int32_t x, int32_t y, Colour foreground, Colour background);
