#pragma once
// -keys: the keys of a recording's input events as caption text, and when the caption changes
// on the played clock. Nothing here touches a picture.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "playback/events.h"
#include "playback/timing.h"
#include "render/key_caption.h"

struct KeysOptions {
    bool on = false;         // -keys
    int64_t hold = 1500000;  // -keys-hold: microseconds the caption stays after the last key
    // Keys named by symbols (⏎, ⌫, ↑); false: by ASCII names (Enter, BS, Up), for fonts without them.
    bool symbols = true;
    int32_t mostCells = 40;  // the text keeps its tail that fits this many cells
};

// What the typed keys show: typed characters gathered, other keys named, repeats counted.
class KeyText {
public:
    explicit KeyText(const KeysOptions& options) : options_(options) {}

    // Takes the bytes of one input event; false when they hold no key to show.
    bool press(std::span<const uint8_t> bytes);
    void clear() { pieces_.clear(); }
    // The caption: its tail that fits the cells.
    std::u32string text() const;

private:
    struct Piece {
        std::u32string label;
        int32_t count = 1;
        bool typed = false;  // typed characters, gathered; else a named key
    };
    void add(std::u32string label, bool typed);
    std::u32string joined() const;

    KeysOptions options_;
    std::vector<Piece> pieces_;
};

// The caption from a time on: its look from then until the next step.
struct CaptionStep {
    int64_t played = 0;  // on the played clock, from the first output event (0 before it)
    CaptionLook look;
};

// Every change of the caption, in order: a key shows it at full opacity, and hold after the
// last key it fades in a few steps and is gone. Walks a copy of the source.
std::vector<CaptionStep> captionSteps(const TimingRules& rules, EventSource source, const KeysOptions& options);

// True when the recording holds input events.
bool hasInputEvents(const Recording& recording);
