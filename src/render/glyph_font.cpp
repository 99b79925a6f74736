#include "render/glyph_font.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "render/fallback_font.h"

namespace {

constexpr int kGlyphColumns = 10;
constexpr int kGlyphRows = 16;

struct LoadedFont {
    GlyphTable glyphs;
    bool loaded = false;
    uint64_t generation = 1;  // changes whenever glyphs may have
};

LoadedFont font;

// Char code (0..255) to the position of its first glyph in the table, or -1; rebuilt when the
// table's generation moves on.
struct GlyphIndex {
    std::array<int32_t, 256> first{};
    uint64_t builtFor = 0;
};

GlyphIndex glyphIndex;

void rebuildGlyphIndex() {
    const GlyphTable& table = font.glyphs;
    glyphIndex.first.fill(-1);
    for (size_t i = table.size(); i-- > 0;) {
        glyphIndex.first[static_cast<uint8_t>(table[i].key)] = static_cast<int32_t>(i);
    }
    glyphIndex.builtFor = font.generation;
}

const Glyph* findGlyph(int32_t code) {
    const GlyphTable& table = font.glyphs;
    if (table.empty()) return nullptr;
    if (glyphIndex.builtFor != font.generation) rebuildGlyphIndex();
    int32_t position = glyphIndex.first[static_cast<uint8_t>(code)];
    return position < 0 ? nullptr : &table[static_cast<size_t>(position)];
}

// Reads the next whitespace-separated token; a token past the end of the file reads empty.
// Tokens are read whole whatever their length, so an over-long row is one bad row.
std::string readToken(std::istream& in) {
    std::string token;
    in >> token;
    return token;
}

// Leading sign and digits, as atoi reads them; out-of-range values saturate.
int32_t parseOffset(const std::string& token) {
    long value = std::strtol(token.c_str(), nullptr, 10);
    return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

void reportBadRow(char key) {
    std::printf("Error loading font character %c\n", key);
    std::fflush(stdout);
}

}  // namespace

bool loadGlyphs(const std::string& path) {
    std::ifstream stream;
    if (!path.empty()) stream.open(path);
    if (!stream.is_open()) return false;
    parseGlyphs(stream, font.glyphs);
    font.loaded = true;
    ++font.generation;
    return true;
}

bool glyphsLoaded() { return font.loaded; }

const GlyphTable& glyphTable() { return font.glyphs; }

void setGlyphTable(GlyphTable table) {
    font.glyphs = std::move(table);
    font.loaded = true;
    ++font.generation;
}

uint64_t glyphGeneration() { return font.generation; }

void resetGlyphs() {
    font.glyphs.clear();
    font.loaded = false;
    ++font.generation;
}

void parseGlyphs(std::istream& stream, GlyphTable& table) {
    std::string key = readToken(stream);
    // A key token that ends the file (or no token at all) ends the load.
    while (key != "end" && stream.good()) {
        Glyph glyph;
        glyph.key = static_cast<signed char>(key[0]);
        glyph.offset = parseOffset(readToken(stream));
        for (int row = 0; row < kGlyphRows; ++row) {
            std::string marks = readToken(stream);
            if (marks.size() == kGlyphColumns) {
                glyph.marks += marks;
            } else {
                reportBadRow(key[0]);
            }
        }
        table.push_back(std::move(glyph));
        key = readToken(stream);
    }
}

void drawGlyph(int32_t code, int32_t x, int32_t y, Colour foreground, Colour background) {
    const Glyph* glyph = findGlyph(code);
    if (glyph == nullptr) {
        drawFallbackChar(canvasSurface(), code, x, y, foreground, background);
        return;
    }
    // Marks missing after dropped rows are drawn as background.
    Surface& surface = canvasSurface();
    std::array<Colour, kGlyphColumns> row;
    for (int r = 0; r < kGlyphRows; ++r) {
        int64_t rowY = int64_t{y} + glyph->offset + r;
        if (rowY < 0 || rowY >= surface.height) continue;
        for (int c = 0; c < kGlyphColumns; ++c) {
            size_t mark = static_cast<size_t>(r * kGlyphColumns + c);
            bool ink = mark < glyph->marks.size() && glyph->marks[mark] != '.';
            row[static_cast<size_t>(c)] = ink ? foreground : background;
        }
        putPixelRow(surface, x, static_cast<int32_t>(rowY), row);
    }
}
