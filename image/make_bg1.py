#!/usr/bin/env python3
"""Writes BG1.bmp: the 640 x 480 background of palaver's status screen.

A pale sky fading into pale sand, with three low, soft hills. Every tone is
light, so black text stays readable anywhere on it. Saved as an 8-bit
palettised BMP with RLE8 compression, which keeps the file small.

    python3 image/make_bg1.py image/BG1.bmp
"""
import math
import struct
import sys

W, H = 640, 480
STEPS = 48  # colour steps of each gradient


def lerp(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


palette = []


def gradient(top, bottom):
    start = len(palette)
    for i in range(STEPS):
        palette.append(lerp(top, bottom, i / (STEPS - 1)))
    return start


sky = gradient((226, 236, 244), (246, 241, 228))
hills = [
    gradient((222, 234, 224), (232, 238, 226)),
    gradient((214, 228, 218), (228, 236, 222)),
    gradient((206, 222, 212), (224, 233, 219)),
]
assert len(palette) <= 256


def hill_top(k, x):
    base = (330, 375, 420)[k]
    amp = (26, 20, 14)[k]
    period = (560.0, 410.0, 300.0)[k]
    phase = (0.6, 2.1, 4.0)[k]
    return base + amp * math.sin(2 * math.pi * x / period + phase)


def pixel(x, y):
    for k in (2, 1, 0):
        top = hill_top(k, x)
        if y >= top:
            t = min(1.0, (y - top) / (H - top + 1))
            return hills[k] + int(t * (STEPS - 1))
    return sky + int(y / (H - 1) * (STEPS - 1))


def rle8_row(row):
    out = bytearray()
    i = 0
    while i < len(row):
        j = i
        while j < len(row) and j - i < 255 and row[j] == row[i]:
            j += 1
        out += bytes((j - i, row[i]))
        i = j
    out += b"\x00\x00"  # end of line
    return out


def main(path):
    data = bytearray()
    for y in range(H - 1, -1, -1):  # bottom-up rows
        data += rle8_row([pixel(x, y) for x in range(W)])
    data[-2:] = b"\x00\x01"  # end of bitmap replaces the last end of line
    pal = bytearray()
    for r, g, b in palette + [(0, 0, 0)] * (256 - len(palette)):
        pal += bytes((b, g, r, 0))
    offset = 14 + 40 + len(pal)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 8, 1, len(data), 2835, 2835, 256, 0)
    with open(path, "wb") as f:
        f.write(header + info + pal + data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "BG1.bmp")
