// Arbitrary payloads through the xterm emulation at every terminal size, painted after every
// record. The first two bytes choose the width (1-200) and height (1-80); the rest is split
// into records at every 0xFF 0xFE pair, so that sequences and UTF-8 characters cut by record
// boundaries reach the input filter too. 0xFF 0xFD C R between records resizes the terminal to
// 1 + C % 200 by 1 + R % 80, as an asciicast resize does.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "render/renderer.h"
#include "render/xterm_renderer.h"
#include "terminal/terminal.h"
#include "terminal/xterm_emulation.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    prepareFuzzProcess();
    startRenderer({.fontPath = "font.txt"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    startTerminal({.columns = 1 + data[0] % 200, .rows = 1 + data[1] % 80, .emulation = Emulation::xterm});
    resetXtermRenderer();  // the surfaces follow the new size; the fonts are kept
    std::span<const uint8_t> rest(data + 2, size - 2);
    while (true) {
        auto cut = rest.begin();
        while (cut != rest.end() && !(*cut == 0xFF && cut + 1 != rest.end() && (cut[1] == 0xFE || cut[1] == 0xFD))) ++cut;
        feedXterm(rest.subspan(0, cut - rest.begin()));
        renderXtermScreen();
        if (cut == rest.end()) break;
        const bool resize = cut[1] == 0xFD && rest.end() - cut >= 4;
        if (resize) resizeTerminal(1 + cut[2] % 200, 1 + cut[3] % 80);
        rest = rest.subspan(cut - rest.begin() + (resize ? 4 : 2));
    }
    resetXtermEmulation();  // freeing the terminal here pins a damaged heap on this input
    return 0;
}
