#pragma once
// Little-endian fields, as BMP, RIFF and ttyrec headers store them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The four characters of a FourCC code as one little-endian number: fourcc("ZMBV").
constexpr uint32_t fourcc(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// The field at byte offset at; bytes must hold it whole.
constexpr uint16_t readU16le(std::span<const uint8_t> bytes, size_t at = 0) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

constexpr uint32_t readU32le(std::span<const uint8_t> bytes, size_t at = 0) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

inline void putU16le(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void putU32le(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void putFourcc(std::vector<uint8_t>& out, const char (&text)[5]) { putU32le(out, fourcc(text)); }
