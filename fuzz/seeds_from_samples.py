#!/usr/bin/env python3
"""Cuts recordings into fuzz seeds.

    fuzz/seeds_from_samples.py
        writes the committed seeds, fuzz/corpus/{walk,interpreter,xterm}/demo-*: the shipped
        sample cut into pieces no longer than CI's input limit (4,096 bytes).
    fuzz/seeds_from_samples.py --into DIR [RECORDING.ttyrec ...]
        writes DIR/<target>/ for every target that reads recordings, from samples/demo.ttyrec and
        the recordings named: each whole, cut into pieces of 4 KB and 64 KB, and all of them
        joined up to 1 MB; as asciicast recordings of versions 1, 2 and 3 too.

The forms: records as they are (walk); payloads joined by 0xFF 0xFE after two size bytes
(interpreter, xterm); 16 option bytes, then records (ttyrec); asciicast text (asciicast); an
option byte, then the file as it is or gzipped (recording); 8 option bytes, then asciicast text
(playback).
"""
import gzip
import json
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIMIT = 4096  # CI's -max_len
LARGEST = 1 << 20  # the long runs' -max_len for the emulations
SIZES = [bytes([79, 24]), bytes([131, 42]), bytes([39, 11])]  # 80 x 25, 132 x 43, 40 x 12
# fuzz_ttyrec's option bytes: plain at 30 fps; -realtime; xterm with -idle 2 and -speed 4.
OPTIONS = [bytes([0, 7] + [0] * 12 + [79, 24]),
           bytes([1, 7] + [0] * 12 + [79, 24]),
           bytes([0xB0, 7, 0xAA, 0xD0, 0x07, 0] + [0] * 8 + [79, 24])]
# fuzz_playback's option bytes: progress lines and the log at 30 fps, from the first marker.
PLAYBACK = bytes([0x02, 0x0C, 29, 1, 0, 0, 40, 3])


def records(path):
    data = open(path, "rb").read()
    at = 0
    while at + 12 <= len(data):
        seconds, micros, length = struct.unpack_from("<III", data, at)
        yield seconds, micros, data[at:at + 12 + length], data[at + 12:at + 12 + length]
        at += 12 + length


def chunks(pieces, start, joiner, limit):
    """Groups pieces, in order, into byte strings of at most limit bytes."""
    current = start
    for piece in pieces:
        if len(current) + len(joiner) + len(piece) > limit and len(current) > len(start):
            yield current
            current = start
        current += (joiner if len(current) > len(start) else b"") + piece[:limit - len(start)]
    if len(current) > len(start):
        yield current


def asciicast(recording, version):
    """The records as an asciicast recording of the version, its lines."""
    first = recording[0][0] + recording[0][1] / 1e6 if recording else 0
    times = [seconds + micros / 1e6 - first for seconds, micros, _, _ in recording]
    texts = [payload.decode("utf-8", "replace") for _, _, _, payload in recording]
    if version == 1:
        previous = [0] + times[:-1]
        stdout = [[round(max(t - p, 0), 6), text] for t, p, text in zip(times, previous, texts)]
        return [json.dumps({"version": 1, "width": 80, "height": 25, "stdout": stdout}).encode()]
    if version == 2:
        header = {"version": 2, "width": 80, "height": 25, "timestamp": int(first)}
        events = [[round(t, 6), "o", text] for t, text in zip(times, texts)]
    else:
        header = {"version": 3, "term": {"cols": 80, "rows": 25}, "timestamp": int(first)}
        previous = [0] + times[:-1]
        events = [[round(max(t - p, 0), 6), "o", text] for t, p, text in zip(times, previous, texts)]
        events.insert(len(events) // 2, [0.5, "r", "100x30"])
        events.insert(len(events) // 3, [0.1, "m", "half"])
    return [json.dumps(header).encode()] + [json.dumps(event).encode() for event in events]


def write(directory, name, seed):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(seed)


def committed():
    demo = list(records(os.path.join(ROOT, "samples", "demo.ttyrec")))
    seeds = {
        "walk": chunks([whole for _, _, whole, _ in demo], b"", b"", LIMIT),
        "interpreter": chunks([payload for _, _, _, payload in demo], SIZES[0], b"\xff\xfe", LIMIT),
        "xterm": chunks([payload for _, _, _, payload in demo], SIZES[0], b"\xff\xfe", LIMIT),
    }
    for target, made in seeds.items():
        directory = os.path.join(ROOT, "fuzz", "corpus", target)
        for old in os.listdir(directory):
            if old.startswith("demo-"):
                os.remove(os.path.join(directory, old))
        for number, seed in enumerate(made, 1):
            write(directory, "demo-%02d" % number, seed)


def at_run_time(into, paths):
    everything = []
    for path in paths:
        recording = list(records(path))
        everything += recording
        name = os.path.splitext(os.path.basename(path))[0]
        with open(path, "rb") as recording_file:
            whole_file = recording_file.read(LARGEST)
        write(os.path.join(into, "recording"), name, b"\x00" + whole_file)
        write(os.path.join(into, "recording"), name + "-gz", b"\x00" + gzip.compress(whole_file, mtime=0))
        wholes = [whole for _, _, whole, _ in recording]
        payloads = [payload for _, _, _, payload in recording]
        for limit in (LIMIT, 1 << 16, LARGEST):
            for number, seed in enumerate(chunks(wholes, b"", b"", limit)):
                write(os.path.join(into, "walk"), "%s-%d-%03d" % (name, limit, number), seed)
            for option_number, options in enumerate(OPTIONS):
                for number, seed in enumerate(chunks(wholes, options, b"", limit)):
                    write(os.path.join(into, "ttyrec"), "%s-%d-%d-%03d" % (name, option_number, limit, number), seed)
            for size in SIZES:
                for number, seed in enumerate(chunks(payloads, size, b"\xff\xfe", limit)):
                    for target in ("interpreter", "xterm"):
                        write(os.path.join(into, target), "%s-%dx%d-%d-%03d" % (name, size[0] + 1, size[1] + 1, limit,
                                                                                number), seed)
        for version in (1, 2, 3):
            lines = asciicast(recording, version)
            write(os.path.join(into, "asciicast"), "%s-v%d" % (name, version), b"\n".join(lines) + b"\n")
            write(os.path.join(into, "playback"), "%s-v%d" % (name, version), PLAYBACK + b"\n".join(lines) + b"\n")
            if version > 1:
                for number, seed in enumerate(chunks(lines[1:], lines[0] + b"\n", b"\n", LIMIT)):
                    write(os.path.join(into, "asciicast"), "%s-v%d-%03d" % (name, version, number), seed + b"\n")
    # All of them joined, as one long recording, up to the largest input.
    payloads = [payload for _, _, _, payload in everything]
    joined = b""
    while payloads and len(joined) < LARGEST:
        joined += b"\xff\xfe".join(payloads) + b"\xff\xfe"
    for target in ("interpreter", "xterm"):
        write(os.path.join(into, target), "all-joined", (SIZES[0] + joined)[:LARGEST])


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--into":
        at_run_time(sys.argv[2], [os.path.join(ROOT, "samples", "demo.ttyrec")] + sys.argv[3:])
    else:
        committed()


if __name__ == "__main__":
    main()
