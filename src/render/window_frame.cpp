#include "render/window_frame.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "render/glyph_font.h"
#include "render/outline_font.h"
#include "render/outline_painter.h"
#include "render/renderer.h"
#include "render/xterm_renderer.h"
#include "terminal/character_widths.h"

namespace {

// The buttons of a macOS window bar: close, minimise, zoom.
constexpr std::array<Colour, 3> kButtonColours{0xFF5F57, 0xFEBC2E, 0x28C840};
// Edges are blended in this many steps, which keeps the colours few (a GIF has 256).
constexpr float kCoverageSteps = 8.0f;

// The bar's height for cells cellHeight pixels high: a row and a half, even, as every side of
// the picture is (the movie encoders want even sizes).
int32_t barHeightFor(int32_t cellHeight) {
    const int32_t height = (cellHeight * 3 + 1) / 2;
    return height + (height & 1);
}

uint8_t channel(Colour colour, int c) { return static_cast<uint8_t>(colour >> (8 * c)); }

float luminance(Colour colour) {
    return (0.2126f * channel(colour, 2) + 0.7152f * channel(colour, 1) + 0.0722f * channel(colour, 0)) / 255.0f;
}

// from moved amount (0 to 1) of the way to to, channel by channel.
Colour mix(Colour from, Colour to, float amount) {
    Colour mixed = 0;
    for (int c = 0; c < 3; ++c) {
        const float value = channel(from, c) + (channel(to, c) - channel(from, c)) * amount;
        mixed |= static_cast<Colour>(std::lround(value)) << (8 * c);
    }
    return mixed;
}

uint8_t* pixelOf(Surface& surface, int32_t x, int32_t y) { return pixelRow(surface, y) + 4 * static_cast<size_t>(x); }

// Blends colour over the pixel by coverage (0 to 1), in linear light, in kCoverageSteps steps.
void coverPixel(Surface& surface, int32_t x, int32_t y, Colour colour, float coverage) {
    const float stepped = std::round(coverage * kCoverageSteps) / kCoverageSteps;
    const auto amount = static_cast<uint8_t>(std::lround(stepped * 255.0f));
    if (amount == 0) return;
    uint8_t* out = pixelOf(surface, x, y);
    for (int c = 0; c < 3; ++c) {
        out[c] = amount == 255 ? channel(colour, c) : blendChannel(out[c], channel(colour, c), amount);
    }
}

// A disc centred at (x, y) (pixel edges at whole numbers), its edge anti-aliased.
void drawDisc(Surface& surface, float centreX, float centreY, float radius, Colour colour) {
    const auto left = std::max(static_cast<int32_t>(std::floor(centreX - radius - 1)), 0);
    const auto top = std::max(static_cast<int32_t>(std::floor(centreY - radius - 1)), 0);
    const auto right = std::min(static_cast<int32_t>(std::ceil(centreX + radius + 1)), surface.width - 1);
    const auto bottom = std::min(static_cast<int32_t>(std::ceil(centreY + radius + 1)), surface.height - 1);
    for (int32_t y = top; y <= bottom; ++y) {
        for (int32_t x = left; x <= right; ++x) {
            const float distance = std::hypot(x + 0.5f - centreX, y + 0.5f - centreY);
            coverPixel(surface, x, y, colour, std::clamp(radius + 0.5f - distance, 0.0f, 1.0f));
        }
    }
}

// The code points of UTF-8 text; what is not well formed is U+FFFD.
std::vector<uint32_t> codePointsOf(std::string_view text) {
    std::vector<uint32_t> points;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const int length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        uint32_t point = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            point = point << 6 | (next & 0x3F);
        }
        points.push_back(valid ? point : 0xFFFD);
        i += valid ? static_cast<size_t>(length) : 1;
    }
    return points;
}

// The font.txt key that draws a code point: ASCII, code page 437's upper half, else '?'.
int32_t bitmapKey(uint32_t point) {
    if (point >= 0x20 && point < 0x7F) return static_cast<int32_t>(point);
    for (int32_t code = 128; code < 256; ++code) {
        if (codePage437Character(static_cast<uint8_t>(code)) == point) return code;
    }
    return '?';
}

struct TitleFont {
    PainterState& painter;
    bool outline;
    int32_t cellWidth;
    int32_t cellHeight;

    // Cells the character takes: the emulation's widths with -font; font.txt draws one.
    int32_t span(uint32_t point) const {
        if (!outline) return 1;
        return point < 0x20 || point == 0x7F ? 0 : characterWidth(point);
    }

    void draw(Surface& bar, uint32_t point, int32_t x, int32_t y, Colour colour, Colour background) {
        if (!outline) {
            if (point != ' ') drawGlyph(painter.glyphs, bar, bitmapKey(point), x, y, colour, background);
            return;
        }
        OutlineGlyph glyph;
        const int32_t cells = span(point);
        if (painter.outlineFont.drawGlyph(point, 0, cells, glyph) || painter.outlineFont.drawGlyph('?', 0, 1, glyph)) {
            blendGlyph(bar, glyph, x, y, cells * cellWidth, cellHeight, colour);
        }
    }
};

// The title centred on the bar, between the buttons and as far from the right edge; cut with
// "..." where it is longer.
void drawTitle(Surface& bar, TitleFont font, std::string_view title, int32_t buttonsEnd, Colour colour,
               Colour background) {
    std::vector<uint32_t> points = codePointsOf(title);
    const int32_t room = bar.width - 2 * buttonsEnd;
    int64_t width = 0;  // a header's title may be as long as it likes
    for (uint32_t point : points) width += font.span(point) * font.cellWidth;
    if (width > room) {
        const int32_t dots = 3 * font.cellWidth;
        if (room < dots) return;
        while (!points.empty() && width + dots > room) {
            width -= font.span(points.back()) * font.cellWidth;
            points.pop_back();
        }
        points.insert(points.end(), {'.', '.', '.'});
        width += dots;
    }
    auto x = static_cast<int32_t>((bar.width - width) / 2);
    const int32_t y = (bar.height - font.cellHeight) / 2;
    for (uint32_t point : points) {
        if (font.span(point) == 0) continue;
        font.draw(bar, point, x, y, colour, background);
        x += font.span(point) * font.cellWidth;
    }
}

}  // namespace

FrameInsets frameInsets(int32_t padding, const WindowLook& window, int32_t cellHeight) {
    if (!window.shown) return {padding, padding, padding, padding};
    const int32_t side = padding + window.margin;
    return {side, side + barHeightFor(cellHeight), side, side};
}

WindowShape windowShape(const PainterState& p, int32_t frameWidth, int32_t frameHeight) {
    const RenderOptions& options = p.options;
    const int32_t cellHeight = options.outlineFont.empty() ? kCellHeight : p.outlineFont.metrics().cellHeight;
    const Colour background = options.theme.background;
    const bool dark = luminance(background) < 0.5f;
    WindowShape shape;
    shape.left = shape.top = options.window.margin;
    shape.width = frameWidth - 2 * options.window.margin;
    shape.height = frameHeight - 2 * options.window.margin;
    shape.barHeight = barHeightFor(cellHeight);
    // The corners never meet, however narrow the window (a cell of a small -font may be 2 pixels).
    shape.radius = std::min({shape.barHeight / 3, shape.width / 2, shape.height / 2});
    shape.margin = options.window.marginColour >= 0 ? options.window.marginColour : dark ? 0x8E949C : 0x5E636B;
    shape.bar = dark ? mix(background, 0xFFFFFF, 0.1f) : mix(background, 0x000000, 0.08f);
    const Colour text = options.theme.foreground;
    shape.title = std::abs(luminance(text) - luminance(shape.bar)) >= 0.35f ? text : dark ? 0xD0D0D0 : 0x303030;
    return shape;
}

void paintWindow(PainterState& p, const WindowShape& shape, Surface& picture) {
    fillRect(picture, 0, 0, picture.width - 1, picture.height - 1, shape.margin);
    fillRect(picture, shape.left, shape.top, shape.left + shape.width - 1, shape.top + shape.height - 1,
             p.options.theme.background);

    Surface bar;
    allocSurface(bar, shape.width, shape.barHeight);
    fillRect(bar, 0, 0, bar.width - 1, bar.height - 1, shape.bar);
    const float height = static_cast<float>(shape.barHeight);
    const float spacing = height * 2 / 3;
    for (size_t i = 0; i < kButtonColours.size(); ++i) {
        drawDisc(bar, height / 2 + static_cast<float>(i) * spacing, height / 2, height / 5, kButtonColours[i]);
    }
    const bool outline = !p.options.outlineFont.empty();
    const OutlineMetrics& metrics = p.outlineFont.metrics();
    const auto buttonsEnd = static_cast<int32_t>(std::ceil(height + 2 * spacing));
    if (outline || ensureFont(p)) {
        const TitleFont font{p, outline, outline ? metrics.cellWidth : kCellWidth,
                             outline ? metrics.cellHeight : kCellHeight};
        drawTitle(bar, font, p.options.window.title, buttonsEnd, shape.title, shape.bar);
    }
    const size_t rowBytes = static_cast<size_t>(bar.width) * 4;
    for (int32_t y = 0; y < bar.height; ++y) {
        std::memcpy(pixelOf(picture, shape.left, shape.top + y), pixelOf(bar, 0, y), rowBytes);
    }
    roundWindowCorners(picture, shape, {0, 0, picture.width - 1, picture.height - 1});
}

void roundWindowCorners(Surface& frame, const WindowShape& shape, const PixelRect& rect) {
    const int32_t radius = shape.radius;
    const int32_t right = shape.left + shape.width - radius;  // where the right corners' squares start
    const int32_t bottom = shape.top + shape.height - radius;
    struct Corner {
        int32_t left;  // of its square of radius x radius pixels
        int32_t top;
        int32_t centreX;  // the arc's centre, on a pixel edge
        int32_t centreY;
    };
    const Corner corners[] = {{shape.left, shape.top, shape.left + radius, shape.top + radius},
                              {right, shape.top, right, shape.top + radius},
                              {shape.left, bottom, shape.left + radius, bottom},
                              {right, bottom, right, bottom}};
    for (const Corner& corner : corners) {
        const int32_t lastX = std::min(corner.left + radius - 1, rect.right);
        const int32_t lastY = std::min(corner.top + radius - 1, rect.bottom);
        for (int32_t y = std::max(corner.top, rect.top); y <= lastY; ++y) {
            for (int32_t x = std::max(corner.left, rect.left); x <= lastX; ++x) {
                const float distance = std::hypot(static_cast<float>(x - corner.centreX) + 0.5f,
                                                  static_cast<float>(y - corner.centreY) + 0.5f);
                const float outside = std::clamp(distance - static_cast<float>(radius) + 0.5f, 0.0f, 1.0f);
                coverPixel(frame, x, y, shape.margin, outside);
            }
        }
    }
}
