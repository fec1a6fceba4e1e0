#!/usr/bin/env python3
"""Writes fenzar.ico: Fenzar's icon at 16, 24, 32, 48, 64 and 256 pixels.

The design: a rounded dark-teal tile holding a white parcel whose lid stands
open, with an amber arrow rising out of it (an application leaving its
package). Every size is drawn from the same shapes with 4x4 supersampling;
sizes up to 64 are stored as 32-bit BMP images, 256 as PNG.

    python3 resources/make_icon.py [OUT.ico]
"""
import struct
import sys
import zlib

TILE = (0x1B, 0x5E, 0x6B)
PARCEL = (0xF4, 0xF1, 0xEA)
SHADE = (0xC9, 0xC2, 0xB3)
ARROW = (0xF2, 0xA1, 0x2C)
SIZES = (16, 24, 32, 48, 64, 256)
SAMPLES = 4


def inside_rounded(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_polygon(x, y, points):
    inside = False
    for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
        if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
            inside = not inside
    return inside


def colour_at(x, y):
    """The design in unit coordinates (0..1, y down); None is transparent."""
    if inside_polygon(x, y, [(0.44, 0.50), (0.44, 0.30), (0.32, 0.30),
                             (0.50, 0.10), (0.68, 0.30), (0.56, 0.30), (0.56, 0.50)]):
        return ARROW
    if 0.22 <= x <= 0.78 and 0.52 <= y <= 0.82:
        return SHADE if x > 0.50 else PARCEL
    if inside_polygon(x, y, [(0.22, 0.50), (0.10, 0.38), (0.34, 0.38), (0.46, 0.50)]):
        return PARCEL
    if inside_polygon(x, y, [(0.54, 0.50), (0.66, 0.38), (0.90, 0.38), (0.78, 0.50)]):
        return SHADE
    if inside_rounded(x, y, 0.02, 0.02, 0.98, 0.98, 0.18):
        return TILE
    return None


def render(size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = colour_at((px * SAMPLES + sx + 0.5) * step,
                                       (py * SAMPLES + sy + 0.5) * step)
                    if colour:
                        r, g, b, covered = r + colour[0], g + colour[1], b + colour[2], covered + 1
            if covered:
                row.append((r // covered, g // covered, b // covered,
                            covered * 255 // (SAMPLES * SAMPLES)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bmp_image(size, rows):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def png_image(size, rows):
    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b''.join(b'\0' + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else 'fenzar.ico'
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_image(size, rows) if size >= 256 else bmp_image(size, rows)))
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out, 'wb') as f:
        f.write(directory + b''.join(data for _, data in images))


if __name__ == '__main__':
    main()
