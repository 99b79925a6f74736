#include "render/box_drawing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

namespace {

constexpr int32_t kDefaultWidth = 10;
constexpr int32_t kDefaultHeight = 20;

// What a line does on one side of the cell's centre.
enum class Arm : uint8_t { none, light, heavy, double_ };

enum Side { kUp, kRight, kDown, kLeft };

// U+2500-U+257F: the arm on each side, written up, right, down, left ('.' none, 'l' light,
// 'h' heavy, 'd' double); an empty entry is a dashed, rounded or diagonal shape drawn apart.
constexpr std::array<std::string_view, 128> kArms{
    ".l.l", ".h.h", "l.l.", "h.h.", "", "", "", "", "", "", "", "",              // 2500-250B ─━│┃ dashes
    ".ll.", ".hl.", ".lh.", ".hh.", "..ll", "..lh", "..hl", "..hh",              // 250C-2513 ┌┍┎┏┐┑┒┓
    "ll..", "lh..", "hl..", "hh..", "l..l", "l..h", "h..l", "h..h",              // 2514-251B └┕┖┗┘┙┚┛
    "lll.", "lhl.", "hll.", "llh.", "hlh.", "hhl.", "lhh.", "hhh.",              // 251C-2523 ├┝┞┟┠┡┢┣
    "l.ll", "l.lh", "h.ll", "l.hl", "h.hl", "h.lh", "l.hh", "h.hh",              // 2524-252B ┤┥┦┧┨┩┪┫
    ".lll", ".llh", ".hll", ".hlh", ".lhl", ".lhh", ".hhl", ".hhh",              // 252C-2533 ┬┭┮┯┰┱┲┳
    "ll.l", "ll.h", "lh.l", "lh.h", "hl.l", "hl.h", "hh.l", "hh.h",              // 2534-253B ┴┵┶┷┸┹┺┻
    "llll", "lllh", "lhll", "lhlh", "hlll", "llhl", "hlhl", "hllh",              // 253C-2543 ┼┽┾┿╀╁╂╃
    "hhll", "llhh", "lhhl", "hhlh", "lhhh", "hlhh", "hhhl", "hhhh",              // 2544-254B ╄╅╆╇╈╉╊╋
    "", "", "", "",                                                              // 254C-254F dashes
    ".d.d", "d.d.", ".dl.", ".ld.", ".dd.", "..ld", "..dl", "..dd",              // 2550-2557 ═║╒╓╔╕╖╗
    "ld..", "dl..", "dd..", "l..d", "d..l", "d..d", "ldl.", "dld.",              // 2558-255F ╘╙╚╛╜╝╞╟
    "ddd.", "l.ld", "d.dl", "d.dd", ".dld", ".ldl", ".ddd", "ld.d",              // 2560-2567 ╠╡╢╣╤╥╦╧
    "dl.l", "dd.d", "ldld", "dldl", "dddd",                                      // 2568-256C ╨╩╪╫╬
    "", "", "", "", "", "", "",                                                  // 256D-2573 ╭╮╯╰╱╲╳
    "...l", "l...", ".l..", "..l.", "...h", "h...", ".h..", "..h.",              // 2574-257B ╴╵╶╷╸╹╺╻
    ".h.l", "l.h.", ".l.h", "h.l.",                                              // 257C-257F ╼╽╾╿
};

struct Cell {
    Surface& surface;
    int32_t x;  // top-left pixel
    int32_t y;
    Colour colour;
    int32_t width;  // the cell's size in pixels
    int32_t height;
    int32_t light;       // stroke widths: one pixel in the 10 x 20 cell, more in taller ones
    int32_t heavy;
    int32_t gap;  // a double line's strokes lie this far either side of the centre

    bool isDefault() const { return width == kDefaultWidth && height == kDefaultHeight; }
    void fill(int32_t x0, int32_t y0, int32_t x1, int32_t y1) const {
        fillRect(surface, x + x0, y + y0, x + x1, y + y1, colour);
    }
    void dot(int32_t dx, int32_t dy) const { putPixel(surface, x + dx, y + dy, colour); }
};

// A stroke along one arm, `across` pixels off the centre line, running from the cell's edge to
// `reach` pixels past the centre (negative: short of it).
void drawArmStroke(const Cell& cell, Side side, int32_t across, int32_t reach, bool heavy) {
    int32_t width = heavy ? cell.heavy : cell.light;
    int32_t low = (width - 1) / 2;  // pixels before the centre line, then after it
    int32_t high = width - 1 - low;
    int32_t cx = cell.width / 2;
    int32_t cy = cell.height / 2;
    // Wider strokes reach on past the centre by their own half, so that corners close.
    int32_t toward = reach + high;
    int32_t back = reach + low;
    switch (side) {
        case kUp:
            cell.fill(cx + across - low, 0, cx + across + high, cy + toward);
            break;
        case kDown:
            cell.fill(cx + across - low, cy - back, cx + across + high, cell.height - 1);
            break;
        case kLeft:
            cell.fill(0, cy + across - low, cx + toward, cy + across + high);
            break;
        case kRight:
            cell.fill(cx - back, cy + across - low, cell.width - 1, cy + across + high);
            break;
    }
}

Side opposite(Side side) { return static_cast<Side>((side + 2) % 4); }

// The two sides across an arm: the one on the negative side of its centre line first.
std::array<Side, 2> crossSides(Side side) {
    return (side == kUp || side == kDown) ? std::array<Side, 2>{kLeft, kRight} : std::array<Side, 2>{kUp, kDown};
}

// Where a crossing arm's edge lies, seen from an arm: a double line's near or far stroke, or
// the centre line of a single one.
int32_t edgeOf(const Cell& cell, Arm arm, bool far) {
    if (arm != Arm::double_) return 0;
    return far ? cell.gap : -cell.gap;
}

// Light and heavy arms meet at the centre; next to double lines they stop at the near stroke
// (a tee), run to the far one (a corner) or cross both (a cross).
void drawSingleArm(const Cell& cell, const std::array<Arm, 4>& arms, Side side) {
    std::array<Side, 2> across = crossSides(side);
    int doubles = (arms[across[0]] == Arm::double_) + (arms[across[1]] == Arm::double_);
    int32_t reach = 0;
    if (doubles == 2) {
        reach = arms[opposite(side)] != Arm::none ? 0 : -cell.gap;
    } else if (doubles == 1) {
        reach = cell.gap;
    }
    drawArmStroke(cell, side, 0, reach, arms[side] == Arm::heavy);
}

// Each stroke of a double arm stops at the crossing arm on its own side, or else turns the
// corner into the crossing arm on the other side.
void drawDoubleArm(const Cell& cell, const std::array<Arm, 4>& arms, Side side) {
    std::array<Side, 2> across = crossSides(side);
    for (int stroke = 0; stroke < 2; ++stroke) {
        Arm own = arms[across[stroke]];
        Arm other = arms[across[1 - stroke]];
        int32_t reach = 0;
        if (own != Arm::none) {
            reach = edgeOf(cell, own, false);
        } else if (other != Arm::none) {
            reach = edgeOf(cell, other, true);
        }
        drawArmStroke(cell, side, stroke == 0 ? -cell.gap : cell.gap, reach, false);
    }
}

void drawArms(const Cell& cell, std::string_view code) {
    std::array<Arm, 4> arms{};
    for (size_t i = 0; i < 4; ++i) {
        switch (code[i]) {
            case 'l': arms[i] = Arm::light; break;
            case 'h': arms[i] = Arm::heavy; break;
            case 'd': arms[i] = Arm::double_; break;
            default: arms[i] = Arm::none; break;
        }
    }
    for (Side side : {kUp, kRight, kDown, kLeft}) {
        if (arms[side] == Arm::double_) {
            drawDoubleArm(cell, arms, side);
        } else if (arms[side] != Arm::none) {
            drawSingleArm(cell, arms, side);
        }
    }
}

// Dash patterns across a whole cell, '#' drawn: two, three or four dashes.
void drawDashes(const Cell& cell, bool vertical, int dashes, bool heavy) {
    constexpr std::array<std::string_view, 3> kHorizontal{"###..###..", "##.##.##..", "#.#.#.#.#."};
    constexpr std::array<std::string_view, 3> kVertical{"#######...#######...", "#####..#####..#####.",
                                                        "###..###..###..###.."};
    int32_t width = heavy ? cell.heavy : cell.light;
    int32_t low = (width - 1) / 2;
    int32_t high = width - 1 - low;
    int32_t length = vertical ? cell.height : cell.width;
    auto dash = [&](int32_t from, int32_t to) {
        if (vertical) {
            cell.fill(cell.width / 2 - low, from, cell.width / 2 + high, to);
        } else {
            cell.fill(from, cell.height / 2 - low, to, cell.height / 2 + high);
        }
    };
    if (!cell.isDefault()) {
        // Each dash takes the first three fifths of its share of the cell.
        for (int32_t i = 0; i < dashes; ++i) {
            int32_t from = i * length / dashes;
            int32_t share = (i + 1) * length / dashes - from;
            dash(from, from + std::max(1, share * 3 / 5) - 1);
        }
        return;
    }
    std::string_view pattern = (vertical ? kVertical : kHorizontal)[static_cast<size_t>(dashes - 2)];
    for (int32_t i = 0; i < static_cast<int32_t>(pattern.size()); ++i) {
        if (pattern[static_cast<size_t>(i)] == '#') dash(i, i);
    }
}

// A quarter circle of a third of the cell's width joins the two arms, in light strokes.
void drawRoundedArc(const Cell& cell, int32_t towardsX, int32_t towardsY) {
    int32_t cx = cell.width / 2;
    int32_t cy = cell.height / 2;
    int32_t radius = std::max(2, cell.width / 3);
    int32_t low = (cell.light - 1) / 2;
    int32_t high = cell.light - 1 - low;
    auto spot = [&](int32_t px, int32_t py) { cell.fill(px - low, py - low, px + high, py + high); };
    if (towardsX > 0) {
        cell.fill(cx + radius, cy - low, cell.width - 1, cy + high);
    } else {
        cell.fill(0, cy - low, cx - radius, cy + high);
    }
    if (towardsY > 0) {
        cell.fill(cx - low, cy + radius, cx + high, cell.height - 1);
    } else {
        cell.fill(cx - low, 0, cx + high, cy - radius);
    }
    int32_t steps = 8 * radius;
    for (int32_t i = 0; i <= steps; ++i) {
        double angle = 1.5707963267948966 * i / steps;
        int32_t px = cx + towardsX * static_cast<int32_t>(std::lround(radius - radius * std::sin(angle)));
        int32_t py = cy + towardsY * static_cast<int32_t>(std::lround(radius - radius * std::cos(angle)));
        spot(px, py);
    }
}

// The quarter-circle corners ╭╮╯╰ : light strokes that stop two pixels short of the centre,
// joined by one diagonal pixel.
void drawRoundedCorner(const Cell& cell, int32_t towardsX, int32_t towardsY) {
    int32_t cx = cell.width / 2;
    int32_t cy = cell.height / 2;
    if (!cell.isDefault()) {
        drawRoundedArc(cell, towardsX, towardsY);
        return;
    }
    if (towardsX > 0) {
        cell.fill(cx + 2, cy, cell.width - 1, cy);
    } else {
        cell.fill(0, cy, cx - 2, cy);
    }
    if (towardsY > 0) {
        cell.fill(cx, cy + 2, cx, cell.height - 1);
    } else {
        cell.fill(cx, 0, cx, cy - 2);
    }
    cell.dot(cx + towardsX, cy + towardsY);
}

void drawDiagonal(const Cell& cell, bool rising) {
    int32_t low = (cell.light - 1) / 2;
    int32_t high = cell.light - 1 - low;
    for (int32_t row = 0; row < cell.height; ++row) {
        int32_t column = row * cell.width / cell.height;
        int32_t at = rising ? cell.width - 1 - column : column;
        cell.fill(at - low, row, at + high, row);
    }
}

bool drawSpecialLine(const Cell& cell, uint32_t codePoint) {
    switch (codePoint) {
        case 0x2504: drawDashes(cell, false, 3, false); return true;  // ┄
        case 0x2505: drawDashes(cell, false, 3, true); return true;   // ┅
        case 0x2506: drawDashes(cell, true, 3, false); return true;   // ┆
        case 0x2507: drawDashes(cell, true, 3, true); return true;    // ┇
        case 0x2508: drawDashes(cell, false, 4, false); return true;  // ┈
        case 0x2509: drawDashes(cell, false, 4, true); return true;   // ┉
        case 0x250A: drawDashes(cell, true, 4, false); return true;   // ┊
        case 0x250B: drawDashes(cell, true, 4, true); return true;    // ┋
        case 0x254C: drawDashes(cell, false, 2, false); return true;  // ╌
        case 0x254D: drawDashes(cell, false, 2, true); return true;   // ╍
        case 0x254E: drawDashes(cell, true, 2, false); return true;   // ╎
        case 0x254F: drawDashes(cell, true, 2, true); return true;    // ╏
        case 0x256D: drawRoundedCorner(cell, 1, 1); return true;      // ╭
        case 0x256E: drawRoundedCorner(cell, -1, 1); return true;     // ╮
        case 0x256F: drawRoundedCorner(cell, -1, -1); return true;    // ╯
        case 0x2570: drawRoundedCorner(cell, 1, -1); return true;     // ╰
        case 0x2571: drawDiagonal(cell, true); return true;           // ╱
        case 0x2572: drawDiagonal(cell, false); return true;          // ╲
        case 0x2573:                                                  // ╳
            drawDiagonal(cell, true);
            drawDiagonal(cell, false);
            return true;
        default: return false;
    }
}

// Eighths of the cell, rounded to whole pixels.
int32_t eighths(int32_t length, int32_t count) { return (length * count + 4) / 8; }

// Shades are regular dot patterns; cell sizes are even, so they tile across cells.
void drawShade(const Cell& cell, int level) {
    for (int32_t row = 0; row < cell.height; ++row) {
        for (int32_t column = 0; column < cell.width; ++column) {
            bool even = column % 2 == 0 && row % 2 == 0;
            bool chequer = (column + row) % 2 == 0;
            bool ink = level == 1 ? even : level == 2 ? chequer : !(column % 2 == 1 && row % 2 == 1);
            if (ink) cell.dot(column, row);
        }
    }
}

// Quadrant bits: 1 upper left, 2 upper right, 4 lower left, 8 lower right.
void drawQuadrants(const Cell& cell, int quadrants) {
    int32_t midX = cell.width / 2;
    int32_t midY = cell.height / 2;
    if (quadrants & 1) cell.fill(0, 0, midX - 1, midY - 1);
    if (quadrants & 2) cell.fill(midX, 0, cell.width - 1, midY - 1);
    if (quadrants & 4) cell.fill(0, midY, midX - 1, cell.height - 1);
    if (quadrants & 8) cell.fill(midX, midY, cell.width - 1, cell.height - 1);
}

void drawBlockElement(const Cell& cell, uint32_t codePoint) {
    if (codePoint == 0x2580) {  // ▀ upper half
        cell.fill(0, 0, cell.width - 1, cell.height / 2 - 1);
    } else if (codePoint <= 0x2588) {  // ▁▂▃▄▅▆▇█ lower eighths, full block
        int32_t height = eighths(cell.height, static_cast<int32_t>(codePoint - 0x2580));
        cell.fill(0, cell.height - height, cell.width - 1, cell.height - 1);
    } else if (codePoint <= 0x258F) {  // ▉▊▋▌▍▎▏ left seven eighths down to one eighth
        int32_t width = eighths(cell.width, static_cast<int32_t>(0x2590 - codePoint));
        cell.fill(0, 0, width - 1, cell.height - 1);
    } else if (codePoint == 0x2590) {  // ▐ right half
        cell.fill(cell.width / 2, 0, cell.width - 1, cell.height - 1);
    } else if (codePoint <= 0x2593) {  // ░▒▓
        drawShade(cell, static_cast<int>(codePoint - 0x2590));
    } else if (codePoint == 0x2594) {  // ▔ upper one eighth
        cell.fill(0, 0, cell.width - 1, eighths(cell.height, 1) - 1);
    } else if (codePoint == 0x2595) {  // ▕ right one eighth
        cell.fill(cell.width - eighths(cell.width, 1), 0, cell.width - 1, cell.height - 1);
    } else {  // ▖▗▘▙▚▛▜▝▞▟
        constexpr std::array<int, 10> kQuadrants{4, 8, 1, 1 | 4 | 8, 1 | 8, 1 | 2 | 4, 1 | 2 | 8, 2, 2 | 4, 2 | 4 | 8};
        drawQuadrants(cell, kQuadrants[codePoint - 0x2596]);
    }
}

}  // namespace

bool drawBoxDrawing(Surface& surface, uint32_t codePoint, int32_t x, int32_t y, Colour colour) {
    return drawBoxDrawingScaled(surface, codePoint, x, y, kDefaultWidth, kDefaultHeight, colour);
}

int32_t boxLineWidth(int32_t height) { return std::max(1, (height + 10) / 20); }

bool drawBoxDrawingScaled(Surface& surface, uint32_t codePoint, int32_t x, int32_t y, int32_t width, int32_t height,
                          Colour colour) {
    if (!isBoxDrawing(codePoint)) return false;
    int32_t light = boxLineWidth(height);
    Cell cell{surface, x, y, colour, width, height, light, 2 * light + 1, 2 * light};
    if (codePoint >= 0x2580) {
        drawBlockElement(cell, codePoint);
    } else if (!drawSpecialLine(cell, codePoint)) {
        drawArms(cell, kArms[codePoint - kFirstBoxDrawing]);
    }
    return true;
}
