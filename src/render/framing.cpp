#include "render/framing.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "render/outline_painter.h"
#include "render/painter_state.h"
#include "render/theme.h"
#include "render/window_frame.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

namespace {

uint8_t* pixelOf(Surface& surface, int32_t x, int32_t y) { return pixelRow(surface, y) + 4 * static_cast<size_t>(x); }

const uint8_t* pixelOf(const Surface& surface, int32_t x, int32_t y) { return pixelRow(surface, y) + 4 * static_cast<size_t>(x); }

// Where the canvas's top-left pixel lies on the frame.
struct Origin {
    int32_t x = 0;
    int32_t y = 0;
};

// Canvas rows top..bottom, copied into the frame within the border.
void copyRows(Surface& frame, const Surface& canvas, Origin origin, int32_t top, int32_t bottom) {
    for (int32_t y = top; y <= bottom; ++y) {
        std::memcpy(pixelOf(frame, origin.x, y + origin.y), pixelOf(canvas, 0, y), static_cast<size_t>(canvas.width) * 4);
    }
}

// Where the emulation has its cursor, when it is visible and its cell lies within the picture.
// The basic emulation has no way to hide it.
CursorMark findCursor(PainterState& p, const ScreenToPaint& toPaint, const Surface& canvas, Origin origin) {
    const RenderOptions& options = p.options;
    if (options.cursor == CursorStyle::none) return {};
    CursorMark mark;
    CellPaint paint{};
    int32_t row = 0;
    int32_t column = 0;
    if (toPaint.xterm != nullptr) {
        const XtermScreen& screen = *toPaint.xterm;
        row = screen.cursorRow;
        column = screen.cursorColumn;
        if (!screen.cursorVisible || row < 0 || row >= screen.rows || column < 0 || column >= screen.columns) return {};
        const XtermCell& cell = screen.at(row, column);
        mark.span = cell.width == 2 && column + 1 < screen.columns ? 2 : 1;
        paint = xtermCellPaint(options.theme, cell);
    } else {
        const ScreenGrid& grid = *toPaint.grid;
        row = grid.cursorRow;
        column = grid.cursorCol;
        if (row < 0 || row >= std::min(grid.rows, kGridRows) || column < 0 ||
            column >= std::min(grid.columns, kGridColumns)) {
            return {};
        }
        paint = basicCellPaint(options.theme, grid.attrPlane[static_cast<size_t>(row) * kGridColumns + column]);
    }
    const bool outline = !options.outlineFont.empty();
    mark.cellWidth = outline ? p.outlineFont.metrics().cellWidth : kCellWidth;
    mark.cellHeight = outline ? p.outlineFont.metrics().cellHeight : kCellHeight;
    const int32_t x = column * mark.cellWidth;
    const int32_t y = row * mark.cellHeight;
    if (x + mark.span * mark.cellWidth > canvas.width || y + mark.cellHeight > canvas.height) return {};
    mark.shown = true;
    mark.left = x + origin.x;
    mark.top = y + origin.y;
    mark.foreground = paint.foreground;
    mark.background = paint.background;
    mark.cursor = cursorColourOn(options.theme, paint);
    return mark;
}

// The cell's pixels as the canvas has them.
void restoreCell(Surface& frame, const Surface& canvas, const CursorMark& mark, Origin origin) {
    const size_t bytes = static_cast<size_t>(mark.span * mark.cellWidth) * 4;
    for (int32_t y = mark.top; y < mark.top + mark.cellHeight; ++y) {
        std::memcpy(pixelOf(frame, mark.left, y), pixelOf(canvas, mark.left - origin.x, y - origin.y), bytes);
    }
}

PixelRect cellRect(const CursorMark& mark) {
    return {mark.left, mark.top, mark.left + mark.span * mark.cellWidth - 1, mark.top + mark.cellHeight - 1};
}

uint8_t channel(Colour colour, int c) { return static_cast<uint8_t>(colour >> (8 * c)); }

// Block: the cell filled with the cursor's colour, its text in the cell's background colour;
// bar: a stroke down the cell's left side; underline: one along its bottom.
void drawCursor(Surface& frame, const Surface& canvas, const CursorMark& mark, Origin origin, CursorStyle style) {
    restoreCell(frame, canvas, mark, origin);
    const int32_t width = mark.span * mark.cellWidth;
    const int32_t right = mark.left + width - 1;
    const int32_t bottom = mark.top + mark.cellHeight - 1;
    if (style == CursorStyle::bar) {
        fillRect(frame, mark.left, mark.top, mark.left + std::max(2, mark.cellWidth / 6) - 1, bottom, mark.cursor);
        return;
    }
    if (style == CursorStyle::underline) {
        fillRect(frame, mark.left, bottom - std::max(2, mark.cellHeight / 10) + 1, right, bottom, mark.cursor);
        return;
    }
    // How far each pixel lies from the background towards the text's colour (an anti-aliased
    // glyph's coverage), read in linear light on the channel where the two differ most.
    int strongest = 0;
    for (int c = 1; c < 3; ++c) {
        if (std::abs(channel(mark.foreground, c) - channel(mark.background, c)) >
            std::abs(channel(mark.foreground, strongest) - channel(mark.background, strongest))) {
            strongest = c;
        }
    }
    const float from = linearChannel(channel(mark.background, strongest));
    const float span = linearChannel(channel(mark.foreground, strongest)) - from;
    for (int32_t y = mark.top; y <= bottom; ++y) {
        uint8_t* out = pixelOf(frame, mark.left, y);
        for (int32_t x = 0; x < width; ++x, out += 4) {
            const Colour shown = out[0] | out[1] << 8 | out[2] << 16;
            const float coverage = shown == mark.background ? 0.0f
                                   : shown == mark.foreground || span == 0.0f
                                       ? 1.0f
                                       : std::clamp((linearChannel(out[strongest]) - from) / span, 0.0f, 1.0f);
            const auto amount = static_cast<uint8_t>(std::lround(coverage * 255.0f));
            for (int c = 0; c < 3; ++c) {
                const uint8_t fill = channel(mark.cursor, c);
                const uint8_t text = channel(mark.background, c);
                out[c] = amount == 0 ? fill : amount == 255 ? text : blendChannel(fill, text, amount);
            }
        }
    }
}

}  // namespace

Colour cursorColourOn(const Theme& theme, const CellPaint& paint) {
    return theme.foreground != paint.background ? theme.foreground
           : paint.foreground != paint.background ? paint.foreground
                                                  : paint.background ^ 0xFFFFFF;
}

bool framesFinished(const RenderOptions& options) {
    return options.padding > 0 || options.cursor != CursorStyle::none || options.window.shown;
}

void finishFrame(PainterState& p, const ScreenToPaint& toPaint) {
    const RenderOptions& options = p.options;
    FramingState& framing = p.framing;
    const Surface& canvas = p.canvas();
    Surface& frame = p.frame;
    const bool outline = !options.outlineFont.empty();
    const FrameInsets insets =
        frameInsets(options.padding, options.window, outline ? p.outlineFont.metrics().cellHeight : kCellHeight);
    const Origin origin{insets.left, insets.top};
    const ScreenChanges changes = p.changes.take();
    const int32_t width = canvas.width + insets.left + insets.right;
    const int32_t height = canvas.height + insets.top + insets.bottom;
    if (frame.width != width || frame.height != height ||
        frame.pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 4) {
        allocSurface(frame, width, height);
    }
    const bool window = options.window.shown;
    const WindowShape shape = window ? windowShape(p, width, height) : WindowShape{};
    // Pixels just painted anew within the window's rounded corners are rounded again.
    auto painted = [&](const PixelRect& rect) {
        if (window) roundWindowCorners(frame, shape, rect);
    };
    const bool newCanvas = canvas.generation != framing.canvasGeneration;
    const CursorMark next = findCursor(p, toPaint, canvas, origin);
    if (changes.everything || options.plainPaths || newCanvas || frame.generation != framing.frameGeneration) {
        if (window) {
            if (framing.window.width != width || framing.window.height != height) {
                allocSurface(framing.window, width, height);
                paintWindow(p, shape, framing.window);
            }
            frame.pixels = framing.window.pixels;
        } else {
            const Colour background = options.theme.background;
            const int32_t padding = options.padding;
            fillRect(frame, 0, 0, width - 1, padding - 1, background);
            fillRect(frame, 0, height - padding, width - 1, height - 1, background);
            fillRect(frame, 0, padding, padding - 1, height - padding - 1, background);
            fillRect(frame, width - padding, padding, width - 1, height - padding - 1, background);
        }
        copyRows(frame, canvas, origin, 0, canvas.height - 1);
        painted({origin.x, origin.y, origin.x + canvas.width - 1, origin.y + canvas.height - 1});
        if (next.shown) {
            drawCursor(frame, canvas, next, origin, options.cursor);
            painted(cellRect(next));
        }
        p.changes.noteReplaced();
    } else {
        const int32_t first = std::max(changes.top, 0);
        const int32_t last = std::min(changes.bottom, canvas.height - 1);
        const bool copied = first <= last;
        const int32_t bandTop = first + origin.y;
        const int32_t bandBottom = last + origin.y;
        const CursorMark& drawn = framing.cursor;
        const bool exact = copied && changes.exact;
        // The canvas's rows moved are the frame's too, but for those the canvas repainted, those
        // its ring carried around (the frame's rows do not wrap there), those the cursor crossed
        // in the frame before, and those the window's bottom corners round, there or where they
        // came from.
        const bool movesRows = exact && changes.moved != 0;
        if (movesRows) {
            const int32_t shift = changes.moved;
            auto paintedInBand = [&](int32_t from, int32_t to) {
                p.changes.notePainted(std::max(from, bandTop), std::min(to, bandBottom));
            };
            p.changes.noteMoved(shift, bandTop, bandBottom);
            for (size_t band = 0; band < changes.repainted.count; ++band) {
                const RowBands::Band& rows = changes.repainted.bands[band];
                paintedInBand(rows.top + origin.y, rows.bottom + origin.y);
            }
            paintedInBand(origin.y + (shift > 0 ? canvas.height - shift : 0),
                          origin.y + (shift > 0 ? canvas.height - 1 : -shift - 1));
            if (drawn.shown) paintedInBand(drawn.top - shift, drawn.top + drawn.cellHeight - 1 - shift);
            if (window) {
                const int32_t cornersTop = shape.top + shape.height - shape.radius;
                const int32_t cornersBottom = shape.top + shape.height - 1;
                paintedInBand(cornersTop, cornersBottom);
                paintedInBand(cornersTop - shift, cornersBottom - shift);
            }
        }
        // The canvas's rows to copy: the band, or after a painting that moved nothing and told its
        // rows, only those; the frame holds the others already.
        RowBands copies;
        if (exact && changes.moved == 0) {
            for (size_t band = 0; band < changes.repainted.count; ++band) {
                const RowBands::Band& rows = changes.repainted.bands[band];
                copies.add(std::max(rows.top, first), std::min(rows.bottom, last));
            }
        } else if (copied) {
            copies.add(first, last);
        }
        bool overwritten = false;  // a copied row through the cursor's cell took its mark away
        for (size_t band = 0; band < copies.count; ++band) {
            const RowBands::Band& rows = copies.bands[band];
            copyRows(frame, canvas, origin, rows.top, rows.bottom);
            painted({origin.x, rows.top + origin.y, origin.x + canvas.width - 1, rows.bottom + origin.y});
            if (!movesRows) p.changes.notePainted(rows.top + origin.y, rows.bottom + origin.y);
            overwritten = overwritten ||
                          (next.top <= rows.bottom + origin.y && rows.top + origin.y <= next.top + next.cellHeight - 1);
        }
        int32_t top = INT32_MAX;  // the rows the cursor's cells took
        int32_t bottom = -1;
        auto include = [&](int32_t from, int32_t to) {
            top = std::min(top, from);
            bottom = std::max(bottom, to);
        };
        const bool moved = !(drawn == next);
        if (moved && drawn.shown) {
            restoreCell(frame, canvas, drawn, origin);
            painted(cellRect(drawn));
            include(drawn.top, drawn.top + drawn.cellHeight - 1);
        }
        if (next.shown && (moved || overwritten)) {
            drawCursor(frame, canvas, next, origin, options.cursor);
            painted(cellRect(next));
            include(next.top, next.top + next.cellHeight - 1);
        }
        // Rows between the moved band and the cursor's outside it stayed where they were.
        if (movesRows && top <= bottom) {
            top = std::min(top, bandBottom + 1);
            bottom = std::max(bottom, bandTop - 1);
        }
        p.changes.notePainted(top, bottom);
    }
    framing.cursor = next;
    framing.canvasGeneration = canvas.generation;
    framing.frameGeneration = frame.generation;
}
