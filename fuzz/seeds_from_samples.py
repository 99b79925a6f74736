#!/usr/bin/env python3
"""Cuts the shipped sample recording into fuzz seeds no longer than the fuzzers' input limit:
whole records for fuzz_walk, and the same payloads in the interpreter targets' form (two size
bytes for 80 x 25, records joined by 0xFF 0xFE) for fuzz_interpreter and fuzz_xterm.

    fuzz/seeds_from_samples.py      (writes fuzz/corpus/{walk,interpreter,xterm}/demo-*)
"""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIMIT = 4096  # fuzz/run's -max_len


def records(path):
    data = open(path, "rb").read()
    at = 0
    while at + 12 <= len(data):
        length = struct.unpack_from("<III", data, at)[2]
        yield data[at:at + 12 + length], data[at + 12:at + 12 + length]
        at += 12 + length


def chunks(pieces, start, joiner):
    """Groups pieces, in order, into byte strings of at most LIMIT bytes."""
    current = start
    for piece in pieces:
        if len(current) + len(joiner) + len(piece) > LIMIT and len(current) > len(start):
            yield current
            current = start
        current += (joiner if len(current) > len(start) else b"") + piece[:LIMIT - len(start)]
    if len(current) > len(start):
        yield current


def main():
    demo = list(records(os.path.join(ROOT, "samples", "demo.ttyrec")))
    seeds = {
        "walk": chunks([whole for whole, _ in demo], b"", b""),
        "interpreter": chunks([payload for _, payload in demo], bytes([79, 24]), b"\xff\xfe"),
        "xterm": chunks([payload for _, payload in demo], bytes([79, 24]), b"\xff\xfe"),
    }
    for target, made in seeds.items():
        directory = os.path.join(ROOT, "fuzz", "corpus", target)
        for old in os.listdir(directory):
            if old.startswith("demo-"):
                os.remove(os.path.join(directory, old))
        for number, seed in enumerate(made, 1):
            with open(os.path.join(directory, "demo-%02d" % number), "wb") as out:
                out.write(seed)


if __name__ == "__main__":
    main()
