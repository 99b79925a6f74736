#pragma once
// The ttyrec record: a 12-byte header (seconds, microseconds, payload length, each a
// little-endian 32-bit number), then the payload.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/little_endian.h"

struct RecordHeader {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    uint32_t length = 0;  // of the payload that follows
};

constexpr size_t kRecordHeaderSize = 12;

// bytes holds at least kRecordHeaderSize bytes.
constexpr RecordHeader readRecordHeader(std::span<const uint8_t> bytes) {
    return {readU32le(bytes, 0), readU32le(bytes, 4), readU32le(bytes, 8)};
}

// The payload's length must fit the header's 32 bits.
inline void appendRecord(std::vector<uint8_t>& out, uint32_t seconds, uint32_t micros,
                         std::span<const uint8_t> payload) {
    putU32le(out, seconds);
    putU32le(out, micros);
    putU32le(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

inline void appendRecord(std::vector<uint8_t>& out, uint32_t seconds, uint32_t micros, std::string_view payload) {
    appendRecord(out, seconds, micros, std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
}
