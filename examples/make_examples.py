#!/usr/bin/env python3
"""Draws the bundled example sprites from the ASCII maps below.

Each map is one sprite, one text row per pixel row, top row first; every
character is a palette entry and "." is the key colour of the sprite's folder,
the background the programs keep crisp. Running the script again writes the
same bytes, so the committed files can always be checked against it:

    python3 examples/make_examples.py            # rewrites examples/*/*.bmp
    python3 examples/make_examples.py --check    # fails if any file differs

Plain 24-bit BMPs as every viewer reads them: bottom-up rows, a 40-byte info
header, each row padded to a multiple of four bytes. The widths are a mix of
odd and even so that both the padded and the unpadded row layouts are shown.
"""

import os
import struct
import sys

KEY_COLOURS = {
    "cyan": (0, 255, 255),
    "purple": (255, 0, 255),
}

# Shared by every sprite; a sprite's own palette adds to it or overrides it.
COMMON = {
    "k": (34, 28, 48),  # outline
    "W": (250, 246, 236),  # highlight
}

SPRITES = [
    {
        "folder": "cyan",
        "name": "heart.bmp",
        "palette": {"R": (222, 44, 64), "D": (142, 22, 48)},
        "map": """
..kkk...kkk..
.kRRRk.kRRRk.
kRWWRRkRRRRRk
kRWRRRRRRRRRk
kRRRRRRRRRRRk
kRRRRRRRRRRDk
.kRRRRRRRRDk.
..kRRRRRRDk..
...kRRRRDk...
....kRRDk....
.....kDk.....
......k......
""",
    },
    {
        "folder": "cyan",
        "name": "potion.bmp",
        "palette": {
            "C": (156, 98, 52),  # cork
            "G": (196, 214, 226),  # glass
            "L": (120, 210, 64),  # potion
            "M": (52, 132, 40),  # potion in shadow
        },
        "map": """
.....kkkkkk.....
.....kCCCCk.....
.....kkkkkk.....
......kGGk......
......kGGk......
.....kGGGGk.....
....kGGGGGGk....
...kGWGGGGGGk...
..kLWLLLLLLLLk..
..kLWLLLLLLLLk..
..kLLLLLLLLLLk..
..kLLLLLLLLLMk..
..kLLLLLLLLLMk..
...kLLLLLLLMk...
....kMMMMMMk....
.....kkkkkk.....
""",
    },
    {
        "folder": "cyan",
        "name": "sword.bmp",
        "palette": {
            "L": (226, 230, 238),  # blade, lit edge
            "M": (140, 150, 170),  # blade, shaded edge
            "G": (236, 186, 56),  # guard
            "H": (170, 118, 30),  # guard in shadow
            "B": (124, 72, 40),  # grip
            "N": (84, 46, 28),  # grip in shadow
            "Y": (236, 186, 56),  # pommel
        },
        "map": """
.....................
..................kk.
.................kLMk
................kLMk.
...............kLMk..
..............kLMk...
.............kLMk....
............kLMk.....
...........kLMk......
.....kk...kLMk.......
....kGHk.kLMk........
.....kGHkLMk.........
......kGHMk..........
......kBGHk..........
.....kBNkGHk.........
....kBNk.kGHk........
...kBNk...kk.........
..kYYk...............
.kYWYk...............
..kYk................
...k.................
""",
    },
    {
        "folder": "purple",
        "name": "hero.bmp",
        "palette": {
            "H": (122, 70, 36),  # hair
            "S": (244, 196, 154),  # skin
            "p": (200, 132, 110),  # mouth
            "T": (48, 110, 200),  # tunic
            "L": (110, 64, 30),  # belt
            "Y": (240, 200, 60),  # buckle
            "P": (70, 70, 92),  # trousers
            "O": (92, 52, 26),  # boots
        },
        "map": """
........................
.........kkkkkk.........
........kHHHHHHk........
.......kHHHHHHHHk.......
.......kHHSSSSHHk.......
.......kSSSSSSSSk.......
.......kSkSSSSkSk.......
.......kSkSSSSkSk.......
.......kSSSSSSSSk.......
........kSSppSSk........
.........kkkkkk.........
.......kkTTTTTTkk.......
......kSkTTTTTTkSk......
.....kSSkTTTTTTkSSk.....
.....kSkTTTTTTTTkSk.....
.....kkkLLLLLLLLkkk.....
.......kTTTTYTTTk.......
.......kTTTTTTTTk.......
.......kPPPkkPPPk.......
.......kPPPkkPPPk.......
.......kPPPkkPPPk.......
......kOOOOkkOOOOk......
......kOOOOkkOOOOk......
.......kkkk..kkkk.......
""",
    },
    {
        "folder": "purple",
        "name": "coin.bmp",
        "palette": {
            "G": (176, 118, 20),  # rim
            "Y": (250, 204, 50),  # face
            "O": (214, 150, 24),  # stamp
        },
        "map": """
.....kkkkk.....
...kkGGGGGkk...
..kGGYYYYYGGk..
.kGYYWWYYYYYGk.
.kGYWYYOOYYYGk.
kGYWYYYOYYYYYGk
kGYWYYYOYYYYYGk
kGYYYYYOYYYYYGk
kGYYYYYOYYYYYGk
kGYYYYYOYYYYYGk
.kGYYYOOOYYYGk.
.kGYYYYYYYYYGk.
..kGGYYYYYGGk..
...kkGGGGGkk...
.....kkkkk.....
""",
    },
    {
        "folder": "purple",
        "name": "mushroom.bmp",
        "palette": {
            "R": (210, 48, 40),  # cap
            "D": (132, 28, 32),  # cap in shadow
            "C": (238, 220, 184),  # stem
        },
        "map": """
......kkkkkk......
....kkRRRRRRkk....
...kRRWWRRRRRRk...
..kRWWWWRRRWWRRk..
.kRRWWWWRRWWWWRRk.
.kRRRWWRRRWWWWRRk.
kRRRRRRRRRRWWRRRRk
kRRWWRRRRRRRRRRDRk
kDRWWRRRRRRRRRDDDk
.kkDDDDDDDDDDDDkk.
...kkkCCCCCCkkk...
....kCCCCCCCCk....
....kCCkCCkCCk....
....kCCCCCCCCk....
.....kCCCCCCk.....
......kkkkkk......
""",
    },
]


def rows_of(sprite):
    rows = sprite["map"].strip("\n").split("\n")
    width = len(rows[0])
    for number, row in enumerate(rows):
        if len(row) != width:
            raise ValueError(f"{sprite['name']}: row {number} has {len(row)} pixels, not {width}")
    return rows


def pixels_of(sprite):
    key = KEY_COLOURS[sprite["folder"]]
    palette = {".": key, **COMMON, **sprite["palette"]}
    for letter, colour in palette.items():
        # A sprite pixel in the key colour would turn into background.
        if letter != "." and colour == key:
            raise ValueError(f"{sprite['name']}: {letter!r} is the key colour")
    rows = rows_of(sprite)
    return [[palette[ch] for ch in row] for row in rows]


def encode_bmp(pixels):
    height = len(pixels)
    width = len(pixels[0])
    row_bytes = (width * 3 + 3) // 4 * 4
    image_bytes = row_bytes * height
    offset = 14 + 40
    pels_per_metre = 2835  # 72 dpi
    header = struct.pack("<2sIHHI", b"BM", offset + image_bytes, 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, image_bytes,
                       pels_per_metre, pels_per_metre, 0, 0)
    body = bytearray()
    for row in reversed(pixels):  # bottom row first
        for red, green, blue in row:
            body += bytes((blue, green, red))
        body += bytes(row_bytes - width * 3)
    return header + info + bytes(body)


def main():
    check = "--check" in sys.argv[1:]
    here = os.path.dirname(os.path.abspath(__file__))
    stale = []
    for sprite in SPRITES:
        data = encode_bmp(pixels_of(sprite))
        path = os.path.join(here, sprite["folder"], sprite["name"])
        if check:
            try:
                with open(path, "rb") as existing:
                    if existing.read() != data:
                        stale.append(path)
            except OSError:
                stale.append(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        print(f"{os.path.relpath(path, here)}: {len(pixels_of(sprite)[0])} x "
              f"{len(pixels_of(sprite))}")
    if stale:
        print("out of date, run examples/make_examples.py:", *stale, sep="\n  ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
