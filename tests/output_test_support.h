#pragma once
// Helpers shared by the frame output tests: a scratch working directory, patterned pixels,
// and a file size limit that makes writes fail part-way as a full disk would.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <vector>

#include "fixtures.h"
#include "test_support.h"

// Each test starts from fresh process-wide state inside a new temporary working directory.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetAll();
        home = fs::current_path();
        dir = makeTempDir();
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(home);
        fs::remove_all(dir);
        resetAll();
    }
    fs::path home;
    fs::path dir;
};

// Bytes that differ from their neighbours, fourth bytes included, so that misplaced or
// dropped bytes show; seed makes distinct images of the same size.
inline std::vector<uint8_t> patternPixels(int32_t width, int32_t height, uint32_t seed = 0) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + i / 251 + seed * 41);
    return pixels;
}

inline std::vector<uint8_t> asBytes(const std::string& text) { return {text.begin(), text.end()}; }

// While alive, writing past bytes into any file fails (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit saved_ {};
    void (*previousHandler_)(int) = SIG_DFL;
};
