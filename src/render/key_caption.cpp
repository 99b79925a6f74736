#include "render/key_caption.h"

#include <algorithm>
#include <cstring>

#include "terminal/character_widths.h"
#include "terminal/xterm_emulation.h"

namespace {

constexpr int32_t kBoxOpacity = 204;  // the box over the picture: 80 %

// The box: the theme's background a fifth of the way to its foreground, so that it stands out
// from the terminal's background and the text keeps the theme's contrast on it.
Colour boxColour(const Theme& theme) {
    Colour colour = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const int32_t background = (theme.background >> shift) & 0xFF;
        const int32_t foreground = (theme.foreground >> shift) & 0xFF;
        colour |= (background + (foreground - background) / 5) << shift;
    }
    return colour;
}

ScreenChanges unite(const ScreenChanges& a, int32_t top, int32_t bottom) {
    if (a.everything || top > bottom) return a;
    if (a.top > a.bottom) return {false, top, bottom};
    return {false, std::min(a.top, top), std::max(a.bottom, bottom)};
}

ScreenChanges rowsOf(const KeyCaption::Box& box) {
    return box.shown ? ScreenChanges{false, box.top, box.bottom} : ScreenChanges{false, 0, -1};
}

uint8_t blend(uint8_t under, uint8_t over, int32_t opacity) {
    return static_cast<uint8_t>(under + ((static_cast<int32_t>(over) - under) * opacity) / kCaptionOpaque);
}

}  // namespace

KeyCaption::KeyCaption(const RenderOptions& options, int32_t mostCells)
    : painter_([&] {
          RenderOptions caption = options;
          caption.pictureColumns = std::max(mostCells, 1) + 2;
          caption.pictureRows = 1;
          caption.padding = 0;
          caption.cursor = CursorStyle::none;
          caption.window = {};
          caption.theme.background = boxColour(options.theme);
          return caption;
      }()),
      padding_(options.padding),
      window_(options.window),
      mostCells_(std::max(mostCells, 1)) {}

// A row of cells: one blank on either side of the text, in the theme's default colours.
void KeyCaption::paintText(const std::u32string& text) {
    if (paintedOnce_ && text == painted_) return;
    XtermScreen screen;
    screen.columns = mostCells_ + 2;
    screen.rows = 1;
    screen.cells.assign(static_cast<size_t>(screen.columns), XtermCell{});
    screen.cursorVisible = false;
    int32_t column = 1;
    for (char32_t character : text) {
        const int32_t width = std::max(characterWidth(character), 1);
        if (column + width > screen.columns - 1) break;
        XtermCell& cell = screen.cells[static_cast<size_t>(column)];
        cell.codePoint = character;
        cell.width = static_cast<uint8_t>(width);
        if (width == 2) screen.cells[static_cast<size_t>(column) + 1].width = 0;
        column += width;
    }
    painter_.paint(screen);
    painted_ = text;
    paintedOnce_ = true;
    textCells_ = column - 1;
}

KeyCaption::Box KeyCaption::place(const Surface& frame, int32_t cursorRow) const {
    const Surface& text = painter_.frame();
    const int32_t cellHeight = std::max(text.height, 1);
    const int32_t cellWidth = text.width / (mostCells_ + 2);
    const int32_t margin = cellHeight / 4;
    Box box{.shown = true};
    const int32_t width = std::min((textCells_ + 2) * cellWidth, frame.width);
    box.left = (frame.width - width) / 2;
    box.right = box.left + width - 1;
    const FrameInsets insets = frameInsets(padding_, window_, cellHeight);
    box.bottom = frame.height - 1 - (insets.bottom - padding_) - cellHeight / 2;
    box.top = box.bottom - cellHeight - 2 * margin + 1;
    if (cursorRow >= 0) {
        const int32_t cursorTop = insets.top + cursorRow * cellHeight;
        const int32_t cursorBottom = cursorTop + cellHeight - 1;
        const int32_t above = cursorTop - 1 - margin;
        if (box.top <= cursorBottom && box.bottom >= cursorTop && above - (box.bottom - box.top) >= 0) {
            box.top = above - (box.bottom - box.top);
            box.bottom = above;
        }
    }
    box.top = std::max(box.top, 0);
    return box;
}

// Rows top..bottom of the composed picture: the frame's, with the box and the text over them.
void KeyCaption::blendRows(const Surface& frame, int32_t top, int32_t bottom) {
    const size_t rowBytes = static_cast<size_t>(frame.width) * 4;
    top = std::max(top, 0);
    bottom = std::min(bottom, frame.height - 1);
    const Surface& text = painter_.frame();
    const int32_t margin = (box_.bottom - box_.top + 1 - text.height) / 2;
    const Colour background = painter_.options().theme.background;
    const uint8_t boxColour[3] = {static_cast<uint8_t>(background), static_cast<uint8_t>(background >> 8),
                                  static_cast<uint8_t>(background >> 16)};
    for (int32_t y = top; y <= bottom; ++y) {
        const size_t row = static_cast<size_t>(frame.height - 1 - y) * rowBytes;
        std::memcpy(composed_.pixels.data() + row, frame.pixels.data() + row, rowBytes);
        if (y < box_.top || y > box_.bottom) continue;
        const int32_t textY = y - box_.top - margin;
        const bool textRow = textY >= 0 && textY < text.height;
        for (int32_t x = std::max(box_.left, 0); x <= std::min(box_.right, frame.width - 1); ++x) {
            uint8_t* pixel = composed_.pixels.data() + row + static_cast<size_t>(x) * 4;
            const int32_t textX = x - box_.left;
            const uint8_t* over = boxColour;
            int32_t opacity = kBoxOpacity * look_.opacity / kCaptionOpaque;
            if (textRow && textX < text.width) {
                const uint8_t* ink = text.pixels.data() + (static_cast<size_t>(text.height - 1 - textY) * text.width + textX) * 4;
                if (std::memcmp(ink, boxColour, 3) != 0) {
                    over = ink;
                    opacity = look_.opacity;
                }
            }
            for (int channel = 0; channel < 3; ++channel) pixel[channel] = blend(pixel[channel], over[channel], opacity);
        }
    }
}

ComposedFrame KeyCaption::compose(const Surface& frame, const ScreenChanges& frameChanges, const CaptionLook& look,
                                  int32_t cursorRow) {
    const bool wasShown = box_.shown;
    const Box before = box_;
    if (!look.shown() || frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() < static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 4) {
        box_ = Box{};
        look_ = look;
        const ScreenChanges gone = rowsOf(before);
        return {frame, unite(frameChanges, gone.top, gone.bottom)};
    }
    paintText(look.text);
    const Box box = place(frame, cursorRow);
    const bool same = wasShown && look == look_ && box == before;
    box_ = box;
    look_ = look;
    const bool whole = !wasShown || frameChanges.everything || composed_.width != frame.width ||
                       composed_.height != frame.height;
    if (whole) {
        composed_.width = frame.width;
        composed_.height = frame.height;
        composed_.pixels.resize(frame.pixels.size());
        blendRows(frame, 0, frame.height - 1);
    } else {
        if (frameChanges.top <= frameChanges.bottom) blendRows(frame, frameChanges.top, frameChanges.bottom);
        if (!same) {
            blendRows(frame, before.top, before.bottom);
            blendRows(frame, box.top, box.bottom);
        }
    }
    ScreenChanges changes = frameChanges;
    changes.exact = false;  // the box's rows are blended anew, wherever the painter painted
    if (!same) {
        changes = unite(changes, before.shown ? before.top : 0, before.shown ? before.bottom : -1);
        changes = unite(changes, box.top, box.bottom);
    }
    return {composed_, changes};
}
