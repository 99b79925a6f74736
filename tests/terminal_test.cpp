// Runs the stanzas of tests/terminal_cases/*.test against the grid and the interpreter.
//
// A stanza starts with "test NAME" and starts from a reset grid (80 x 25 unless "size" says
// otherwise). Directives, one per line:
//   size COLUMNS ROWS        terminal size for this stanza
//   resize COLUMNS ROWS      resizeTerminal, as an asciicast resize does
//   cursor-set ROW COL       put the cursor somewhere before pushing
//   push BYTES               one record's payload (with the escapes of decodeEscapes)
//   text ROW COL "CHARS"     the cells from (ROW, COL) hold CHARS
//   codes ROW COL N...       the cells from (ROW, COL) hold these character codes
//   attrs ROW COL COUNT A    COUNT cells from (ROW, COL) have attribute A (hex with 0x)
//   blank ROW FROM TO        cells FROM..TO of ROW hold a space with attribute 0
//   cursor ROW COL           where the cursor is
//   current A                currentAttr
//   linedrawing 0|1          the line-drawing switch
//   sgr CODE                 applySgr(CODE) directly
//   put BYTE                 putChar(BYTE) directly (decimal)
// Lines starting with # and blank lines are ignored.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "terminal/interpreter.h"
#include "terminal/screen_grid.h"
#include "terminal/terminal.h"
#include "test_support.h"

namespace {

uint32_t parseNumber(const std::string& token) { return static_cast<uint32_t>(std::stoul(token, nullptr, 0)); }

std::string quoted(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    size_t first = rest.find('"');
    size_t last = rest.rfind('"');
    if (first == std::string::npos || last == first) {
        ADD_FAILURE() << "text without its quotes: " << rest;
        return {};
    }
    return decodeEscapes(rest.substr(first + 1, last - first - 1));
}

int cellIndex(int row, int col) { return row * kGridColumns + col; }

void runCaseFile(const fs::path& path) {
    std::ifstream file(path);
    ASSERT_TRUE(file) << path;
    std::string line;
    std::string testName;
    int lineNumber = 0;
    int stanzas = 0;
    ScreenGrid grid;
    while (std::getline(file, line)) {
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        std::string directive;
        in >> directive;
        SCOPED_TRACE(path.filename().string() + ":" + std::to_string(lineNumber) + " (" + testName + ")");
        if (directive == "test") {
            std::getline(in >> std::ws, testName);
            grid = ScreenGrid{};
            resetGrid(grid);
            ++stanzas;
        } else if (directive == "size") {
            in >> grid.columns >> grid.rows;
        } else if (directive == "resize") {
            int32_t columns, rows;
            in >> columns >> rows;
            resizeGrid(grid, columns, rows);
        } else if (directive == "cursor-set") {
            in >> grid.cursorRow >> grid.cursorCol;
        } else if (directive == "push") {
            std::string rest;
            std::getline(in >> std::ws, rest);
            std::string bytes = decodeEscapes(rest);
            applyPayload(grid, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        } else if (directive == "sgr") {
            int32_t code;
            in >> code;
            applySgr(grid, code);
        } else if (directive == "put") {
            int value;
            in >> value;
            putChar(grid, static_cast<uint8_t>(value));
        } else if (directive == "text") {
            int row, col;
            in >> row >> col;
            std::string chars = quoted(in);
            for (size_t i = 0; i < chars.size(); ++i) {
                EXPECT_EQ(static_cast<int>(grid.charPlane[cellIndex(row, col + i)]),
                          static_cast<unsigned char>(chars[i]))
                    << "cell " << row << "," << col + i;
            }
        } else if (directive == "codes") {
            int row, col;
            in >> row >> col;
            std::string token;
            for (int i = 0; in >> token; ++i) {
                EXPECT_EQ(grid.charPlane[cellIndex(row, col + i)], parseNumber(token)) << "cell " << row << "," << col + i;
            }
        } else if (directive == "attrs") {
            int row, col, count;
            std::string value;
            in >> row >> col >> count >> value;
            for (int i = 0; i < count; ++i) {
                EXPECT_EQ(grid.attrPlane[cellIndex(row, col + i)], parseNumber(value)) << "cell " << row << "," << col + i;
            }
        } else if (directive == "blank") {
            int row, from, to;
            in >> row >> from >> to;
            for (int col = from; col <= to; ++col) {
                EXPECT_EQ(grid.charPlane[cellIndex(row, col)], ' ') << "cell " << row << "," << col;
                EXPECT_EQ(grid.attrPlane[cellIndex(row, col)], 0u) << "cell " << row << "," << col;
            }
        } else if (directive == "cursor") {
            int row, col;
            in >> row >> col;
            EXPECT_EQ(grid.cursorRow, row);
            EXPECT_EQ(grid.cursorCol, col);
        } else if (directive == "current") {
            std::string value;
            in >> value;
            EXPECT_EQ(grid.currentAttr, parseNumber(value));
        } else if (directive == "linedrawing") {
            int value;
            in >> value;
            EXPECT_EQ(grid.lineDrawing, value);
        } else {
            ADD_FAILURE() << "unknown directive " << directive;
        }
        // A directive missing a number would otherwise compare against 0 and pass by chance.
        const bool readsToTheEnd = directive == "codes" || directive == "text" || directive == "push";
        if (!readsToTheEnd && in.fail()) ADD_FAILURE() << "malformed line: " << line;
    }
    EXPECT_GT(stanzas, 0) << path;
}

class TerminalCases : public testing::TestWithParam<fs::path> {};

TEST_P(TerminalCases, HoldAsWritten) { runCaseFile(GetParam()); }

// Every .test file in the folder is a test of its own, named after the file.
INSTANTIATE_TEST_SUITE_P(Files, TerminalCases, testing::ValuesIn(filesIn(sourcePath("tests/terminal_cases"), ".test")),
                         [](const testing::TestParamInfo<fs::path>& info) { return testNameOf(info.param); });

}  // namespace
