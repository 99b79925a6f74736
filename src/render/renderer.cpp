#include "render/renderer.h"

#include "render/framing.h"
#include "render/painter_state.h"
#include "terminal/terminal.h"

// The painter object; the ways of painting are in grid_painter.cpp, xterm_renderer.cpp and
// outline_painter.cpp, the frame's finish in framing.cpp.

bool ensureFont(PainterState& p) {
    if (!p.glyphs.loaded && !p.fontMissing) p.fontMissing = !loadGlyphs(p.glyphs, p.options.fontPath);
    return !p.fontMissing;
}

Painter::Painter(const RenderOptions& options) : state_(std::make_unique<PainterState>()) {
    PainterState& p = *state_;
    p.options = options;
    p.unicodeFont.path = options.unicodeFontPath;
    p.apart = framesFinished(options);
    if (!options.outlineFont.empty()) {
        std::string error;
        p.outlineFont.open(options.outlineFont, options.fontSize, options.lineHeight, error);
    }
}

Painter::Painter(const RenderOptions& options, GlyphTable glyphs) : Painter(options) {
    setGlyphTable(state_->glyphs, std::move(glyphs));
}

Painter::~Painter() = default;
Painter::Painter(Painter&&) noexcept = default;
Painter& Painter::operator=(Painter&&) noexcept = default;

PaintResult Painter::paint(const Terminal& terminal) {
    return terminal.options().emulation == Emulation::xterm ? paint(terminal.xtermScreen()) : paint(terminal.grid());
}

PaintResult Painter::paint(const ScreenGrid& grid) { return paintScreen(ScreenToPaint{.grid = &grid}); }

PaintResult Painter::paint(const XtermScreen& screen) { return paintScreen(ScreenToPaint{.xterm = &screen}); }

PaintResult Painter::paintScreen(const ScreenToPaint& screen) {
    PainterState& p = *state_;
    if (p.options.coloursOnly) {
        if (screen.xterm != nullptr && p.options.outlineFont.empty()) {
            return {.painted = gatherXtermColours(p, *screen.xterm), .changes = {}};
        }
        p.gathering.beyond = true;
        return {.painted = true, .changes = {}};
    }
    const bool painted = !p.options.outlineFont.empty() ? paintOutlineScreen(p, screen)
                         : screen.xterm != nullptr      ? paintXtermScreen(p, *screen.xterm)
                                                        : paintGrid(p, *screen.grid);
    if (painted && framesFinished(p.options)) finishFrame(p, screen);
    return {.painted = painted, .changes = p.changes.take()};
}

// Settling lays the rows out again without changing the picture.
const Surface& Painter::frame() const {
    settleRows(state_->frame);
    return state_->frame;
}

const Surface& Painter::turnedFrame() const { return state_->frame; }

const Surface& Painter::canvas() const {
    settleRows(state_->canvas());
    return state_->canvas();
}

const RenderOptions& Painter::options() const { return state_->options; }

const GlyphFont& Painter::glyphs() const { return state_->glyphs; }

GatheredColours Painter::gatheredColours() const {
    const ColourGathering& gathering = state_->gathering;
    return {.colours = gathering.colours, .complete = !gathering.beyond && !gathering.colours.empty()};
}

const OutlineMetrics& Painter::outlineMetrics() const { return state_->outlineFont.metrics(); }
