#pragma once
// font.txt: finding it, parsing it into mainSurface's glyph table, drawing from it.

#include <fstream>
#include <istream>

#include "render/surface.h"

// Opens stream on font.txt from the working directory or a PATH entry; the working
// directory is left as it was.
bool findFontFile(std::ifstream& stream);

// Appends every glyph of font.txt; ends the process when no font is found.
void loadGlyphs();

// Appends the glyphs of a font.txt stream to table, reporting bad rows.
void parseGlyphs(std::istream& stream, GlyphTable& table);

// Draws code with its cell's top-left pixel at (x, y) into mainSurface.
void drawGlyph(int32_t code, int32_t x, int32_t y, Colour foreground, Colour background);
