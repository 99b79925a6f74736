#pragma once
// font.txt: parsing it into the glyph table, drawing from it.

#include <array>
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

// A font.txt as a painter holds it: the table and an index of each code's first glyph.
struct GlyphFont {
    GlyphTable glyphs;
    bool loaded = false;      // a font was loaded (or set), even one without glyphs
    uint64_t generation = 1;  // changes whenever glyphs may have, so that what was made from them is made again
    std::array<int32_t, 256> first{};  // code to the position of its first glyph, or -1
};

// Appends every glyph of the font.txt at path to the table; false when it cannot be opened.
bool loadGlyphs(GlyphFont& font, const std::string& path);

// Replaces the table, as if it had been loaded.
void setGlyphTable(GlyphFont& font, GlyphTable table);

// Appends the glyphs of a font.txt stream to table, reporting bad rows.
void parseGlyphs(std::istream& stream, GlyphTable& table);

// Draws code with its cell's top-left pixel at (x, y) into surface.
void drawGlyph(const GlyphFont& font, Surface& surface, int32_t code, int32_t x, int32_t y, Colour foreground,
               Colour background);
