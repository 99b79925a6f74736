#include "emission/png_writer.h"

#include <lodepng.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emission/frame_files.h"

namespace {

constexpr unsigned kImageTooSmall = 84;  // LodePNG's code for a buffer short of the image size

int32_t effectiveFactor(int32_t factor) { return factor > 1 ? factor : 1; }

// A 32-bit value read from (or to be stored as) four bytes, least significant first.
uint32_t le32(uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) return value;
    return (value & 0xFF) << 24 | (value & 0xFF00) << 8 | (value >> 8 & 0xFF00) | value >> 24;
}

// A surface pixel (blue, green, red, x in memory) as the four bytes red, green, blue, 255.
uint32_t rgbaOf(const uint8_t* pixel) {
    uint32_t bgrx;
    std::memcpy(&bgrx, pixel, 4);
    bgrx = le32(bgrx);
    return le32((bgrx >> 16 & 0xFF) | (bgrx & 0xFF00) | (bgrx & 0xFF) << 16 | 0xFF000000u);
}

// Output dimensions; 0 x 0 when the surface has no whole image.
void outputSize(const Surface& surface, int32_t factor, unsigned& width, unsigned& height) {
    width = surface.width > 0 ? static_cast<unsigned>(surface.width * effectiveFactor(factor)) : 0;
    height = surface.height > 0 ? static_cast<unsigned>(surface.height * effectiveFactor(factor)) : 0;
}

}  // namespace

std::vector<uint8_t> pngImageBuffer(const Surface& surface, int32_t factor) {
    std::vector<uint8_t> image;
    if (surface.width <= 0 || surface.height <= 0) return image;
    size_t width = static_cast<size_t>(surface.width);
    size_t height = static_cast<size_t>(surface.height);
    if (surface.pixels.size() < width * height * 4) return image;
    size_t repeat = static_cast<size_t>(effectiveFactor(factor));

    size_t outRow = width * repeat * 4;
    image.resize(outRow * height * repeat);
    uint8_t* out = image.data();
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* in = pixelRow(surface, static_cast<int32_t>(y));
        uint8_t* rowStart = out;
        if (repeat == 1) {
            // The common case alone, in a loop simple enough for the compiler to vectorize.
            for (size_t x = 0; x < width; ++x, in += 4, out += 4) {
                uint32_t rgba = rgbaOf(in);
                std::memcpy(out, &rgba, 4);
            }
            continue;
        }
        for (size_t x = 0; x < width; ++x, in += 4) {
            uint32_t rgba = rgbaOf(in);
            for (size_t copy = 0; copy < repeat; ++copy, out += 4) std::memcpy(out, &rgba, 4);
        }
        for (size_t copy = 1; copy < repeat; ++copy, out += outRow) std::memcpy(out, rowStart, outRow);
    }
    return image;
}

EncodedPng encodePng(const Surface& surface, int32_t factor) {
    EncodedPng result;
    unsigned width = 0;
    unsigned height = 0;
    outputSize(surface, factor, width, height);
    std::vector<uint8_t> image = pngImageBuffer(surface, factor);
    // LodePNG's C call cannot see the buffer's length; this is the check its vector form makes.
    if (image.size() < static_cast<size_t>(width) * height * 4) {
        result.error = kImageTooSmall;
        return result;
    }
    unsigned char* encoded = nullptr;
    size_t encodedSize = 0;
    result.error = lodepng_encode32(&encoded, &encodedSize, image.data(), width, height);
    if (result.error == 0) result.bytes.assign(encoded, encoded + encodedSize);
    std::free(encoded);
    return result;
}

bool writePngImage(const std::string& path, const Surface& surface, int32_t factor, UnwrittenFrames& unwritten) {
    EncodedPng png = encodePng(surface, factor);
    if (png.error != 0) {
        std::printf("encoder error %u: %s\n", png.error, lodepng_error_text(png.error));
        std::fflush(stdout);
        return false;
    }
    if (writeWholeFile(path, png.bytes)) return true;
    unwritten.note(path);
    return false;
}

