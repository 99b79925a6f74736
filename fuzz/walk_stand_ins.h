#pragma once
// The walk's painter, key caption and emission, linked in place of render's and emission's by
// the targets that walk a recording without painting: nothing but the symbols playback uses, so
// that the libraries' own objects are never linked. Each screen handed to painting is checked
// (the cursor and pen), and the frame spans must follow one another without gap or overlap.

#include <cstdint>
#include <cstdlib>

#include "emission/emission.h"
#include "grid_checks.h"
#include "render/key_caption.h"
#include "render/renderer.h"
#include "terminal/terminal.h"

struct WalkChecks {
    int32_t paints = 0;
    int32_t failingPaint = -1;  // the paint that reports a missing font; negative: none
    int32_t lastEnd = 0;        // where the previous span ended: the next one starts there
    bool finalShown = false;
};

inline WalkChecks walkChecks;

struct PainterState {};

Painter::Painter(const RenderOptions&) {}

Painter::~Painter() = default;

PaintResult Painter::paint(const Terminal& terminal) {
    if (terminal.options().emulation == Emulation::xterm) {
        checkXtermCursor(terminal);
    } else {
        checkBasicPen(terminal.grid());
    }
    return {.painted = walkChecks.paints++ != walkChecks.failingPaint, .changes = {}};
}

const Surface& Painter::frame() const {
    static const Surface kNone;
    return kNone;
}

const Surface& Painter::turnedFrame() const { return frame(); }

KeyCaption::KeyCaption(const RenderOptions& options, int32_t) : painter_(options) {}

ComposedFrame KeyCaption::compose(const Surface& frame, const ScreenChanges& frameChanges, const CaptionLook& look,
                                  int32_t) {
    if (look.opacity < 0 || look.opacity > kCaptionOpaque) std::abort();
    return {frame, frameChanges};
}

struct Emission::State {};

Emission::Emission(const EmissionOptions&) {}

Emission::~Emission() = default;

void Emission::emitFrames(const Surface&, const ScreenChanges&, const FrameSpan& span) {
    if (walkChecks.finalShown || span.start != walkChecks.lastEnd || span.end < span.start) std::abort();
    walkChecks.lastEnd = span.end;
}

void Emission::emitFinalFrames(const Surface&, const ScreenChanges&, const FrameSpan& span) {
    if (walkChecks.finalShown || span.start != walkChecks.lastEnd || span.end <= span.start) std::abort();
    walkChecks.finalShown = true;
}
