#include "render/screen_changes.h"

#include <algorithm>

namespace {

struct PendingChanges {
    bool reported = false;  // a painter spoke since the last take
    ScreenChanges changes;
};

PendingChanges pending;

}  // namespace

void noteScreenPainted(int32_t top, int32_t bottom) {
    ScreenChanges& changes = pending.changes;
    if (!pending.reported) {
        pending.reported = true;
        changes = ScreenChanges{.everything = false};
    }
    if (top > bottom || changes.everything) return;
    if (changes.top > changes.bottom) {
        changes.top = top;
        changes.bottom = bottom;
    } else {
        changes.top = std::min(changes.top, top);
        changes.bottom = std::max(changes.bottom, bottom);
    }
}

void noteScreenReplaced() {
    pending.reported = true;
    pending.changes = ScreenChanges{};
}

ScreenChanges takeScreenChanges() {
    ScreenChanges taken = pending.reported ? pending.changes : ScreenChanges{};
    pending = PendingChanges{};
    return taken;
}

void resetScreenChanges() { pending = PendingChanges{}; }
