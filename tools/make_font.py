#!/usr/bin/env python3
"""Generates reelcap's font.txt from the Terminus Font, 10 x 20 pixels, normal weight.

Source: Debian's package xfonts-terminus (Terminus Font 4.48 by Dimitar Toshkov Zhekov,
SIL Open Font License 1.1; the licence is in TERMINUS-LICENSE.txt beside font.txt), file
/usr/share/fonts/X11/misc/ter-u20n_unicode.pcf.gz. The PCF reader below needs nothing
beyond Python's standard library.

To regenerate:
    apt-get install xfonts-terminus
    python3 tools/make_font.py > font.txt

font.txt is a bare token stream (it cannot hold comments): for each glyph its key byte,
a vertical offset and sixteen rows of ten marks, '.' for background and '#' for ink, and
the token `end` at the close. Terminus cells are 20 rows high; each glyph keeps the
16-row window that holds its ink (the light shade fills the cell and keeps its middle), and
the offset is the cell row where that window starts.
"""

import argparse
import gzip
import struct
import sys

DEFAULT_PCF = "/usr/share/fonts/X11/misc/ter-u20n_unicode.pcf.gz"
CELL_WIDTH = 10
CELL_HEIGHT = 20
GLYPH_ROWS = 16
MAX_OFFSET = CELL_HEIGHT - GLYPH_ROWS  # larger offsets would leave the cell

# Printable ASCII, then the light shade block, whose key is the CP437 byte 0xB0.
GLYPHS = [(code, code) for code in range(0x21, 0x7F)] + [(0xB0, 0x2591)]

PCF_ACCELERATORS = 1 << 1
PCF_METRICS = 1 << 2
PCF_BITMAPS = 1 << 3
PCF_BDF_ENCODINGS = 1 << 5
PCF_BDF_ACCELERATORS = 1 << 8

PCF_COMPRESSED_METRICS = 0x100
PCF_BYTE_MSB = 1 << 2
PCF_BIT_MSB = 1 << 3


class Table:
    """One PCF table: its format word decides the byte order of everything after it."""

    def __init__(self, data, offset):
        self.data = data
        (self.format,) = struct.unpack_from("<i", data, offset)
        self.pos = offset + 4
        self.order = ">" if self.format & PCF_BYTE_MSB else "<"

    def read(self, code):
        values = struct.unpack_from(self.order + code, self.data, self.pos)
        self.pos += struct.calcsize(code)
        return values if len(values) > 1 else values[0]


class PcfFont:
    def __init__(self, data):
        if data[:4] != b"\x01fcp":
            raise ValueError("not a PCF font")
        (count,) = struct.unpack_from("<i", data, 4)
        self.tables = {}
        for i in range(count):
            kind, _fmt, _size, offset = struct.unpack_from("<iiii", data, 8 + 16 * i)
            self.tables[kind] = offset
        self.data = data
        self._read_accelerators()
        self._read_metrics()
        self._read_bitmaps()
        self._read_encodings()

    def _table(self, kind):
        return Table(self.data, self.tables[kind])

    def _read_accelerators(self):
        kind = PCF_BDF_ACCELERATORS if PCF_BDF_ACCELERATORS in self.tables else PCF_ACCELERATORS
        table = self._table(kind)
        table.read("8B")  # flags and padding
        self.ascent, self.descent = table.read("ii")

    def _read_metrics(self):
        table = self._table(PCF_METRICS)
        self.metrics = []
        if table.format & PCF_COMPRESSED_METRICS:
            for _ in range(table.read("h")):
                lsb, rsb, width, ascent, descent = (v - 0x80 for v in table.read("5B"))
                self.metrics.append((lsb, rsb, width, ascent, descent))
        else:
            for _ in range(table.read("i")):
                lsb, rsb, width, ascent, descent, _attr = table.read("5hH")
                self.metrics.append((lsb, rsb, width, ascent, descent))

    def _read_bitmaps(self):
        table = self._table(PCF_BITMAPS)
        count = table.read("i")
        self.bitmap_offsets = [table.read("i") for _ in range(count)]
        sizes = table.read("4i")
        self.row_pad = 1 << (table.format & 3)
        if (table.format >> 4) & 3 and bool(table.format & PCF_BYTE_MSB) != bool(
                table.format & PCF_BIT_MSB):
            raise ValueError("PCF scan units wider than a byte with mixed orders are not handled")
        self.bits_msb_first = bool(table.format & PCF_BIT_MSB)
        self.bitmap_data = self.data[table.pos:table.pos + sizes[table.format & 3]]

    def _read_encodings(self):
        table = self._table(PCF_BDF_ENCODINGS)
        self.min2, self.max2, self.min1, self.max1, _default = table.read("5h")
        cells = (self.max2 - self.min2 + 1) * (self.max1 - self.min1 + 1)
        self.glyph_indices = [table.read("H") for _ in range(cells)]

    def glyph_index(self, codepoint):
        byte1, byte2 = codepoint >> 8, codepoint & 0xFF
        if not (self.min1 <= byte1 <= self.max1 and self.min2 <= byte2 <= self.max2):
            return None
        index = self.glyph_indices[(byte1 - self.min1) * (self.max2 - self.min2 + 1)
                                   + byte2 - self.min2]
        return None if index == 0xFFFF else index

    def cell(self, codepoint):
        """The glyph as CELL_HEIGHT rows of CELL_WIDTH booleans, placed by its metrics."""
        index = self.glyph_index(codepoint)
        if index is None:
            raise KeyError(f"U+{codepoint:04X} is not in the font")
        lsb, rsb, _width, ascent, descent = self.metrics[index]
        if self.ascent + self.descent != CELL_HEIGHT:
            raise ValueError("the font is not 20 pixels high")
        columns = rsb - lsb
        row_bytes = (columns + 7) // 8
        stride = (row_bytes + self.row_pad - 1) // self.row_pad * self.row_pad
        start = self.bitmap_offsets[index]
        grid = [[False] * CELL_WIDTH for _ in range(CELL_HEIGHT)]
        for r in range(ascent + descent):
            row = self.bitmap_data[start + r * stride:start + r * stride + row_bytes]
            for c in range(columns):
                byte = row[c // 8]
                bit = (byte >> (7 - c % 8)) & 1 if self.bits_msb_first else (byte >> (c % 8)) & 1
                y, x = self.ascent - ascent + r, lsb + c
                if bit and 0 <= y < CELL_HEIGHT and 0 <= x < CELL_WIDTH:
                    grid[y][x] = True
        return grid


def choose_offset(grid):
    """First cell row of the 16-row window: blank rows above the ink are cropped first."""
    ink_rows = [r for r, row in enumerate(grid) if any(row)]
    if not ink_rows:
        return 0
    top, bottom = ink_rows[0], ink_rows[-1]
    if bottom - top + 1 <= GLYPH_ROWS:
        return min(top, MAX_OFFSET)
    # Taller than the window (the shade block fills the cell): keep its middle.
    return min(MAX_OFFSET, (top + bottom + 1 - GLYPH_ROWS) // 2)


def font_text(font):
    lines = []
    for key, codepoint in GLYPHS:
        grid = font.cell(codepoint)
        offset = choose_offset(grid)
        lines.append(f"{chr(key)} {offset}")
        for row in grid[offset:offset + GLYPH_ROWS]:
            lines.append("".join("#" if ink else "." for ink in row))
    lines.append("end")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pcf", nargs="?", default=DEFAULT_PCF, help="Terminus 10x20 PCF file")
    parser.add_argument("-o", "--output", help="write here instead of standard output")
    args = parser.parse_args()
    with gzip.open(args.pcf) if args.pcf.endswith(".gz") else open(args.pcf, "rb") as source:
        text = font_text(PcfFont(source.read()))
    # Key 0xB0 must reach the file as that single byte, not as UTF-8.
    data = text.encode("latin-1")
    if args.output:
        with open(args.output, "wb") as out:
            out.write(data)
    else:
        sys.stdout.buffer.write(data)


if __name__ == "__main__":
    main()
