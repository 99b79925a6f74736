#pragma once
// The full terminal emulation (-emulation xterm): the payloads are interpreted by libvterm as
// a VT100/VT220/xterm would, and its visible screen is handed out as plain cells. Parser and
// screen state last across records, as in a real terminal. Nothing here knows of pixels.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// standard is the terminal's default colour (never set, or reset by SGR 0, 39 or 49).
enum class XtermColourKind : uint8_t { standard, indexed, rgb };

struct XtermColour {
    XtermColourKind kind = XtermColourKind::standard;
    uint8_t index = 0;  // indexed: 0-7 normal, 8-15 bright, 16-255 the 256-colour cube and greys
    uint32_t rgb = 0;   // rgb: 0xRRGGBB
    bool operator==(const XtermColour&) const = default;
};

struct XtermCell {
    uint32_t codePoint = ' ';  // first code point of the cell; combining marks are dropped
    uint8_t width = 1;         // 2: left half of a wide character; 0: its right half
    bool bold = false;
    bool underline = false;  // any underline style
    bool reverse = false;
    bool italic = false;
    bool strike = false;
    XtermColour foreground;
    XtermColour background;
    bool operator==(const XtermCell&) const = default;
};

struct XtermScreen {
    int32_t columns = 0;
    int32_t rows = 0;
    std::vector<XtermCell> cells;  // rows x columns, row-major
    int32_t cursorRow = 0;        // libvterm's cursor, which may lie beyond a screen one column wide
    int32_t cursorColumn = 0;
    bool cursorVisible = true;  // DECTCEM, CSI ? 25 h / l

    const XtermCell& at(int32_t row, int32_t column) const {
        return cells[static_cast<size_t>(row) * static_cast<size_t>(columns) + static_cast<size_t>(column)];
    }
};

// libvterm's cursor (row, column from 0) after everything fed so far; {0, 0} before the first use.
struct XtermCursor {
    int32_t row = 0;
    int32_t column = 0;
};

// One libvterm terminal, its input filter and our copy of its visible screen. libvterm's
// callbacks find their emulation through their user pointer, so the state stays in one place
// while the emulation is moved.
class XtermEmulation {
public:
    // libvterm's terminal is made at this size (each side clamped to the grid's storage) on
    // the first payload; until then the screen is blank.
    XtermEmulation(int32_t columns, int32_t rows);
    ~XtermEmulation();
    XtermEmulation(XtermEmulation&&) noexcept;
    XtermEmulation& operator=(XtermEmulation&&) noexcept;

    // Interprets bytes.
    void feed(std::span<const uint8_t> bytes);

    // libvterm's screen takes the new size (each side clamped as when the terminal is made),
    // after everything fed so far.
    void resize(int32_t columns, int32_t rows);

    // The visible screen (the alternate one while it is active) after everything fed so far.
    const XtermScreen& screen() const;

    XtermCursor cursor() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};
