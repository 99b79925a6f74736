#pragma once
// Which rows of a painter's frame changed with a painting, so that whoever keeps a copy of the
// screen (the frame writers) can bring the copy up to date, or reuse what it made of it,
// without comparing whole images. A painting that was not reported counts as a change of every
// row, so painters that cannot tell stay correct. Painters report rows of their canvas; when
// that is a surface apart, whoever finishes the frame takes those and reports the frame's.

#include <cstdint>

#include "platform/bitmap.h"

struct ScreenChanges {
    bool everything = true;  // any row may have changed
    int32_t top = 0;         // otherwise rows top..bottom changed (y = 0 at the top);
    int32_t bottom = -1;     // none when top > bottom
    // Exact: of rows top..bottom only those of repainted were painted, and each other row y
    // shows what row (y + moved) modulo the height showed (moved is not 0 after a scroll), so a
    // copy of the screen can bring or find those rows without reading them. Whoever changes
    // rows in another way leaves it false.
    bool exact = false;
    int32_t moved = 0;
    RowBands repainted{};
};

// The changes reported during one painting.
class ChangedRows {
public:
    // Rows top..bottom changed; top > bottom reports a painting that changed nothing.
    void notePainted(int32_t top, int32_t bottom);
    // Rows top..bottom moved: row y shows what row (y + moved) modulo the height showed. Only a
    // painting's first report keeps the move apart from the rows painted after it.
    void noteMoved(int32_t moved, int32_t top, int32_t bottom);
    // Every row may have changed.
    void noteReplaced();
    // The changes reported since the previous call (everything when nothing was reported), and
    // forgets them.
    ScreenChanges take();

private:
    bool reported_ = false;  // a painter spoke since the last take
    ScreenChanges changes_;
};
