#!/usr/bin/env python3
"""Writes Q7730upgrade.ico: a blue tile with a white upward arrow, 16x16 and
32x32, 32-bit with alpha. Standard library only; rerun after changing it."""
import struct
import sys


def pixel(x, y, size):
    """RGBA of pixel (x, y), y counted from the top."""
    s = size / 32.0
    margin, radius = 1 * s, 6 * s
    # Rounded tile.
    cx = min(max(x + 0.5, margin + radius), size - margin - radius)
    cy = min(max(y + 0.5, margin + radius), size - margin - radius)
    if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 > radius ** 2:
        return (0, 0, 0, 0)
    # Arrow: a triangle head over a shaft.
    mid = size / 2.0
    px, py = x + 0.5, y + 0.5
    head_top, head_bottom, half_head = 6 * s, 16 * s, 9 * s
    shaft_bottom, half_shaft = 26 * s, 3.5 * s
    if head_top <= py <= head_bottom:
        if abs(px - mid) <= half_head * (py - head_top) / (head_bottom - head_top):
            return (255, 255, 255, 255)
    elif head_bottom < py <= shaft_bottom and abs(px - mid) <= half_shaft:
        return (255, 255, 255, 255)
    # Gradient from lighter blue at the top to darker at the bottom.
    t = y / float(size - 1)
    return (int(40 - 20 * t), int(120 - 50 * t), int(215 - 60 * t), 255)


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        row = b""
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            row += bytes((b, g, r, a))
        rows.append(row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for y in reversed(range(size)):
        bits = 0
        for x in range(size):
            if pixel(x, y, size)[3] == 0:
                bits |= 1 << (mask_stride * 8 - 1 - x)
        mask += bits.to_bytes(mask_stride, "big")
    return header + b"".join(rows) + mask


def main(path):
    sizes = (16, 32)
    images = [image(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Q7730upgrade.ico")
