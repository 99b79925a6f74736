#include "render/theme.h"

#include <strings.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

namespace {

struct NamedTheme {
    const char* name;
    Colour foreground;
    Colour background;
    std::array<Colour, 16> palette;
};

// Each from its authors' published definition; classic is the bitmap renderer's own palette.
constexpr NamedTheme kThemes[] = {
    {"xterm", 0xE5E5E5, 0x000000,
     {0x000000, 0xCD0000, 0x00CD00, 0xCDCD00, 0x0000EE, 0xCD00CD, 0x00CDCD, 0xE5E5E5,
      0x7F7F7F, 0xFF0000, 0x00FF00, 0xFFFF00, 0x5C5CFF, 0xFF00FF, 0x00FFFF, 0xFFFFFF}},
    {"tango", 0xD3D7CF, 0x2E3436,
     {0x2E3436, 0xCC0000, 0x4E9A06, 0xC4A000, 0x3465A4, 0x75507B, 0x06989A, 0xD3D7CF,
      0x555753, 0xEF2929, 0x8AE234, 0xFCE94F, 0x729FCF, 0xAD7FA8, 0x34E2E2, 0xEEEEEC}},
    {"solarized-dark", 0x839496, 0x002B36,
     {0x073642, 0xDC322F, 0x859900, 0xB58900, 0x268BD2, 0xD33682, 0x2AA198, 0xEEE8D5,
      0x002B36, 0xCB4B16, 0x586E75, 0x657B83, 0x839496, 0x6C71C4, 0x93A1A1, 0xFDF6E3}},
    {"solarized-light", 0x657B83, 0xFDF6E3,
     {0x073642, 0xDC322F, 0x859900, 0xB58900, 0x268BD2, 0xD33682, 0x2AA198, 0xEEE8D5,
      0x002B36, 0xCB4B16, 0x586E75, 0x657B83, 0x839496, 0x6C71C4, 0x93A1A1, 0xFDF6E3}},
    {"dracula", 0xF8F8F2, 0x282A36,
     {0x21222C, 0xFF5555, 0x50FA7B, 0xF1FA8C, 0xBD93F9, 0xFF79C6, 0x8BE9FD, 0xF8F8F2,
      0x6272A4, 0xFF6E6E, 0x69FF94, 0xFFFFA5, 0xD6ACFF, 0xFF92DF, 0xA4FFFF, 0xFFFFFF}},
    {"gruvbox-dark", 0xEBDBB2, 0x282828,
     {0x282828, 0xCC241D, 0x98971A, 0xD79921, 0x458588, 0xB16286, 0x689D6A, 0xA89984,
      0x928374, 0xFB4934, 0xB8BB26, 0xFABD2F, 0x83A598, 0xD3869B, 0x8EC07C, 0xEBDBB2}},
    {"nord", 0xD8DEE9, 0x2E3440,
     {0x3B4252, 0xBF616A, 0xA3BE8C, 0xEBCB8B, 0x81A1C1, 0xB48EAD, 0x88C0D0, 0xE5E9F0,
      0x4C566A, 0xBF616A, 0xA3BE8C, 0xEBCB8B, 0x81A1C1, 0xB48EAD, 0x8FBCBB, 0xECEFF4}},
    {"monokai", 0xF8F8F2, 0x272822,
     {0x272822, 0xF92672, 0xA6E22E, 0xF4BF75, 0x66D9EF, 0xAE81FF, 0xA1EFE4, 0xF8F8F2,
      0x75715E, 0xF92672, 0xA6E22E, 0xF4BF75, 0x66D9EF, 0xAE81FF, 0xA1EFE4, 0xF9F8F5}},
    {"asciinema", 0xCCCCCC, 0x121314,
     {0x000000, 0xDD3C69, 0x4EBF22, 0xDDAF3C, 0x26B0D7, 0xB954E1, 0x54E1B9, 0xD9D9D9,
      0x4D4D4D, 0xDD3C69, 0x4EBF22, 0xDDAF3C, 0x26B0D7, 0xB954E1, 0x54E1B9, 0xFFFFFF}},
};

// A 256-colour index above 15: the 6 x 6 x 6 cube, then 24 greys.
Colour extendedColour(uint8_t index) {
    if (index >= 232) {
        int32_t grey = 8 + 10 * (index - 232);
        return (grey << 16) | (grey << 8) | grey;
    }
    int32_t cube = index - 16;
    auto level = [](int32_t step) { return step == 0 ? 0 : 55 + 40 * step; };
    return (level(cube / 36) << 16) | (level(cube / 6 % 6) << 8) | level(cube % 6);
}

// Bold brightens colours 0-7 of the text, never of the background, as xterm and tmux paint it.
Colour xtermColour(const Theme& theme, const XtermColour& colour, bool bold, bool background) {
    bool brighten = bold && theme.boldBright && !background;
    switch (colour.kind) {
        case XtermColourKind::standard:
            if (background) return theme.background;
            return brighten ? theme.boldForeground : theme.foreground;
        case XtermColourKind::rgb:
            return static_cast<Colour>(colour.rgb);
        case XtermColourKind::indexed:
            break;
    }
    uint8_t index = colour.index;
    if (index < 8) {
        return theme.palette[brighten ? index + 8 : index];
    }
    if (index < 16) return theme.palette[index];
    return extendedColour(index);
}

}  // namespace

std::vector<std::string> themeNames() {
    std::vector<std::string> names{"classic"};
    for (const NamedTheme& theme : kThemes) names.emplace_back(theme.name);
    return names;
}

std::optional<Theme> builtInTheme(const std::string& name) {
    if (strcasecmp(name.c_str(), "classic") == 0) return Theme{};
    for (const NamedTheme& named : kThemes) {
        if (strcasecmp(name.c_str(), named.name) != 0) continue;
        Theme theme;
        theme.foreground = named.foreground;
        theme.background = named.background;
        theme.boldForeground = named.foreground;
        theme.palette = named.palette;
        return theme;
    }
    return std::nullopt;
}

Theme themeFromColours(uint32_t foreground, uint32_t background, const std::vector<uint32_t>& palette) {
    Theme theme;
    theme.foreground = static_cast<Colour>(foreground);
    theme.background = static_cast<Colour>(background);
    theme.boldForeground = theme.foreground;
    for (size_t i = 0; i < 16 && !palette.empty(); ++i) theme.palette[i] = static_cast<Colour>(palette[i % palette.size()]);
    return theme;
}

bool parseHexColour(const std::string& text, uint32_t& colour) {
    if (text.size() != 7 || text[0] != '#') return false;
    uint32_t value = 0;
    for (size_t i = 1; i < 7; ++i) {
        char c = text[i];
        uint32_t digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 16;
        if (digit > 15) return false;
        value = value << 4 | digit;
    }
    colour = value;
    return true;
}

Theme readThemeFile(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot be read";
        return Theme{};
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        error = "is not a JSON object with fg, bg and palette";
        return Theme{};
    }
    auto colourOf = [&](const char* key, uint32_t& colour) {
        auto member = json.find(key);
        if (member == json.end() || !member->is_string() || !parseHexColour(member->get<std::string>(), colour)) {
            error = std::string("needs \"") + key + "\" as \"#rrggbb\"";
            return false;
        }
        return true;
    };
    uint32_t foreground = 0;
    uint32_t background = 0;
    if (!colourOf("fg", foreground) || !colourOf("bg", background)) return Theme{};
    auto member = json.find("palette");
    std::vector<uint32_t> palette;
    if (member != json.end() && member->is_string()) {
        std::string list = member->get<std::string>();
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            uint32_t colour = 0;
            if (!parseHexColour(list.substr(start, end - start), colour)) {
                palette.clear();
                break;
            }
            palette.push_back(colour);
            start = end + 1;
        }
    }
    if (palette.size() != 8 && palette.size() != 16) {
        error = "needs \"palette\" as 8 or 16 \"#rrggbb\" colours joined by ':'";
        return Theme{};
    }
    return themeFromColours(foreground, background, palette);
}

CellPaint basicCellPaint(const Theme& theme, CellAttr attr) {
    bool brighten = (attr & kAttrBold) && theme.boldBright;
    uint32_t fg = attr & 0xF;
    uint32_t bg = (attr >> 4) & 0xF;
    CellPaint paint{};
    if (fg > 7) {
        paint.foreground = theme.palette[15];
    } else if (fg == 7) {
        paint.foreground = brighten ? theme.boldForeground : theme.foreground;
    } else {
        paint.foreground = theme.palette[brighten ? fg + 8 : fg];
    }
    paint.background = (bg > 7 || bg == 0) ? theme.background : theme.palette[brighten ? bg + 8 : bg];
    if (attr & kAttrReverse) std::swap(paint.foreground, paint.background);
    return paint;
}

CellPaint xtermCellPaint(const Theme& theme, const XtermCell& cell) {
    CellPaint paint{xtermColour(theme, cell.foreground, cell.bold, false),
                    xtermColour(theme, cell.background, cell.bold, true)};
    if (cell.reverse) std::swap(paint.foreground, paint.background);
    return paint;
}
