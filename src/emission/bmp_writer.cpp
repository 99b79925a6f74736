#include "emission/bmp_writer.h"

#include <cassert>
#include <cstring>

#include "emission/frame_files.h"
#include "platform/little_endian.h"
#include "render/surface.h"

namespace {

constexpr uint32_t kInfoHeaderSize = 40;
constexpr int32_t kPixelsPerMetre = 1000;

size_t pixelBytes(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

}  // namespace

std::vector<uint8_t> encodeBmp(int32_t width, int32_t height, const uint8_t* pixels) {
    size_t imageSize = pixelBytes(width, height);
    std::vector<uint8_t> file;
    file.reserve(kBmpHeaderSize + imageSize);

    // BITMAPFILEHEADER
    putU16le(file, 0x4D42);  // "BM"
    putU32le(file, static_cast<uint32_t>(kBmpHeaderSize + imageSize));
    putU16le(file, 0);
    putU16le(file, 0);
    putU32le(file, kBmpHeaderSize);
    // BITMAPINFOHEADER; the positive height means the bottom row comes first
    putU32le(file, kInfoHeaderSize);
    putU32le(file, static_cast<uint32_t>(width));
    putU32le(file, static_cast<uint32_t>(height));
    putU16le(file, 1);   // planes
    putU16le(file, 32);  // bits per pixel
    putU32le(file, 0);   // BI_RGB
    putU32le(file, static_cast<uint32_t>(imageSize));
    putU32le(file, kPixelsPerMetre);
    putU32le(file, kPixelsPerMetre);
    putU32le(file, 0);  // colours used
    putU32le(file, 0);  // important colours
    assert(file.size() == static_cast<size_t>(kBmpHeaderSize));

    if (imageSize > 0) file.insert(file.end(), pixels, pixels + imageSize);
    return file;
}

void writeBmp(const std::string& path, int32_t width, int32_t height, const uint8_t* pixels) {
    writeWholeFile(path, encodeBmp(width, height, pixels));
}

// Each source pixel becomes a 2 x 2 block of its blue, green and red with a zero fourth byte.
// Memory row m of the source (rows run bottom-up) covers memory rows 2m and 2m + 1.
void writeDoubledBmp(const std::string& path, const Surface& source, Surface& doubled) {
    size_t sourceBytes = pixelBytes(source.width, source.height);
    if (source.pixels.size() < sourceBytes) return;  // not a whole image: nothing sound to save
    int32_t width = source.width > 0 ? source.width : 0;
    int32_t height = source.height > 0 ? source.height : 0;

    doubled.width = width * 2;
    doubled.height = height * 2;
    doubled.pixels.resize(pixelBytes(doubled.width, doubled.height));

    size_t sourceRow = static_cast<size_t>(width) * 4;
    size_t doubledRow = sourceRow * 2;
    for (size_t row = 0; row < static_cast<size_t>(height); ++row) {
        const uint8_t* in = pixelRow(source, height - 1 - static_cast<int32_t>(row));
        uint8_t* lower = doubled.pixels.data() + 2 * row * doubledRow;
        for (size_t x = 0; x < static_cast<size_t>(width); ++x) {
            const uint8_t pixel[4] = {in[4 * x], in[4 * x + 1], in[4 * x + 2], 0};
            std::memcpy(lower + 8 * x, pixel, 4);
            std::memcpy(lower + 8 * x + 4, pixel, 4);
        }
        std::memcpy(lower + doubledRow, lower, doubledRow);
    }
    writeBmp(path, doubled.width, doubled.height, doubled.pixels.data());
}
