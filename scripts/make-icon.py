#!/usr/bin/env python3
"""Draws the program icon and writes resources/hotfix.ico.

A blue shield with a white sticking plaster across it: the product is
protected, the hotfix patches it. The file holds nine images in the order the
resource script's icon group lists them: 48, 32 and 16 pixels at 4 bits per
pixel, the same sizes at 8 bits and at 24 bits. Every image is a classic
BITMAPINFOHEADER image (palette, colour bitmap, 1-bit transparency mask), which
every version of Windows shows.

The output depends on nothing but this script: running it again gives the
same bytes.

Usage: scripts/make-icon.py [OUTPUT.ico]
"""

import math
import os
import struct
import sys

SIZES = (48, 32, 16)
BIT_COUNTS = (4, 8, 24)

# Colours (R, G, B).
OUTLINE = (10, 48, 104)
SHIELD_LIGHT = (66, 146, 232)
SHIELD_DARK = (22, 92, 190)
PLASTER = (250, 250, 250)
PLASTER_EDGE = (168, 180, 196)
PAD = (236, 200, 150)

SUPERSAMPLE = 8


# --- geometry, in unit coordinates (0..1, y downwards) ----------------------

SHIELD_TOP = 0.06
SHIELD_WAIST = 0.44
SHIELD_BOTTOM = 0.96
SHIELD_HALF_WIDTH = 0.40
SHIELD_CORNER = 0.10


def shield_half_width(y, inset):
    """Half the shield's width at height y, shrunk by inset; None outside."""
    top = SHIELD_TOP + inset
    bottom = SHIELD_BOTTOM - inset * 1.6
    if y < top or y > bottom:
        return None
    half = SHIELD_HALF_WIDTH - inset
    if y <= SHIELD_WAIST:
        # Rounded top corners.
        corner = max(SHIELD_CORNER - inset * 0.5, 0.0)
        if y < top + corner:
            dy = top + corner - y
            return half - corner + math.sqrt(max(corner * corner - dy * dy, 0.0))
        return half
    # Convex sides that meet in a point at the bottom.
    t = (y - SHIELD_WAIST) / (bottom - SHIELD_WAIST)
    return half * (1.0 - t ** 1.7) ** 0.85


def in_shield(x, y, inset):
    half = shield_half_width(y, inset)
    return half is not None and abs(x - 0.5) <= half


def rotated(x, y):
    """The point in the plaster's frame: along its length u, across it v."""
    c = math.cos(math.radians(40.0))
    s = math.sin(math.radians(40.0))
    dx, dy = x - 0.5, y - 0.47
    return dx * c - dy * s, dx * s + dy * c


def in_rounded_rect(u, v, half_u, half_v, radius):
    qu = abs(u) - (half_u - radius)
    qv = abs(v) - (half_v - radius)
    if qu <= 0 or qv <= 0:
        return abs(u) <= half_u and abs(v) <= half_v
    return qu * qu + qv * qv <= radius * radius


def colour_at(x, y, size):
    """The colour of the point, or None where the icon is transparent."""
    # Lines at least about one pixel wide at every size.
    line = max(0.045, 1.15 / size)
    if not in_shield(x, y, 0.0):
        return None
    u, v = rotated(x, y)
    plaster_half_v = 0.13 if size > 16 else 0.15
    if in_rounded_rect(u, v, 0.36, plaster_half_v, plaster_half_v * 0.9):
        if in_rounded_rect(u, v, 0.36 - line * 0.8, plaster_half_v - line * 0.8,
                           max(plaster_half_v * 0.9 - line * 0.8, 0.001)):
            if abs(u) <= 0.11 and abs(v) <= plaster_half_v - line * 0.8:
                return PAD
            return PLASTER
        return PLASTER_EDGE
    if not in_shield(x, y, line):
        return OUTLINE
    # Two-tone shield: the left half catches the light.
    return SHIELD_LIGHT if x < 0.5 else SHIELD_DARK


def render(size):
    """Rows of (r, g, b, opaque) from top to bottom."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = 0.0
            covered = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    c = colour_at(x, y, size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        covered += 1
            if covered * 2 >= n * n:
                # Averaged over the covered samples only: an edge pixel keeps
                # the outline colour instead of fading to black.
                row.append((round(r / covered), round(g / covered), round(b / covered), True))
            else:
                row.append((0, 0, 0, False))
        rows.append(row)
    return rows


# --- palettes ----------------------------------------------------------------

def median_cut(weighted, count):
    """At most count colours representing the {colour: weight} map."""
    boxes = [list(weighted.items())]
    while len(boxes) < count:
        best = None
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            ranges = [max(c[k] for c, _ in box) - min(c[k] for c, _ in box) for k in range(3)]
            channel = max(range(3), key=lambda k: ranges[k])
            score = ranges[channel] * sum(w for _, w in box)
            if best is None or score > best[0]:
                best = (score, i, channel)
        if best is None or best[0] == 0:
            break
        _, i, channel = best
        box = sorted(boxes.pop(i), key=lambda item: item[0][channel])
        total = sum(w for _, w in box)
        running = 0
        cut = 1
        for j, (_, w) in enumerate(box):
            running += w
            if running * 2 >= total:
                cut = min(max(j + 1, 1), len(box) - 1)
                break
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(w for _, w in box)
        palette.append(tuple(round(sum(c[k] * w for c, w in box) / total) for k in range(3)))
    return sorted(set(palette))


def nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))


def build_palette(rows, bits):
    """Entry 0 is black, the colour behind transparent pixels."""
    weighted = {}
    for row in rows:
        for r, g, b, opaque in row:
            if opaque:
                weighted[(r, g, b)] = weighted.get((r, g, b), 0) + 1
    entries = 1 << bits
    colours = [c for c in sorted(weighted) if c != (0, 0, 0)]
    if len(colours) > entries - 1:
        colours = [c for c in median_cut(weighted, entries - 1) if c != (0, 0, 0)]
    palette = [(0, 0, 0)] + colours
    return palette + [(0, 0, 0)] * (entries - len(palette))


# --- ICO encoding ------------------------------------------------------------

def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def encode_image(rows, bits):
    """BITMAPINFOHEADER, palette, colour bitmap and mask, rows bottom-up."""
    size = len(rows)
    palette = build_palette(rows, bits) if bits <= 8 else []
    cache = {}

    def index_of(colour):
        if colour not in cache:
            cache[colour] = nearest(palette, colour)
        return cache[colour]

    colour_rows = []
    mask_rows = []
    for row in reversed(rows):
        if bits == 24:
            data = bytearray()
            for r, g, b, opaque in row:
                data += bytes((b, g, r)) if opaque else b"\0\0\0"
        else:
            indexes = [index_of((r, g, b)) if opaque else 0 for r, g, b, opaque in row]
            per_byte = 8 // bits
            data = bytearray()
            for i in range(0, size, per_byte):
                value = 0
                for j in range(per_byte):
                    value = (value << bits) | indexes[i + j]
                data.append(value)
        colour_rows.append(padded(bytes(data)))
        mask = bytearray()
        for i in range(0, size, 8):
            value = 0
            for j in range(8):
                value = (value << 1) | (0 if row[i + j][3] else 1)
            mask.append(value)
        mask_rows.append(padded(bytes(mask)))
    colour_data = b"".join(colour_rows)
    mask_data = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                         len(colour_data) + len(mask_data), 0, 0, len(palette), 0)
    palette_data = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + palette_data + colour_data + mask_data


def build_icon():
    rendered = {size: render(size) for size in SIZES}
    images = [(size, bits, encode_image(rendered[size], bits))
              for bits in BIT_COUNTS for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, bits, data in images:
        colour_count = (1 << bits) if bits < 8 else 0
        entries += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits,
                               len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "hotfix.ico")
    with open(output, "wb") as f:
        f.write(build_icon())


if __name__ == "__main__":
    main()
