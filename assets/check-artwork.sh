#!/usr/bin/env bash
# Verifies the launcher's artwork files in <dir> (default: this script's folder):
#   orvelant-wordmark.bmp  24-bit BI_RGB bottom-up BMP, 360x50, 54054 bytes
#   origin-core.bmp        24-bit BI_RGB bottom-up BMP, 320x320, 307254 bytes
#   orvelant-wordmark-2x.bmp, origin-core-2x.bmp  the same at 720x100 and 640x640
#   origin-core.ico        six PNG images, 16/32/48/64/128/256, 8-bit RGBA
# plus: the BMP corners are the window background RGB 5,5,5 and every image
# carries the product's gold (near RGB 184,137,73).
# Exits non-zero with a message naming the file and the problem.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
dir="${1:-$here}"
[ -d "$dir" ] || { echo "check-artwork: no such directory: $dir" >&2; exit 2; }

python3 - "$dir" <<'PY'
import os
import struct
import sys
import zlib

d = sys.argv[1]
BG = (5, 5, 5)
ACCENT = (184, 137, 73)
NEAR = 16            # per-channel tolerance for "near the accent colour"
MIN_ACCENT = 20      # pixels near the accent an image must contain
errors = []


def fail(name, msg):
    errors.append("%s: %s" % (name, msg))


def near_accent(r, g, b):
    return abs(r - ACCENT[0]) <= NEAR and abs(g - ACCENT[1]) <= NEAR and abs(b - ACCENT[2]) <= NEAR


def read(name):
    path = os.path.join(d, name)
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        fail(name, "cannot read (%s)" % e.strerror)
        return None


def check_bmp(name, w, h):
    data = read(name)
    if data is None:
        return
    row = (w * 3 + 3) // 4 * 4
    size = 54 + row * h
    if len(data) < 54:
        return fail(name, "only %d bytes, too short for a BMP header" % len(data))
    magic, bf_size, _r1, _r2, off = struct.unpack_from("<2sIHHI", data, 0)
    (bi_size, bw, bh, planes, bpp, comp, _img, _xp, _yp, _used, _imp) = \
        struct.unpack_from("<IiiHHIIiiII", data, 14)
    ok = True
    for cond, msg in (
        (magic == b"BM", "magic is %r, expected b'BM'" % magic),
        (bi_size == 40, "info header is %d bytes, expected 40 (BITMAPINFOHEADER)" % bi_size),
        (bpp == 24, "%d bits per pixel, expected 24" % bpp),
        (planes == 1, "%d planes, expected 1" % planes),
        (comp == 0, "compression %d, expected 0 (BI_RGB)" % comp),
        (bw == w, "width %d, expected %d" % (bw, w)),
        (bh > 0, "height %d is not positive (rows must be bottom-up)" % bh),
        (abs(bh) == h, "height %d, expected %d" % (abs(bh), h)),
        (off == 54, "pixel data at offset %d, expected 54" % off),
        (len(data) == size, "file is %d bytes, expected %d" % (len(data), size)),
        (bf_size == len(data), "header file size %d differs from the file's %d bytes" % (bf_size, len(data))),
    ):
        if not cond:
            fail(name, msg)
            ok = False
    if not ok:
        return

    def pixel(x, y):            # y counted from the top of the picture
        o = off + (h - 1 - y) * row + x * 3
        b, g, r = data[o], data[o + 1], data[o + 2]
        return (r, g, b)

    for x, y, where in ((0, 0, "top-left"), (w - 1, 0, "top-right"),
                        (0, h - 1, "bottom-left"), (w - 1, h - 1, "bottom-right")):
        p = pixel(x, y)
        if p != BG:
            fail(name, "%s corner pixel is RGB %d,%d,%d, expected %d,%d,%d" % ((where,) + p + BG))
    count = sum(1 for y in range(h) for x in range(w) if near_accent(*pixel(x, y)))
    if count < MIN_ACCENT:
        fail(name, "only %d pixels near the accent RGB %d,%d,%d (need %d)" % ((count,) + ACCENT + (MIN_ACCENT,)))


def decode_png_rgba(name, png, size):
    """Walks the chunks, checks CRCs and IHDR, and returns the RGBA rows."""
    if png[:8] != b"\x89PNG\r\n\x1a\n":
        fail(name, "%d px image does not start with the PNG signature" % size)
        return None
    pos, idat, ihdr, seen_end = 8, b"", None, False
    while pos + 12 <= len(png):
        length, kind = struct.unpack_from(">I4s", png, pos)
        body = png[pos + 8:pos + 8 + length]
        if len(body) != length or pos + 12 + length > len(png):
            fail(name, "%d px image: chunk %r runs past the end" % (size, kind))
            return None
        (crc,) = struct.unpack_from(">I", png, pos + 8 + length)
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            fail(name, "%d px image: bad CRC in chunk %r" % (size, kind))
            return None
        if ihdr is None and kind != b"IHDR":
            fail(name, "%d px image: first chunk is %r, expected IHDR" % (size, kind))
            return None
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            seen_end = True
            break
        pos += 12 + length
    if ihdr is None or not seen_end:
        fail(name, "%d px image: missing IHDR or IEND" % size)
        return None
    w, h, depth, colour, _comp, _filt, interlace = ihdr
    ok = True
    for cond, msg in (
        (w == size and h == size, "IHDR says %dx%d" % (w, h)),
        (depth == 8, "bit depth %d, expected 8" % depth),
        (colour == 6, "colour type %d, expected 6 (RGBA)" % colour),
        (interlace == 0, "interlaced"),
    ):
        if not cond:
            fail(name, "%d px image: %s" % (size, msg))
            ok = False
    if not ok:
        return None
    try:
        raw = zlib.decompress(idat)
    except zlib.error as e:
        fail(name, "%d px image: bad image data (%s)" % (size, e))
        return None
    stride = w * 4
    if len(raw) != h * (stride + 1):
        fail(name, "%d px image: %d bytes of pixels, expected %d" % (size, len(raw), h * (stride + 1)))
        return None
    rows, prev = [], bytearray(stride)
    for y in range(h):
        ftype = raw[y * (stride + 1)]
        cur = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = cur[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if ftype == 0:
                pred = 0
            elif ftype == 1:
                pred = a
            elif ftype == 2:
                pred = b
            elif ftype == 3:
                pred = (a + b) // 2
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else b if pb <= pc else c
            else:
                fail(name, "%d px image: unknown row filter %d" % (size, ftype))
                return None
            cur[i] = (cur[i] + pred) & 0xFF
        rows.append(cur)
        prev = cur
    return rows


def check_ico(name, sizes):
    data = read(name)
    if data is None:
        return
    if len(data) < 6:
        return fail(name, "only %d bytes, too short for an icon" % len(data))
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        return fail(name, "header reserved=%d type=%d, expected 0 and 1 (icon)" % (reserved, kind))
    if count != len(sizes):
        return fail(name, "%d images, expected %d" % (count, len(sizes)))
    if len(data) < 6 + 16 * count:
        return fail(name, "directory runs past the end of the file")
    found = []
    for i in range(count):
        bw, bh, colours, _res, planes, bpp, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w, h = bw or 256, bh or 256
        found.append(w)
        if w != h:
            fail(name, "entry %d is %dx%d, not square" % (i, w, h))
            continue
        if w == 256 and bw != 0:
            fail(name, "entry %d: 256 px must be stored as width/height byte 0" % i)
        if bpp != 32 or planes not in (0, 1) or colours != 0:
            fail(name, "entry %d (%d px): planes=%d bpp=%d colours=%d, expected 1, 32, 0" % (i, w, planes, bpp, colours))
        if offset + length > len(data) or length < 8:
            fail(name, "entry %d (%d px): data at %d+%d lies outside the file" % (i, w, offset, length))
            continue
        rows = decode_png_rgba(name, data[offset:offset + length], w)
        if rows is None:
            continue
        gold = sum(1 for row in rows for x in range(0, len(row), 4)
                   if row[x + 3] >= 250 and near_accent(row[x], row[x + 1], row[x + 2]))
        if gold < min(MIN_ACCENT, w):
            fail(name, "%d px image: only %d opaque pixels near the accent colour" % (w, gold))
        # The corners are outside the emblem: transparent or dark.
        for cx, cy in ((0, 0), (w - 1, 0), (0, w - 1), (w - 1, w - 1)):
            px = rows[cy][cx * 4:cx * 4 + 4]
            if px[3] > 16 and max(px[:3]) > 40:
                fail(name, "%d px image: corner (%d,%d) is RGBA %s, expected transparent or dark" % (w, cx, cy, tuple(px)))
    if sorted(found) != sorted(sizes) or len(set(found)) != len(found):
        fail(name, "image sizes %s, expected %s" % (found, list(sizes)))


check_bmp("orvelant-wordmark.bmp", 360, 50)
check_bmp("origin-core.bmp", 320, 320)
check_bmp("orvelant-wordmark-2x.bmp", 720, 100)
check_bmp("origin-core-2x.bmp", 640, 640)
check_ico("origin-core.ico", (16, 32, 48, 64, 128, 256))

if errors:
    for e in errors:
        print("check-artwork: FAIL " + e, file=sys.stderr)
    sys.exit(1)
print("check-artwork: OK (%s)" % d)
PY
