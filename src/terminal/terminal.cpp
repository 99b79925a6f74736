#include "terminal/terminal.h"

#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_emulation.h"

namespace {

TerminalOptions options;

}  // namespace

void startTerminal(const TerminalOptions& chosen) {
    options = chosen;
    resetXtermEmulation();
}

const TerminalOptions& terminalOptions() { return options; }

void feedTerminal(std::span<const uint8_t> payload) {
    if (options.emulation == Emulation::xterm) {
        feedXterm(payload);
    } else {
        applyPayload(payload);
    }
}

void resetTerminal() {
    startTerminal(TerminalOptions{});
    resetGrid();
}
