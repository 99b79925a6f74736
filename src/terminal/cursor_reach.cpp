#include "terminal/cursor_reach.h"

#include <algorithm>

#include "terminal/screen_grid.h"

namespace {

// Positions past the largest terminal are size probes (ESC [ 999 ; 999 H before asking where
// the cursor went), not a layout.
constexpr int32_t kLargestNamed = std::max(kGridColumns, kGridRows);

}  // namespace

void CursorReach::scan(std::span<const uint8_t> payload, int32_t columns, int32_t rows) {
    for (const uint8_t byte : payload) {
        switch (state_) {
            case State::text:
                if (byte == 0x1b) state_ = State::escape;
                break;
            case State::escape:
                if (byte == '[') {
                    state_ = State::parameters;
                    parameters_[0] = parameters_[1] = 0;
                    count_ = 0;
                } else {
                    state_ = byte == 0x1b ? State::escape : State::text;
                }
                break;
            case State::parameters:
                if (byte >= '0' && byte <= '9') {
                    if (count_ < 2) parameters_[count_] = std::min(parameters_[count_] * 10 + (byte - '0'), 100000);
                } else if (byte == ';') {
                    ++count_;
                } else if (byte >= 0x40 && byte <= 0x7e) {
                    finish(byte, columns, rows);
                    state_ = State::text;
                } else if (byte == 0x1b) {
                    state_ = State::escape;
                } else {
                    // Private markers and intermediates: a sequence this does not read.
                    state_ = State::skipped;
                }
                break;
            case State::skipped:
                if (byte >= 0x40 && byte <= 0x7e) state_ = State::text;
                if (byte == 0x1b) state_ = State::escape;
                break;
        }
    }
}

void CursorReach::finish(uint8_t final, int32_t columns, int32_t rows) {
    if (count_ > 1) return;
    int32_t row = 0;
    int32_t column = 0;
    switch (final) {
        case 'H':  // CUP - cursor position
        case 'f':  // HVP - horizontal and vertical position
            row = parameters_[0];
            column = count_ == 1 ? parameters_[1] : 0;
            break;
        case 'd':  // VPA - line position absolute
            if (count_ == 0) row = parameters_[0];
            break;
        case 'G':  // CHA - cursor character absolute
        case '`':  // HPA - character position absolute
            if (count_ == 0) column = parameters_[0];
            break;
        case 'r':  // DECSTBM - the bottom margin is a row
            row = count_ == 1 ? parameters_[1] : 0;
            break;
        default:
            return;
    }
    if (row > kLargestNamed || column > kLargestNamed) return;
    rows_ = std::max(rows_, row);
    columns_ = std::max(columns_, column);
    beyond_ = beyond_ || row > rows || column > columns;
}
