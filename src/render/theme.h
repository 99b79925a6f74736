#pragma once
// Colour themes: the default colours and the 16-colour palette cells are painted with, built in
// by name or read from a file, and how each emulation's cells resolve to colours with them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "render/surface.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

struct Theme {
    Colour foreground = 0xBBBBBB;      // the terminal's default colours
    Colour background = 0x000000;
    Colour boldForeground = 0xFFFFFF;  // the default foreground of bold text when bold brightens
    std::array<Colour, 16> palette{0x000000, 0xAF0000, 0x00AF00, 0xC0C000, 0x004080, 0xA800A8, 0x00A8A8, 0xBBBBBB,
                                   0x777777, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    bool boldBright = true;  // bold takes colours 0-7 to 8-15
    bool operator==(const Theme&) const = default;
};

// The names of the built-in themes, "classic" (the default) first.
std::vector<std::string> themeNames();

// A built-in theme by name (letter case ignored), else nothing.
std::optional<Theme> builtInTheme(const std::string& name);

// A theme from foreground, background and 8 or 16 palette colours (0xRRGGBB), as an asciicast
// header holds them; with 8, colours 8-15 repeat 0-7. Bold keeps the default foreground.
Theme themeFromColours(uint32_t foreground, uint32_t background, const std::vector<uint32_t>& palette);

// Reads a theme file: a JSON object {"fg": "#rrggbb", "bg": "#rrggbb", "palette": "#rrggbb:..."};
// on failure error says why and the theme is the classic one.
Theme readThemeFile(const std::string& path, std::string& error);

// Parses "#rrggbb"; false when text is not one.
bool parseHexColour(const std::string& text, uint32_t& colour);

struct CellPaint {
    Colour foreground;
    Colour background;
};

// A basic-emulation cell's colours: foreground index 7 is the default foreground, background 0
// and 8-15 the default background; reverse swaps them.
CellPaint basicCellPaint(const Theme& theme, CellAttr attr);

// An xterm cell's colours: the 256-colour cube and greys and 24-bit colours as they are.
CellPaint xtermCellPaint(const Theme& theme, const XtermCell& cell);
