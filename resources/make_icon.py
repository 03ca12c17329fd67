#!/usr/bin/env python3
"""Builds the installer's icon file from the vector drawing in icon.txt.

Usage: make_icon.py OUTPUT.ico [DRAWING.txt]

The drawing defaults to icon.txt next to this script. The output holds ten
images, in this order:

  16x16, 32x32, 48x48   each as 4-bit (16 colours), 8-bit (256 colours) and
                        32-bit (BGRA with alpha) device-independent bitmaps
  256x256               32-bit RGBA PNG

Every image is rasterised from the drawing at its own size (no rescaling of a
bitmap), with anti-aliasing by supersampling. The output depends only on the
drawing and on this script: no time stamps, no randomness, no dictionary
ordering, so two runs give byte-identical files. The PNG is compressed with
zlib at level 9; the reference zlib produces the same stream for the same
input on every platform.

Only the Python standard library is used.
"""

import math
import os
import struct
import sys
import zlib

CANVAS = 256.0

# Sizes of the bitmap images and their colour depths; the 256 image is PNG.
DIB_SIZES = (16, 32, 48)
DIB_DEPTHS = (4, 8, 32)
PNG_SIZE = 256

# A pixel whose opacity is below this is transparent in the AND mask (and
# therefore in the paletted images, which have no alpha channel).
MASK_THRESHOLD = 128

# Weights of luma and chroma in the nearest-colour distance, per bit count.
# The 16-colour palette is sparse: matched on brightness alone, the light
# greens and tans of the picture would turn grey, so hue counts four times as
# much there. The 256-colour cube is dense enough for an even weighting.
WEIGHTS = {4: (1, 4), 8: (1, 1)}


# ---------------------------------------------------------------------------
# Drawing description

class DrawingError(Exception):
    pass


def parse_colour(text, where):
    if not text.startswith('#') or len(text) not in (7, 9):
        raise DrawingError('%s: bad colour %r' % (where, text))
    try:
        r = int(text[1:3], 16)
        g = int(text[3:5], 16)
        b = int(text[5:7], 16)
        a = int(text[7:9], 16) if len(text) == 9 else 255
    except ValueError:
        raise DrawingError('%s: bad colour %r' % (where, text))
    return (r, g, b, a)


def parse_number(text, where):
    try:
        return float(text)
    except ValueError:
        raise DrawingError('%s: bad number %r' % (where, text))


def parse_point(text, where):
    parts = text.split(',')
    if len(parts) != 2:
        raise DrawingError('%s: bad point %r' % (where, text))
    try:
        return (float(parts[0]), float(parts[1]))
    except ValueError:
        raise DrawingError('%s: bad point %r' % (where, text))


def parse_fill(text, where):
    """Returns ('solid', rgba) or ('linear', p0, c0, p1, c1)."""
    if text.startswith('linear:'):
        parts = text[len('linear:'):].split(':')
        if len(parts) != 4:
            raise DrawingError('%s: bad gradient %r' % (where, text))
        p0 = parse_point(parts[0], where)
        c0 = parse_colour(parts[1], where)
        p1 = parse_point(parts[2], where)
        c1 = parse_colour(parts[3], where)
        if p0 == p1:
            raise DrawingError('%s: gradient end points coincide' % where)
        return ('linear', p0, c0, p1, c1)
    return ('solid', parse_colour(text, where))


def ellipse_points(cx, cy, rx, ry, steps=96):
    # A fixed number of corners: the outline, and so the output, never
    # depends on anything but the drawing.
    return [(cx + rx * math.cos(2.0 * math.pi * i / steps),
             cy + ry * math.sin(2.0 * math.pi * i / steps))
            for i in range(steps)]


def parse_drawing(path):
    settings = {'stroke-min-px': 0.0}
    shapes = []
    with open(path, 'r', encoding='utf-8') as f:
        lines = f.read().splitlines()
    for number, raw in enumerate(lines, 1):
        where = '%s:%d' % (os.path.basename(path), number)
        # Whole-line comments only: colours contain '#'.
        line = raw.strip()
        if not line or line.startswith('#'):
            continue
        words = line.split()
        kind = words[0]
        if kind == 'stroke-min-px':
            if len(words) != 2:
                raise DrawingError('%s: expected one value' % where)
            settings[kind] = parse_number(words[1], where)
            continue
        if kind not in ('polygon', 'ellipse'):
            raise DrawingError('%s: unknown statement %r' % (where, kind))
        if ':' not in words:
            raise DrawingError('%s: missing ":" before the points' % where)
        split = words.index(':')
        attrs = {}
        for word in words[1:split]:
            if '=' not in word:
                raise DrawingError('%s: bad attribute %r' % (where, word))
            key, value = word.split('=', 1)
            if key in attrs:
                raise DrawingError('%s: repeated attribute %r' % (where, key))
            attrs[key] = value
        unknown = set(attrs) - {'fill', 'stroke', 'width', 'minsize'}
        if unknown:
            raise DrawingError('%s: unknown attribute(s) %s'
                               % (where, ', '.join(sorted(unknown))))
        points = [parse_point(w, where) for w in words[split + 1:]]
        if kind == 'ellipse':
            if len(points) != 2:
                raise DrawingError('%s: ellipse needs centre and radii' % where)
            (cx, cy), (rx, ry) = points
            points = ellipse_points(cx, cy, rx, ry)
        elif len(points) < 3:
            raise DrawingError('%s: polygon needs three points' % where)
        shape = {
            'points': points,
            'fill': parse_fill(attrs['fill'], where) if 'fill' in attrs else None,
            'stroke': parse_colour(attrs['stroke'], where) if 'stroke' in attrs else None,
            'width': parse_number(attrs.get('width', '0'), where),
            'minsize': parse_number(attrs.get('minsize', '0'), where),
        }
        if shape['fill'] is None and shape['stroke'] is None:
            raise DrawingError('%s: shape has neither fill nor stroke' % where)
        if shape['stroke'] is not None and shape['width'] <= 0:
            raise DrawingError('%s: stroke needs a positive width' % where)
        shapes.append(shape)
    if not shapes:
        raise DrawingError('%s: no shapes' % path)
    return settings, shapes


# ---------------------------------------------------------------------------
# Rasteriser
#
# Shapes are painted into a sample grid SS times finer than the output in
# each direction; each output pixel is the average of its SS x SS samples.
# A sample is covered when its centre lies inside the polygon (even-odd
# rule, half-open on the edges, so adjacent polygons neither overlap nor
# leave gaps). Outlines become polygons too: one rectangle per edge plus a
# disc at every corner.

class Canvas(object):
    def __init__(self, size, ss):
        self.size = size
        self.ss = ss
        self.w = size * ss
        n = self.w * self.w
        # Straight (not premultiplied) colour per sample, 0..255.
        self.r = bytearray(n)
        self.g = bytearray(n)
        self.b = bytearray(n)
        self.a = bytearray(n)

    def spans(self, points):
        """Yields (row, first, end) runs of samples covered by the polygon,
        points given in sample units."""
        w = self.w
        edges = []
        count = len(points)
        for i in range(count):
            x0, y0 = points[i]
            x1, y1 = points[(i + 1) % count]
            if y0 == y1:
                continue
            edges.append((x0, y0, x1, y1))
        if not edges:
            return
        ymin = min(min(e[1], e[3]) for e in edges)
        ymax = max(max(e[1], e[3]) for e in edges)
        row0 = max(0, int(_ceil(ymin - 0.5)))
        row1 = min(w, int(_ceil(ymax - 0.5)))
        for row in range(row0, row1):
            yc = row + 0.5
            xs = []
            for x0, y0, x1, y1 in edges:
                if (y0 <= yc < y1) or (y1 <= yc < y0):
                    xs.append(x0 + (yc - y0) * (x1 - x0) / (y1 - y0))
            xs.sort()
            for k in range(0, len(xs) - 1, 2):
                first = max(0, int(_ceil(xs[k] - 0.5)))
                end = min(w, int(_ceil(xs[k + 1] - 0.5)))
                if end > first:
                    yield row, first, end

    def paint(self, points, fill):
        scale = self.w / CANVAS
        pts = [(x * scale, y * scale) for x, y in points]
        w = self.w
        if fill[0] == 'solid':
            colour = fill[1]
            for row, first, end in self.spans(pts):
                self._put_run(row * w + first, row * w + end, colour)
            return
        _, (gx0, gy0), c0, (gx1, gy1), c1 = fill
        gx0 *= scale
        gy0 *= scale
        dx = gx1 * scale - gx0
        dy = gy1 * scale - gy0
        norm = dx * dx + dy * dy
        for row, first, end in self.spans(pts):
            yc = row + 0.5
            base = row * w
            if dx == 0.0:
                # Vertical gradient: one colour per row.
                t = _clamp01((yc - gy0) * dy / norm)
                self._put_run(base + first, base + end, _lerp(c0, c1, t))
                continue
            for col in range(first, end):
                t = _clamp01(((col + 0.5 - gx0) * dx + (yc - gy0) * dy) / norm)
                self._put_run(base + col, base + col + 1, _lerp(c0, c1, t))

    def _put_run(self, i0, i1, colour):
        r, g, b, a = colour
        n = i1 - i0
        if a == 255:
            self.r[i0:i1] = bytes((r,)) * n
            self.g[i0:i1] = bytes((g,)) * n
            self.b[i0:i1] = bytes((b,)) * n
            self.a[i0:i1] = b'\xff' * n
            return
        if a == 0:
            return
        # Source-over compositing in straight colour, integer arithmetic.
        for i in range(i0, i1):
            da = self.a[i]
            # Resulting opacity times 255.
            oa255 = a * 255 + da * (255 - a)
            if oa255 == 0:
                continue
            keep = da * (255 - a)
            self.r[i] = (r * a * 255 + self.r[i] * keep + oa255 // 2) // oa255
            self.g[i] = (g * a * 255 + self.g[i] * keep + oa255 // 2) // oa255
            self.b[i] = (b * a * 255 + self.b[i] * keep + oa255 // 2) // oa255
            self.a[i] = (oa255 + 127) // 255

    def resolve(self):
        """Averages the samples into size x size pixels; returns a list of
        rows (top first) of (r, g, b, a) tuples in straight colour."""
        ss = self.ss
        w = self.w
        total = ss * ss
        out = []
        for y in range(self.size):
            row = []
            for x in range(self.size):
                sr = sg = sb = sa = 0
                for sy in range(y * ss, y * ss + ss):
                    base = sy * w + x * ss
                    for i in range(base, base + ss):
                        a = self.a[i]
                        if a:
                            sa += a
                            sr += self.r[i] * a
                            sg += self.g[i] * a
                            sb += self.b[i] * a
                if sa == 0:
                    row.append((0, 0, 0, 0))
                    continue
                row.append(((sr + sa // 2) // sa,
                            (sg + sa // 2) // sa,
                            (sb + sa // 2) // sa,
                            (sa + total // 2) // total))
            out.append(row)
        return out


def _ceil(v):
    i = int(v)
    return i + 1 if v > i else i


def _clamp01(t):
    return 0.0 if t < 0.0 else (1.0 if t > 1.0 else t)


def _lerp(c0, c1, t):
    return tuple(int(c0[k] + (c1[k] - c0[k]) * t + 0.5) for k in range(4))


def stroke_pieces(points, width):
    """Polygons whose union is the outline of the closed path: a rectangle
    along every edge and a 16-sided disc on every corner (round joins)."""
    half = width / 2.0
    pieces = []
    count = len(points)
    disc = [(math.cos(2.0 * math.pi * (k + 0.5) / 16) * half / math.cos(math.pi / 16),
             math.sin(2.0 * math.pi * (k + 0.5) / 16) * half / math.cos(math.pi / 16))
            for k in range(16)]
    for i in range(count):
        x0, y0 = points[i]
        x1, y1 = points[(i + 1) % count]
        length = math.hypot(x1 - x0, y1 - y0)
        if length > 0:
            nx = -(y1 - y0) / length * half
            ny = (x1 - x0) / length * half
            pieces.append([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny),
                           (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)])
        pieces.append([(x0 + dx, y0 + dy) for dx, dy in disc])
    return pieces


def render(settings, shapes, size):
    # Finer sampling for the small images, where every edge pixel counts.
    ss = 4 if size >= 128 else 8
    canvas = Canvas(size, ss)
    units_per_pixel = CANVAS / size
    min_width = settings['stroke-min-px'] * units_per_pixel
    for shape in shapes:
        if size < shape['minsize']:
            continue
        if shape['fill'] is not None:
            canvas.paint(shape['points'], shape['fill'])
        if shape['stroke'] is not None:
            width = max(shape['width'], min_width)
            for piece in stroke_pieces(shape['points'], width):
                canvas.paint(piece, ('solid', shape['stroke']))
    return canvas.resolve()


# ---------------------------------------------------------------------------
# Palettes and colour mapping

def vga_palette():
    # The 16 colours of the standard VGA / Windows palette, in their usual
    # index order.
    return [
        (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
        (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
        (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
        (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
    ]


def cube_palette():
    # 6 x 6 x 6 colour cube (216 entries) followed by 40 greys that fall
    # between the cube's own six grey levels.
    levels = (0, 51, 102, 153, 204, 255)
    pal = [(r, g, b) for r in levels for g in levels for b in levels]
    for i in range(1, 41):
        v = (i * 255 + 20) // 41
        pal.append((v, v, v))
    assert len(pal) == 256
    return pal


def _yuv(c):
    r, g, b = c
    y = 299 * r + 587 * g + 114 * b
    return (y, (b * 1000 - y), (r * 1000 - y))


class Mapper(object):
    """Nearest palette colour by a weighted luma/chroma distance (see
    WEIGHTS); no dithering, so flat areas stay flat."""

    def __init__(self, palette, luma_weight, chroma_weight):
        self.luma_weight = luma_weight
        self.chroma_weight = chroma_weight
        self.palette = palette
        self.yuv = [_yuv(c) for c in palette]
        self.cache = {}

    def index(self, rgb):
        hit = self.cache.get(rgb)
        if hit is not None:
            return hit
        y, u, v = _yuv(rgb)
        best = 0
        best_d = None
        for i, (py, pu, pv) in enumerate(self.yuv):
            d = (self.luma_weight * (y - py) ** 2
                 + self.chroma_weight * ((u - pu) ** 2 + (v - pv) ** 2))
            if best_d is None or d < best_d:
                best, best_d = i, d
        self.cache[rgb] = best
        return best


# ---------------------------------------------------------------------------
# Encoders

def and_mask(pixels):
    """1-bit mask, bottom-up, 1 = transparent, rows padded to 4 bytes."""
    size = len(pixels)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < MASK_THRESHOLD:
                bits[x >> 3] |= 0x80 >> (x & 7)
        out += bits
    return bytes(out)


def encode_dib(pixels, depth):
    size = len(pixels)
    mask = and_mask(pixels)
    if depth == 32:
        palette = []
        xor = bytearray()
        for row in reversed(pixels):
            for r, g, b, a in row:
                if a == 0:
                    xor += b'\0\0\0\0'
                else:
                    xor += bytes((b, g, r, a))
    else:
        palette = vga_palette() if depth == 4 else cube_palette()
        mapper = Mapper(palette, *WEIGHTS[depth])
        stride = ((size * depth + 31) // 32) * 4
        xor = bytearray()
        for row in reversed(pixels):
            line = bytearray(stride)
            for x, (r, g, b, a) in enumerate(row):
                # Transparent pixels are index 0 (black) under a set mask
                # bit: AND keeps the screen, XOR with black leaves it alone.
                idx = 0 if a < MASK_THRESHOLD else mapper.index((r, g, b))
                if depth == 8:
                    line[x] = idx
                elif x & 1:
                    line[x >> 1] |= idx
                else:
                    line[x >> 1] |= idx << 4
            xor += line
    header = struct.pack('<IiiHHIIiiII',
                         40,                       # biSize
                         size,                     # biWidth
                         size * 2,                 # biHeight: XOR + AND
                         1,                        # biPlanes
                         depth,                    # biBitCount
                         0,                        # biCompression = BI_RGB
                         len(xor) + len(mask),     # biSizeImage
                         0, 0,                     # resolution: unused
                         len(palette),             # biClrUsed
                         0)                        # biClrImportant
    pal = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    return header + pal + bytes(xor) + mask


def _png_chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def encode_png(pixels):
    size = len(pixels)
    bpp = 4
    raw = bytearray()
    prev = bytes(size * bpp)
    for row in pixels:
        cur = bytearray()
        for r, g, b, a in row:
            if a == 0:
                cur += b'\0\0\0\0'
            else:
                cur += bytes((r, g, b, a))
        cur = bytes(cur)
        # Pick the filter with the smallest sum of absolute values (the
        # usual heuristic); ties go to the lower filter number.
        best = None
        for ftype, line in enumerate(_png_filters(cur, prev, bpp)):
            score = sum(v if v < 128 else 256 - v for v in line)
            if best is None or score < best[0]:
                best = (score, ftype, line)
        raw.append(best[1])
        raw += best[2]
        prev = cur
    ihdr = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n'
            + _png_chunk(b'IHDR', ihdr)
            + _png_chunk(b'IDAT', zlib.compress(bytes(raw), 9))
            + _png_chunk(b'IEND', b''))


def _png_filters(cur, prev, bpp):
    n = len(cur)
    none = cur
    sub = bytearray(n)
    up = bytearray(n)
    avg = bytearray(n)
    paeth = bytearray(n)
    for i in range(n):
        x = cur[i]
        a = cur[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        sub[i] = (x - a) & 0xff
        up[i] = (x - b) & 0xff
        avg[i] = (x - ((a + b) >> 1)) & 0xff
        p = a + b - c
        pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
        pred = a if (pa <= pb and pa <= pc) else (b if pb <= pc else c)
        paeth[i] = (x - pred) & 0xff
    return (none, bytes(sub), bytes(up), bytes(avg), bytes(paeth))


def build_ico(settings, shapes):
    images = []   # (size, bit count, encoded image)
    for size in DIB_SIZES:
        pixels = render(settings, shapes, size)
        for depth in DIB_DEPTHS:
            images.append((size, depth, encode_dib(pixels, depth)))
    images.append((PNG_SIZE, 32, encode_png(render(settings, shapes, PNG_SIZE))))

    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))   # ICONDIR
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        dim = 0 if size >= 256 else size                    # 0 means 256
        colours = 16 if depth == 4 else 0
        out += struct.pack('<BBBBHHII', dim, dim, colours, 0, 1, depth,
                           len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write('usage: make_icon.py OUTPUT.ico [DRAWING.txt]\n')
        return 2
    output = argv[1]
    drawing = argv[2] if len(argv) == 3 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), 'icon.txt')
    try:
        settings, shapes = parse_drawing(drawing)
    except (OSError, DrawingError) as e:
        sys.stderr.write('make_icon.py: %s\n' % e)
        return 1
    data = build_ico(settings, shapes)
    # Write beside the target and rename, so an interrupted run never leaves
    # a truncated icon that looks up to date to the build.
    tmp = output + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, output)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
