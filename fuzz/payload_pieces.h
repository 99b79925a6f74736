#pragma once
// The input form of the emulation targets: the first two bytes choose the width (1-200) and
// height (1-80); the rest is split into records at every 0xFF 0xFE pair, so that sequences and
// UTF-8 characters cut by record boundaries are exercised too; 0xFF 0xFD C R between records
// resizes the terminal to 1 + C % 200 by 1 + R % 80, as an asciicast resize does.

#include <cstddef>
#include <cstdint>
#include <span>

struct PieceSize {
    int32_t columns = 0;
    int32_t rows = 0;
};

inline PieceSize pieceSize(uint8_t columns, uint8_t rows) { return {1 + columns % 200, 1 + rows % 80}; }

// Calls record(bytes) for each record and resize(size) for each resize, in order.
template <typename Record, typename Resize>
void forEachPiece(std::span<const uint8_t> rest, Record record, Resize resize) {
    while (true) {
        auto cut = rest.begin();
        while (cut != rest.end() && !(*cut == 0xFF && cut + 1 != rest.end() && (cut[1] == 0xFE || cut[1] == 0xFD))) {
            ++cut;
        }
        record(rest.subspan(0, static_cast<size_t>(cut - rest.begin())));
        if (cut == rest.end()) return;
        const bool resized = cut[1] == 0xFD && rest.end() - cut >= 4;
        if (resized) resize(pieceSize(cut[2], cut[3]));
        rest = rest.subspan(static_cast<size_t>(cut - rest.begin()) + (resized ? 4 : 2));
    }
}
