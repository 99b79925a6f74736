#pragma once
// Builds small X11 PCF fonts in memory, in any of the format variants the container allows,
// for the Unicode font reader's tests and the xterm renderer's pixel tests.

#include <zlib.h>

#include <algorithm>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

struct PcfTestGlyph {
    uint32_t codePoint;
    int32_t leftBearing;  // x of the bitmap's first column
    int32_t ascent;       // rows above the baseline
    std::vector<std::string> rows;  // top row first, '#' ink
};

struct PcfTestFormat {
    bool bigEndian = false;
    bool bitMsb = true;
    int padShift = 2;       // rows padded to 1 << padShift bytes
    int scanUnitShift = 0;  // bytes swapped in units of 1 << scanUnitShift when orders differ
    bool compressedMetrics = true;
};

class PcfWriter {
public:
    explicit PcfWriter(bool bigEndian) : bigEndian_(bigEndian) {}
    void put(uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            int shift = bigEndian_ ? 8 * (bytes - 1 - i) : 8 * i;
            data.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    void putLittle32(uint32_t value) {
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    std::string data;

private:
    bool bigEndian_;
};

inline std::string buildPcfFont(const std::vector<PcfTestGlyph>& glyphs, int32_t fontAscent, int32_t fontDescent,
                                const PcfTestFormat& format = {}) {
    uint32_t formatWord = (format.bigEndian ? 4u : 0u) | (format.bitMsb ? 8u : 0u) |
                          static_cast<uint32_t>(format.padShift) | (static_cast<uint32_t>(format.scanUnitShift) << 4);
    uint32_t metricsFormat = formatWord | (format.compressedMetrics ? 0x100u : 0u);

    PcfWriter accelerators(format.bigEndian);
    accelerators.putLittle32(formatWord);
    for (int i = 0; i < 8; ++i) accelerators.put(0, 1);
    accelerators.put(static_cast<uint32_t>(fontAscent), 4);
    accelerators.put(static_cast<uint32_t>(fontDescent), 4);
    accelerators.put(0, 4);
    for (int i = 0; i < 12; ++i) accelerators.put(0, 2);  // minimum and maximum bounds

    PcfWriter metrics(format.bigEndian);
    metrics.putLittle32(metricsFormat);
    metrics.put(static_cast<uint32_t>(glyphs.size()), format.compressedMetrics ? 2 : 4);
    for (const PcfTestGlyph& glyph : glyphs) {
        int32_t width = glyph.rows.empty() ? 0 : static_cast<int32_t>(glyph.rows[0].size());
        int32_t descent = static_cast<int32_t>(glyph.rows.size()) - glyph.ascent;
        int32_t values[5] = {glyph.leftBearing, glyph.leftBearing + width, width, glyph.ascent, descent};
        for (int32_t value : values) {
            if (format.compressedMetrics) {
                metrics.put(static_cast<uint32_t>(value + 0x80), 1);
            } else {
                metrics.put(static_cast<uint32_t>(value), 2);
            }
        }
        if (!format.compressedMetrics) metrics.put(0, 2);
    }

    std::string bitmapData;
    std::vector<uint32_t> offsets;
    size_t pad = size_t{1} << format.padShift;
    size_t unit = size_t{1} << format.scanUnitShift;
    for (const PcfTestGlyph& glyph : glyphs) {
        offsets.push_back(static_cast<uint32_t>(bitmapData.size()));
        for (const std::string& row : glyph.rows) {
            size_t stride = (row.size() + 7) / 8;
            stride = (stride + pad - 1) / pad * pad;
            std::string bytes(stride, '\0');
            for (size_t column = 0; column < row.size(); ++column) {
                if (row[column] != '#') continue;
                int bit = format.bitMsb ? 7 - static_cast<int>(column % 8) : static_cast<int>(column % 8);
                bytes[column / 8] = static_cast<char>(bytes[column / 8] | (1 << bit));
            }
            if (unit > 1 && format.bigEndian != format.bitMsb) {
                for (size_t start = 0; start + unit <= bytes.size(); start += unit) {
                    std::string piece = bytes.substr(start, unit);
                    for (size_t i = 0; i < unit; ++i) bytes[start + i] = piece[unit - 1 - i];
                }
            }
            bitmapData += bytes;
        }
    }
    PcfWriter bitmaps(format.bigEndian);
    bitmaps.putLittle32(formatWord);
    bitmaps.put(static_cast<uint32_t>(glyphs.size()), 4);
    for (uint32_t offset : offsets) bitmaps.put(offset, 4);
    for (int i = 0; i < 4; ++i) bitmaps.put(i == format.padShift ? static_cast<uint32_t>(bitmapData.size()) : 0, 4);
    bitmaps.data += bitmapData;

    // Encodings cover every byte-2 value of the byte-1 rows that the glyphs use.
    uint32_t firstRow = 0xFFFF, lastRow = 0;
    for (const PcfTestGlyph& glyph : glyphs) {
        firstRow = std::min(firstRow, glyph.codePoint >> 8);
        lastRow = std::max(lastRow, glyph.codePoint >> 8);
    }
    PcfWriter encodings(format.bigEndian);
    encodings.putLittle32(formatWord);
    for (uint32_t value : {0u, 255u, firstRow, lastRow, 0u}) encodings.put(value, 2);
    for (uint32_t code = firstRow << 8; code < ((lastRow + 1) << 8); ++code) {
        uint32_t index = 0xFFFF;
        for (size_t i = 0; i < glyphs.size(); ++i) {
            if (glyphs[i].codePoint == code) index = static_cast<uint32_t>(i);
        }
        encodings.put(index, 2);
    }

    struct Table {
        uint32_t kind;
        uint32_t format;
        const std::string* bytes;
    };
    const Table tables[] = {{1u << 8, formatWord, &accelerators.data},
                            {1u << 2, metricsFormat, &metrics.data},
                            {1u << 3, formatWord, &bitmaps.data},
                            {1u << 5, formatWord, &encodings.data}};
    PcfWriter file(false);
    file.data = std::string("\x01" "fcp", 4);
    file.putLittle32(4);
    uint32_t offset = 8 + 4 * 16;
    for (const Table& table : tables) {
        file.putLittle32(table.kind);
        file.putLittle32(table.format);
        file.putLittle32(static_cast<uint32_t>(table.bytes->size()));
        file.putLittle32(offset);
        offset += static_cast<uint32_t>(table.bytes->size());
    }
    for (const Table& table : tables) file.data += *table.bytes;
    return file.data;
}

inline void writeGzipFile(const fs::path& path, const std::string& bytes) {
    gzFile file = gzopen(path.c_str(), "wb");
    gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size()));
    gzclose(file);
}
