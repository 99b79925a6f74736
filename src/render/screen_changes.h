#pragma once
// Which rows of mainSurface changed since someone last looked, so that whoever keeps a copy of
// the screen (the frame writers) can bring the copy up to date, or reuse what it made of it,
// without comparing whole images. A painter reports after every painting; a painting that was
// not reported counts as a change of every row, so painters that cannot tell stay correct.
// Painters report rows of canvasSurface; when that is a surface apart, whoever finishes the
// frame takes those and reports the frame's.

#include <cstdint>

struct ScreenChanges {
    bool everything = true;  // any row may have changed
    int32_t top = 0;         // otherwise rows top..bottom changed (y = 0 at the top);
    int32_t bottom = -1;     // none when top > bottom
};

// Rows top..bottom of mainSurface changed; top > bottom reports a painting that changed nothing.
void noteScreenPainted(int32_t top, int32_t bottom);

// Every row may have changed.
void noteScreenReplaced();

// The changes reported since the previous call (everything when nothing was reported), and
// forgets them.
ScreenChanges takeScreenChanges();

void resetScreenChanges();
