#!/usr/bin/env python3
"""Draws the program's icon and its hand-point cursor as small pixel pictures and writes
them as resources/vistrel.ico and resources/handpoint.cur (32 x 32, 32 bits with alpha).
Run again after changing a picture; the outputs are kept in the repository."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources")
SIZE = 32


def icon_pixels():
    """A dark blue tile with three green bars of a meter and a white baseline."""
    px = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]
    for y in range(2, 30):
        for x in range(2, 30):
            corner = min(x - 2, 29 - x) + min(y - 2, 29 - y)
            if corner >= 2:
                px[y][x] = (40, 60, 110, 255)
    for i, height in enumerate((8, 14, 20)):
        x0 = 7 + i * 7
        for y in range(25 - height, 25):
            for x in range(x0, x0 + 5):
                px[y][x] = (80, 220, 90, 255)
    for x in range(5, 27):
        px[25][x] = (240, 240, 240, 255)
    return px


HAND = [
    "......##........",
    ".....#..#.......",
    ".....#..#.......",
    ".....#..#.......",
    ".....#..###.....",
    ".....#..#..##...",
    ".....#..#..#.##.",
    "..##.#..#..#.#.#",
    ".#..##.........#",
    ".#...#.........#",
    "..#............#",
    "..#............#",
    "...#...........#",
    "...#..........#.",
    "....#.........#.",
    "....#........#..",
    ".....#.......#..",
    ".....#########..",
]


def cursor_pixels():
    """A pointing hand: black outline, white inside (filled row by row between the
    outermost outline pixels)."""
    px = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]
    for y, row in enumerate(HAND):
        marks = [x for x, c in enumerate(row) if c == "#"]
        if not marks:
            continue
        for x in range(marks[0], marks[-1] + 1):
            px[y][x] = (0, 0, 0, 255) if row[x] == "#" else (255, 255, 255, 255)
    return px


def image_data(px):
    """BITMAPINFOHEADER (double height), bottom-up BGRA rows, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
    mask_rows = []
    for row in reversed(px):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask_rows.append(struct.pack(">I", bits))
    return header + xor + b"".join(mask_rows)


def write(path, kind, px, hotspot=(0, 0)):
    data = image_data(px)
    planes_or_x, bits_or_y = (1, 32) if kind == 1 else hotspot
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, planes_or_x, bits_or_y, len(data), 6 + 16)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, kind, 1) + entry + data)


if __name__ == "__main__":
    write(os.path.join(OUT, "vistrel.ico"), 1, icon_pixels())
    write(os.path.join(OUT, "handpoint.cur"), 2, cursor_pixels(), hotspot=(7, 0))
