#include "platform/bitmap.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "platform/little_endian.h"

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;

// false with errno set when the file cannot be opened or read.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) errno = EIO;
    return !failed;
}

}  // namespace

// Only what the BMP writer produces is accepted: BITMAPINFOHEADER, 32 bits, uncompressed,
// no colour table, rows bottom-up, every pixel present.
std::unique_ptr<Bitmap> loadBitmapFile(const std::string& path) {
    std::vector<uint8_t> file;
    if (!readWholeFile(path, file)) return nullptr;
    auto invalid = [] {
        errno = EINVAL;
        return nullptr;
    };
    if (file.size() < kFileHeaderSize + kInfoHeaderSize || file[0] != 'B' || file[1] != 'M') return invalid();
    uint32_t pixelOffset = readU32le(file, 10);
    std::span<const uint8_t> info = std::span(file).subspan(kFileHeaderSize, kInfoHeaderSize);

    auto bitmap = std::make_unique<Bitmap>();
    BitmapInfoHeader& header = bitmap->header;
    header.biSize = readU32le(info, 0);
    header.biWidth = static_cast<int32_t>(readU32le(info, 4));
    header.biHeight = static_cast<int32_t>(readU32le(info, 8));
    header.biPlanes = readU16le(info, 12);
    header.biBitCount = readU16le(info, 14);
    header.biCompression = readU32le(info, 16);
    header.biSizeImage = readU32le(info, 20);
    header.biXPelsPerMeter = static_cast<int32_t>(readU32le(info, 24));
    header.biYPelsPerMeter = static_cast<int32_t>(readU32le(info, 28));
    header.biClrUsed = readU32le(info, 32);
    header.biClrImportant = readU32le(info, 36);

    if (header.biSize != kInfoHeaderSize || header.biPlanes != 1 || header.biBitCount != 32 ||
        header.biCompression != 0 || header.biClrUsed != 0 || header.biWidth <= 0 || header.biHeight <= 0) {
        return invalid();
    }
    uint64_t imageSize = uint64_t{4} * static_cast<uint32_t>(header.biWidth) * static_cast<uint32_t>(header.biHeight);
    if (imageSize > UINT32_MAX || pixelOffset < kFileHeaderSize + kInfoHeaderSize ||
        pixelOffset > file.size() || file.size() - pixelOffset < imageSize) {
        return invalid();
    }
    // An uncompressed bitmap may leave its image size 0; the loaded description always has it.
    header.biSizeImage = static_cast<uint32_t>(imageSize);
    bitmap->bits.assign(file.begin() + pixelOffset, file.begin() + pixelOffset + static_cast<ptrdiff_t>(imageSize));
    return bitmap;
}

int getBitmapObject(const Bitmap* bitmap, DibSection& out) {
    if (bitmap == nullptr || bitmap->bits.size() < bitmap->header.biSizeImage) {
        errno = EINVAL;
        return 0;
    }
    out.bmBits = bitmap->bits.data();
    out.dsBmih = bitmap->header;
    return kDibSectionSize;
}

void RowBands::add(int32_t top, int32_t bottom) {
    if (top > bottom) return;
    Band joined{top, bottom};
    // Bands that meet or touch the new one become part of it.
    size_t kept = 0;
    for (size_t at = 0; at < count; ++at) {
        const Band band = bands[at];
        if (band.top <= joined.bottom + 1 && joined.top <= band.bottom + 1) {
            joined = {std::min(joined.top, band.top), std::max(joined.bottom, band.bottom)};
        } else {
            bands[kept++] = band;
        }
    }
    count = kept;
    if (count == kMost) {
        // The new band joins the one with the fewest rows between them.
        size_t nearest = 0;
        int64_t gap = INT64_MAX;
        for (size_t at = 0; at < count; ++at) {
            const int64_t between = std::max(int64_t{bands[at].top} - joined.bottom, int64_t{joined.top} - bands[at].bottom);
            if (between < gap) {
                gap = between;
                nearest = at;
            }
        }
        joined = {std::min(joined.top, bands[nearest].top), std::max(joined.bottom, bands[nearest].bottom)};
        bands[nearest] = bands[--count];
        return add(joined.top, joined.bottom);
    }
    bands[count++] = joined;
}

bool RowBands::holds(int32_t row) const {
    for (size_t at = 0; at < count; ++at) {
        if (bands[at].top <= row && row <= bands[at].bottom) return true;
    }
    return false;
}

RowBands RowBands::scaled(int32_t factor, int32_t top, int32_t bottom) const {
    RowBands result;
    for (size_t at = 0; at < count; ++at) {
        const int32_t from = std::max(bands[at].top, top);
        const int32_t to = std::min(bands[at].bottom, bottom);
        if (from <= to) result.add(from * factor, to * factor + factor - 1);
    }
    return result;
}
