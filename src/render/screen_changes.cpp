#include "render/screen_changes.h"

#include <algorithm>

void ChangedRows::notePainted(int32_t top, int32_t bottom) {
    if (!reported_) {
        reported_ = true;
        changes_ = ScreenChanges{.everything = false, .exact = true};
    }
    if (top > bottom || changes_.everything) return;
    if (changes_.top > changes_.bottom) {
        changes_.top = top;
        changes_.bottom = bottom;
    } else {
        changes_.top = std::min(changes_.top, top);
        changes_.bottom = std::max(changes_.bottom, bottom);
    }
    changes_.repainted.add(top, bottom);
}

void ChangedRows::noteMoved(int32_t moved, int32_t top, int32_t bottom) {
    if (reported_ || top > bottom) return notePainted(top, bottom);
    reported_ = true;
    changes_ = ScreenChanges{.everything = false, .top = top, .bottom = bottom, .exact = true, .moved = moved};
}

void ChangedRows::noteReplaced() {
    reported_ = true;
    changes_ = ScreenChanges{};
}

ScreenChanges ChangedRows::take() {
    ScreenChanges taken = reported_ ? changes_ : ScreenChanges{};
    *this = ChangedRows{};
    return taken;
}
