#pragma once
// Around the painted screen: -padding's border in the theme's background, -cursor's mark and
// -window's window, drawn on the painter's frame over a copy of its canvas. The painters'
// pictures, and what they keep of them to paint only what changed, never hold any of them, so
// a cursor that moves or a border costs them nothing and cannot leave marks behind.

#include "render/renderer.h"

// Whether frames are finished around the painted screen with these options.
bool framesFinished(const RenderOptions& options);

// The colour -cursor draws with over a cell painted in these colours: the theme's foreground,
// unless the cell's background has that colour (reverse video).
Colour cursorColourOn(const Theme& theme, const CellPaint& paint);
