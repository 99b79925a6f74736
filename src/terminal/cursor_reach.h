#pragma once
// How far a recording's output moves the cursor: the largest column and row that cursor
// addressing names, and whether any of them lay beyond the terminal's size at the time. A
// recording made in a larger terminal than it is played at shows up here.

#include <cstdint>
#include <span>

class CursorReach {
public:
    // Reads payload's cursor addressing (CUP, HVP, VPA, CHA, HPA, DECSTBM) while the terminal
    // is columns x rows; a sequence may continue in the next payload.
    void scan(std::span<const uint8_t> payload, int32_t columns, int32_t rows);

    bool beyond() const { return beyond_; }
    int32_t columns() const { return columns_; }  // the largest column named, from 1
    int32_t rows() const { return rows_; }

private:
    void finish(uint8_t final, int32_t columns, int32_t rows);

    enum class State : uint8_t { text, escape, parameters, skipped };
    State state_ = State::text;
    int32_t parameters_[2] = {0, 0};
    int32_t count_ = 0;
    bool beyond_ = false;
    int32_t columns_ = 0;
    int32_t rows_ = 0;
};
