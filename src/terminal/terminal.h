#pragma once
// The emulated terminal as playback sees it: its size and emulation, chosen when a run starts,
// and the payloads fed to it.

#include <cstdint>
#include <span>

// basic: our own small interpreter; xterm: full terminal emulation through libvterm.
enum class Emulation { basic, xterm };

struct TerminalOptions {
    int32_t columns = 80;
    int32_t rows = 25;
    Emulation emulation = Emulation::basic;
};

// Both emulations take this size from here on: the xterm terminal is made anew at it on its
// next use; the grid keeps its storage, of which the size is the visible part.
void startTerminal(const TerminalOptions& options);
const TerminalOptions& terminalOptions();

// The terminal takes a new size (each side at least 1, at most the grid's storage), as a real one
// does when its window is resized: libvterm resizes its screen; the grid shows that much of its
// storage, the cells it newly shows blank and the cursor kept within the new size.
void resizeTerminal(int32_t columns, int32_t rows);

// Interprets one record's payload with the chosen emulation.
void feedTerminal(std::span<const uint8_t> payload);

// Default options, a blank grid and no xterm terminal.
void resetTerminal();
