#!/usr/bin/env python3
"""Draws quillmere's listing icons and favicons, deterministically.

Writes, below content/resources/:
  quillmere/icon.16/*.png and quillmere/icon.32/*.png  (16x16 and 32x32 RGBA)
  quillmere.ico and quillmere.t.ico                     (ten images each)

Only the standard library is used. Every drawing is laid out on a 16-unit
grid: one unit is one pixel of the 16x16 icon and two pixels of the 32x32 one,
so the straight edges of both sizes fall on pixel boundaries, while outlines
stay one pixel wide at both sizes (the 32x32 form is the same picture with
finer lines, for screens with two pixels per CSS pixel). Shapes are
rasterised by sampling an 8x8 grid inside every pixel, so slanted and round
edges are anti-aliased. Colours are chosen to read on light and on dark
pages: light fills carry a mid-tone outline, dark fills a lighter rim.

The favicons hold BMP images (1, 4, 8 and 32 bits, with AND masks; the
paletted ones use a palette chosen from the image) and one PNG-compressed
48x48 image. Running the script twice gives the same bytes.

Usage: make_icons.py [output-root]
"""
import os
import struct
import sys
import zlib

SUB = 8  # samples per pixel along each axis
ROOT2 = 2 ** 0.5

# ---------------------------------------------------------------- shapes ---
# Every shape is a predicate inside(x, y) in pixel coordinates: (0, 0) is the
# top-left corner of the top-left pixel, (n, n) the bottom-right corner.


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded(x0, y0, x1, y1, r):
    if r <= 0:
        return rect(x0, y0, x1, y1)

    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def frame(x0, y0, x1, y1, r, width):
    """The rim of a rounded rectangle, width pixels wide, inside its edge."""
    return minus(rounded(x0, y0, x1, y1, r),
                 rounded(x0 + width, y0 + width, x1 - width, y1 - width, max(0.0, r - width)))


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
    """A stroke with round ends."""
    half2 = (width / 2.0) ** 2
    dx, dy = xb - xa, yb - ya
    length2 = dx * dx + dy * dy or 1.0

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / length2))
        px, py = xa + t * dx - x, ya + t * dy - y
        return px * px + py * py <= half2
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def clip(a, b):
    return lambda x, y: a(x, y) and b(x, y)


# ---------------------------------------------------------------- canvas ---


class Canvas:
    def __init__(self, size):
        self.size = size
        self.unit = size / 16.0  # pixels per grid unit
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]

    def u(self, *values):
        """Grid units to pixels."""
        if len(values) == 1:
            return values[0] * self.unit
        return [v * self.unit for v in values]

    def fill(self, shape, color, alpha=1.0):
        """Composites color (r, g, b in 0..255) over the canvas where shape is."""
        r, g, b = (c / 255.0 for c in color)
        offsets = [(s + 0.5) / SUB for s in range(SUB)]
        for py in range(self.size):
            row = self.px[py]
            for px in range(self.size):
                hits = 0
                for oy in offsets:
                    y = py + oy
                    for ox in offsets:
                        if shape(px + ox, y):
                            hits += 1
                if not hits:
                    continue
                a = alpha * hits / (SUB * SUB)
                dr, dg, db, da = row[px]
                out_a = a + da * (1 - a)

                def mix(s, d):
                    return (s * a + d * da * (1 - a)) / out_a
                row[px] = (mix(r, dr), mix(g, dg), mix(b, db), out_a)

    def rgba(self):
        """Rows of (r, g, b, a) bytes, top row first; straight (not premultiplied) colour."""
        out = []
        for row in self.px:
            line = []
            for r, g, b, a in row:
                if a < 0.5 / 255:
                    line.append((0, 0, 0, 0))
                else:
                    line.append(tuple(int(round(v * 255)) for v in (r, g, b, a)))
            out.append(line)
        return out


# ----------------------------------------------------------------- icons ---
# Colours shared by several icons.
PAGE_EDGE = (118, 124, 136)
PAPER = (252, 252, 253)
PAPER_SHADE = (226, 229, 235)
FOLD = (206, 211, 220)
INK = (104, 112, 128)
VIOLET = (148, 0, 211)


def page(c, fold_units=4.5):
    """A sheet with a folded top-right corner, filling the height of the icon.

    Returns the inner area (x0, y0, x1, y1) in pixels, inside the outline."""
    x0, y0, x1, y1 = c.u(2, 0, 14, 16)
    f = c.u(fold_units)
    edge = polygon([(x0, y0), (x1 - f, y0), (x1, y0 + f), (x1, y1), (x0, y1)])
    # the paper, one pixel inside the outline (the slanted edge moved in by one
    # pixel across it)
    paper = polygon([(x0 + 1, y0 + 1), (x1 - f + 1 - ROOT2, y0 + 1), (x1 - 1, y0 + f - 1 + ROOT2),
                     (x1 - 1, y1 - 1), (x0 + 1, y1 - 1)])
    c.fill(edge, PAGE_EDGE)
    c.fill(paper, PAPER)
    # a faint shade along the bottom and right gives the sheet some body
    c.fill(clip(paper, rect(x0 + 1, y1 - 1 - c.u(1), x1 - 1, y1 - 1)), PAPER_SHADE)
    # the fold: a triangle with the outline along its two inner edges
    fold = polygon([(x1 - f, y0), (x1 - f, y0 + f), (x1, y0 + f)])
    c.fill(fold, PAGE_EDGE)
    c.fill(polygon([(x1 - f + 1, y0 + 1 + ROOT2), (x1 - f + 1, y0 + f - 1), (x1 - 1 - ROOT2, y0 + f - 1)]), FOLD)
    return x0 + 1, y0 + 1, x1 - 1, y1 - 1


def draw_default(c):
    """A document holding a cube: a packaged program or data of some application."""
    page(c)
    u = c.u
    top, left, right = (126, 182, 246), (34, 92, 196), (62, 132, 226)
    cx, cy, w, h = u(8), u(8), u(4), u(2)  # centre of the cube's top face, half sizes
    d = u(4)  # height of the sides
    c.fill(polygon([(cx, cy - h), (cx + w, cy), (cx, cy + h), (cx - w, cy)]), top)
    c.fill(polygon([(cx - w, cy), (cx, cy + h), (cx, cy + h + d), (cx - w, cy + d)]), left)
    c.fill(polygon([(cx, cy + h), (cx + w, cy), (cx + w, cy + d), (cx, cy + h + d)]), right)
    # a light edge where the faces meet catches the eye at 16 pixels
    c.fill(segment(cx - w + 0.5, cy, cx, cy + h - 0.2, 0.9), (190, 220, 255), 0.7)
    c.fill(segment(cx, cy + h - 0.2, cx + w - 0.5, cy, 0.9), (190, 220, 255), 0.7)


def draw_text(c):
    """A document with lines of text."""
    x0, y0, x1, y1 = page(c)
    u = c.u
    line_h = 1 if c.size <= 16 else 2  # one unit tall at both sizes, rows kept whole
    left = u(4)
    # (row in units, right end in units): the first line stops short of the fold
    for row, end in ((3, 9), (5, 12), (7, 12), (9, 12), (11, 12), (13, 9)):
        y = u(row)
        c.fill(rect(left, y, u(end), y + line_h), INK)


def draw_audio(c):
    """Two beamed eighth notes."""
    u = c.u
    ink = (142, 68, 214)
    dark = (98, 34, 160)
    stem = 1 if c.size <= 16 else 2
    # stems stand on whole pixels; the note heads hang on their left side
    c.fill(rect(u(6) - stem, u(3.5), u(6), u(13)), ink)
    c.fill(rect(u(14) - stem, u(1.5), u(14), u(11)), ink)
    beam = u(2.5)
    c.fill(polygon([(u(6) - stem, u(3.5)), (u(14), u(1)), (u(14), u(1) + beam), (u(6) - stem, u(3.5) + beam)]), ink)
    for hx, hy in ((3.6, 13.0), (11.6, 11.0)):
        head = ellipse(u(hx), u(hy), u(2.5), u(1.9))
        c.fill(head, dark)
        # tilted inner fill leaves a darker rim on the lower side
        c.fill(ellipse(u(hx) - 0.25, u(hy) - 0.35, u(2.5) - 0.8, u(1.9) - 0.8), ink)


FOLDER_BACK = (222, 164, 40)
FOLDER_FRONT = (252, 206, 82)
FOLDER_EDGE = (176, 118, 14)
FOLDER_LIGHT = (255, 232, 160)


def draw_folder_closed(c):
    """A closed folder with its tab at the top left."""
    u = c.u
    x0, x1 = u(0.5), u(15.5)
    x0, x1 = round(x0), round(x1)  # whole pixels at both sizes
    tab = (x0, u(2), u(7), u(5))
    c.fill(rounded(*tab, u(1)), FOLDER_EDGE)
    c.fill(rounded(tab[0] + 1, tab[1] + 1, tab[2] - 1, tab[3], max(0, u(1) - 1)), FOLDER_BACK)
    body = (x0, u(4), x1, u(14))
    c.fill(rounded(*body, u(1)), FOLDER_EDGE)
    c.fill(rounded(body[0] + 1, body[1] + 1, body[2] - 1, body[3] - 1, max(0, u(1) - 1)), FOLDER_BACK)
    # the front cover, a little lower than the back, with a light top edge
    front = (x0, u(5.5), x1, u(14))
    c.fill(rounded(*front, u(1)), FOLDER_EDGE)
    inner = (front[0] + 1, front[1] + 1, front[2] - 1, front[3] - 1)
    c.fill(rounded(*inner, max(0, u(1) - 1)), FOLDER_FRONT)
    c.fill(rect(inner[0], inner[1], inner[2], inner[1] + 1), FOLDER_LIGHT)


def draw_folder_open(c):
    """An open folder: a sheet shows above the front cover, which leans forward."""
    u = c.u
    x0 = round(u(0.5))
    tab = (x0, u(2), u(6), u(5))
    c.fill(rounded(*tab, u(1)), FOLDER_EDGE)
    c.fill(rounded(tab[0] + 1, tab[1] + 1, tab[2] - 1, tab[3], max(0, u(1) - 1)), FOLDER_BACK)
    back = (x0, u(4), u(13), u(14))
    c.fill(rounded(*back, u(1)), FOLDER_EDGE)
    c.fill(rounded(back[0] + 1, back[1] + 1, back[2] - 1, back[3] - 1, max(0, u(1) - 1)), FOLDER_BACK)
    # a sheet of paper standing in the folder
    sheet = (u(2), u(5), u(12), u(9))
    c.fill(rect(*sheet), (150, 156, 168))
    c.fill(rect(sheet[0] + 1, sheet[1] + 1, sheet[2] - 1, sheet[3]), PAPER)
    # the front cover leans forward: its top edge reaches past the back
    top, bottom = u(8), u(14)
    cover = [(u(3), top), (u(16), top), (u(13.5), bottom), (x0, bottom)]
    c.fill(polygon(cover), FOLDER_EDGE)
    inset = [(u(3) + 0.6, top + 1), (u(16) - 1.5, top + 1), (u(13.5) - 1.1, bottom - 1), (x0 + 1, bottom - 1)]
    c.fill(polygon(inset), FOLDER_FRONT)
    c.fill(clip(polygon(inset), rect(0, top + 1, c.size, top + 2)), FOLDER_LIGHT)


def draw_img(c):
    """A framed picture: sky, sun and hills."""
    u = c.u
    outer = (0, u(2), c.size, u(14))
    c.fill(rounded(*outer, u(1)), (104, 110, 124))
    sky = (outer[0] + 1, outer[1] + 1, outer[2] - 1, outer[3] - 1)
    c.fill(rect(*sky), (138, 198, 250))
    # lighter sky towards the horizon
    c.fill(rect(sky[0], u(8), sky[2], sky[3]), (184, 222, 252), 0.8)
    c.fill(ellipse(u(11.5), u(5.5), u(1.6), u(1.6)), (255, 196, 30))
    hills = clip(rect(*sky), union(
        polygon([(u(-1), u(14)), (u(5.5), u(6.5)), (u(11), u(14))]),
        polygon([(u(6), u(14)), (u(11.5), u(8.5)), (u(17), u(14))])))
    c.fill(hills, (58, 150, 72))
    c.fill(clip(rect(*sky), polygon([(u(5.5), u(6.5)), (u(7.3), u(8.6)), (u(5.5), u(8.2)), (u(3.9), u(8.3))])),
           (236, 246, 255))  # snow on the peak


def draw_video(c):
    """A strip of film with a play mark."""
    u = c.u
    outer = (0, u(1), c.size, u(15))
    c.fill(rounded(*outer, u(1)), (124, 130, 146))  # a light rim so the strip reads on dark pages
    c.fill(rounded(outer[0] + 1, outer[1] + 1, outer[2] - 1, outer[3] - 1, max(0, u(1) - 1)), (46, 49, 58))
    hole = (232, 234, 240)
    for x in (1, 4, 7, 10, 13):
        for y in (3, 12):
            c.fill(rect(u(x), u(y), u(x + 1), u(y + 1)), hole)
    # the play mark between the sprocket rows
    c.fill(polygon([(u(6), u(5)), (u(11.5), u(8)), (u(6), u(11))]), (240, 74, 58))


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
    """The product mark: a "q" whose descender ends in a slanted cut, like a quill's nib."""
    u = c.u
    if framed:
        c.fill(rounded(0, 0, c.size, c.size, u(3)), VIOLET)
        ink = (255, 255, 255)
    else:
        ink = (150, 40, 222)  # a little lighter than the frame, so it reads on dark tabs too
    # the bowl
    c.fill(ring(u(7.5), u(6.5), u(4.5), u(2.5)), ink)
    # the stem, straight down past the bowl to the nib
    c.fill(polygon([(u(10), u(2)), (u(12), u(2)), (u(12), u(15)), (u(10), u(13))]), ink)


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


def median_cut(colours, count):
    """A palette of at most count colours for a {colour: weight} table.

    Deterministic: boxes are split at the weighted median of their widest
    channel, ties broken by the order of the sorted colours."""
    boxes = [sorted(colours.items())]
    while len(boxes) < count:
        best, best_key = None, None
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            spans = [max(c[k] for c, _ in box) - min(c[k] for c, _ in box) for k in range(3)]
            key = (max(spans) * sum(w for _, w in box), -i)
            if best_key is None or key > best_key:
                best, best_key = i, key
        if best is None:
            break
        box = boxes.pop(best)
        spans = [max(c[k] for c, _ in box) - min(c[k] for c, _ in box) for k in range(3)]
        k = spans.index(max(spans))
        box.sort(key=lambda item: (item[0][k], item[0]))
        total = sum(w for _, w in box)
        acc, cut = 0, 1
        for j, (_, w) in enumerate(box[:-1]):
            acc += w
            cut = j + 1
            if acc * 2 >= total:
                break
        boxes[best:best] = [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(w for _, w in box)
        palette.append(tuple(int(round(sum(c[k] * w for c, w in box) / total)) for k in range(3)))
    return palette


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


def palette_for(rows, opaque, bits):
    if bits == 1:
        return [(0, 0, 0), (255, 255, 255)]
    weights = {}
    for y, row in enumerate(rows):
        for x, p in enumerate(row):
            if opaque[y][x]:
                weights[p[:3]] = weights.get(p[:3], 0) + 1
    # index 0 stays black: it is the colour of the masked (transparent)
    # pixels, and AND-mask drawing XORs that colour onto the screen
    pal = [(0, 0, 0)] + (median_cut(weights, (1 << bits) - 1) if weights else [])
    return pal + [(0, 0, 0)] * ((1 << bits) - len(pal))


def bmp_image(rows, bits):
    """A DIB for an ICO entry: header, palette, colour rows, AND mask rows.

    Below 32 bits there is no alpha: a pixel at least half covered is shown in
    its own colour, any other is left to the AND mask (transparent)."""
    size = len(rows)
    opaque = [[p[3] >= 128 for p in row] for row in rows]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    palette = b""
    colour_rows = []
    if bits <= 8:
        pal = palette_for(rows, opaque, bits)
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
                    if bits == 1:  # light or dark by luminance
                        cache[key] = 1 if 299 * key[0] + 587 * key[1] + 114 * key[2] >= 128000 else 0
                    else:
                        cache[key] = nearest(pal, key)
                idx.append(cache[key])
            colour_rows.append(pack_row(idx, bits))
    else:
        for row in rows:
            line = bytearray()
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
            colour_rows.append(bytes(line))
    mask_rows = [pack_row([0 if o else 1 for o in row], 1) for row in opaque]
    # DIB rows run bottom-up
    return header + palette + b"".join(reversed(colour_rows)) + b"".join(reversed(mask_rows))


# (pixels, bits per pixel); the 48x48 full-colour image is stored as PNG
ICO_IMAGES = [(16, 1), (16, 4), (16, 8), (16, 32), (24, 32),
              (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)]


def ico(draw):
    images = []
    for size, bits in ICO_IMAGES:
        c = Canvas(size)
        draw(c)
        rows = c.rgba()
        data = png(rows) if (size, bits) == (48, 32) else bmp_image(rows, bits)
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
    for name, draw in ICONS:
        images = {}
        for size in (16, 32):
            c = Canvas(size)
            draw(c)
            images[size] = png(c.rgba())
        write(os.path.join(root, "quillmere", "icon.16", name + ".png"), images[16])
        # the second folder form is carried at 16x16 in both folders
        big = images[16] if name == "z-folder-v" else images[32]
        write(os.path.join(root, "quillmere", "icon.32", name + ".png"), big)
    write(os.path.join(root, "quillmere.ico"), ico(lambda c: draw_favicon(c, True)))
    write(os.path.join(root, "quillmere.t.ico"), ico(lambda c: draw_favicon(c, False)))


if __name__ == "__main__":
    main()
