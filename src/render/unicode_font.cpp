#include "render/unicode_font.h"

#include <zlib.h>

#include <array>
#include <optional>

namespace {

// Table kinds and format bits of the PCF container (X11's pcf.h names them the same way).
constexpr uint32_t kPcfAccelerators = 1u << 1;
constexpr uint32_t kPcfMetrics = 1u << 2;
constexpr uint32_t kPcfBitmaps = 1u << 3;
constexpr uint32_t kPcfBdfEncodings = 1u << 5;
constexpr uint32_t kPcfBdfAccelerators = 1u << 8;

constexpr uint32_t kFormatGlyphPadMask = 3;      // rows padded to 1 << n bytes
constexpr uint32_t kFormatByteMsb = 1u << 2;     // multi-byte values are big-endian
constexpr uint32_t kFormatBitMsb = 1u << 3;      // leftmost pixel in a byte's top bit
constexpr uint32_t kFormatScanUnitShift = 4;     // bitmap bytes grouped in units of 1 << n
constexpr uint32_t kFormatCompressedMetrics = 0x100;

constexpr uint16_t kNoGlyph = 0xFFFF;
constexpr int32_t kMaxGlyphWidth = 32;

// Reads values from the file, failing softly at its end; every read checks the bounds.
struct Reader {
    std::span<const uint8_t> data;
    size_t position = 0;
    bool bigEndian = false;
    bool ok = true;

    uint32_t readUnsigned(size_t bytes) {
        if (!ok || position > data.size() || data.size() - position < bytes) {
            ok = false;
            return 0;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < bytes; ++i) {
            size_t shift = bigEndian ? 8 * (bytes - 1 - i) : 8 * i;
            value |= uint32_t{data[position + i]} << shift;
        }
        position += bytes;
        return value;
    }
    int32_t readInt32() { return static_cast<int32_t>(readUnsigned(4)); }
    int32_t readInt16() { return static_cast<int16_t>(readUnsigned(2)); }
    uint32_t readUint16() { return readUnsigned(2); }
    int32_t readCompressedByte() { return static_cast<int32_t>(readUnsigned(1)) - 0x80; }
};

struct TableEntry {
    uint32_t format;
    uint32_t offset;
};

struct Metric {
    int32_t leftBearing, rightBearing, ascent, descent;
};

// Positions a reader at a table; the format word at its start decides the byte order.
std::optional<Reader> openTable(std::span<const uint8_t> data, const TableEntry& entry, uint32_t& format) {
    Reader reader{data, entry.offset, false, true};
    format = reader.readUnsigned(4);
    reader.bigEndian = (format & kFormatByteMsb) != 0;
    if (!reader.ok) return std::nullopt;
    return reader;
}

bool readFontAscent(std::span<const uint8_t> data, const TableEntry& entry, UnicodeFont& font) {
    uint32_t format = 0;
    std::optional<Reader> reader = openTable(data, entry, format);
    if (!reader) return false;
    reader->position += 8;  // eight flag bytes
    font.ascent = reader->readInt32();
    font.descent = reader->readInt32();
    return reader->ok;
}

bool readMetrics(std::span<const uint8_t> data, const TableEntry& entry, std::vector<Metric>& metrics) {
    uint32_t format = 0;
    std::optional<Reader> reader = openTable(data, entry, format);
    if (!reader) return false;
    bool compressed = (format & kFormatCompressedMetrics) != 0;
    int32_t count = compressed ? reader->readInt16() : reader->readInt32();
    if (count < 0) return false;
    metrics.resize(static_cast<size_t>(count));
    for (Metric& metric : metrics) {
        if (compressed) {
            metric.leftBearing = reader->readCompressedByte();
            metric.rightBearing = reader->readCompressedByte();
            reader->readCompressedByte();  // advance width: every cell is the same here
            metric.ascent = reader->readCompressedByte();
            metric.descent = reader->readCompressedByte();
        } else {
            metric.leftBearing = reader->readInt16();
            metric.rightBearing = reader->readInt16();
            reader->readInt16();
            metric.ascent = reader->readInt16();
            metric.descent = reader->readInt16();
            reader->readUint16();  // attributes
        }
        if (!reader->ok) return false;
    }
    return true;
}

// Decodes every glyph's rows into font.rows, one 32-bit word per row.
bool readBitmaps(std::span<const uint8_t> data, const TableEntry& entry, const std::vector<Metric>& metrics,
                 UnicodeFont& font) {
    uint32_t format = 0;
    std::optional<Reader> reader = openTable(data, entry, format);
    if (!reader) return false;
    int32_t count = reader->readInt32();
    if (!reader->ok || count < 0 || static_cast<size_t>(count) != metrics.size()) return false;
    std::vector<uint32_t> offsets(static_cast<size_t>(count));
    for (uint32_t& offset : offsets) offset = static_cast<uint32_t>(reader->readInt32());
    std::array<uint32_t, 4> sizes{};
    for (uint32_t& size : sizes) size = static_cast<uint32_t>(reader->readInt32());
    if (!reader->ok) return false;
    std::span<const uint8_t> bitmapData = data.subspan(reader->position);
    uint32_t bitmapSize = sizes[format & kFormatGlyphPadMask];
    if (bitmapSize > bitmapData.size()) return false;
    bitmapData = bitmapData.first(bitmapSize);

    size_t pad = size_t{1} << (format & kFormatGlyphPadMask);
    size_t scanUnit = size_t{1} << ((format >> kFormatScanUnitShift) & 3);
    bool bitMsb = (format & kFormatBitMsb) != 0;
    // When the byte order differs from the bit order, bytes are swapped within each scan unit.
    bool swapUnits = scanUnit > 1 && ((format & kFormatByteMsb) != 0) != bitMsb;

    font.glyphs.resize(metrics.size());
    for (size_t i = 0; i < metrics.size(); ++i) {
        const Metric& metric = metrics[i];
        int32_t width = metric.rightBearing - metric.leftBearing;
        int32_t height = metric.ascent + metric.descent;
        if (width < 0 || height < 0 || width > kMaxGlyphWidth) return false;
        size_t stride = (static_cast<size_t>(width) + 7) / 8;
        stride = (stride + pad - 1) / pad * pad;
        UnicodeGlyph& glyph = font.glyphs[i];
        glyph = {metric.leftBearing, font.ascent - metric.ascent, width, height,
                 static_cast<uint32_t>(font.rows.size())};
        for (int32_t row = 0; row < height; ++row) {
            size_t rowStart = size_t{offsets[i]} + static_cast<size_t>(row) * stride;
            uint32_t bits = 0;
            for (int32_t column = 0; column < width; ++column) {
                size_t byteIndex = static_cast<size_t>(column) / 8;
                if (swapUnits) byteIndex = byteIndex / scanUnit * scanUnit + (scanUnit - 1 - byteIndex % scanUnit);
                size_t at = rowStart + byteIndex;
                if (at >= bitmapData.size()) return false;
                int bit = bitMsb ? 7 - column % 8 : column % 8;
                if ((bitmapData[at] >> bit) & 1) bits |= 0x80000000u >> column;
            }
            font.rows.push_back(bits);
        }
    }
    return true;
}

bool readEncodings(std::span<const uint8_t> data, const TableEntry& entry, UnicodeFont& font) {
    uint32_t format = 0;
    std::optional<Reader> reader = openTable(data, entry, format);
    if (!reader) return false;
    font.firstByte2 = reader->readInt16();
    font.lastByte2 = reader->readInt16();
    font.firstByte1 = reader->readInt16();
    font.lastByte1 = reader->readInt16();
    reader->readInt16();  // default character
    if (!reader->ok || font.lastByte2 < font.firstByte2 || font.lastByte1 < font.firstByte1) return false;
    size_t cells = static_cast<size_t>(font.lastByte2 - font.firstByte2 + 1) *
                   static_cast<size_t>(font.lastByte1 - font.firstByte1 + 1);
    font.glyphOfCode.resize(cells);
    for (uint16_t& glyph : font.glyphOfCode) {
        glyph = static_cast<uint16_t>(reader->readUint16());
        if (glyph != kNoGlyph && glyph >= font.glyphs.size()) glyph = kNoGlyph;
    }
    return reader->ok;
}

}  // namespace

bool parsePcfFont(std::span<const uint8_t> data, UnicodeFont& font) {
    font = UnicodeFont{};
    Reader header{data, 0, false, true};
    if (header.readUnsigned(4) != 0x70636601) return false;  // "\1fcp"
    int32_t count = header.readInt32();
    if (!header.ok || count < 0) return false;
    std::optional<TableEntry> accelerators, bdfAccelerators, metrics, bitmaps, encodings;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t kind = header.readUnsigned(4);
        TableEntry entry;
        entry.format = header.readUnsigned(4);
        header.readUnsigned(4);  // size
        entry.offset = header.readUnsigned(4);
        if (!header.ok) return false;
        if (kind == kPcfAccelerators) accelerators = entry;
        if (kind == kPcfBdfAccelerators) bdfAccelerators = entry;
        if (kind == kPcfMetrics) metrics = entry;
        if (kind == kPcfBitmaps) bitmaps = entry;
        if (kind == kPcfBdfEncodings) encodings = entry;
    }
    if (bdfAccelerators) accelerators = bdfAccelerators;
    if (!accelerators || !metrics || !bitmaps || !encodings) return false;

    std::vector<Metric> glyphMetrics;
    bool ok = readFontAscent(data, *accelerators, font) && readMetrics(data, *metrics, glyphMetrics) &&
              readBitmaps(data, *bitmaps, glyphMetrics, font) && readEncodings(data, *encodings, font);
    if (!ok) font = UnicodeFont{};
    return ok;
}

bool readPcfFile(const std::string& path, UnicodeFont& font) {
    font = UnicodeFont{};
    // gzread passes files that are not compressed through unchanged.
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::vector<uint8_t> data;
    std::array<uint8_t, 65536> chunk;
    int got = 0;
    while ((got = gzread(file, chunk.data(), static_cast<unsigned>(chunk.size()))) > 0) {
        data.insert(data.end(), chunk.begin(), chunk.begin() + got);
    }
    bool complete = got == 0;
    gzclose(file);
    return complete && parsePcfFont(data, font);
}

const UnicodeGlyph* findUnicodeGlyph(const UnicodeFont& font, uint32_t codePoint) {
    int64_t byte1 = codePoint >> 8;
    int64_t byte2 = codePoint & 0xFF;
    if (byte1 < font.firstByte1 || byte1 > font.lastByte1 || byte2 < font.firstByte2 || byte2 > font.lastByte2) {
        return nullptr;
    }
    size_t cell = static_cast<size_t>((byte1 - font.firstByte1) * (font.lastByte2 - font.firstByte2 + 1) +
                                      (byte2 - font.firstByte2));
    if (cell >= font.glyphOfCode.size()) return nullptr;
    uint16_t glyph = font.glyphOfCode[cell];
    return glyph == kNoGlyph ? nullptr : &font.glyphs[glyph];
}

const UnicodeFont& activeUnicodeFont(UnicodeFontSlot& slot) {
    if (!slot.read) {
        slot.read = true;
        if (slot.path.empty() || !readPcfFile(slot.path, slot.font)) slot.font = UnicodeFont{};
    }
    return slot.font;
}
