#!/usr/bin/env python3
"""Writes the benchmark's two recordings, the same bytes on every run (fixed seeds).

    python3 bench/make_recordings.py OUTPUT_DIR [--scale F]

game.ttyrec  -- 50,000 records over 60 minutes of a game on an 80 x 25 terminal: a map of
                rooms drawn with DEC line drawing and colours, a player and monsters that move
                a few cells per record, status lines, messages, and now and then a full redraw
                (a new level) or an inventory box drawn over the map.
shell.ttyrec -- 20,000 records over 30 minutes of a shell: commands typed a key at a time and
                coloured output that scrolls. The default interpreter never scrolls (a line
                feed stops at the last row), so scrolling is the whole screen redrawn one or
                more lines higher with cursor positioning and erase-line, as a program that
                repaints would send it.

--scale 0.1 (bench/run --quick) makes both a tenth as long: a tenth of the records over a
tenth of the time. Only the sequences the default interpreter understands are used: CUP,
EL, ED 2, single-parameter SGR, SCS G0 and SO/SI.
"""
import argparse
import os
import random
import struct

ESC = "\x1b"
COLUMNS = 80
ROWS = 25


def at(row, col):
    return f"{ESC}[{row + 1};{col + 1}H"


def sgr(*codes):
    return "".join(f"{ESC}[{code}m" for code in codes)


def write_ttyrec(path, records, seconds):
    """records: (gap weight, payload) pairs; gaps are scaled so that the last record falls
    at the given number of seconds after the first."""
    total = sum(weight for weight, _ in records[1:]) or 1
    start = 1_700_000_000 * 1_000_000
    elapsed = 0.0
    with open(path, "wb") as out:
        for index, (weight, payload) in enumerate(records):
            if index > 0:
                elapsed += weight * seconds * 1_000_000 / total
            stamp = start + int(elapsed)
            data = payload.encode("latin-1")
            out.write(struct.pack("<III", stamp // 1_000_000, stamp % 1_000_000, len(data)))
            out.write(data)


# ---------------------------------------------------------------- the game


class Level:
    MAP_TOP = 1
    MAP_ROWS = 21

    def __init__(self, rng):
        self.rng = rng
        self.cells = {}  # (row, col) -> (char, attribute codes, line drawing)
        self.floor = []
        rooms = []
        for _ in range(rng.randint(5, 8)):
            for _attempt in range(30):
                h = rng.randint(4, 8)
                w = rng.randint(8, 20)
                top = rng.randint(self.MAP_TOP, self.MAP_TOP + self.MAP_ROWS - h)
                left = rng.randint(0, COLUMNS - w)
                if all(top > r[0] + r[2] or top + h < r[0] or left > r[1] + r[3] or left + w < r[1]
                       for r in rooms):
                    rooms.append((top, left, h, w))
                    break
        for top, left, h, w in rooms:
            self.box(top, left, h, w)
        for a, b in zip(rooms, rooms[1:]):
            self.corridor(a, b)
        self.monsters = []
        for _ in range(rng.randint(4, 9)):
            self.monsters.append([rng.choice(self.floor), rng.choice("dkoGhFjr"), rng.choice([31, 32, 33, 35, 36])])
        for _ in range(rng.randint(6, 14)):
            pos = rng.choice(self.floor)
            self.cells[pos] = rng.choice([("$", (1, 33), False), ("!", (35,), False), ("%", (31,), False),
                                          ("[", (36,), False), (")", (37,), False), ("?", (1, 37), False),
                                          ("a", (1, 32), True)])  # 'a' in line drawing: the square
        self.player = rng.choice(self.floor)

    def box(self, top, left, h, w):
        put = self.cells.__setitem__
        put((top, left), ("l", (), True))
        put((top, left + w - 1), ("k", (), True))
        put((top + h - 1, left), ("m", (), True))
        put((top + h - 1, left + w - 1), ("j", (), True))
        for c in range(left + 1, left + w - 1):
            put((top, c), ("q", (), True))
            put((top + h - 1, c), ("q", (), True))
        for r in range(top + 1, top + h - 1):
            put((r, left), ("x", (), True))
            put((r, left + w - 1), ("x", (), True))
            for c in range(left + 1, left + w - 1):
                put((r, c), ("~", (), True))  # the centred dot
                self.floor.append((r, c))
        door = (top + h - 1, self.rng.randint(left + 1, left + w - 2))
        put(door, ("+", (33,), False))

    def corridor(self, a, b):
        r0, c0 = a[0] + a[2], a[1] + a[3] // 2
        r1, c1 = b[0] - 1, b[1] + b[3] // 2
        r, c = r0, c0
        while (r, c) != (r1, c1) and 0 <= r < self.MAP_TOP + self.MAP_ROWS:
            if (r, c) not in self.cells:
                self.cells[(r, c)] = ("#", (), False)
                self.floor.append((r, c))
            if c != c1 and self.rng.random() < 0.6:
                c += 1 if c1 > c else -1
            elif r != r1:
                r += 1 if r1 > r else -1
            else:
                c += 1 if c1 > c else -1

    def cell_text(self, pos):
        ch, codes, drawing = self.cells.get(pos, (" ", (), False))
        text = sgr(*codes) + (f"{ESC}(0{ch}{ESC}(B" if drawing else ch) + (sgr(0) if codes else "")
        return text

    def draw_all(self):
        out = [f"{ESC}[2J{ESC}[H"]
        for row in range(self.MAP_TOP, self.MAP_TOP + self.MAP_ROWS):
            line = []
            last_codes, in_drawing = None, False
            cols = sorted(c for (r, c) in self.cells if r == row)
            if not cols:
                continue
            out.append(at(row, cols[0]))
            for col in range(cols[0], cols[-1] + 1):
                ch, codes, drawing = self.cells.get((row, col), (" ", (), False))
                if codes != last_codes:
                    line.append(sgr(0) + sgr(*codes) if codes else sgr(0))
                    last_codes = codes
                if drawing != in_drawing:
                    line.append("\x0e" if drawing else "\x0f")  # SO / SI
                    in_drawing = drawing
                line.append(ch)
            if in_drawing:
                line.append("\x0f")
            out.append("".join(line) + sgr(0))
        for m in self.monsters:
            out.append(at(*m[0]) + sgr(m[2]) + m[1] + sgr(0))
        out.append(at(*self.player) + sgr(1, 37) + "@" + sgr(0))
        return "".join(out)


def status_lines(turn, hp, depth, gold):
    line1 = (at(22, 0) + sgr(1) + "Agnes the Valkyrie" + sgr(0) + "  St:18 Dx:14 Co:17 In:7 Wi:9 Ch:10 "
             + sgr(36) + "Lawful" + sgr(0) + f"{ESC}[K")
    colour = 32 if hp > 30 else 33 if hp > 12 else 31
    line2 = (at(23, 0) + f"Dlvl:{depth} $:{gold} HP:" + sgr(colour) + f"{hp}(45)" + sgr(0)
             + f" Pw:12(12) AC:6 Xp:5/{turn // 7} T:{turn}{ESC}[K")
    return line1 + line2


def make_game(records_wanted, rng):
    records = []
    level = Level(rng)
    turn, hp, depth, gold = 1, 45, 1, 0
    message_shown = False
    records.append((0, level.draw_all() + status_lines(turn, hp, depth, gold)))
    messages = ["You see here a scroll labeled ELBIB YLOH.", "The kitten bites!", "You hit the jackal.",
                "You kill the newt!", "There is a doorway here.", "You hear some noises in the distance.",
                "Welcome to experience level 5.", "You find a hidden passage."]
    while len(records) < records_wanted:
        kind = rng.random()
        parts = []
        if message_shown and rng.random() < 0.5:
            parts.append(at(0, 0) + f"{ESC}[K")
            message_shown = False
        if kind < 0.004:  # a new level: everything is redrawn
            level = Level(rng)
            depth += 1
            parts = [level.draw_all(), status_lines(turn, hp, depth, gold)]
        elif kind < 0.008:  # an inventory box over the right side, then the map comes back
            rows = rng.randint(6, 14)
            box = [f"{ESC}(0" + at(1, 44) + "l" + "q" * 34 + "k"]
            for r in range(rows):
                box.append(at(2 + r, 44) + "x" + f"{ESC}(B" + sgr(1 if r == 0 else 0)
                           + f" {chr(97 + r)} - {rng.choice(['a blessed +1 long sword', 'an uncursed potion', '12 gold pieces', 'a scroll labeled ZELGO MER', 'a food ration'])}".ljust(34)[:34]
                           + sgr(0) + f"{ESC}(0" + "x")
            box.append(at(2 + rows, 44) + "m" + "q" * 34 + "j" + f"{ESC}(B")
            records.append((rng.uniform(0.5, 2.0), "".join(parts + box)))
            parts = [level.draw_all(), status_lines(turn, hp, depth, gold)]
        elif kind < 0.10:  # the cursor moves, nothing else
            parts.append(at(rng.randrange(ROWS), rng.randrange(COLUMNS)))
        else:  # a turn: the player moves, some monsters move, the status line changes
            turn += 1
            old = level.player
            step = rng.choice([(0, 1), (0, -1), (1, 0), (-1, 0), (1, 1), (-1, -1)])
            new = (old[0] + step[0], old[1] + step[1])
            if new in level.floor:
                level.player = new
                parts.append(at(*old) + level.cell_text(old))
                parts.append(at(*new) + sgr(1, 37) + "@" + sgr(0))
            for m in level.monsters:
                if rng.random() < 0.3:
                    near = [p for p in level.floor if abs(p[0] - m[0][0]) <= 1 and abs(p[1] - m[0][1]) <= 1]
                    target = rng.choice(near) if near else m[0]
                    parts.append(at(*m[0]) + level.cell_text(m[0]))
                    m[0] = target
                    parts.append(at(*target) + sgr(m[2]) + m[1] + sgr(0))
            if rng.random() < 0.08:
                hp = max(1, min(45, hp + rng.choice([-7, -3, -1, 2, 5])))
                gold += rng.choice([0, 0, 5, 17])
            if rng.random() < 0.3:
                parts.append(status_lines(turn, hp, depth, gold))
            if rng.random() < 0.05:
                parts.append(at(0, 0) + rng.choice(messages) + f"{ESC}[K")
                message_shown = True
            parts.append(at(*level.player))
        # Keys come in bursts; now and then the player stops to think.
        pause = rng.random()
        gap = rng.uniform(0.005, 0.04) if pause < 0.45 else rng.uniform(0.08, 0.3) if pause < 0.95 else rng.uniform(1, 6)
        records.append((gap, "".join(parts)))
    return records[:records_wanted]


# ---------------------------------------------------------------- the shell

WORDS = ["src", "build", "README.md", "main.cpp", "Makefile", "test", "docs", "notes.txt", "a.out",
         "include", "lib", "config.yaml", "data.csv", "run.sh", "LICENSE", "tools", ".git", "bench"]
COMMANDS = ["ls -l", "git status", "make -j2", "grep -rn TODO src", "cat notes.txt", "cd src", "ls",
            "git log --oneline", "python3 run.py", "dmesg | tail"]


def output_line(rng):
    kind = rng.random()
    if kind < 0.3:  # ls -l
        name = rng.choice(WORDS)
        colour = sgr(1, 34) if "." not in name else sgr(1, 32) if name.endswith(".sh") else ""
        return (f"-rw-r--r-- 1 user user {rng.randint(10, 99999):>6} Dec  7 14:{rng.randint(10, 59)} "
                + colour + name + sgr(0))
    if kind < 0.5:  # compiler output
        return (sgr(1) + f"src/{rng.choice(WORDS)}:{rng.randint(1, 900)}:{rng.randint(1, 80)}: " + sgr(0)
                + sgr(1, 35) + "warning: " + sgr(0) + "unused variable " + sgr(1) + "'x'" + sgr(0))
    if kind < 0.65:  # git
        return sgr(33) + f"{rng.getrandbits(28):07x}" + sgr(0) + " " + " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6)))
    if kind < 0.8:  # grep hits
        return (sgr(35) + f"src/{rng.choice(WORDS)}" + sgr(0) + sgr(36) + ":" + sgr(0) + sgr(32)
                + f"{rng.randint(1, 500)}" + sgr(0) + sgr(36) + ":" + sgr(0) + "    // "
                + sgr(1, 31) + "TODO" + sgr(0) + " " + " ".join(rng.choice(WORDS) for _ in range(3)))
    return " ".join(rng.choice(WORDS + ["the", "of", "and", "to", "value", "error", "ok"])
                    for _ in range(rng.randint(1, 12)))[:COLUMNS]


def make_shell(records_wanted, rng):
    prompt = sgr(1, 32) + "user@host" + sgr(0) + ":" + sgr(1, 34) + "~/project" + sgr(0) + "$ "
    prompt_width = len("user@host:~/project$ ")
    lines = [""] * ROWS  # what each row shows, with its colour sequences

    def redraw():
        return f"{ESC}[H" + "".join(at(r, 0) + lines[r] + f"{ESC}[K" for r in range(ROWS))

    def scroll_in(new_lines):
        del lines[:len(new_lines)]
        lines.extend(new_lines)

    records = [(0, f"{ESC}[2J" + redraw())]
    lines[-1] = prompt
    records.append((0.5, at(ROWS - 1, 0) + prompt))
    while len(records) < records_wanted:
        command = rng.choice(COMMANDS)
        for i, ch in enumerate(command):  # typed a key at a time
            if len(records) >= records_wanted:
                break
            lines[-1] += ch
            records.append((rng.uniform(0.06, 0.25), at(ROWS - 1, prompt_width + i) + ch))
        count = rng.choice([1, 1, 2, 3, 5, 8, 12, 30])
        produced = [output_line(rng) for _ in range(count)]
        # Output arrives in chunks; each chunk scrolls the screen.
        while produced and len(records) < records_wanted:
            size = rng.randint(1, 6)
            chunk, produced = produced[:size], produced[size:]
            scroll_in(chunk)
            records.append((rng.uniform(0.002, 0.03), redraw()))
        scroll_in([prompt])
        records.append((rng.uniform(0.01, 0.05), redraw()))
        if rng.random() < 0.15:  # the user reads
            records[-1] = (records[-1][0] + rng.uniform(2, 10), records[-1][1])
    return records[:records_wanted]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output_dir")
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    os.makedirs(args.output_dir, exist_ok=True)
    game = make_game(int(50_000 * args.scale), random.Random(7))
    write_ttyrec(os.path.join(args.output_dir, "game.ttyrec"), game, 3600 * args.scale)
    shell = make_shell(int(20_000 * args.scale), random.Random(11))
    write_ttyrec(os.path.join(args.output_dir, "shell.ttyrec"), shell, 1800 * args.scale)


if __name__ == "__main__":
    main()
