#include "render/glyph_font.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "render/fallback_font.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kFontFileName = "font.txt";
constexpr int kGlyphColumns = 10;
constexpr int kGlyphRows = 16;

// Char code (0..255) to the position of its first glyph in mainSurface.glyphs, or -1. It is
// rebuilt whenever the table it was built from is no longer the current one.
struct GlyphIndex {
    std::array<int32_t, 256> first{};
    const Glyph* builtFor = nullptr;
    size_t builtSize = 0;
};

GlyphIndex glyphIndex;

void rebuildGlyphIndex() {
    const GlyphTable& table = mainSurface.glyphs;
    glyphIndex.first.fill(-1);
    for (size_t i = table.size(); i-- > 0;) {
        glyphIndex.first[static_cast<uint8_t>(table[i].key)] = static_cast<int32_t>(i);
    }
    glyphIndex.builtFor = table.data();
    glyphIndex.builtSize = table.size();
}

const Glyph* findGlyph(int32_t code) {
    const GlyphTable& table = mainSurface.glyphs;
    if (table.empty()) return nullptr;
    if (glyphIndex.builtFor != table.data() || glyphIndex.builtSize != table.size()) {
        rebuildGlyphIndex();
    }
    int32_t position = glyphIndex.first[static_cast<uint8_t>(code)];
    return position < 0 ? nullptr : &table[static_cast<size_t>(position)];
}

// A regular, non-empty font.txt in the current directory; the stream is opened on it.
bool tryFontHere(std::ifstream& stream) {
    std::error_code error;
    uintmax_t size = fs::file_size(kFontFileName, error);
    if (error || size == 0) return false;
    stream.open(kFontFileName);
    return stream.is_open();
}

std::string currentDirectory() {
    std::error_code error;
    fs::path path = fs::current_path(error);
    return error ? std::string() : path.string();
}

// A change that fails leaves the directory where it was, which the search allows for.
bool changeDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

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

[[noreturn]] void failNoFont() {
    std::printf("Unable to find the file \"font.txt\"... copy to this directory \n");
    std::printf("or check %%PATH%% environment variable?\n");
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

bool findFontFile(std::ifstream& stream) {
    if (stream.is_open()) stream.close();
    stream.clear();
    if (tryFontHere(stream)) return true;

    std::string saved = currentDirectory();
    bool found = false;
    if (const char* path = std::getenv("PATH")) {
        std::string_view entries(path);
        // Entries are split at ':' and at ';'. The directory is not restored between entries,
        // so a relative entry is resolved from the one entered before it.
        while (!found) {
            size_t end = entries.find_first_of(":;");
            changeDirectory(std::string(entries.substr(0, end)));
            found = tryFontHere(stream);
            if (end == std::string_view::npos) break;
            entries.remove_prefix(end + 1);
        }
    }
    if (!saved.empty()) changeDirectory(saved);
    return found;
}

void loadGlyphs() {
    std::ifstream stream;
    if (!findFontFile(stream)) failNoFont();
    parseGlyphs(stream, mainSurface.glyphs);
    rebuildGlyphIndex();
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
        drawFallbackChar(mainSurface, code, x, y, foreground, background);
        return;
    }
    // Marks missing after dropped rows are drawn as background.
    std::array<Colour, kGlyphColumns> row;
    for (int r = 0; r < kGlyphRows; ++r) {
        int64_t rowY = int64_t{y} + glyph->offset + r;
        if (rowY < 0 || rowY >= mainSurface.height) continue;
        for (int c = 0; c < kGlyphColumns; ++c) {
            size_t mark = static_cast<size_t>(r * kGlyphColumns + c);
            bool ink = mark < glyph->marks.size() && glyph->marks[mark] != '.';
            row[static_cast<size_t>(c)] = ink ? foreground : background;
        }
        putPixelRow(mainSurface, x, static_cast<int32_t>(rowY), row);
    }
}
