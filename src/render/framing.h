#pragma once
// Around the painted screen: -padding's border in the theme's background and -cursor's mark,
// drawn on mainSurface over a copy of canvasSurface. The painters' pictures, and what they keep
// of them to paint only what changed, never hold either, so a cursor that moves or a border
// costs them nothing and cannot leave marks behind.

#include "render/renderer.h"

// Whether frames are finished around the painted screen with these options.
bool framesFinished(const RenderOptions& options);

// Brings mainSurface up to date after a painting: the canvas rows the painter reported (all of
// them when it could not tell), the border, and the cells the cursor left and entered. Takes the
// painter's changes and reports mainSurface's rows instead.
void finishFrame();

// Forgets what mainSurface shows.
void resetFraming();
