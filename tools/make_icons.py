#!/usr/bin/env python3
"""Draws quillmere's listing icons and favicons, deterministically.

Writes, below content/resources/:
  quillmere/icon.16/*.png and quillmere/icon.32/*.png  (16x16 and 32x32 RGBA)
  quillmere.ico and quillmere.t.ico                     (ten images each)

Only the standard library is used: shapes are rasterised by sampling a 4x4
grid inside every pixel (so edges are anti-aliased), PNG is written with
zlib + struct, and ICO images are BMP (1, 4, 8, 24, 32 bits with AND masks)
plus one PNG-compressed 48x48 image. Running it twice gives the same bytes.

Usage: make_icons.py [output-root]
"""
import os
import struct
import sys
import zlib

SUB = 4  # samples per pixel along each axis

# ---------------------------------------------------------------- shapes ---
# Every shape is a predicate inside(x, y) in a 32-unit design space, so one
# drawing serves both sizes.


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def ellipse(cx, cy, rx, ry):
    return lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            xa, ya = points[i]
            xb, yb = points[(i + 1) % n]
            if (ya > y) != (yb > y):
                if x < xa + (y - ya) * (xb - xa) / (yb - ya):
                    hit = not hit
        return hit
    return inside


def segment(xa, ya, xb, yb, width):
    half2 = (width / 2.0) ** 2
    dx, dy = xb - xa, yb - ya
    length2 = dx * dx + dy * dy or 1.0

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / length2))
        px, py = xa + t * dx - x, ya + t * dy - y
        return px * px + py * py <= half2
    return inside


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


# ---------------------------------------------------------------- canvas ---


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]

    def fill(self, shape, color, alpha=1.0):
        """Composites color (r, g, b in 0..255) over the canvas where shape is."""
        scale = 32.0 / self.size
        r, g, b = (c / 255.0 for c in color)
        for py in range(self.size):
            row = self.px[py]
            for px in range(self.size):
                hits = 0
                for sy in range(SUB):
                    y = (py + (sy + 0.5) / SUB) * scale
                    for sx in range(SUB):
                        x = (px + (sx + 0.5) / SUB) * scale
                        if shape(x, y):
                            hits += 1
                if not hits:
                    continue
                a = alpha * hits / (SUB * SUB)
                dr, dg, db, da = row[px]
                out_a = a + da * (1 - a)
                mix = lambda s, d: (s * a + d * da * (1 - a)) / out_a
                row[px] = (mix(r, dr), mix(g, dg), mix(b, db), out_a)

    def rgba(self):
        """Rows of (r, g, b, a) bytes, top row first."""
        return [[tuple(int(round(c * 255)) for c in p) for p in row] for row in self.px]


# ----------------------------------------------------------------- icons ---
OUTLINE = (64, 64, 72)
PAPER = (250, 250, 250)
VIOLET = (148, 0, 211)


def page(c, fold_color=(210, 210, 215)):
    """A sheet with a folded top-right corner."""
    body = [(6, 2), (20, 2), (27, 9), (27, 30), (6, 30)]
    inner = [(7.5, 3.5), (19.4, 3.5), (25.5, 9.6), (25.5, 28.5), (7.5, 28.5)]
    c.fill(polygon(body), OUTLINE)
    c.fill(polygon(inner), PAPER)
    c.fill(polygon([(19, 2.5), (26.5, 10), (19, 10)]), fold_color)
    c.fill(segment(19.5, 3, 19.5, 9.5, 1.4), OUTLINE)
    c.fill(segment(19.5, 9.5, 26, 9.5, 1.4), OUTLINE)


def draw_default(c):
    page(c)
    # an application: a blue cube seen from a corner
    c.fill(polygon([(16.5, 12), (23, 15.5), (16.5, 19), (10, 15.5)]), (120, 170, 235))
    c.fill(polygon([(10, 15.5), (16.5, 19), (16.5, 26.5), (10, 23)]), (40, 95, 190))
    c.fill(polygon([(16.5, 19), (23, 15.5), (23, 23), (16.5, 26.5)]), (70, 130, 215))


def draw_audio(c):
    # two beamed eighth notes
    color = (120, 40, 170)
    c.fill(ellipse(9, 25, 5, 3.8), color)
    c.fill(ellipse(23, 22, 5, 3.8), color)
    c.fill(rect(11.6, 6, 14.2, 25), color)
    c.fill(rect(25.6, 3, 28.2, 22), color)
    c.fill(polygon([(11.6, 6), (28.2, 2), (28.2, 7.5), (11.6, 11.5)]), color)


def draw_folder_closed(c):
    back = (214, 160, 40)
    front = (250, 205, 80)
    c.fill(rounded(2, 5, 14, 11, 1.5), back)
    c.fill(rounded(2, 8, 30, 27, 1.5), back)
    c.fill(rounded(2, 11, 30, 27, 1.5), front)
    c.fill(segment(3, 11.5, 29, 11.5, 1.2), (255, 236, 170))


def draw_folder_open(c):
    back = (214, 160, 40)
    front = (250, 205, 80)
    c.fill(rounded(2, 4, 13, 10, 1.5), back)
    c.fill(rounded(2, 7, 27, 27, 1.5), back)
    c.fill(rect(5, 10, 25, 20), PAPER)
    c.fill(segment(8, 13, 22, 13, 1.2), (160, 160, 170))
    c.fill(segment(8, 16, 19, 16, 1.2), (160, 160, 170))
    c.fill(polygon([(7, 15), (31, 15), (27, 27), (2, 27)]), front)


def draw_img(c):
    c.fill(rounded(1.5, 4, 30.5, 28, 2), OUTLINE)
    c.fill(rect(3.5, 6, 28.5, 26), (150, 205, 250))
    c.fill(ellipse(22, 11.5, 3.2, 3.2), (255, 200, 40))
    c.fill(polygon([(3.5, 26), (12, 13), (19, 22), (22, 18.5), (28.5, 26)]), (60, 150, 70))


def draw_text(c):
    page(c)
    line = (80, 80, 100)
    for i, end in enumerate((18, 23, 23, 23, 16)):
        y = 8 + i * 4.2
        c.fill(segment(10, y, end if i else 16, y, 1.6), line)


def draw_video(c):
    c.fill(rounded(1.5, 5, 30.5, 27, 2), (40, 40, 48))
    for x in range(4, 30, 5):
        c.fill(rect(x, 6.5, x + 2.4, 9), (235, 235, 235))
        c.fill(rect(x, 23, x + 2.4, 25.5), (235, 235, 235))
    c.fill(polygon([(12, 11), (22, 16), (12, 21)]), (230, 70, 60))


ICONS = [
    ("0-default", draw_default),
    ("audio", draw_audio),
    ("z-folder-h", draw_folder_closed),
    ("z-folder-v", draw_folder_open),
    ("img", draw_img),
    ("text", draw_text),
    ("video", draw_video),
]


def draw_favicon(c, framed):
    """The product mark: a violet "q" with a quill-like slanted tail."""
    if framed:
        c.fill(rounded(0.5, 0.5, 31.5, 31.5, 6), VIOLET)
        ink = (255, 255, 255)
    else:
        ink = VIOLET
    c.fill(ring(14, 13.5, 9, 5.2), ink)
    c.fill(polygon([(19.5, 8), (23.5, 8), (23.5, 25), (27.5, 29), (22, 29), (19.5, 26)]), ink)


# ------------------------------------------------------------------- PNG ---


def png(rows):
    size = len(rows)

    def chunk(kind, body):
        crc = zlib.crc32(kind + body) & 0xFFFFFFFF
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc)

    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


# ------------------------------------------------------------------- ICO ---


def vga16():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def cube256():
    levels = (0, 51, 102, 153, 204, 255)
    pal = [(r, g, b) for r in levels for g in levels for b in levels]
    pal += [(v * 255 // 41,) * 3 for v in range(1, 41)]
    return pal


PALETTES = {1: [(0, 0, 0), (255, 255, 255)], 4: vga16(), 8: cube256()}


def nearest(pal, color):
    r, g, b = color
    return min(range(len(pal)),
               key=lambda i: (pal[i][0] - r) ** 2 + (pal[i][1] - g) ** 2 + (pal[i][2] - b) ** 2)


def pack_row(values, bits):
    """Packs indices MSB-first and pads the row to a multiple of 4 bytes."""
    out = bytearray()
    acc, n = 0, 0
    for v in values:
        acc = (acc << bits) | v
        n += bits
        if n == 8:
            out.append(acc)
            acc, n = 0, 0
    if n:
        out.append(acc << (8 - n))
    while len(out) % 4:
        out.append(0)
    return bytes(out)


def bmp_image(rows, bits):
    """A DIB for an ICO entry: header, palette, colour rows, AND mask rows."""
    size = len(rows)
    opaque = [[p[3] >= 128 for p in row] for row in rows]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    palette = b""
    colour_rows = []
    if bits <= 8:
        pal = PALETTES[bits]
        palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal)
        cache = {}
        for y, row in enumerate(rows):
            idx = []
            for x, p in enumerate(row):
                if not opaque[y][x]:
                    idx.append(0)
                    continue
                key = p[:3]
                if key not in cache:
                    cache[key] = nearest(pal, key)
                idx.append(cache[key])
            colour_rows.append(pack_row(idx, bits))
    else:
        for y, row in enumerate(rows):
            line = bytearray()
            for x, (r, g, b, a) in enumerate(row):
                if bits == 32:
                    line += bytes((b, g, r, a))
                else:
                    line += bytes((b, g, r)) if opaque[y][x] else b"\x00\x00\x00"
            while len(line) % 4:
                line.append(0)
            colour_rows.append(bytes(line))
    mask_rows = [pack_row([0 if o else 1 for o in row], 1) for row in opaque]
    # DIB rows run bottom-up
    return header + palette + b"".join(reversed(colour_rows)) + b"".join(reversed(mask_rows))


ICO_IMAGES = [(16, 1), (16, 4), (16, 8), (16, 32), (24, 8), (24, 32),
              (32, 4), (32, 8), (32, 32), (48, 32)]


def ico(draw):
    images = []
    for size, bits in ICO_IMAGES:
        c = Canvas(size)
        draw(c)
        rows = c.rgba()
        # the largest image is PNG-compressed, as modern icon files do
        data = png(rows) if size == 48 else bmp_image(rows, bits)
        images.append((size, bits, data))
    offset = 6 + 16 * len(images)
    head = struct.pack("<HHH", 0, 1, len(images))
    entries, blobs = b"", b""
    for size, bits, data in images:
        colours = 1 << bits if bits < 8 else 0
        entries += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
        blobs += data
    return head + entries + blobs


# ------------------------------------------------------------------ main ---


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {len(data)} bytes")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "content", "resources")
    root = os.path.normpath(root)
    small = {}
    for name, draw in ICONS:
        for size in (16, 32):
            c = Canvas(size)
            draw(c)
            small.setdefault(name, {})[size] = png(c.rgba())
    for name in small:
        write(os.path.join(root, "quillmere", "icon.16", name + ".png"), small[name][16])
        # the second folder form is carried at 16x16 in both folders
        big = small[name][16] if name == "z-folder-v" else small[name][32]
        write(os.path.join(root, "quillmere", "icon.32", name + ".png"), big)
    write(os.path.join(root, "quillmere.ico"), ico(lambda c: draw_favicon(c, True)))
    write(os.path.join(root, "quillmere.t.ico"), ico(lambda c: draw_favicon(c, False)))


if __name__ == "__main__":
    main()
