#include <algorithm>
#include <cstring>

#include "render/painter_state.h"
#include "render/renderer.h"

// ---- Scrolling ----
//
// A program that scrolls sends the whole screen again, a few rows higher or lower. When the
// painted rows turn up elsewhere on the new screen, their pixel rows are moved there and
// counted as painted with those cells, so that only the rows that really are new get p.grid.
// Moving is exact only while every painted cell stays inside its box.

// A digest of a row's cells, eight bytes at a time; rows with equal digests are taken for equal
// rows only to choose a shift, and the cells are compared before anything is left unpainted.
namespace {

uint64_t rowDigest(const uint8_t* chars, const CellAttr* attrs, int32_t columns) {
    uint64_t digest = 0x9E3779B97F4A7C15u;
    auto mix = [&](const uint8_t* bytes, size_t count) {
        size_t at = 0;
        for (; at + 8 <= count; at += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + at, 8);
            digest = (digest ^ word) * 0x100000001B3u;
            digest ^= digest >> 29;
        }
        for (; at < count; ++at) digest = (digest ^ bytes[at]) * 0x100000001B3u;
    };
    mix(chars, static_cast<size_t>(columns));
    mix(reinterpret_cast<const uint8_t*>(attrs), sizeof(CellAttr) * static_cast<size_t>(columns));
    return digest;
}

}  // namespace

// The shift (new row r shows painted row r + shift) that lets the most rows be moved rather
// than painted; 0 when none beats leaving the rows where they are. now gets the digests of the
// grid's rows.
int32_t findScroll(PainterState& p, const ScreenGrid& grid, int32_t columns, int32_t rows, std::array<uint64_t, kGridRows>& now) {
    std::array<bool, kGridRows> same{};
    int32_t unchanged = 0;
    for (int32_t r = 0; r < rows; ++r) {
        size_t base = static_cast<size_t>(r) * kGridColumns;
        same[r] = std::memcmp(&grid.charPlane[base], &p.grid.chars[base], static_cast<size_t>(columns)) == 0 &&
                  std::memcmp(&grid.attrPlane[base], &p.grid.attrs[base], sizeof(CellAttr) * columns) == 0;
        unchanged += same[r] ? 1 : 0;
    }
    if (!p.grid.digestsValid) {
        for (int32_t r = 0; r < rows; ++r) {
            size_t base = static_cast<size_t>(r) * kGridColumns;
            p.grid.digests[r] = rowDigest(&p.grid.chars[base], &p.grid.attrs[base], columns);
        }
    }
    const std::array<uint64_t, kGridRows>& before = p.grid.digests;
    for (int32_t r = 0; r < rows; ++r) {
        size_t base = static_cast<size_t>(r) * kGridColumns;
        now[r] = same[r] ? before[r] : rowDigest(&grid.charPlane[base], &grid.attrPlane[base], columns);
    }
    if (rows - unchanged < 2) return 0;
    // Moving the rows (when they cannot turn) costs a copy of the pixels: win by two rows.
    return bestShift(std::span(now.data(), static_cast<size_t>(rows)), std::span(before.data(), static_cast<size_t>(rows)),
                     unchanged + 1);
}

int32_t bestShift(std::span<const uint64_t> now, std::span<const uint64_t> before, int32_t toBeat) {
    const auto rows = static_cast<int32_t>(now.size());
    int32_t best = 0;
    for (int32_t shift = 1 - rows; shift < rows; ++shift) {
        if (shift == 0) continue;
        int32_t matching = 0;
        for (int32_t r = std::max(0, -shift); r < std::min(rows, rows - shift); ++r) {
            matching += now[static_cast<size_t>(r)] == before[static_cast<size_t>(r + shift)] ? 1 : 0;
        }
        if (matching > toBeat) {
            best = shift;
            toBeat = matching;
        }
    }
    return best;
}

// Moves painted rows by shift (row r takes what row r + shift showed). When the rows fill the
// canvas, its ring of pixel rows turns and the rows nothing moves into show, cells and all, the
// rows that wrapped around; otherwise the pixels move and those rows keep their pixels and cells.
void moveRows(PainterState& p, int32_t shift, int32_t rows) {
    Surface& canvas = p.canvas();
    if (rows * kCellHeight == canvas.height) {
        turnRows(canvas, shift * kCellHeight);
        const int32_t first = (shift % rows + rows) % rows;  // the row that comes to the top
        const auto cells = static_cast<ptrdiff_t>(rows) * kGridColumns;
        const auto top = static_cast<ptrdiff_t>(first) * kGridColumns;
        std::rotate(p.grid.chars.begin(), p.grid.chars.begin() + top, p.grid.chars.begin() + cells);
        std::rotate(p.grid.attrs.begin(), p.grid.attrs.begin() + top, p.grid.attrs.begin() + cells);
        p.changes.noteMoved(shift * kCellHeight, 0, canvas.height - 1);
        return;
    }
    const int32_t first = std::max(0, -shift);  // the first row that receives
    const int32_t count = rows - (shift > 0 ? shift : -shift);
    const size_t rowBytes = static_cast<size_t>(canvas.width) * 4;
    // Each cell row's pixel rows lie together in memory, bottom row first, as long as the ring
    // is not turned (it turns only while the rows fill the canvas).
    settleRows(canvas);
    std::memmove(pixelRow(canvas, (first + count) * kCellHeight - 1),
                 pixelRow(canvas, (first + shift + count) * kCellHeight - 1), rowBytes * kCellHeight * count);
    const size_t cells = static_cast<size_t>(count) * kGridColumns;
    const size_t to = static_cast<size_t>(first) * kGridColumns;
    const size_t from = static_cast<size_t>(first + shift) * kGridColumns;
    std::memmove(&p.grid.chars[to], &p.grid.chars[from], cells);
    std::memmove(&p.grid.attrs[to], &p.grid.attrs[from], cells * sizeof(CellAttr));
    p.changes.noteMoved(shift * kCellHeight, first * kCellHeight, (first + count) * kCellHeight - 1);
}

int32_t findShift(RowDigests& digests, const std::vector<uint8_t>& changed,
                  const std::function<uint64_t(int32_t)>& screenDigest,
                  const std::function<uint64_t(int32_t)>& paintedDigest) {
    const auto rows = static_cast<int32_t>(changed.size());
    if (rows < 2 || digests.painted.size() != changed.size() || digests.known.size() != changed.size()) return 0;
    int32_t unchanged = 0;
    for (uint8_t rowChanged : changed) unchanged += rowChanged ? 0 : 1;
    // A scroll changes most rows; a screen with a few rows changed in place is not searched.
    if (rows - unchanged < std::max(2, rows / 4)) return 0;
    digests.now.resize(changed.size());
    for (int32_t row = 0; row < rows; ++row) {
        const auto at = static_cast<size_t>(row);
        if (!digests.known[at]) digests.painted[at] = paintedDigest(row);
        digests.known[at] = 1;
        digests.now[at] = changed[at] ? screenDigest(row) : digests.painted[at];
    }
    return bestShift(digests.now, digests.painted, unchanged);
}

void turnDigests(RowDigests& digests, int32_t top) {
    std::rotate(digests.painted.begin(), digests.painted.begin() + top, digests.painted.end());
    std::rotate(digests.known.begin(), digests.known.begin() + top, digests.known.end());
}
