#!/usr/bin/env python3
"""Builds the README's before/after pictures from the programs' real output.

Run both programs on the bundled examples first; the examples preset leaves
their results in build/examples/examples:

    cmake --workflow --preset examples
    python3 docs/make_pictures.py          # or: cmake --build --preset pictures

For each program the script writes one PNG to docs/: the example sprites in a
row on top, the program's results under them, every pixel enlarged with
nearest-neighbour so that no viewer smooths the pixel art. The sources are
shown eight times their size and the doubled results of zorpix four times, so
a sprite and its result take the same room. general-upscaler.png shows one
sprite, then the same sprite doubled with plain bilinear interpolation as
general-purpose scalers do it, then doubled by zorpix.

background.png shows, on small images drawn here and run through the programs
found with --programs, where the programs do change key-coloured background
pixels: zorpix's default mode on one-pixel diagonal lines, and across the
image's edges, which its neighbours wrap around; dezorpix on a one-pixel hole
beside a pixel as bright as the key colour, and on one beside a pixel that is
not.

Standard library only (zlib and struct make the PNG files).
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(HERE)

SOURCE_ZOOM = 8
GAP = 16
MARGIN = 16
PAPER = (236, 236, 240)  # around and between the sprites, clearly no key colour

PROGRAMS = [
    # picture, output folder, enlargement of the results
    ("zorpix.png", "scaled", SOURCE_ZOOM // 2),
    ("dezorpix.png", "restored", SOURCE_ZOOM),
]

# The sprite whose bilinear doubling is shown beside the scaler's.
COMPARISON = ("cyan", "potion.bmp")


class Picture:
    """Rows of (red, green, blue) tuples, top row first."""

    def __init__(self, width, height, fill):
        self.width = width
        self.height = height
        self.rows = [[fill] * width for _ in range(height)]

    def paste(self, other, left, top, zoom):
        for y in range(other.height * zoom):
            source_row = other.rows[y // zoom]
            target_row = self.rows[top + y]
            for x in range(other.width * zoom):
                target_row[left + x] = source_row[x // zoom]


def read_bmp(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM" or len(data) < 54:
        raise ValueError(f"{path}: not a BMP file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _planes, bit_count, compression = struct.unpack_from("<iiHHI", data, 18)
    if bit_count != 24 or compression != 0:
        raise ValueError(f"{path}: not an uncompressed 24-bit BMP")
    top_down = height < 0
    height = abs(height)
    row_bytes = (width * 3 + 3) // 4 * 4
    picture = Picture(width, height, PAPER)
    for stored in range(height):
        y = stored if top_down else height - 1 - stored
        start = offset + stored * row_bytes
        row = data[start:start + width * 3]
        if len(row) < width * 3:
            raise ValueError(f"{path}: pixel data cut short")
        picture.rows[y] = [(row[i + 2], row[i + 1], row[i]) for i in range(0, width * 3, 3)]
    return picture


def write_bmp(path, picture):
    """A plain bottom-up 24-bit BMP with a 40-byte info header."""
    row_bytes = (picture.width * 3 + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(picture.rows):
        for red, green, blue in row:
            pixels += bytes((blue, green, red))
        pixels += bytes(row_bytes - picture.width * 3)
    header = b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, picture.width, picture.height, 1, 24, 0,
                          len(pixels), 0, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(header + pixels)


def write_png(path, picture):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    raw = bytearray()
    for row in picture.rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(pixel)
    header = struct.pack(">IIBBBBB", picture.width, picture.height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        out.write(chunk(b"IEND", b""))


def bilinear_double(picture):
    """Twice the size, each new pixel interpolated from the nearest sources,
    with no notion of a key colour: what a general upscaler does."""
    result = Picture(picture.width * 2, picture.height * 2, PAPER)

    def at(x, y):
        x = min(max(x, 0), picture.width - 1)
        y = min(max(y, 0), picture.height - 1)
        return picture.rows[y][x]

    for y in range(result.height):
        sy = (y + 0.5) / 2 - 0.5
        y0 = int(sy // 1)
        fy = sy - y0
        for x in range(result.width):
            sx = (x + 0.5) / 2 - 0.5
            x0 = int(sx // 1)
            fx = sx - x0
            pixel = []
            for channel in range(3):
                top = at(x0, y0)[channel] * (1 - fx) + at(x0 + 1, y0)[channel] * fx
                bottom = at(x0, y0 + 1)[channel] * (1 - fx) + at(x0 + 1, y0 + 1)[channel] * fx
                pixel.append(int(top * (1 - fy) + bottom * fy + 0.5))
            result.rows[y][x] = tuple(pixel)
    return result


def sprites(examples):
    found = []
    for key in sorted(os.listdir(examples)):
        folder = os.path.join(examples, key)
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if name.lower().endswith(".bmp"):
                found.append((key, name))
    return found


def before_after(pairs, zoom, source_zoom=SOURCE_ZOOM):
    """Sources on top, results below, each column as wide as its source."""
    width = MARGIN * 2 + sum(source.width * source_zoom for source, _ in pairs) + \
        GAP * (len(pairs) - 1)
    top_height = max(source.height * source_zoom for source, _ in pairs)
    bottom_height = max(result.height * zoom for _, result in pairs)
    picture = Picture(width, MARGIN * 2 + top_height + GAP + bottom_height, PAPER)
    left = MARGIN
    for source, result in pairs:
        # Bottom-aligned, so the sprites stand on one line.
        picture.paste(source, left, MARGIN + top_height - source.height * source_zoom, source_zoom)
        picture.paste(result, left, MARGIN + top_height + GAP + bottom_height - result.height * zoom,
                      zoom)
        left += source.width * source_zoom + GAP
    return picture


def side_by_side(panels):
    """(picture, zoom) pairs in one row, bottom-aligned."""
    width = MARGIN * 2 + sum(p.width * zoom for p, zoom in panels) + GAP * (len(panels) - 1)
    height = max(p.height * zoom for p, zoom in panels)
    picture = Picture(width, MARGIN * 2 + height, PAPER)
    left = MARGIN
    for panel, zoom in panels:
        picture.paste(panel, left, MARGIN + height - panel.height * zoom, zoom)
        left += panel.width * zoom + GAP
    return picture


CYAN = (0, 255, 255)


def drawn(text, palette):
    """A picture from rows of characters; "." is cyan, the default key colour."""
    rows = text.split()
    picture = Picture(len(rows[0]), len(rows), CYAN)
    picture.rows = [[palette.get(ch, CYAN) for ch in row] for row in rows]
    return picture


# Lines one pixel wide, down to the right and down to the left.
DIAGONALS = drawn("""
    .........
    .r.....r.
    ..r...r..
    ...r.r...
    ....r....
    .........
""", {"r": (200, 40, 40)})

# Sprites in the top-left and the bottom-right corner, touching the edges.
CORNERS = drawn("""
    rrr.....
    rr......
    r.......
    ........
    .......b
    ......bb
""", {"r": (200, 40, 40), "b": (40, 60, 200)})

# A one-pixel hole in an outlined sprite, beside a yellow pixel, whose
# red + green + blue is 510 like cyan's, and the same hole beside red.
HOLE = """
    .......
    .kkkkk.
    .krrrk.
    .ky.rk.
    .krrrk.
    .kkkkk.
    .......
"""
HOLE_COLOURS = {"k": (40, 30, 50), "r": (200, 60, 40)}
HOLE_BESIDE_YELLOW = drawn(HOLE, dict(HOLE_COLOURS, y=(255, 255, 0)))
HOLE_BESIDE_RED = drawn(HOLE, dict(HOLE_COLOURS, y=HOLE_COLOURS["r"]))


def run_program(program, sources, output_folder):
    """The program's results for the sources, run in a fresh folder."""
    with tempfile.TemporaryDirectory() as work:
        for number, source in enumerate(sources):
            write_bmp(os.path.join(work, f"{number}.bmp"), source)
        subprocess.run([program], cwd=work, check=True, stdout=subprocess.DEVNULL)
        return [read_bmp(os.path.join(work, output_folder, f"{number}.bmp"))
                for number in range(len(sources))]


def background_changes(programs):
    zorpix_sources = [DIAGONALS, CORNERS]
    dezorpix_sources = [HOLE_BESIDE_YELLOW, HOLE_BESIDE_RED]
    scaled = run_program(os.path.join(programs, "zorpix"), zorpix_sources, "scaled")
    restored = run_program(os.path.join(programs, "dezorpix"), dezorpix_sources, "restored")
    # Twice the zoom of the other pictures: single pixels are the point here.
    zoom = 2 * SOURCE_ZOOM
    return side_by_side([
        (before_after(list(zip(zorpix_sources, scaled)), zoom // 2, zoom), 1),
        (before_after(list(zip(dezorpix_sources, restored)), zoom, zoom), 1)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--examples", default=os.path.join(SOURCE_ROOT, "examples"),
                        help="the bundled sprites (default: examples/)")
    parser.add_argument("--results", default=os.path.join(SOURCE_ROOT, "build", "examples",
                                                          "examples"),
                        help="where the examples run left its output "
                             "(default: build/examples/examples)")
    parser.add_argument("--programs", default=os.path.join(SOURCE_ROOT, "build", "examples",
                                                           "apps"),
                        help="the folder of zorpix and dezorpix (default: build/examples/apps)")
    parser.add_argument("--out", default=HERE, help="folder for the PNG files (default: docs/)")
    args = parser.parse_args()

    names = sprites(args.examples)
    if not names:
        sys.exit(f"no sprites in {args.examples}")
    for picture_name, output_folder, zoom in PROGRAMS:
        pairs = []
        for key, name in names:
            result_path = os.path.join(args.results, key, output_folder, name)
            if not os.path.exists(result_path):
                sys.exit(f"{result_path} is missing: run `cmake --workflow --preset examples` first")
            pairs.append((read_bmp(os.path.join(args.examples, key, name)), read_bmp(result_path)))
        write_png(os.path.join(args.out, picture_name), before_after(pairs, zoom))
        print(f"wrote {os.path.join(args.out, picture_name)}")

    source = read_bmp(os.path.join(args.examples, *COMPARISON))
    scaled = read_bmp(os.path.join(args.results, COMPARISON[0], "scaled", COMPARISON[1]))
    comparison = side_by_side([(source, SOURCE_ZOOM), (bilinear_double(source), SOURCE_ZOOM // 2),
                               (scaled, SOURCE_ZOOM // 2)])
    path = os.path.join(args.out, "general-upscaler.png")
    write_png(path, comparison)
    print(f"wrote {path}")

    path = os.path.join(args.out, "background.png")
    write_png(path, background_changes(args.programs))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
