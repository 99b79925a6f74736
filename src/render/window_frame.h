#pragma once
// -window: the picture set in a window, as desktop screenshots show a terminal: a title bar with
// the three buttons and the title, rounded corners, a margin around. The window is static, so
// it is made once as a picture of its own; the frame is finished from it. Private to render/.

#include <cstdint>

#include "render/painter_state.h"
#include "render/surface.h"

// Where the window lies on a frame, and its colours.
struct WindowShape {
    int32_t left = 0;  // the window's top-left pixel on the frame
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t barHeight = 0;
    int32_t radius = 0;  // of the corners
    Colour margin = 0;
    Colour bar = 0;
    Colour title = 0;
};

// The window around a canvas of the painter's, on a frame of frameWidth x frameHeight.
WindowShape windowShape(const PainterState& painter, int32_t frameWidth, int32_t frameHeight);

// Everything of the frame but the cells: margin, window, bar, buttons, title, the padding in
// the theme's background, the corners rounded; the size of the frame.
void paintWindow(PainterState& painter, const WindowShape& shape, Surface& picture);

// Rounds the window's corners where they meet rect (inclusive), whose pixels were just painted
// anew: pixels outside the rounding take the margin's colour, those on its edge a blend.
void roundWindowCorners(Surface& frame, const WindowShape& shape, const PixelRect& rect);
