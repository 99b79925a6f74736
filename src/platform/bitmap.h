#pragma once
// In-memory device-independent bitmaps loaded from our own 32-bit BMP files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0;  // positive: bottom row first
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 32;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

// A few bands of rows, each top..bottom: a band added beyond their number joins the nearest.
struct RowBands {
    struct Band {
        int32_t top = 0;
        int32_t bottom = -1;
    };
    static constexpr size_t kMost = 4;
    std::array<Band, kMost> bands{};
    size_t count = 0;

    void add(int32_t top, int32_t bottom);
    bool holds(int32_t row) const;
    // Each band times factor, clipped to top..bottom (before the factor).
    RowBands scaled(int32_t factor, int32_t top, int32_t bottom) const;
};

// The rows of a picture (the top one 0) that may differ from those of the picture before it:
// top..bottom. Exact: only the rows of repainted may differ, and each other row y of top..bottom
// shows what row (y + moved) modulo the height showed (moved is not 0 after a scroll).
struct RowsChanged {
    int32_t top = 0;
    int32_t bottom = -1;
    bool exact = false;
    int32_t moved = 0;
    RowBands repainted{};

    // Whether row shows what it showed, where it was.
    bool keeps(int32_t row) const {
        return row < top || row > bottom || (exact && moved == 0 && !repainted.holds(row));
    }
};

struct Bitmap {
    BitmapInfoHeader header;
    std::vector<uint8_t> bits;  // header.biSizeImage bytes, rows as the file stores them
    // Not 0: a bitmap kept from write to write that holds the same pixels for as long as this
    // stays the same, so a writer can reuse what it made of them. 0: nothing is known.
    uint64_t version = 0;
    // Not 0: the version this one differs from only as changed tells; 0: in any row.
    uint64_t changedSince = 0;
    RowsChanged changed;
};

// What a bitmap query fills in: the pixel memory and the info header.
struct DibSection {
    const uint8_t* bmBits = nullptr;
    BitmapInfoHeader dsBmih;
};

constexpr int kDibSectionSize = 84;

// Loads a 32-bit uncompressed BMP; nullptr (with errno set) when missing or not such a file.
std::unique_ptr<Bitmap> loadBitmapFile(const std::string& path);

// Describes bitmap: returns kDibSectionSize, or 0 with errno set when there is no bitmap.
int getBitmapObject(const Bitmap* bitmap, DibSection& out);
