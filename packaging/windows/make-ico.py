#!/usr/bin/env python3
"""Packs PNG images into one Windows icon (.ico): an icon may hold its images as PNG as they are,
which every Windows since Vista reads, so nothing is redrawn. Usage: make-ico.py OUT.ico IN.png..."""

import struct
import sys


def png_size(data, name):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        sys.exit(f"make-ico.py: {name} is not a PNG image")
    width, height = struct.unpack(">II", data[16:24])
    if not (0 < width <= 256 and 0 < height <= 256):
        sys.exit(f"make-ico.py: {name} is {width}x{height}; an icon image is at most 256x256")
    return width, height


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    images = []
    for name in sys.argv[2:]:
        with open(name, "rb") as f:
            data = f.read()
        images.append((png_size(data, name), data))
    images.sort(key=lambda image: image[0])

    header = struct.pack("<HHH", 0, 1, len(images))
    entries = b""
    offset = len(header) + 16 * len(images)
    for (width, height), data in images:
        # 0 stands for 256 in the one-byte sizes; 32 bits per pixel, as PNG with alpha is.
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as f:
        f.write(header + entries + b"".join(data for _, data in images))


if __name__ == "__main__":
    main()
