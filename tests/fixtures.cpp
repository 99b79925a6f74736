#include "fixtures.h"

#include <lodepng.h>
#include <unistd.h>

#include <cstdlib>

void FontSearchTest::SetUp() {
    resetAll();
    startDir_ = fs::current_path();
    if (const char* path = std::getenv("PATH")) savedPath_ = path;
    dir_ = makeTempDir();
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    setenv("PATH", "", 1);
}

void FontSearchTest::TearDown() {
    EXPECT_EQ(chdir(startDir_.c_str()), 0);
    if (savedPath_) {
        setenv("PATH", savedPath_->c_str(), 1);
    } else {
        unsetenv("PATH");
    }
    fs::remove_all(dir_);
    resetAll();
}

Colour colourAt(const Surface& surface, int32_t x, int32_t y) {
    const uint8_t* p = pixelRow(surface, y) + 4 * static_cast<size_t>(x);
    return static_cast<Colour>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

PngImage readPng(const fs::path& path) {
    PngImage image;
    unsigned char* pixels = nullptr;
    image.error = lodepng_decode32_file(&pixels, &image.width, &image.height, path.c_str());
    if (pixels != nullptr) {
        image.rgba.assign(pixels, pixels + 4 * static_cast<size_t>(image.width) * image.height);
        std::free(pixels);
    }
    return image;
}
