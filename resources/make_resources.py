#!/usr/bin/env python3
"""Draws the updater's picture (550 x 249, an RGB PNG; and twice that, 1100 x 498, for screens
scaled above 100 %) and its icon (32 x 32 PNG for the Qt window; for the Windows executables an
ICO with the 32 x 32 256-colour image first and 16, 48 and 256 px true-colour images for small and
high-DPI screens). Standard library only; the outputs are committed, so run
this only after changing the drawing: python3 resources/make_resources.py"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def inside_triangle(x, y, a, b, c):
    def side(p, q, r):
        return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])
    d1, d2, d3 = side((x, y), a, b), side((x, y), b, c), side((x, y), c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def warning_sign(x, y, cx, cy, size):
    """Colour of a red-rimmed warning triangle with an exclamation mark, or None outside it."""
    h = size * math.sqrt(3) / 2
    top, left, right = (cx, cy - h * 2 / 3), (cx - size / 2, cy + h / 3), (cx + size / 2, cy + h / 3)
    if not inside_triangle(x, y, top, left, right):
        return None
    inner = size * 0.72
    hi = inner * math.sqrt(3) / 2
    itop = (cx, cy - hi * 2 / 3)
    ileft, iright = (cx - inner / 2, cy + hi / 3), (cx + inner / 2, cy + hi / 3)
    if not inside_triangle(x, y, itop, ileft, iright):
        return (200, 30, 30)
    bar_w = size * 0.06
    if abs(x - cx) < bar_w and cy - hi * 0.35 < y < cy + hi * 0.05:
        return (20, 20, 20)
    if (x - cx) ** 2 + (y - (cy + hi * 0.18)) ** 2 < (bar_w * 1.1) ** 2:
        return (20, 20, 20)
    return (250, 205, 40)


def gps_pin(x, y, cx, cy, r):
    """A map pin whose point is at (cx, cy + 2r)."""
    dx, dy = x - cx, y - cy
    d = math.hypot(dx, dy)
    if d < r * 0.42:
        return (255, 255, 255)
    if d < r:
        return (30, 120, 220)
    if cy < y < cy + 2 * r and abs(dx) < r * (1 - (y - cy) / (2 * r)) * 0.85:
        return (30, 120, 220)
    return None


PICTURE_SIZE = (550, 249)


def picture(scale):
    """The picture at `scale` times its size: each pixel takes the colour of its centre in the
    drawing's own coordinates, so the 2x picture is the same drawing with twice the detail."""
    width, height = PICTURE_SIZE
    rows = []
    horizon = int(height * 0.46)
    vanish_x = width * 0.5
    for py in range(height * scale):
        y = (py + 0.5) / scale - 0.5
        row = []
        for px in range(width * scale):
            x = (px + 0.5) / scale - 0.5
            if y < horizon:
                colour = mix((120, 175, 235), (215, 235, 250), y / horizon)
                # Satellite signal arcs above the pin.
                d = math.hypot(x - 455, y - 62)
                if any(abs(d - r) < 2.2 for r in (16, 28, 40)) and y < 62 and x > 420:
                    colour = (255, 255, 255)
            else:
                t = (y - horizon) / (height - horizon)
                colour = mix((110, 160, 90), (70, 125, 60), t)
                half = 8 + t * width * 0.42
                if abs(x - vanish_x) < half:
                    colour = mix((95, 95, 100), (60, 60, 66), t)
                    edge = half - abs(x - vanish_x)
                    if edge < 2 + t * 6:
                        colour = (235, 235, 235)
                    lane = (y - horizon) ** 0.55 * 5.0
                    if abs(x - vanish_x) < 1 + t * 5 and int(lane) % 2 == 0:
                        colour = (245, 210, 60)
            for shape in (warning_sign(x, y, 120, 150, 150), gps_pin(x, y, 455, 95, 26)):
                if shape:
                    colour = shape
            row.append(colour)
        rows.append(row)
    return rows


def icon_pixels(size):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            colour = warning_sign(x + 0.5, y + 0.5, size / 2, size * 0.56, size * 0.98)
            row.append(colour)   # None is transparent
        rows.append(row)
    return rows


def write_png(path, rows):
    """An 8-bit PNG: RGB where every pixel has a colour (the pictures), else RGBA with None
    transparent (the icons). Each row unfiltered: the drawing's long runs of one colour compress
    best so."""
    height, width = len(rows), len(rows[0])
    opaque = all(c for row in rows for c in row)
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for c in row:
            if opaque:
                raw += bytes(c)
            else:
                raw += bytes((*c, 255)) if c else bytes((0, 0, 0, 0))

    def chunk(kind, payload):
        return struct.pack(">I", len(payload)) + kind + payload + struct.pack(
            ">I", zlib.crc32(kind + payload) & 0xFFFFFFFF)
    colour_type = 2 if opaque else 6
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def ico_8bit(rows):
    """A 256-colour image with a transparency mask, as an icon directory entry's data."""
    size = len(rows)
    palette = []
    for row in rows:
        for c in row:
            if c and c not in palette:
                palette.append(c)
    assert len(palette) <= 255
    palette = [(0, 0, 0)] + palette
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        pixels += bytes(palette.index(c) if c else 0 for c in row)
        mask += mask_line(row)
    pal = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + b"\0" * 4 * (256 - len(palette))
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(pixels) + len(mask), 0, 0, 256, 0)
    return info + pal + pixels + mask, 8


def ico_32bit(rows):
    """A true-colour image with alpha (what high-DPI screens pick), as entry data."""
    size = len(rows)
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for c in row:
            pixels += bytes((c[2], c[1], c[0], 255)) if c else bytes(4)
        mask += mask_line(row)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return info + pixels + mask, 32


def mask_line(row):
    bits = 0
    line = bytearray()
    for i, c in enumerate(row):
        bits = (bits << 1) | (0 if c else 1)
        if i % 8 == 7:
            line.append(bits)
            bits = 0
    if len(row) % 8:
        line.append(bits << (8 - len(row) % 8))
    line += b"\0" * ((4 - len(line) % 4) % 4)
    return line


def write_ico(path, images):
    """An icon of several images: (size, data, bits per pixel) each; 256 is stored as PNG."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    body = b""
    for size, data, bits in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
        body += data
    with open(path, "wb") as f:
        f.write(header + entries + body)


def png_bytes(rows):
    path = os.path.join(HERE, ".icon256.png")
    write_png(path, rows)
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return data


if __name__ == "__main__":
    write_png(os.path.join(HERE, "picture.png"), picture(1))
    # Twice the size, for screens at more than 100 %: both windows scale down from it.
    write_png(os.path.join(HERE, "picture_2x.png"), picture(2))
    icon = icon_pixels(32)
    write_png(os.path.join(HERE, "icon.png"), icon)
    # The 32 x 32, 256-colour image comes first; the others serve small and high-DPI screens.
    images = [(32, *ico_8bit(icon))]
    for size in (16, 48):
        images.append((size, *ico_32bit(icon_pixels(size))))
    images.append((256, png_bytes(icon_pixels(256)), 32))
    write_ico(os.path.join(HERE, "icon.ico"), images)
    # The hicolor theme's sizes, for the Linux desktop entry.
    os.makedirs(os.path.join(HERE, "icons"), exist_ok=True)
    for size in (16, 32, 48, 64, 128, 256):
        write_png(os.path.join(HERE, "icons", f"quarvo-updater-{size}.png"), icon_pixels(size))
