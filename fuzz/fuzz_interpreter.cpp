// Arbitrary payloads at every terminal size, applied and rendered. The first two bytes choose
// the width (1-200) and height (1-80); the rest is split into records at every 0xFF 0xFE pair,
// so that sequences cut by record boundaries are exercised too.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/driver.h"
#include "driver/settings.h"
#include "fuzz_support.h"
#include "render/renderer.h"
#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int32_t columns = 1 + data[0] % 200;
    int32_t rows = 1 + data[1] % 80;
    if (columns != settings.columns || rows != settings.rows) {
        resetSettings();
        settings.columns = columns;
        settings.rows = rows;
        startStages(settings);  // surfaces follow the new size; the loaded font is kept
    }
    resetGrid();
    std::span<const uint8_t> rest(data + 2, size - 2);
    while (true) {
        static constexpr uint8_t kSeparator[] = {0xFF, 0xFE};
        auto cut = std::search(rest.begin(), rest.end(), std::begin(kSeparator), std::end(kSeparator));
        applyPayload(rest.subspan(0, cut - rest.begin()));
        renderScreen();
        if (cut == rest.end()) break;
        rest = rest.subspan(cut - rest.begin() + 2);
    }
    return 0;
}
