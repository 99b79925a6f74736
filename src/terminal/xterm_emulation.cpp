#include "terminal/xterm_emulation.h"

#include <vterm.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <unordered_map>

#include "terminal/character_widths.h"
#include "terminal/screen_grid.h"
#include "terminal/xterm_input_filter.h"

namespace {

// libvterm marks the right half of a wide character with this code.
constexpr uint32_t kWideContinuation = 0xFFFFFFFF;

// Where stand-ins come from, by the width libvterm 0.1.4 gives them (0, 1, 2 cells): code
// points text hardly holds (variation selectors of ideographs, unassigned planes 4 and 3).
struct StandInRange {
    uint32_t first;
    uint32_t end;
};
constexpr std::array<StandInRange, 3> kStandIns = {{{0xE0100, 0xE01F0}, {0x40000, 0x4FFFE}, {0x3C000, 0x3FFFE}}};

}  // namespace

struct XtermEmulation::State {
    int32_t columns = 1;  // the size libvterm's terminal is made at
    int32_t rows = 1;
    VTerm* vterm = nullptr;
    VTermScreen* screen = nullptr;
    XtermScreen cells;
    // Of each row, the columns first .. end - 1 must be read again from libvterm (none when
    // first >= end).
    struct Damage {
        int32_t first = 0;
        int32_t end = 0;
    };
    std::vector<Damage> rowDamaged;
    bool anyDamage = false;
    XtermInputFilter filter;
    bool alternate = false;  // the alternate screen is shown
    std::string forward;  // what the filter passed on and libvterm has yet to receive
    std::unordered_map<uint32_t, int> widths;  // libvterm's, as measured
    // Characters whose width libvterm gets wrong reach it as stand-ins of the right width,
    // handed out as they appear and turned back when cells are read.
    std::unordered_map<uint32_t, uint32_t> standIns;
    std::unordered_map<uint32_t, uint32_t> originals;
    std::array<uint32_t, 3> nextStandIn = {kStandIns[0].first, kStandIns[1].first, kStandIns[2].first};
};

namespace {

using Terminal = XtermEmulation::State;

int onDamage(VTermRect rect, void* user) {
    Terminal& terminal = *static_cast<Terminal*>(user);
    int32_t first = std::max(rect.start_row, 0);
    int32_t last = std::min(rect.end_row, terminal.cells.rows);
    // A combining mark with no character before it (on a fresh screen) is put in its cell with
    // no width, and reported so.
    const int32_t end = std::max(rect.end_col, rect.start_col + 1);
    for (int32_t row = first; row < last; ++row) {
        Terminal::Damage& damage = terminal.rowDamaged[static_cast<size_t>(row)];
        const bool known = damage.first < damage.end;
        damage.first = known ? std::min(damage.first, rect.start_col) : rect.start_col;
        damage.end = known ? std::max(damage.end, end) : end;
    }
    terminal.anyDamage = true;
    return 1;
}

// A scroll moves our copy's rows as libvterm moves its own, a row not read since it changed
// taking that mark along, rather than reading every moved cell again. A move within rows
// (characters inserted or deleted, side margins) is left to libvterm, which then reports its
// place as damaged.
int onMoveRect(VTermRect dest, VTermRect src, void* user) {
    Terminal& terminal = *static_cast<Terminal*>(user);
    XtermScreen& cells = terminal.cells;
    auto wholeRows = [&cells](const VTermRect& rect) {
        return rect.start_col <= 0 && rect.end_col >= cells.columns && rect.start_row >= 0 &&
               rect.end_row <= cells.rows && rect.start_row < rect.end_row;
    };
    if (!wholeRows(dest) || !wholeRows(src) || dest.end_row - dest.start_row != src.end_row - src.start_row) return 0;
    const auto columns = static_cast<ptrdiff_t>(cells.columns);
    const auto cellsAt = [&](int32_t row) { return cells.cells.begin() + row * columns; };
    const auto marksAt = [&](int32_t row) { return terminal.rowDamaged.begin() + row; };
    if (dest.start_row < src.start_row) {
        std::copy(cellsAt(src.start_row), cellsAt(src.end_row), cellsAt(dest.start_row));
        std::copy(marksAt(src.start_row), marksAt(src.end_row), marksAt(dest.start_row));
    } else {
        std::copy_backward(cellsAt(src.start_row), cellsAt(src.end_row), cellsAt(dest.end_row));
        std::copy_backward(marksAt(src.start_row), marksAt(src.end_row), marksAt(dest.end_row));
    }
    return 1;
}

int onTermProp(VTermProp prop, VTermValue* value, void* user) {
    Terminal& terminal = *static_cast<Terminal*>(user);
    if (prop == VTERM_PROP_ALTSCREEN) terminal.alternate = value->boolean != 0;
    if (prop == VTERM_PROP_CURSORVISIBLE) terminal.cells.cursorVisible = value->boolean != 0;
    return 1;
}

// Answers to queries (device attributes, cursor reports) have no one to go to.
void discardOutput(const char*, size_t, void*) {}

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
        return;
    }
    static constexpr uint8_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    int extra = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[extra] | (codePoint >> (6 * extra)));
    for (int i = extra - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((codePoint >> (6 * i)) & 0x3F));
}

const VTermScreenCallbacks kScreenCallbacks = {
    .damage = onDamage,
    .moverect = onMoveRect,
    .movecursor = nullptr,
    .settermprop = onTermProp,
    .bell = nullptr,
    .resize = nullptr,
    .sb_pushline = nullptr,  // lines scrolled off the top are gone, as on a video
    .sb_popline = nullptr,
};

// The driver keeps the size within these bounds; tests may not.
int32_t clampColumns(int32_t columns) { return std::clamp(columns, 1, kGridColumns); }
int32_t clampRows(int32_t rows) { return std::clamp(rows, 1, kGridRows); }

// Our copy of the screen at a new size, every row to be read again from libvterm.
void sizeCells(Terminal& terminal, int32_t columns, int32_t rows) {
    terminal.filter.screenColumns = static_cast<uint64_t>(columns);
    terminal.filter.screenCells = static_cast<uint64_t>(columns) * static_cast<uint64_t>(rows);
    terminal.cells.columns = columns;
    terminal.cells.rows = rows;
    terminal.cells.cells.assign(static_cast<size_t>(columns) * static_cast<size_t>(rows), XtermCell{});
    terminal.rowDamaged.assign(static_cast<size_t>(rows), {0, columns});
    terminal.anyDamage = true;
}

void createTerminal(Terminal& terminal) {
    int32_t columns = terminal.columns;
    int32_t rows = terminal.rows;
    // libvterm 0.1.4 crashes on a wide character that cannot fit its screen; a screen one
    // column wide is emulated two wide, of which the first column is shown.
    terminal.vterm = vterm_new(rows, std::max(columns, 2));
    vterm_set_utf8(terminal.vterm, 1);
    vterm_output_set_callback(terminal.vterm, discardOutput, nullptr);
    terminal.screen = vterm_obtain_screen(terminal.vterm);
    vterm_screen_enable_altscreen(terminal.screen, 1);
    vterm_screen_set_callbacks(terminal.screen, &kScreenCallbacks, &terminal);
    vterm_screen_reset(terminal.screen, 1);
    sizeCells(terminal, columns, rows);
}

// libvterm's own idea of a character's width, 0 to 2 (its tables are not those of the C
// library), found by writing it on a new scratch terminal and seeing how far the cursor moves:
// on one used before, a mark would join the character measured last. Answers are kept.
int libvtermWidth(Terminal& terminal, uint32_t codePoint) {
    if (codePoint < 0x300) return 1;  // nothing below the combining diacritical marks is wide or empty
    auto known = terminal.widths.find(codePoint);
    if (known != terminal.widths.end()) return known->second;
    VTerm* scratch = vterm_new(1, 4);
    vterm_set_utf8(scratch, 1);
    vterm_output_set_callback(scratch, discardOutput, nullptr);
    vterm_screen_reset(vterm_obtain_screen(scratch), 1);
    std::string bytes;
    appendUtf8(bytes, codePoint);
    vterm_input_write(scratch, bytes.data(), bytes.size());
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(scratch), &cursor);
    vterm_free(scratch);
    int width = std::clamp(cursor.col, 0, 2);
    terminal.widths.emplace(codePoint, width);
    return width;
}

// A character's width by the table, and what libvterm is given for it. Characters from the
// stand-ins' ranges are given stand-ins too, so that every such code point read back is one.
CharacterMeasure measureCharacter(Terminal& terminal, uint32_t codePoint) {
    if (codePoint < 0x300) return {1, codePoint};
    const int width = characterWidth(codePoint);
    auto known = terminal.standIns.find(codePoint);
    if (known != terminal.standIns.end()) return {width, known->second};
    bool reserved = false;
    for (const StandInRange& range : kStandIns) reserved = reserved || (codePoint >= range.first && codePoint < range.end);
    if (!reserved) {
        const int measured = libvtermWidth(terminal, codePoint);
        if (measured == width) return {width, codePoint};
        if (terminal.nextStandIn[static_cast<size_t>(width)] == kStandIns[static_cast<size_t>(width)].end) {
            return {measured, codePoint};  // none left: libvterm's width it is
        }
    } else if (terminal.nextStandIn[static_cast<size_t>(width)] == kStandIns[static_cast<size_t>(width)].end) {
        return {width, codePoint};
    }
    const uint32_t standIn = terminal.nextStandIn[static_cast<size_t>(width)]++;
    terminal.standIns.emplace(codePoint, standIn);
    terminal.originals.emplace(standIn, codePoint);
    return {width, standIn};
}

XtermColour convertColour(const VTermColor& colour, bool foreground) {
    bool isDefault = foreground ? VTERM_COLOR_IS_DEFAULT_FG(&colour) : VTERM_COLOR_IS_DEFAULT_BG(&colour);
    if (isDefault) return {};
    if (VTERM_COLOR_IS_INDEXED(&colour)) return {XtermColourKind::indexed, colour.indexed.idx, 0};
    uint32_t rgb = (uint32_t{colour.rgb.red} << 16) | (uint32_t{colour.rgb.green} << 8) | colour.rgb.blue;
    return {XtermColourKind::rgb, 0, rgb};
}

XtermCell readCell(const Terminal& terminal, int32_t row, int32_t column) {
    VTermScreenCell source{};
    vterm_screen_get_cell(terminal.screen, VTermPos{row, column}, &source);
    XtermCell cell;
    uint32_t first = source.chars[0];
    auto original = terminal.originals.find(first);
    if (original != terminal.originals.end()) first = original->second;
    cell.foreground = convertColour(source.fg, true);
    cell.background = convertColour(source.bg, false);
    if (first == 0) {
        // Never written, or erased: libvterm gives erased cells the whole pen, xterm and tmux
        // only its colours.
        return cell;
    }
    if (first == kWideContinuation) {
        cell.codePoint = 0;
        cell.width = 0;
    } else {
        cell.codePoint = first;
        cell.width = source.width == 2 ? 2 : 1;
    }
    // libvterm's DEC special graphics turn y and z into these; xterm shows them as ≤ and ≥.
    if (first == 0x2A7D) cell.codePoint = 0x2264;
    if (first == 0x2A7E) cell.codePoint = 0x2265;
    cell.bold = source.attrs.bold;
    cell.underline = source.attrs.underline != VTERM_UNDERLINE_OFF;
    cell.reverse = source.attrs.reverse;
    cell.italic = source.attrs.italic;
    cell.strike = source.attrs.strike;
    return cell;
}

// libvterm leaves half characters behind where xterm blanks the whole: a narrow character
// written over the left half of a wide one keeps the marker of the right half (and so reads as
// wide), and a wide character whose other half was overwritten or erased stays in its cell.
void repairWideCells(Terminal& terminal, XtermCell* row, int32_t columns) {
    for (int32_t column = 0; column < columns; ++column) {
        XtermCell& cell = row[column];
        if (cell.width == 0) {
            if (column == 0 || row[column - 1].width != 2) cell = XtermCell{};
        } else if (cell.width == 2 && measureCharacter(terminal, cell.codePoint).width == 1) {
            cell.width = 1;
            if (column + 1 < columns) row[column + 1] = XtermCell{};
        } else if (cell.width == 1 && measureCharacter(terminal, cell.codePoint).width == 2) {
            cell = XtermCell{};
        }
    }
}

// A cell reads as narrow once the cell right of it no longer holds its right half, so the cell
// left of the damage is read again too, and the one right of it; the repair looks at the row.
// A line made double-width loses the cells past its middle unreported: such a line is read whole.
void readDamagedRows(Terminal& terminal) {
    vterm_screen_flush_damage(terminal.screen);
    if (!terminal.anyDamage) return;
    XtermScreen& cells = terminal.cells;
    for (int32_t row = 0; row < cells.rows; ++row) {
        Terminal::Damage& damage = terminal.rowDamaged[static_cast<size_t>(row)];
        if (damage.first >= damage.end) continue;
        const bool whole = vterm_state_get_lineinfo(vterm_obtain_state(terminal.vterm), row)->doublewidth != 0;
        const int32_t from = whole ? 0 : std::max(damage.first - 1, 0);
        const int32_t to = whole ? cells.columns : std::min(damage.end + 1, cells.columns);
        damage = {};
        size_t base = static_cast<size_t>(row) * static_cast<size_t>(cells.columns);
        for (int32_t column = from; column < to; ++column) {
            cells.cells[base + static_cast<size_t>(column)] = readCell(terminal, row, column);
        }
        repairWideCells(terminal, &cells.cells[base], cells.columns);
    }
    terminal.anyDamage = false;
}

// libvterm 0.1.4 decodes text into an array on the stack of four bytes for every byte left in
// the write, not just the text's: a write of a few megabytes overflows an 8 MB stack. It is
// given the filter's output in writes of at most this size.
constexpr size_t kLibvtermWrite = 64 * 1024;
constexpr size_t kFilterPiece = 4 * 1024;

// Writes what the filter passed on. A UTF-8 character is never cut between writes: libvterm
// would show its halves as replacement characters after text in the same write (sequences and
// strings it joins).
void writeForward(Terminal& terminal) {
    auto continues = [](char byte) { return (static_cast<uint8_t>(byte) & 0xC0) == 0x80; };
    std::string_view rest = terminal.forward;
    while (!rest.empty()) {
        size_t cut = std::min(rest.size(), kLibvtermWrite);
        if (cut < rest.size()) {
            // Back to the start of the character cut there, three bytes at most: a longer run
            // of continuation bytes is no character.
            size_t start = cut;
            while (start > cut - 3 && continues(rest[start])) --start;
            if (!continues(rest[start])) cut = start;
        }
        vterm_input_write(terminal.vterm, rest.data(), cut);
        rest.remove_prefix(cut);
    }
    terminal.forward.clear();
}

// Our copy of the screen brought up to date with libvterm's, cursor included.
void readScreen(Terminal& terminal) {
    readDamagedRows(terminal);
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(terminal.vterm), &cursor);
    terminal.cells.cursorRow = cursor.row;
    terminal.cells.cursorColumn = cursor.col;
}

// CUP to a row and column counted from 0.
std::string cursorTo(int32_t row, int32_t column) {
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
}

}  // namespace

XtermEmulation::XtermEmulation(int32_t columns, int32_t rows) : state_(std::make_unique<State>()) {
    state_->columns = clampColumns(columns);
    state_->rows = clampRows(rows);
    sizeCells(*state_, state_->columns, state_->rows);
}

XtermEmulation::~XtermEmulation() {
    if (state_ != nullptr && state_->vterm != nullptr) vterm_free(state_->vterm);
}

XtermEmulation::XtermEmulation(XtermEmulation&&) noexcept = default;

XtermEmulation& XtermEmulation::operator=(XtermEmulation&& other) noexcept {
    if (this != &other) {
        if (state_ != nullptr && state_->vterm != nullptr) vterm_free(state_->vterm);
        state_ = std::move(other.state_);
    }
    return *this;
}

void XtermEmulation::feed(std::span<const uint8_t> bytes) {
    Terminal& terminal = *state_;
    if (terminal.vterm == nullptr) createTerminal(terminal);
    const CharacterWidth widthOf = [&terminal](uint32_t codePoint) { return measureCharacter(terminal, codePoint); };
    // The filter's state joins what is cut between pieces as it joins records; a piece is
    // small enough that its output, REP's repeats included, stays within a few writes.
    while (!bytes.empty()) {
        const std::span<const uint8_t> piece = bytes.first(std::min(bytes.size(), kFilterPiece));
        bytes = bytes.subspan(piece.size());
        filterXtermInput(terminal.filter, piece, widthOf, terminal.forward);
        if (terminal.forward.size() >= kLibvtermWrite || bytes.empty()) writeForward(terminal);
    }
    readScreen(terminal);
}

void XtermEmulation::resize(int32_t columns, int32_t rows) {
    Terminal& terminal = *state_;
    columns = clampColumns(columns);
    rows = clampRows(rows);
    if (terminal.vterm == nullptr) {
        terminal.columns = columns;
        terminal.rows = rows;
        sizeCells(terminal, columns, rows);
        return;
    }
    // The margins go, as xterm and tmux drop them on a resize: libvterm 0.1.4 would keep a top
    // margin below a shrunk screen's bottom and write out of bounds.
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(terminal.vterm), &cursor);
    std::string before;
    endControlString(terminal.filter, before);
    before += "\x1b[r";
    if (terminal.filter.marginsEnabled) before += "\x1b[s";
    // A main screen losing rows loses the lines below the cursor first, from the bottom, as in
    // tmux: libvterm would scroll up to keep the last line written, the cursor past the top.
    // Each is made single-width first, as libvterm erases only the left half of a double-width
    // line and would keep it for its right half.
    const int32_t oldRows = terminal.cells.rows;
    if (!terminal.alternate && rows < oldRows) {
        const int32_t dropped = std::min(oldRows - rows, oldRows - 1 - cursor.row);
        for (int32_t row = oldRows - dropped; row < oldRows; ++row) before += cursorTo(row, 0) + "\x1b#5\x1b[2K";
    }
    before += cursorTo(cursor.row, cursor.col);
    vterm_input_write(terminal.vterm, before.data(), before.size());
    // Sized first, so that the damage libvterm reports while resizing falls within the rows.
    sizeCells(terminal, columns, rows);
    vterm_set_size(terminal.vterm, rows, std::max(columns, 2));
    sizeCells(terminal, columns, rows);
    readScreen(terminal);
}

const XtermScreen& XtermEmulation::screen() const { return state_->cells; }

XtermCursor XtermEmulation::cursor() const {
    if (state_->vterm == nullptr) return {};
    VTermPos cursor{};
    vterm_state_get_cursorpos(vterm_obtain_state(state_->vterm), &cursor);
    return {cursor.row, cursor.col};
}
