#pragma once
// -keys: the caption of the keys typed, painted with the run's fonts and theme and laid on a
// half-transparent box near the bottom of a copy of the frame.

#include <cstdint>
#include <string>

#include "render/renderer.h"
#include "render/screen_changes.h"
#include "render/surface.h"

constexpr int32_t kCaptionOpaque = 256;

// What the caption shows at a moment.
struct CaptionLook {
    std::u32string text;  // empty: no caption
    int32_t opacity = 0;  // 0 (gone) to kCaptionOpaque
    bool shown() const { return !text.empty() && opacity > 0; }
    bool operator==(const CaptionLook&) const = default;
};

struct ComposedFrame {
    const Surface& picture;  // the frame itself while no caption shows
    ScreenChanges changes;   // the rows that changed since the previous picture composed
};

class KeyCaption {
public:
    // options: the frame painter's (fonts, theme, padding); mostCells: the widest text, in cells.
    KeyCaption(const RenderOptions& options, int32_t mostCells);

    // The frame with the caption over it, above the cursor's row (cursorRow, from the top;
    // negative: none) when it would cover it and there is room. frameChanges: the frame's rows
    // that changed since the previous call.
    ComposedFrame compose(const Surface& frame, const ScreenChanges& frameChanges, const CaptionLook& look,
                          int32_t cursorRow);

    // The picture of the last call, composed from frame.
    const Surface& picture(const Surface& frame) const { return box_.shown ? composed_ : frame; }

    // Pixel rectangle, inclusive, y = 0 at the top.
    struct Box {
        bool shown = false;
        int32_t left = 0;
        int32_t top = 0;
        int32_t right = -1;
        int32_t bottom = -1;
        bool operator==(const Box&) const = default;
    };

private:
    Box place(const Surface& frame, int32_t cursorRow) const;
    void paintText(const std::u32string& text);
    void blendRows(const Surface& frame, int32_t top, int32_t bottom);

    Painter painter_;  // paints the text as a one-row screen
    int32_t padding_ = 0;
    WindowLook window_;  // -window: the cells sit lower, and the margin is no place for the caption
    int32_t mostCells_ = 1;
    std::u32string painted_;  // the text the painter holds
    bool paintedOnce_ = false;
    int32_t textCells_ = 0;
    CaptionLook look_;
    Box box_;                 // where the composed picture holds the caption
    Surface composed_;        // the frame with the caption, while it shows
};
