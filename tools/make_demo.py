#!/usr/bin/env python3
"""Writes samples/demo.ttyrec: a few hundred records that show what reelcap draws.

Colours (normal and bold), reverse, underline, DEC line drawing, cursor moves, erases and
a clock that ticks, all with the sequences the default interpreter understands.
Deterministic: the same bytes every time.

    python3 tools/make_demo.py [output path]
"""
import struct
import sys

ESC = "\x1b"


def at(row, col):
    return f"{ESC}[{row};{col}H"


def sgr(*codes):
    # One parameter per sequence: that is the form the default interpreter applies.
    return "".join(f"{ESC}[{code}m" for code in codes)


def box(top, left, height, width):
    out = [ESC + "(0", at(top, left), "l" + "q" * (width - 2) + "k"]
    for row in range(top + 1, top + height - 1):
        out += [at(row, left), "x", at(row, left + width - 1), "x"]
    out += [at(top + height - 1, left), "m" + "q" * (width - 2) + "j", ESC + "(B"]
    return "".join(out)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "samples/demo.ttyrec"
    records = []
    clock = [1_700_000_000, 0]

    def emit(payload, gap_us):
        clock[1] += gap_us
        clock[0] += clock[1] // 1_000_000
        clock[1] %= 1_000_000
        records.append((clock[0], clock[1], payload.encode("latin-1")))

    emit(f"{ESC}[2J{ESC}[H", 0)
    emit(box(1, 1, 23, 80) + at(1, 30) + sgr(1) + " reelcap demo " + sgr(0), 100_000)

    # Title typed one letter at a time.
    title = "Terminal recordings, replayed."
    for i, ch in enumerate(title):
        emit(at(3, 4 + i) + sgr(1, 36) + ch + sgr(0), 40_000)

    # The eight colours, plain, bold and reversed.
    names = ["black", "red", "green", "yellow", "blue", "magenta", "cyan", "white"]
    for i, name in enumerate(names):
        line = at(5 + i, 4) + sgr(30 + i) + f"{name:<8}" + sgr(0) + "  "
        line += sgr(1, 30 + i) + f"{'bold ' + name:<13}" + sgr(0) + "  "
        line += sgr(7, 30 + i) + f" {name:<8}" + sgr(0) + "  "
        line += sgr(40 + i, 37) + "  bg  " + sgr(0)
        emit(line, 150_000)

    emit(at(14, 4) + sgr(4) + "underlined text, dashed along the foot" + sgr(0), 200_000)
    emit(at(15, 4) + sgr(1, 4, 33) + "bold yellow underline" + sgr(0), 200_000)

    # A small table drawn with the line-drawing set.
    emit(box(5, 58, 7, 20), 150_000)
    emit(ESC + "(0" + at(8, 58) + "t" + "q" * 18 + "u" + at(5, 67) + "w" + at(6, 67) + "x" + at(7, 67) + "x"
         + at(8, 67) + "n" + at(9, 67) + "x" + at(10, 67) + "x" + at(11, 67) + "v" + ESC + "(B", 150_000)
    emit(at(6, 60) + "HP" + at(6, 69) + "42" + at(7, 60) + "Gold" + at(7, 69) + "1337"
         + at(9, 60) + "Turn" + at(9, 69) + "7", 150_000)
    emit(ESC + "(0" + at(10, 60) + "aaa ~~~ hhh" + ESC + "(B", 150_000)

    # A progress bar that fills, then a clock that ticks, with cursor moves and erases.
    for step in range(41):
        bar = "#" * step + "." * (40 - step)
        emit(at(17, 4) + "[" + sgr(32) + bar + sgr(0) + "]" + at(17, 48) + f"{step * 100 // 40:3d}%", 50_000)
    for second in range(60):
        minutes, secs = divmod(second, 60)
        payload = at(19, 4) + sgr(1) + f"time {minutes:02d}:{secs:02d}" + sgr(0)
        payload += at(20, 4) + f"{ESC}[K" + sgr(35) + "*" * (second % 30) + sgr(0)
        payload += at(21, 10) + "<" + f"{ESC}[D{ESC}[D{ESC}[C" + ">" + f"{ESC}[A{ESC}[B"
        emit(payload, 250_000)

    # A little walker crossing the screen, moving with relative cursor steps.
    for col in range(4, 76):
        emit(at(22, col) + f"{ESC}[1K" + sgr(1, 33) + "@" + sgr(0) + at(22, 78), 60_000)

    # Typing at a prompt, with backspaces.
    text = "echo reelcap turns recordings into video"
    emit(at(12, 30) + sgr(32) + "$ " + sgr(0), 300_000)
    for i, ch in enumerate(text):
        emit(ch, 70_000)
        if i == 10:
            emit("\b\b" + f"{ESC}[K", 120_000)
            emit(text[9:11], 90_000)
    emit(at(13, 30) + f"{ESC}[2K", 400_000)
    emit(at(24, 1) + f"{ESC}[2K" + sgr(7) + " the end " + sgr(0), 1_000_000)

    with open(path, "wb") as out:
        for seconds, micros, payload in records:
            out.write(struct.pack("<III", seconds, micros, len(payload)))
            out.write(payload)
    print(f"{path}: {len(records)} records")


if __name__ == "__main__":
    main()
