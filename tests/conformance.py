#!/usr/bin/env python3
"""Runs both programs over the public BMP conformance suite.

    tests/conformance.py <folder with zorpix and dezorpix> <suite folder>

Every uncompressed 24-bit image of the good and questionable sets must come
out as a valid BMP of the right size whose source pixels are the input's (the
scaler with refinement mode 2 keeps each one at the top-left of its block; the
restorer's output is checked for size and validity); every other file must get
exactly one console line naming it and no output file.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile


def read_bmp(data):
    """Pixels (rows from the top, (r, g, b)) of an uncompressed 24-bit BMP, or None."""
    if len(data) < 26 or data[:2] != b"BM":
        return None
    offset, info = struct.unpack_from("<II", data, 10)
    if info == 12:
        # The OS/2 core header: unsigned 16-bit sides, no compression field.
        width, height, _planes, bits = struct.unpack_from("<HHHH", data, 18)
        compression = 0
    elif info < 40 or 14 + info > len(data):
        return None
    else:
        width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits != 24 or compression != 0 or width < 0:
        return None
    top_down = height < 0
    height = abs(height)
    stride = (width * 3 + 3) // 4 * 4
    if offset + stride * height > len(data):
        return None
    rows = []
    for k in range(height):
        start = offset + k * stride
        row = data[start:start + 3 * width]
        rows.append([(row[3 * x + 2], row[3 * x + 1], row[3 * x]) for x in range(width)])
    if not top_down:
        rows.reverse()
    return width, height, rows


def check_layout(data):
    """The output must be a plain bottom-up file with a 54-byte header."""
    offset, info = struct.unpack_from("<II", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) // 4 * 4
    size, = struct.unpack_from("<I", data, 2)
    image_size, = struct.unpack_from("<I", data, 34)
    return (offset == 54 and info == 40 and height >= 0 and size == len(data)
            and image_size == stride * height and len(data) == 54 + stride * height)


def run(program, folder, args):
    done = subprocess.run([program] + args, cwd=folder, capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout.splitlines()


def main():
    programs, suite = os.path.abspath(sys.argv[1]), sys.argv[2]
    failures = []
    checked = 0
    for kind in ("g", "q", "b"):
        for name in sorted(os.listdir(os.path.join(suite, kind))):
            if not name.lower().endswith(".bmp"):
                continue
            source = os.path.join(suite, kind, name)
            with open(source, "rb") as f:
                data = f.read()
            image = read_bmp(data)
            takes = image is not None and image[0] <= 16383 and image[1] <= 16383
            for program, folder, scale in (("zorpix", "scaled", 2), ("dezorpix", "restored", 1)):
                work = tempfile.mkdtemp()
                try:
                    shutil.copy(source, os.path.join(work, name))
                    status, lines = run(os.path.join(programs, program), work, ["0", "255", "255", "2"])
                    per_file = lines[3:]
                    out_path = os.path.join(work, folder, name)
                    label = f"{kind}/{name} {program}"
                    if status != 0:
                        failures.append(f"{label}: exit status {status}")
                    if not takes:
                        if len(per_file) != 1 or name not in per_file[0] or os.path.exists(out_path):
                            failures.append(f"{label}: expected one line and no output, got {per_file}")
                        continue
                    if per_file != [f"{folder}/{name}"]:
                        failures.append(f"{label}: console {per_file}")
                        continue
                    with open(out_path, "rb") as f:
                        out = f.read()
                    result = read_bmp(out)
                    if result is None or not check_layout(out):
                        failures.append(f"{label}: output is not a plain 24-bit BMP")
                        continue
                    width, height, rows = image
                    if (result[0], result[1]) != (scale * width, scale * height):
                        failures.append(f"{label}: output is {result[0]}x{result[1]}")
                    elif scale == 2 and any(result[2][2 * y][2 * x] != rows[y][x]
                                            for y in range(height) for x in range(width)):
                        failures.append(f"{label}: source pixels not at the top-left of their blocks")
                    checked += 1
                finally:
                    shutil.rmtree(work)
    for failure in failures:
        print("FAIL", failure)
    print(f"{checked} images processed and checked; {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
