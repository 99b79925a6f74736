#include "terminal/character_widths.h"

#include <algorithm>

int characterWidth(uint32_t codePoint) {
    if (codePoint < 0x300) return 1;
    const std::span<const CharacterWidthRange> ranges = characterWidthRanges();
    auto after = std::upper_bound(ranges.begin(), ranges.end(), codePoint,
                                  [](uint32_t value, const CharacterWidthRange& range) { return value < range.first; });
    if (after == ranges.begin()) return 1;
    const CharacterWidthRange& range = *(after - 1);
    return codePoint <= range.last ? range.width : 1;
}
