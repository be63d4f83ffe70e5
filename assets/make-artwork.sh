#!/usr/bin/env bash
# Regenerates the launcher's artwork:
#   orvelant-wordmark.bmp  360x50 24-bit BMP, the header wordmark
#   origin-core.bmp        320x320 24-bit BMP, the home page emblem
#   orvelant-wordmark-2x.bmp, origin-core-2x.bmp  the same drawn at twice the
#                          size, the source for displays scaled past 100 %
#   origin-core.ico        16/32/48/64/128/256 px PNG icon of the emblem
#
# Usage: assets/make-artwork.sh [output-dir]   (default: this script's folder)
#
# The output is byte-for-byte reproducible: ImageMagick only rasterises the
# letters of the wordmark into a raw 8-bit coverage mask (no metadata), and
# everything else - the drawing, the colours and the BMP/PNG/ICO containers -
# is done by the Python program below with the standard library alone.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for tool in convert python3 fc-list; do
  command -v "$tool" >/dev/null 2>&1 || { echo "make-artwork: '$tool' not found" >&2; exit 1; }
done

# The wordmark face: Noto Serif CJK (its Latin letters are a classic
# transitional serif). Pinned to the Regular file so the result never depends
# on what fontconfig would substitute.
font=""
for f in /usr/share/fonts/opentype/noto/NotoSerifCJK-Regular.ttc \
         $(fc-list ':family=Noto Serif CJK JP:style=Regular' file | sed 's/:.*$//'); do
  if [ -f "$f" ]; then font="$f"; break; fi
done
[ -n "$font" ] || { echo "make-artwork: Noto Serif CJK Regular not found (package fonts-noto-cjk)" >&2; exit 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Letters at 4x the final size; the Python side crops them to their ink box,
# places them and box-filters them down, which gives even, unhinted edges.
MASK_W=1600
MASK_H=240
convert -size "${MASK_W}x${MASK_H}" xc:black \
  -font "$font" -pointsize 128 -kerning 60 \
  -fill white -stroke white -strokewidth 3 \
  -gravity west -annotate +40+0 'ORVELANT' \
  -depth 8 "gray:$tmp/letters.gray"

python3 - "$out" "$tmp/letters.gray" "$MASK_W" "$MASK_H" <<'PY'
import math
import struct
import sys
import zlib

out_dir, mask_path = sys.argv[1], sys.argv[2]
mask_w, mask_h = int(sys.argv[3]), int(sys.argv[4])

BG = (5, 5, 5)
DEEP = (122, 86, 42)         # shadowed gold
ACCENT = (184, 137, 73)      # the product's gold
HIGH = (224, 189, 134)       # lit gold


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def mix(a, b, t):
    return (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, a[2] + (b[2] - a[2]) * t)


def gold(t):
    """0 = shadow, 0.5 = accent, 1 = highlight."""
    t = clamp01(t)
    if t < 0.5:
        return mix(DEEP, ACCENT, t * 2.0)
    return mix(ACCENT, HIGH, (t - 0.5) * 2.0)


def cover(d):
    """Pixel coverage for a signed distance d (pixels, negative inside)."""
    return clamp01(0.5 - d)


class Canvas:
    """Straight-colour RGB canvas with 'over' compositing."""

    def __init__(self, w, h, bg):
        self.w, self.h = w, h
        self.px = [[list(bg) for _ in range(w)] for _ in range(h)]

    def blend(self, x, y, c, a):
        if a <= 0.0:
            return
        p = self.px[y][x]
        if a >= 1.0:
            p[0], p[1], p[2] = c[0], c[1], c[2]
            return
        p[0] += (c[0] - p[0]) * a
        p[1] += (c[1] - p[1]) * a
        p[2] += (c[2] - p[2]) * a

    def rows_bgr_bottom_up(self):
        rows = []
        for y in range(self.h - 1, -1, -1):
            row = bytearray()
            for p in self.px[y]:
                row += bytes((q8(p[2]), q8(p[1]), q8(p[0])))
            row += b"\0" * ((4 - len(row) % 4) % 4)
            rows.append(bytes(row))
        return b"".join(rows)


def q8(v):
    v = int(math.floor(v + 0.5))
    return 0 if v < 0 else 255 if v > 255 else v


def write_bmp(path, canvas):
    pixels = canvas.rows_bgr_bottom_up()
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.w, canvas.h, 1, 24, 0,
                       len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def png_bytes(w, h, rgba_rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = bytearray()
    for row in rgba_rows:
        # Filter 1 (Sub) per row: smaller and still fully deterministic.
        raw.append(1)
        prev = [0, 0, 0, 0]
        for i in range(0, len(row), 4):
            cur = row[i:i + 4]
            raw += bytes(((cur[k] - prev[k]) & 0xFF) for k in range(4))
            prev = cur
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def write_ico(path, images):
    """images: list of (size, png bytes); PNG-compressed entries."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    with open(path, "wb") as f:
        f.write(head + entries + blobs)


# ---------------------------------------------------------------- wordmark ---

def load_letters():
    with open(mask_path, "rb") as f:
        data = f.read()
    if len(data) != mask_w * mask_h:
        sys.exit("make-artwork: letter mask has %d bytes, expected %d" % (len(data), mask_w * mask_h))
    rows = [data[y * mask_w:(y + 1) * mask_w] for y in range(mask_h)]
    ys = [y for y in range(mask_h) if any(rows[y])]
    xs = [x for x in range(mask_w) if any(rows[y][x] for y in ys)]
    if not ys or not xs:
        sys.exit("make-artwork: the letters did not render")
    x0, x1, y0, y1 = xs[0], xs[-1] + 1, ys[0], ys[-1] + 1
    return [rows[y][x0:x1] for y in range(y0, y1)], x1 - x0, y1 - y0


def wordmark(Z=1):
    """The wordmark at Z times its 360 x 50 size (Z is 1 or 2)."""
    M = 4                                # letter-mask cells per 1x pixel
    W, H, S = 360 * Z, 50 * Z, M // Z    # final size, supersampling factor
    cv = Canvas(W, H, BG)
    letters, lw, lh = load_letters()

    # Place the ink box (in 1/4 px) so the letters sit left-aligned with a
    # small margin and are centred vertically over the rule below them.
    left, top = 2 * M, 8 * M
    cap_h = lh / M
    for y in range(H):
        for x in range(W):
            acc = 0
            for sy in range(S):
                my = y * S + sy - top
                if my < 0 or my >= lh:
                    continue
                row = letters[my]
                for sx in range(S):
                    mx = x * S + sx - left
                    if 0 <= mx < lw:
                        acc += row[mx]
            if not acc:
                continue
            a = acc / (255.0 * S * S)
            # Metallic fall-off: lit at the cap line, accent through the
            # middle, a touch of shadow at the baseline.
            t = ((y + 0.5) / Z - top / M) / cap_h
            shade = 1.0 - 0.85 * clamp01(t) - 0.1 * clamp01((t - 0.7) / 0.3)
            cv.blend(x, y, gold(shade), a)

    text_right = (left + lw) / M
    # The rule: a hairline under the letters that fades out at both ends,
    # with a small lozenge at its centre (1x pixel units, covered per pixel).
    rule_y = top / M + cap_h + 6.5
    r0, r1 = left / M, text_right
    mid = (r0 + r1) / 2.0
    half = (r1 - r0) / 2.0
    for y in range(H):
        dy = abs((y + 0.5) / Z - rule_y)
        for x in range(W):
            cx = (x + 0.5) / Z
            u = abs(cx - mid) / half
            if u < 1.0:
                fade = clamp01((1.0 - u) / 0.45)
                a = cover((dy - 0.4) * Z) * fade * 0.9
                if a > 0:
                    cv.blend(x, y, gold(0.5 + 0.25 * (1 - u)), a)
            # lozenge: |dx|/5 + |dy|/2.5 <= 1, with a dark gap around it
            d = (abs(cx - mid) / 5.0 + dy / 2.5 - 1.0) * 2.2
            gap = cover((d - 2.0) * Z)
            if gap > 0:
                cv.blend(x, y, BG, gap)
            lz = cover(d * Z)
            if lz > 0:
                cv.blend(x, y, gold(0.85), lz)
    return cv


# ---------------------------------------------------------------- emblem ----

def ring_d(r, radius, width):
    return abs(r - radius) - width / 2.0


def seg_d(px, py, ax, ay, bx, by):
    """Distance from p to the segment a-b."""
    vx, vy = bx - ax, by - ay
    t = clamp01(((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy))
    return math.hypot(px - ax - vx * t, py - ay - vy * t)


def poly_edges(n, radius, phase, cx, cy):
    pts = [(cx + radius * math.cos(phase + 2 * math.pi * k / n),
            cy + radius * math.sin(phase + 2 * math.pi * k / n)) for k in range(n)]
    return [(pts[k][0], pts[k][1], pts[(k + 1) % n][0], pts[(k + 1) % n][1]) for k in range(n)]


def outline_d(px, py, edges, width):
    return min(seg_d(px, py, *e) for e in edges) - width / 2.0


def diamond_d(dx, dy, radius):
    """Signed distance (approx., exact along the edges) to a filled lozenge."""
    return (abs(dx) + abs(dy) - radius) / math.sqrt(2.0)


def sheen(dx, dy, r):
    """Light from the upper left: 0..1 around a ring."""
    if r == 0:
        return 0.75
    return 0.5 + 0.5 * ((-dx - dy) / (r * math.sqrt(2.0)))


def emblem(Z=1):
    """The emblem at Z times its 320 x 320 size, drawn in 1x units."""
    W = H = 320 * Z
    c = 320 / 2.0

    def cov(d):
        return cover(d * Z)

    cv = Canvas(W, H, BG)

    squares = (poly_edges(4, 94.0, math.pi / 4, c, c), poly_edges(4, 94.0, 0.0, c, c))
    for y in range(H):
        py = (y + 0.5) / Z
        dy = py - c
        for x in range(W):
            px = (x + 0.5) / Z
            dx = px - c
            r = math.hypot(dx, dy)
            if r > 152.0:
                continue                     # the corners stay pure background
            deg = math.degrees(math.atan2(dy, dx)) % 360.0
            s = sheen(dx, dy, r)

            # warm, very faint glow behind the whole emblem
            g = clamp01(1.0 - r / 150.0)
            cv.blend(x, y, (38, 27, 14), 0.55 * g * g)

            # outer dial: hairline ring and ticks
            cv.blend(x, y, gold(0.25 + 0.6 * s), cov(ring_d(r, 146.0, 1.3)) * 0.95)
            step = deg % 7.5
            near = min(step, 7.5 - step)
            major = min(deg % 30.0, 30.0 - deg % 30.0)
            if major < 1.0:
                along = ring_d(r, 138.5, 9.0)            # 134..143
                across = (major * math.pi / 180.0) * r - 0.7
                cv.blend(x, y, gold(0.3 + 0.6 * s), cov(max(along, across)) * 0.95)
            elif 134.0 < r < 144.0:
                along = ring_d(r, 140.5, 4.0)            # 138.5..142.5
                across = (near * math.pi / 180.0) * r - 0.45
                cv.blend(x, y, gold(0.2 + 0.5 * s), cov(max(along, across)) * 0.55)

            # cardinal lozenges sitting on the outer ring
            for k in range(4):
                a = k * math.pi / 2.0
                mx, my = c + 146.0 * math.cos(a), c + 146.0 * math.sin(a)
                d = diamond_d(px - mx, py - my, 5.5)
                if d < 3.0:
                    cv.blend(x, y, BG, cov(d - 2.0))
                    cv.blend(x, y, gold(0.55 + 0.4 * s), cov(d))

            # faint inner guide ring
            cv.blend(x, y, gold(0.2 + 0.5 * s), cov(ring_d(r, 126.0, 0.9)) * 0.45)

            # the segmented band: twelve arcs with narrow gaps
            seg = deg % 30.0
            gap = min(seg, 30.0 - seg) * math.pi / 180.0 * r   # arc distance to a gap centre
            band = max(ring_d(r, 112.0, 5.0), 2.2 - gap)
            cv.blend(x, y, gold(0.2 + 0.75 * s), cov(band) * 0.9)
            # a fine line just inside the band
            cv.blend(x, y, gold(0.15 + 0.5 * s), cov(ring_d(r, 104.0, 0.8)) * 0.5)

            # the eight-pointed star of two squares
            if 62.0 < r < 98.0:
                d = min(outline_d(px, py, squares[0], 1.2), outline_d(px, py, squares[1], 1.2))
                cv.blend(x, y, gold(0.2 + 0.6 * s), cov(d) * 0.8)

            # the core's housing: a dark disc with a gold rim
            if r < 66.0:
                cv.blend(x, y, (9, 8, 7), cov(r - 64.0))
                cv.blend(x, y, gold(0.25 + 0.7 * s), cov(ring_d(r, 64.0, 1.8)))
                cv.blend(x, y, gold(0.2 + 0.5 * s), cov(ring_d(r, 58.0, 0.8)) * 0.5)

                # lozenge inside the housing, faintly filled
                d = diamond_d(dx, dy, 50.0)
                cv.blend(x, y, gold(0.3), cov(d) * 0.10)
                cv.blend(x, y, gold(0.3 + 0.6 * s), cov(abs(d) - 0.6) * 0.85)

                # crosshair from the halo to the lozenge
                if r > 29.0:
                    line = min(abs(dx), abs(dy)) - 0.45
                    fade = clamp01((r - 29.0) / 3.0) * clamp01((47.0 - r) / 6.0)
                    cv.blend(x, y, gold(0.5 + 0.3 * s), cov(line) * 0.6 * fade)

                # glow around the core
                if r > 22.0:
                    cv.blend(x, y, ACCENT, 0.22 * math.exp(-(r - 22.0) / 7.0))

                # halo ring and the core itself
                cv.blend(x, y, gold(0.4 + 0.55 * s), cov(ring_d(r, 29.0, 1.2)) * 0.9)
                core = cov(r - 21.0)
                if core > 0:
                    # lit from the upper left, hotter towards the centre
                    hx, hy = dx + 6.0, dy + 6.0
                    t = 1.0 - clamp01(math.hypot(hx, hy) / 30.0)
                    cv.blend(x, y, gold(0.15 + 0.9 * t), core)
                    cv.blend(x, y, (240, 216, 172), core * 0.55 * math.exp(-(hx * hx + hy * hy) / 40.0))
    return cv


# ------------------------------------------------------------------ icon ----

def icon_rgba(n):
    """The emblem reduced to what reads at n x n: a dark disc, a gold rim,
    the lozenge and the core; the finer rings only from 48 px up."""
    c = n / 2.0
    k = n / 256.0                           # design units are for 256 px
    R = 124.0 * k                           # disc radius
    rim = max(1.2, 8.0 * k)
    rows = []
    for y in range(n):
        py = y + 0.5
        row = bytearray()
        for x in range(n):
            px = x + 0.5
            dx, dy = px - c, py - c
            r = math.hypot(dx, dy)
            s = sheen(dx, dy, r)
            # premultiplied accumulation
            pr = pg = pb = pa = 0.0

            def over(col, a):
                nonlocal pr, pg, pb, pa
                if a <= 0.0:
                    return
                a = clamp01(a)
                pr = col[0] * a + pr * (1 - a)
                pg = col[1] * a + pg * (1 - a)
                pb = col[2] * a + pb * (1 - a)
                pa = a + pa * (1 - a)

            disc = cover(r - R)
            if disc <= 0.0:
                row += b"\0\0\0\0"
                continue
            over((12, 11, 9), disc)
            g = clamp01(1.0 - r / R)
            over((40, 29, 15), 0.6 * g * g * disc)
            # rim, flush with the disc's edge
            over(gold(0.2 + 0.75 * s), cover(max(r - R, (R - rim) - r)))
            if n >= 128:
                # the emblem's segmented band
                deg = math.degrees(math.atan2(dy, dx)) % 360.0
                seg = deg % 30.0
                gap = min(seg, 30.0 - seg) * math.pi / 180.0 * r
                band = max(ring_d(r, R - rim - 16.0 * k, 7.0 * k), 3.0 * k - gap)
                over(gold(0.2 + 0.7 * s), cover(band) * 0.85)
            elif n >= 48:
                over(gold(0.2 + 0.6 * s), cover(ring_d(r, R - rim - 14.0 * k, max(0.9, 3.0 * k))) * 0.7)
            if n < 32:
                # too small for rings: a solid lit lozenge is the core
                d = diamond_d(dx, dy, 0.30 * n)
                t = clamp01(0.5 - (dx + dy) / (0.6 * n))
                over(gold(0.35 + 0.6 * t), cover(d))
            else:
                # lozenge outline
                d = diamond_d(dx, dy, 78.0 * k)
                over(gold(0.25 + 0.7 * s), cover(abs(d) - max(1.0, 7.0 * k) / 2.0))
                # the core
                cr = 34.0 * k
                if n >= 64:
                    over(gold(0.4 + 0.5 * s), cover(ring_d(r, cr + 12.0 * k, max(1.0, 4.0 * k))) * 0.85)
                hx, hy = dx + 0.25 * cr, dy + 0.25 * cr
                t = 1.0 - clamp01(math.hypot(hx, hy) / (1.4 * cr))
                over(gold(0.3 + 0.8 * t), cover(r - cr))
            if pa <= 0.0:
                row += b"\0\0\0\0"
            else:
                row += bytes((q8(pr / pa), q8(pg / pa), q8(pb / pa), q8(pa * 255.0)))
        rows.append(bytes(row))
    return rows


def main():
    import os
    write_bmp(os.path.join(out_dir, "orvelant-wordmark.bmp"), wordmark())
    write_bmp(os.path.join(out_dir, "origin-core.bmp"), emblem())
    # Twice the size, for displays scaled past 100 %: drawn, not enlarged.
    write_bmp(os.path.join(out_dir, "orvelant-wordmark-2x.bmp"), wordmark(2))
    write_bmp(os.path.join(out_dir, "origin-core-2x.bmp"), emblem(2))
    write_ico(os.path.join(out_dir, "origin-core.ico"),
              [(n, png_bytes(n, n, icon_rgba(n))) for n in (16, 32, 48, 64, 128, 256)])


main()
PY

for f in orvelant-wordmark.bmp origin-core.bmp orvelant-wordmark-2x.bmp origin-core-2x.bmp origin-core.ico; do
  echo "make-artwork: wrote $out/$f"
done
