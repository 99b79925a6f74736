#!/usr/bin/env python3
"""Writes a long ttyrec recording made of a short one's records, repeated with times that go on
increasing, to standard output or a file: for measuring memory against a recording's length.

    python3 bench/repeat_recording.py RECORDING BYTES [OUTPUT]

Each copy starts a second after the previous copy's last record; the output stops at the first
record that reaches BYTES.
"""
import struct
import sys


def records(data):
    at = 0
    while at + 12 <= len(data):
        seconds, micros, length = struct.unpack_from("<III", data, at)
        yield seconds * 1000000 + micros, data[at + 12:at + 12 + length]
        at += 12 + length


def main():
    source, wanted = sys.argv[1], int(sys.argv[2])
    with open(source, "rb") as f:
        recording = list(records(f.read()))
    start = recording[0][0]
    span = recording[-1][0] - start + 1000000
    out = open(sys.argv[3], "wb") if len(sys.argv) > 3 else sys.stdout.buffer
    written, copy = 0, 0
    block = []
    while written < wanted:
        for time, payload in recording:
            micros = time - start + copy * span + start
            block.append(struct.pack("<III", micros // 1000000, micros % 1000000, len(payload)) + payload)
            written += 12 + len(payload)
            if written >= wanted:
                break
        out.write(b"".join(block))
        block.clear()
        copy += 1
    out.flush()


if __name__ == "__main__":
    try:
        main()
    except BrokenPipeError:
        sys.exit(0)
