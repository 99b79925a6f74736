#include "render/screen_changes.h"

#include <algorithm>

void ChangedRows::notePainted(int32_t top, int32_t bottom) {
    if (!reported_) {
        reported_ = true;
        changes_ = ScreenChanges{.everything = false};
    }
    if (top > bottom || changes_.everything) return;
    if (changes_.top > changes_.bottom) {
        changes_.top = top;
        changes_.bottom = bottom;
    } else {
        changes_.top = std::min(changes_.top, top);
        changes_.bottom = std::max(changes_.bottom, bottom);
    }
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
