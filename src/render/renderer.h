#pragma once
// The painter: a terminal's screen into pictures, 10 x 20 pixels per cell with font.txt.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "render/glyph_font.h"
#include "render/outline_font.h"
#include "render/screen_changes.h"
#include "render/surface.h"
#include "render/theme.h"
#include "render/unicode_font.h"
#include "terminal/terminal.h"

constexpr int kCellWidth = 10;
constexpr int kCellHeight = 20;

inline constexpr std::array<Colour, 8> normalPalette{0x000000, 0xAF0000, 0x00AF00, 0xC0C000,
                                                     0x004080, 0xA800A8, 0x00A8A8, 0xBBBBBB};
// Index 0 is 0x777777 for foregrounds only.
inline constexpr std::array<Colour, 8> brightPalette{0x777777, 0xFF0000, 0x00FF00, 0xFFFF00,
                                                     0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

// -cursor: how the cursor is drawn, if at all.
enum class CursorStyle { none, block, bar, underline };

// -window: the picture (its padding with it) set in a window with a title bar, in a margin.
struct WindowLook {
    bool shown = false;
    std::string title;         // drawn centred on the bar
    int32_t margin = 16;       // pixels around the window
    Colour marginColour = -1;  // 0xRRGGBB; negative: a grey that sets off the theme's background
};

struct RenderOptions {
    Theme theme{};             // the colours of every cell
    std::string outlineFont{}; // -font: a font file or fontconfig pattern; "" paints with font.txt
    int32_t fontSize = 16;     // -font-size, in pixels
    double lineHeight = 1.0;   // -line-height: the cell's height over the font's
    bool plainPaths = false;   // every screen painted whole
    std::string fontPath;      // font.txt, read on the first cell that needs it; "" when none was found
    // The picture's size in cells, which a terminal that is resized may not fill: what lies
    // outside the terminal's size is black. 0: the terminal's size when the first screen is painted.
    int32_t pictureColumns = 0;
    int32_t pictureRows = 0;
    int32_t padding = 0;                    // -padding: pixels of the theme's background around the cells
    CursorStyle cursor = CursorStyle::none;  // -cursor
    std::string unicodeFontPath = kTerminusFontPath;  // the xterm renderer's PCF font, read on first use
    WindowLook window = {};                           // -window
    // xterm screens with the bitmap fonts: nothing is painted; each cell's look (character,
    // colours, underline) is painted once, apart, to gather the colours the frames would hold.
    bool coloursOnly = false;
};

// The colours gathered by a painter made with coloursOnly (0xRRGGBB, each once, in the order met).
struct GatheredColours {
    std::vector<uint32_t> colours;
    bool complete = false;  // every screen was xterm's, with the bitmap fonts, in at most 255 colours
};

struct PaintResult {
    bool painted = true;    // false: a cell needed font.txt (or -font its font) and it could not be had
    ScreenChanges changes;  // the rows of the frame this painting changed
};

// Pixels the frame adds on each side of the painted cells: -padding, and -window's bar and margin.
struct FrameInsets {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// The insets with these options, for cells cellHeight pixels high (the bar's height follows it).
FrameInsets frameInsets(int32_t padding, const WindowLook& window, int32_t cellHeight);

struct ScreenToPaint;
struct PainterState;

// Paints screens into a picture, the frame, with the fonts its options name: each screen it is
// handed repaints only what changed since the one before, and says which rows that was.
// font.txt is read on the first cell that needs it, the other fonts when first used.
class Painter {
public:
    explicit Painter(const RenderOptions& options);
    // Paints with these glyphs, as if options.fontPath held them.
    Painter(const RenderOptions& options, GlyphTable glyphs);
    ~Painter();
    Painter(Painter&&) noexcept;
    Painter& operator=(Painter&&) noexcept;

    // Paints the screen of the terminal's emulation, and finishes the frame around it
    // (-padding, -cursor, -window).
    PaintResult paint(const Terminal& terminal);
    PaintResult paint(const ScreenGrid& grid);
    PaintResult paint(const XtermScreen& screen);

    // The picture: the painted screen, 10 x 20 pixels per cell (or -font's cells), finished,
    // its pixels laid out as a BMP's.
    const Surface& frame() const;
    // The same picture with its rows as painting left them: a scroll may have turned them
    // (Surface::turn), for readers that go through pixelRow and would rather not wait for them
    // to be laid out again.
    const Surface& turnedFrame() const;
    // What the painters paint: the frame itself, or a surface apart while the frame is
    // finished around it.
    const Surface& canvas() const;
    const RenderOptions& options() const;
    const GlyphFont& glyphs() const;
    const OutlineMetrics& outlineMetrics() const;
    GatheredColours gatheredColours() const;

private:
    PaintResult paintScreen(const ScreenToPaint& screen);

    std::unique_ptr<PainterState> state_;
};
