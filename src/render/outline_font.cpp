#include "render/outline_font.h"

#include "render/glyph_bitmaps.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H
#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <filesystem>
#include <string_view>
#include <unordered_map>

namespace {

// One font file fontconfig offered, opened on first need.
struct FontFile {
    std::string path;
    int index = 0;
    FcCharSet* charset = nullptr;  // owned by the font set or pattern it came from; null: ask FreeType
    FT_Face face = nullptr;
    bool tried = false;
    bool colour = false;  // fontconfig counts it a colour font
};

// How a style is drawn: a face of the family, and what is synthesised on top of it.
struct StyleFace {
    size_t file = 0;
    bool embolden = false;
    bool slant = false;
};

}  // namespace

struct OutlineFont::State {
    FT_Library library = nullptr;
    std::string key;  // what was opened: name, size and line height
    int32_t pixelSize = 0;
    OutlineMetrics metrics;
    std::vector<FontFile> files;       // the style faces first, then fontconfig's order
    std::array<StyleFace, 4> styles;   // by OutlineStyle bits
    size_t firstFallback = 0;
    std::unordered_map<uint32_t, int32_t> fallbackFor;  // code point -> file, -1 when none has it
    std::vector<FcFontSet*> fontSets;
    std::vector<FcPattern*> patterns;
};

namespace {

using OutlineState = OutlineFont::State;

void setSize(FT_Face face, int32_t pixelSize) {
    if (FT_IS_SCALABLE(face)) {
        FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixelSize));
        return;
    }
    // Bitmap fonts: the strike nearest the size (colour emoji come as one large strike).
    int best = 0;
    for (int i = 1; i < face->num_fixed_sizes; ++i) {
        if (std::abs(face->available_sizes[i].height - pixelSize) < std::abs(face->available_sizes[best].height - pixelSize)) {
            best = i;
        }
    }
    if (face->num_fixed_sizes > 0) FT_Select_Size(face, best);
}

FT_Face faceOf(OutlineState& state, FontFile& file) {
    if (file.tried) return file.face;
    file.tried = true;
    if (FT_New_Face(state.library, file.path.c_str(), file.index, &file.face) != 0) {
        file.face = nullptr;
        return nullptr;
    }
    setSize(file.face, state.pixelSize);
    return file.face;
}

std::string stringOf(FcPattern* pattern, const char* object, int n = 0) {
    FcChar8* value = nullptr;
    if (FcPatternGetString(pattern, object, n, &value) != FcResultMatch || value == nullptr) return "";
    return reinterpret_cast<const char*>(value);
}

int intOf(FcPattern* pattern, const char* object, int fallback) {
    int value = 0;
    return FcPatternGetInteger(pattern, object, 0, &value) == FcResultMatch ? value : fallback;
}

size_t addFile(OutlineState& state, FcPattern* font) {
    FontFile file;
    file.path = stringOf(font, FC_FILE);
    file.index = intOf(font, FC_INDEX, 0);
    FcCharSet* charset = nullptr;
    if (FcPatternGetCharSet(font, FC_CHARSET, 0, &charset) == FcResultMatch) file.charset = charset;
    FcBool colour = FcFalse;
    file.colour = FcPatternGetBool(font, FC_COLOR, 0, &colour) == FcResultMatch && colour;
    state.files.push_back(file);
    return state.files.size() - 1;
}

bool sameFamily(FcPattern* a, FcPattern* b) { return strcasecmp(stringOf(a, FC_FAMILY).c_str(), stringOf(b, FC_FAMILY).c_str()) == 0; }

// The family's own face for a style when it has one, else the regular face made bold or slanted.
StyleFace styleFace(OutlineState& state, FcPattern* base, FcPattern* regular, size_t regularFile, bool bold, bool italic) {
    StyleFace style{regularFile, bold, italic};
    if (!bold && !italic) return style;
    FcPattern* wanted = FcPatternDuplicate(base);
    if (bold) {
        FcPatternDel(wanted, FC_WEIGHT);
        FcPatternAddInteger(wanted, FC_WEIGHT, FC_WEIGHT_BOLD);
    }
    if (italic) {
        FcPatternDel(wanted, FC_SLANT);
        FcPatternAddInteger(wanted, FC_SLANT, FC_SLANT_ITALIC);
    }
    FcConfigSubstitute(nullptr, wanted, FcMatchPattern);
    FcDefaultSubstitute(wanted);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, wanted, &result);
    FcPatternDestroy(wanted);
    if (match == nullptr) return style;
    bool boldFound = intOf(match, FC_WEIGHT, FC_WEIGHT_REGULAR) >= FC_WEIGHT_DEMIBOLD;
    bool italicFound = intOf(match, FC_SLANT, FC_SLANT_ROMAN) != FC_SLANT_ROMAN;
    if (!sameFamily(match, regular) || (bold && !boldFound) || (italic && !italicFound) ||
        stringOf(match, FC_FILE) == state.files[regularFile].path) {
        FcPatternDestroy(match);
        return style;
    }
    state.patterns.push_back(match);
    return StyleFace{addFile(state, match), false, false};
}

int32_t roundPixels(FT_Pos value) { return static_cast<int32_t>(std::lround(static_cast<double>(value) / 64.0)); }

void measure(OutlineState& state, double lineHeight) {
    FT_Face face = faceOf(state, state.files[state.styles[0].file]);
    OutlineMetrics& m = state.metrics;
    m.cellWidth = 0;
    if (FT_Load_Char(face, 'M', FT_LOAD_TARGET_LIGHT) == 0) m.cellWidth = roundPixels(face->glyph->advance.x);
    if (m.cellWidth <= 0) m.cellWidth = std::max(1, roundPixels(face->size->metrics.max_advance));
    int32_t ascent = static_cast<int32_t>(std::ceil(face->size->metrics.ascender / 64.0));
    int32_t descent = static_cast<int32_t>(std::ceil(-face->size->metrics.descender / 64.0));
    if (ascent + descent <= 0) {
        ascent = state.pixelSize;
        descent = 0;
    }
    int32_t natural = ascent + descent;
    m.cellHeight = std::max(1, static_cast<int32_t>(std::ceil(natural * lineHeight - 1e-6)));
    m.baseline = ascent + (m.cellHeight - natural) / 2;

    int32_t thickness = 1;
    int32_t underline = 1;  // rows below the baseline
    int32_t strike = std::max(1, state.pixelSize / 4);  // rows above it
    if (FT_IS_SCALABLE(face)) {
        FT_Fixed scale = face->size->metrics.y_scale;
        thickness = std::max(1, roundPixels(FT_MulFix(face->underline_thickness, scale)));
        underline = std::max(1, roundPixels(-FT_MulFix(face->underline_position, scale)));
        if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
            strike = roundPixels(FT_MulFix(os2->yStrikeoutPosition, scale));
        }
    }
    auto place = [&](int32_t top) { return std::clamp(top, 0, std::max(0, m.cellHeight - thickness)); };
    m.underlineRows = std::min(thickness, m.cellHeight);
    m.underlineTop = place(m.baseline + underline - thickness / 2);
    m.strikeRows = m.underlineRows;
    m.strikeTop = place(m.baseline - strike);
}

void closeAll(OutlineState& state) {
    for (FontFile& file : state.files) {
        if (file.face != nullptr) FT_Done_Face(file.face);
    }
    for (FcFontSet* set : state.fontSets) FcFontSetDestroy(set);
    for (FcPattern* pattern : state.patterns) FcPatternDestroy(pattern);
    if (state.library != nullptr) FT_Done_FreeType(state.library);
    state = OutlineState{};
}

constexpr std::string_view kInstalledHint = "; fc-list shows the installed fonts";

// Generic names fontconfig resolves to a family of another name.
bool genericFamily(const std::string& family) {
    for (const char* name : {"monospace", "mono", "sans-serif", "sans", "serif", "emoji"}) {
        if (strcasecmp(family.c_str(), name) == 0) return true;
    }
    return false;
}

// The pictographs shown as emoji by default (emoji presentation): from U+1F300 on, and the
// regional indicators that make flags.
bool emojiPresentation(uint32_t codePoint) {
    return (codePoint >= 0x1F300 && codePoint <= 0x1FAFF) || (codePoint >= 0x1F1E6 && codePoint <= 0x1F1FF);
}

// The first fallback font in fontconfig's order that has codePoint (a colour one only when
// colourOnly), or -1.
int32_t firstFallbackWith(OutlineState& state, uint32_t codePoint, bool colourOnly) {
    for (size_t i = state.firstFallback; i < state.files.size(); ++i) {
        FontFile& file = state.files[i];
        if (colourOnly && !file.colour) continue;
        if (file.charset != nullptr && !FcCharSetHasChar(file.charset, codePoint)) continue;
        FT_Face candidate = faceOf(state, file);
        if (candidate != nullptr && FT_Get_Char_Index(candidate, codePoint) != 0) return static_cast<int32_t>(i);
    }
    return -1;
}

// The face and the synthesis that draw codePoint in style, or none. Emoji come from a colour
// font when there is one, as terminals show them; everything else from the font, else from the
// first font after it that has the character.
bool findFace(OutlineState& state, uint32_t codePoint, uint8_t style, FT_Face& face, StyleFace& how, bool& ownFamily) {
    auto fallback = [&](bool colourOnly) {
        uint32_t key = codePoint * 2 + (colourOnly ? 1 : 0);
        auto known = state.fallbackFor.find(key);
        if (known != state.fallbackFor.end()) return known->second;
        return state.fallbackFor[key] = firstFallbackWith(state, codePoint, colourOnly);
    };
    int32_t found = emojiPresentation(codePoint) ? fallback(true) : -1;
    if (found < 0) {
        how = state.styles[style & 3];
        face = faceOf(state, state.files[how.file]);
        ownFamily = true;
        if (face != nullptr && FT_Get_Char_Index(face, codePoint) != 0) return true;
        found = fallback(false);
    }
    ownFamily = false;
    if (found < 0) return false;
    face = state.files[static_cast<size_t>(found)].face;
    how = StyleFace{static_cast<size_t>(found), (style & kStyleBold) != 0, (style & kStyleItalic) != 0};
    return true;
}

}  // namespace

OutlineFont::OutlineFont() : state_(std::make_unique<State>()) {}

OutlineFont::~OutlineFont() {
    if (state_ != nullptr) closeAll(*state_);
}

OutlineFont::OutlineFont(OutlineFont&&) noexcept = default;

OutlineFont& OutlineFont::operator=(OutlineFont&& other) noexcept {
    if (this != &other) {
        if (state_ != nullptr) closeAll(*state_);
        state_ = std::move(other.state_);
    }
    return *this;
}

namespace {

bool openOne(OutlineState& state, const std::string& nameOrFile, int32_t pixelSize, double lineHeight, std::string& error) {
    closeAll(state);
    if (pixelSize < 1 || !(lineHeight > 0)) {
        error = "the font size and line height must be above 0";
        return false;
    }
    if (!FcInit() || FT_Init_FreeType(&state.library) != 0) {
        error = "FreeType or fontconfig could not start";
        closeAll(state);
        return false;
    }
    state.pixelSize = pixelSize;

    std::error_code fileError;
    bool isFile = std::filesystem::is_regular_file(nameOrFile, fileError);
    FcPattern* base = nullptr;
    size_t regularFile = 0;
    if (isFile) {
        FontFile file;
        file.path = nameOrFile;
        state.files.push_back(file);
        FT_Face face = faceOf(state, state.files[0]);
        if (face == nullptr) {
            error = "the font file " + nameOrFile + " cannot be read by FreeType";
            closeAll(state);
            return false;
        }
        // The characters it lacks come from the fonts fontconfig puts after its family.
        base = FcPatternCreate();
        if (face->family_name != nullptr) {
            FcPatternAddString(base, FC_FAMILY, reinterpret_cast<const FcChar8*>(face->family_name));
        }
        FcPatternAddString(base, FC_FAMILY, reinterpret_cast<const FcChar8*>("monospace"));
    } else {
        base = FcNameParse(reinterpret_cast<const FcChar8*>(nameOrFile.c_str()));
        if (base == nullptr) {
            error = "\"" + nameOrFile + "\" is neither a font file nor a fontconfig pattern";
            closeAll(state);
            return false;
        }
    }
    state.patterns.push_back(base);
    FcPattern* sortPattern = FcPatternDuplicate(base);
    state.patterns.push_back(sortPattern);
    FcConfigSubstitute(nullptr, sortPattern, FcMatchPattern);
    FcDefaultSubstitute(sortPattern);
    FcResult result = FcResultNoMatch;
    FcFontSet* sorted = FcFontSort(nullptr, sortPattern, FcTrue, nullptr, &result);
    if (sorted != nullptr) state.fontSets.push_back(sorted);
    if (!isFile) {
        if (sorted == nullptr || sorted->nfont == 0) {
            error = "fontconfig finds no font for \"" + nameOrFile + "\"";
            closeAll(state);
            return false;
        }
        FcPattern* first = sorted->fonts[0];
        std::string asked = stringOf(base, FC_FAMILY);
        bool named = asked.empty() || genericFamily(asked);
        for (int n = 0; !named && !stringOf(first, FC_FAMILY, n).empty(); ++n) {
            named = strcasecmp(stringOf(first, FC_FAMILY, n).c_str(), asked.c_str()) == 0;
        }
        if (!named) {
            error = "no font named \"" + asked + "\" is installed (fontconfig's nearest is \"" +
                    stringOf(first, FC_FAMILY) + "\")" + std::string(kInstalledHint);
            closeAll(state);
            return false;
        }
        regularFile = addFile(state, first);
        if (faceOf(state, state.files[regularFile]) == nullptr) {
            error = "the font file " + state.files[regularFile].path + " cannot be read by FreeType";
            closeAll(state);
            return false;
        }
        state.styles[kStyleBold] = styleFace(state, base, first, regularFile, true, false);
        state.styles[kStyleItalic] = styleFace(state, base, first, regularFile, false, true);
        state.styles[kStyleBold | kStyleItalic] = styleFace(state, base, first, regularFile, true, true);
    } else {
        state.styles[kStyleBold] = StyleFace{0, true, false};
        state.styles[kStyleItalic] = StyleFace{0, false, true};
        state.styles[kStyleBold | kStyleItalic] = StyleFace{0, true, true};
    }
    state.styles[0] = StyleFace{regularFile, false, false};
    state.firstFallback = state.files.size();
    for (int i = 0; sorted != nullptr && i < sorted->nfont; ++i) addFile(state, sorted->fonts[i]);
    measure(state, lineHeight);
    return true;
}

// A list's names, "A, B" giving "A" and "B"; empty names are left out.
std::vector<std::string> splitNames(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = std::min(list.find(',', start), list.size());
        size_t first = list.find_first_not_of(" \t", start);
        size_t last = list.find_last_not_of(" \t", end == 0 ? 0 : end - 1);
        if (first < end && last != std::string::npos && last >= first) names.push_back(list.substr(first, last - first + 1));
        start = end + 1;
    }
    return names;
}

}  // namespace

bool OutlineFont::open(const std::string& nameOrFile, int32_t pixelSize, double lineHeight, std::string& error) {
    State& state = *state_;
    std::string key = nameOrFile + '\n' + std::to_string(pixelSize) + '\n' + std::to_string(lineHeight);
    if (state.library != nullptr && state.key == key) return true;
    // A file is taken whole, commas and all; anything else is a list tried in order.
    std::error_code fileError;
    std::vector<std::string> names = std::filesystem::is_regular_file(nameOrFile, fileError)
                                         ? std::vector<std::string>{nameOrFile}
                                         : splitNames(nameOrFile);
    if (names.empty()) names = {nameOrFile};
    std::string reasons;
    bool hinted = false;
    for (const std::string& name : names) {
        std::string reason;
        if (openOne(state, name, pixelSize, lineHeight, reason)) {
            state.key = key;
            return true;
        }
        error = reason;
        if (reason.ends_with(kInstalledHint)) {
            reason.resize(reason.size() - kInstalledHint.size());
            hinted = true;
        }
        reasons += (reasons.empty() ? "" : "; ") + name + ": " + reason;
    }
    if (names.size() > 1) error = "none of the fonts opens (" + reasons + ")" + (hinted ? std::string(kInstalledHint) : "");
    return false;
}

bool OutlineFont::openInCell(const std::string& nameOrFile, int32_t cellWidth, int32_t cellHeight, int32_t baseline,
                             std::string& error) {
    // The largest size whose cell fits; a few tries, as rounding makes the first guess near.
    int32_t size = cellHeight;
    for (;;) {
        if (!open(nameOrFile, size, 1.0, error)) return false;
        const OutlineMetrics& m = state_->metrics;
        if ((m.cellWidth <= cellWidth && m.cellHeight <= cellHeight) || size == 1) break;
        double scale = std::min(static_cast<double>(cellWidth) / m.cellWidth, static_cast<double>(cellHeight) / m.cellHeight);
        size = std::clamp(static_cast<int32_t>(size * scale), 1, size - 1);
    }
    OutlineMetrics& m = state_->metrics;
    int32_t descent = m.cellHeight - m.baseline;
    int32_t placed = baseline > 0 ? std::min(baseline, cellHeight - descent) : m.baseline + (cellHeight - m.cellHeight) / 2;
    int32_t shift = placed - m.baseline;
    m.baseline = placed;
    m.underlineTop = std::clamp(m.underlineTop + shift, 0, cellHeight - m.underlineRows);
    m.strikeTop = std::clamp(m.strikeTop + shift, 0, cellHeight - m.strikeRows);
    m.cellWidth = cellWidth;
    m.cellHeight = cellHeight;
    return true;
}

bool OutlineFont::isOpen() const { return state_->library != nullptr; }

const OutlineMetrics& OutlineFont::metrics() const { return state_->metrics; }

std::string OutlineFont::fileFor(uint32_t codePoint, uint8_t style) {
    State& state = *state_;
    FT_Face face = nullptr;
    StyleFace how;
    bool ownFamily = false;
    if (state.library == nullptr || !findFace(state, codePoint, style, face, how, ownFamily)) return "";
    return state.files[how.file].path;
}

bool OutlineFont::drawGlyph(uint32_t codePoint, uint8_t style, int32_t span, OutlineGlyph& glyph) {
    State& state = *state_;
    glyph = OutlineGlyph{};
    FT_Face face = nullptr;
    StyleFace how;
    bool ownFamily = false;
    if (state.library == nullptr || !findFace(state, codePoint, style, face, how, ownFamily)) return false;
    // A slant of one in five, as oblique faces commonly lean.
    FT_Matrix slant{0x10000, how.slant ? 0x3333 : 0, 0, 0x10000};
    FT_Set_Transform(face, how.slant ? &slant : nullptr, nullptr);
    FT_Int32 flags = FT_LOAD_TARGET_LIGHT | (FT_HAS_COLOR(face) ? FT_LOAD_COLOR : 0);
    FT_Error failed = FT_Load_Glyph(face, FT_Get_Char_Index(face, codePoint), flags);
    FT_Set_Transform(face, nullptr, nullptr);
    if (failed != 0) return false;
    FT_GlyphSlot slot = face->glyph;
    bool outline = slot->format == FT_GLYPH_FORMAT_OUTLINE;
    if (how.embolden && !FT_HAS_COLOR(face)) FT_GlyphSlot_Embolden(slot);
    if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, FT_RENDER_MODE_LIGHT) != 0) return false;
    const FT_Bitmap& bitmap = slot->bitmap;
    const OutlineMetrics& m = state.metrics;
    int32_t boxWidth = span * m.cellWidth;
    if (bitmap.pixel_mode == FT_PIXEL_MODE_BGRA) {
        if (bitmap.width > 0 && bitmap.rows > 0) {
            fitColourBitmap(bitmap.buffer, static_cast<int32_t>(bitmap.width), static_cast<int32_t>(bitmap.rows), bitmap.pitch,
                            boxWidth, m.cellHeight, glyph);
        }
        return true;
    }
    // The font's own glyphs start at the box's left edge, as the terminal lays them out; others,
    // and the font's own in a wide box, are centred by their advance.
    int32_t advance = roundPixels(slot->advance.x);
    int32_t origin = (ownFamily && span == 1) ? 0 : (boxWidth - advance) / 2;
    glyph.left = origin + slot->bitmap_left;
    glyph.top = m.baseline - slot->bitmap_top;
    glyph.width = static_cast<int32_t>(bitmap.width);
    glyph.height = static_cast<int32_t>(bitmap.rows);
    glyph.pixels.assign(static_cast<size_t>(glyph.width) * glyph.height, 0);
    for (int32_t y = 0; y < glyph.height; ++y) {
        const uint8_t* row = bitmap.buffer + static_cast<ptrdiff_t>(y) * bitmap.pitch;
        uint8_t* out = &glyph.pixels[static_cast<size_t>(y) * glyph.width];
        for (int32_t x = 0; x < glyph.width; ++x) {
            if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
                out[x] = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            } else if (bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
                out[x] = static_cast<uint8_t>(bitmap.num_grays == 256 ? row[x] : row[x] * 255 / std::max(1, bitmap.num_grays - 1));
            }
        }
    }
    // Bitmap fonts cannot be slanted on loading: their rows are shifted instead.
    if (how.slant && !outline) slantRows(glyph, slot->bitmap_top);
    return true;
}

