#!/usr/bin/env python3
"""Writes a ttyrec recording as an asciicast version 2 file (asciinema's format).

One "o" event per record, at the record's time from the first record, with the record's bytes
as text. ttyrec files do not say how large the terminal was, so the header gets the size given
here (80 x 25 unless told otherwise). The header's timestamp is the first record's second.

    python3 tools/ttyrec_to_asciicast.py [--width N] [--height N] input.ttyrec [output.cast]

The bytes must be UTF-8, as asciicast data is text. A character split between two records is
written with the second one.
"""
import argparse
import codecs
import json
import struct
import sys


def read_records(path):
    data = open(path, "rb").read()
    at = 0
    while at + 12 <= len(data):
        seconds, micros, length = struct.unpack_from("<III", data, at)
        yield seconds, micros, data[at + 12:at + 12 + length]
        at += 12 + length
    if at < len(data):
        print(f"warning: {len(data) - at} trailing bytes of {path} are not a whole record", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--width", type=int, default=80)
    parser.add_argument("--height", type=int, default=25)
    parser.add_argument("input")
    parser.add_argument("output", nargs="?")
    args = parser.parse_args()
    output = args.output or (args.input.rsplit(".", 1)[0] + ".cast")

    decoder = codecs.getincrementaldecoder("utf-8")()
    lines = []
    first = None
    for number, (seconds, micros, payload) in enumerate(read_records(args.input), start=1):
        if first is None:
            first = seconds * 1_000_000 + micros
            header = {"version": 2, "width": args.width, "height": args.height, "timestamp": seconds}
            lines.append(json.dumps(header))
        elapsed = max(0, seconds * 1_000_000 + micros - first)  # asciicast times never go back
        try:
            text = decoder.decode(payload)
        except UnicodeDecodeError as error:
            sys.exit(f"{args.input}: record {number} is not UTF-8: {error}")
        time = f"{elapsed // 1_000_000}.{elapsed % 1_000_000:06d}"
        lines.append(f'[{time}, "o", {json.dumps(text, ensure_ascii=False)}]')
    if first is None:
        sys.exit(f"{args.input}: no records")
    with open(output, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
