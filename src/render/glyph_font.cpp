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

void rebuildGlyphIndex(GlyphFont& font) {
    font.first.fill(-1);
    for (size_t i = font.glyphs.size(); i-- > 0;) {
        font.first[static_cast<uint8_t>(font.glyphs[i].key)] = static_cast<int32_t>(i);
    }
}

const Glyph* findGlyph(const GlyphFont& font, int32_t code) {
    if (font.glyphs.empty()) return nullptr;
    int32_t position = font.first[static_cast<uint8_t>(code)];
    return position < 0 ? nullptr : &font.glyphs[static_cast<size_t>(position)];
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

bool loadGlyphs(GlyphFont& font, const std::string& path) {
    std::ifstream stream;
    if (!path.empty()) stream.open(path);
    if (!stream.is_open()) return false;
    parseGlyphs(stream, font.glyphs);
    font.loaded = true;
    ++font.generation;
    rebuildGlyphIndex(font);
    return true;
}

void setGlyphTable(GlyphFont& font, GlyphTable table) {
    font.glyphs = std::move(table);
    font.loaded = true;
    ++font.generation;
    rebuildGlyphIndex(font);
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

void drawGlyph(const GlyphFont& font, Surface& surface, int32_t code, int32_t x, int32_t y, Colour foreground,
               Colour background) {
    const Glyph* glyph = findGlyph(font, code);
    if (glyph == nullptr) {
        drawFallbackChar(surface, code, x, y, foreground, background);
        return;
    }
    // Marks missing after dropped rows are drawn as background.
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
