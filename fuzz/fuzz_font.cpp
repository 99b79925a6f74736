// Arbitrary files as font.txt: parsed, then every character code drawn into a small screen,
// so that odd offsets and short glyphs are drawn too.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "render/glyph_font.h"
#include "render/renderer.h"
#include "render/surface.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ScreenGrid grid;
    resetGrid(grid);
    grid.columns = 32;
    grid.rows = 8;
    for (int code = 0; code < 256; ++code) {
        grid.charPlane[(code / 32) * kGridColumns + code % 32] = static_cast<uint8_t>(code);
        grid.attrPlane[(code / 32) * kGridColumns + code % 32] = static_cast<CellAttr>(code * 7);
    }
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    GlyphTable table;
    parseGlyphs(stream, table);
    Painter painter(RenderOptions{}, std::move(table));
    painter.paint(grid);
    return 0;
}
