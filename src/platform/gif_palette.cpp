#include "platform/gif_palette.h"

#include <cstddef>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t kOpaque = 0xFF000000;
// An own palette's transparent entry differs from the shared palette's, so the two never match.
constexpr uint32_t kOwnTransparent = 0x00FFFFFF;

Palette paletteOf(std::span<const uint32_t> colours, uint32_t transparent = 0) {
    Palette palette;
    palette.fill(kOpaque);
    for (size_t i = 0; i < colours.size(); ++i) palette[i] = kOpaque | colours[i];
    palette[kTransparentIndex] = transparent;
    return palette;
}

const uint8_t* rowOf(PixelRows pixels, int y) { return pixels.top + static_cast<ptrdiff_t>(pixels.stride) * y; }

uint8_t* rowOf(IndexRows indexes, int y) { return indexes.top + static_cast<ptrdiff_t>(indexes.stride) * y; }

uint32_t pixelAt(const uint8_t* row, int x) {
    const uint8_t* pixel = row + static_cast<ptrdiff_t>(x) * 4;
    return static_cast<uint32_t>(pixel[0]) | static_cast<uint32_t>(pixel[1]) << 8 |
           static_cast<uint32_t>(pixel[2]) << 16;
}

}  // namespace

bool mapToSharedPalette(SharedPalette& shared, PixelRows pixels, IndexRows indexes) {
    // Terminal screens are long runs of one colour, and a row of text mostly alternates two: a
    // run is passed over eight bytes at a time, and the colour before the last is kept too.
    uint32_t lastWord = 0;  // the pixel's four bytes as they lie, the fourth included
    int lastIndex = -1;
    uint32_t otherWord = 0;
    int otherIndex = -1;
    for (int y = 0; y < pixels.height; ++y) {
        const uint8_t* row = rowOf(pixels, y);
        uint8_t* out = indexes.top != nullptr ? rowOf(indexes, y) : nullptr;
        int x = 0;
        while (x < pixels.width) {
            uint32_t word;
            std::memcpy(&word, row + static_cast<ptrdiff_t>(x) * 4, 4);
            if (word != lastWord || lastIndex < 0) {
                if (word == otherWord && otherIndex >= 0) {
                    std::swap(lastWord, otherWord);
                    std::swap(lastIndex, otherIndex);
                } else {
                    const uint32_t colour = pixelAt(row, x);
                    int index;
                    auto found = shared.indexOf.find(colour);
                    if (found != shared.indexOf.end()) {
                        index = found->second;
                    } else {
                        if (shared.count == kTransparentIndex) return false;
                        index = shared.count++;
                        shared.colours[index] = colour;
                        shared.indexOf.emplace(colour, static_cast<uint8_t>(index));
                    }
                    otherWord = lastWord;
                    otherIndex = lastIndex;
                    lastWord = word;
                    lastIndex = index;
                }
            }
            const int start = x++;
            const uint64_t pair = uint64_t{lastWord} << 32 | lastWord;
            while (x + 2 <= pixels.width) {
                uint64_t two;
                std::memcpy(&two, row + static_cast<ptrdiff_t>(x) * 4, 8);
                if (two != pair) break;
                x += 2;
            }
            while (x < pixels.width) {
                std::memcpy(&word, row + static_cast<ptrdiff_t>(x) * 4, 4);
                if (word != lastWord) break;
                ++x;
            }
            if (out != nullptr) std::memset(out + start, lastIndex, static_cast<size_t>(x - start));
        }
    }
    return true;
}

Palette mapToOwnPalette(PixelRows pixels, IndexRows indexes) {
    std::unordered_map<uint32_t, uint8_t> indexOf;
    std::vector<uint32_t> colours;
    for (int y = 0; y < pixels.height && colours.size() <= kTransparentIndex; ++y) {
        const uint8_t* row = rowOf(pixels, y);
        for (int x = 0; x < pixels.width && colours.size() <= kTransparentIndex; ++x) {
            uint32_t colour = pixelAt(row, x);
            if (indexOf.emplace(colour, static_cast<uint8_t>(colours.size())).second) colours.push_back(colour);
        }
    }
    bool exact = colours.size() <= kTransparentIndex;
    if (!exact) {
        colours.clear();
        for (uint32_t r = 0; r < 6; ++r) {
            for (uint32_t g = 0; g < 7; ++g) {
                for (uint32_t b = 0; b < 6; ++b) colours.push_back(r * 51 << 16 | g * 85 / 2 << 8 | b * 51);
            }
        }
    }
    for (int y = 0; y < pixels.height; ++y) {
        const uint8_t* row = rowOf(pixels, y);
        uint8_t* out = rowOf(indexes, y);
        for (int x = 0; x < pixels.width; ++x) {
            uint32_t colour = pixelAt(row, x);
            if (exact) {
                out[x] = indexOf[colour];
            } else {
                int r = ((colour >> 16 & 0xFF) + 25) / 51;
                int g = ((colour >> 8 & 0xFF) * 2 + 42) / 85;
                int b = ((colour & 0xFF) + 25) / 51;
                out[x] = static_cast<uint8_t>(r * 42 + g * 6 + b);
            }
        }
    }
    return paletteOf(colours, kOwnTransparent);
}

SharedPalette sharedPaletteOf(std::span<const uint32_t> colours) {
    SharedPalette shared;
    for (uint32_t colour : colours) {
        if (shared.count == kTransparentIndex || shared.indexOf.contains(colour)) continue;
        shared.indexOf.emplace(colour, static_cast<uint8_t>(shared.count));
        shared.colours[static_cast<size_t>(shared.count++)] = colour;
    }
    return shared;
}

Palette mapToPalette(SharedPalette& shared, PixelRows pixels, IndexRows indexes) {
    if (!shared.ownPalettes && !mapToSharedPalette(shared, pixels, indexes)) shared.ownPalettes = true;
    return shared.ownPalettes ? mapToOwnPalette(pixels, indexes) : sharedPaletteColours(shared);
}

Palette sharedPaletteColours(const SharedPalette& shared) {
    return paletteOf(std::span(shared.colours).first(static_cast<size_t>(shared.count)));
}
