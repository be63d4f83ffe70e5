#!/usr/bin/env python3
"""Pixel checks of one screenshot of the Setup's window (scripts/setup-screenshots.sh).

    check_setup_screenshot.py [--scale F <100%-dir>] <out-dir> <name> new|existing <assets-dir>

(the 100 % picture of the variant is <100%-dir>/<variant>.png)

Checks, against the Setup's layout table (ORV_SETUP_LAYOUT_TABLE, as
tools/layout-table prints it): the outer rectangle and place; the control set
of the variant (ids, texts, rectangles); the window background RGB(5,5,5) wherever no
control is; the gold rule and the primary button filled with the accent,
the second button (or badge) with the panel colour; the wordmark and core
images exactly the bitmaps; ink of the stated text colours in the top label,
the headline, the buttons and the path lines (Japanese drawn as glyphs, not
as the hollow boxes of a missing font). With --scale (the window shot at
another DPI) every rectangle is that many times larger within a pixel, the
window lies wholly on the screen instead of at its fixed place, and the
images match the bitmaps resized, within a tolerance. Exits 1 with one line
per problem.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "shell"))
from check_screenshots import Picture, load_controls, near, is_ink, load_layout  # noqa: E402

# The Setup's layout table (tools/layout-table setup), which the checks read.
OUTER, LAYOUT = load_layout(os.environ.get("ORV_SETUP_LAYOUT_TABLE", ""))

BACKGROUND = (5, 5, 5)
PANEL = (12, 15, 17)
ACCENT = (184, 137, 73)
LIGHT = (238, 233, 223)
DIM = (170, 163, 153)
TOP = (224, 189, 134)
DARK = (8, 7, 7)

problems = []


def problem(text):
    problems.append(text)


def read_bmp(path):
    data = open(path, "rb").read()
    offset = int.from_bytes(data[10:14], "little")
    width = int.from_bytes(data[18:22], "little")
    height = int.from_bytes(data[22:26], "little")
    stride = (width * 3 + 3) & ~3
    def at(x, y):   # top-down coordinates; rows are stored bottom-up
        i = offset + (height - 1 - y) * stride + x * 3
        return (data[i + 2], data[i + 1], data[i])
    return width, height, at


def count_near(pic, rect, colour, tolerance):
    x, y, w, h = rect
    return sum(1 for j in range(y, y + h) for i in range(x, x + w)
               if near(pic.at(i, j), colour, tolerance))


def main():
    args = sys.argv[1:]
    scale, ref_client = 1.0, None
    if args[:1] == ["--scale"]:   # --scale F <100 % shots dir>
        scale = float(args[1])
        ref_client = [int(v) for v in open(os.path.join(args[2], args[5] + ".outer.txt"))
                      .read().split()][4:6]
        args = args[3:]
    out, name, variant, assets = args[:4]
    if not LAYOUT:
        raise SystemExit("check_setup_screenshot: no layout table in ORV_SETUP_LAYOUT_TABLE")
    existing = variant == "existing"
    rows = [r for r in LAYOUT if r["variant"] in (0, 2 if existing else 1)]

    def row(kind, colour, variant_only=False):
        return next(r for r in rows if r["kind"] == kind and r["colour"] == colour and
                    (r["variant"] or not variant_only) and "image-fallback" not in r["flags"])

    def sc(v):
        return int(round(v * scale))

    def sr(rect):   # a rectangle at the scale, for sampling inside it
        rx, ry, rw, rh = rect
        return (sc(rx), sc(ry), sc(rx + rw) - sc(rx), sc(ry + rh) - sc(ry))

    def same_rect(got, want):
        return all(abs(a - b * scale) <= 1 for a, b in zip(got, want))

    pic = Picture(os.path.join(out, name + ".png"))
    outer = [int(v) for v in open(os.path.join(out, name + ".outer.txt")).read().split()]
    x, y, w, h, cw, ch, cx, cy = outer
    if scale == 1.0 and (x, y, w, h) != OUTER:
        problem("outer rectangle %s, expected %s" % ((x, y, w, h), OUTER))
    if ref_client and (x < 0 or y < 0 or abs(cw - ref_client[0] * scale) > 1
                       or abs(ch - ref_client[1] * scale) > 1):
        problem("outer rectangle %s with a %dx%d client: not on the screen, or not the "
                "%dx%d client at 100 %% times %.2f" % ((x, y, w, h), cw, ch, ref_client[0],
                                                       ref_client[1], scale))
    if (pic.width, pic.height) != (w, h):
        problem("picture %dx%d is not the window %dx%d" % (pic.width, pic.height, w, h))
    pic.ox, pic.oy = cx - x, cy - y
    controls = [c for c in load_controls(os.path.join(out, name + ".controls.txt"))]
    by_id = {c["id"]: c for c in controls if c["id"]}
    expected_ids = {r["id"] for r in rows if r["id"]}
    if set(by_id) != expected_ids:
        problem("ids %s, expected %s" % (sorted(by_id), sorted(expected_ids)))
    primary_row, cancel_row = row("action", "primary"), row("action", "dim")
    primary = by_id.get(primary_row["id"])
    primary_rect = primary_row["rect"]
    second_rect = row("action" if existing else "text", "secondary")["rect"]
    if primary and not same_rect(primary["rect"], primary_rect):
        problem("primary button at %s, expected %s" % (primary["rect"], primary_rect))
    texts = [c["text"] for c in controls]
    headline_row = row("text", "plain", variant_only=True)
    if headline_row["text"] not in texts:
        problem("no headline %r" % headline_row["text"])
    if not same_rect(by_id.get(cancel_row["id"], {}).get("rect", (0, 0, 0, 0)), cancel_row["rect"]):
        problem("Cancel button not at %s" % (cancel_row["rect"],))

    # Backgrounds: everywhere outside the controls the window colour.
    rects = [c["rect"] for c in controls if c["visible"]]
    bad = 0
    for j in range(0, ch, 7):
        for i in range(0, cw, 7):
            if any(rx <= i < rx + rw and ry <= j < ry + rh for rx, ry, rw, rh in rects):
                continue
            if pic.at(i, j) != BACKGROUND:
                bad += 1
    if bad:
        problem("%d sampled background pixels are not RGB%s" % (bad, BACKGROUND))
    rule = row("text", "rule")["rect"]
    for i in range(sc(rule[0]), sc(rule[0] + rule[2])):
        if pic.at(i, sc(rule[1])) != ACCENT:
            problem("gold rule not accent at x=%d: %s" % (i, pic.at(i, sc(118))))
            break
    primary_rect, second_rect = sr(primary_rect), sr(second_rect)
    px, py, pw, ph = primary_rect
    if pic.at(px + 2, py + 2) != ACCENT or pic.at(px + pw - 3, py + ph - 3) != ACCENT:
        problem("primary button not filled with the accent")
    sx, sy, sw, sh = second_rect
    if pic.at(sx + 2, sy + 2) != PANEL or pic.at(sx + sw - 3, sy + sh - 3) != PANEL:
        problem("second button not filled with the panel colour: %s" % (pic.at(sx + 2, sy + 2),))

    # The images, pixel for pixel.
    images = [r["rect"][:2] for r in rows if r["kind"] == "image"]   # the wordmark, the core
    for file, (ix, iy) in zip(("orvelant-wordmark.bmp", "origin-core.bmp"), images):
        bw, bh, at = read_bmp(os.path.join(assets, file))
        if scale == 1.0:
            wrong = sum(1 for j in range(0, bh, 3) for i in range(0, bw, 3)
                        if pic.at(ix + i, iy + j) != at(i, j))
        else:   # resized: flat areas keep their colour, edges may blur
            samples = [(i, j) for j in range(1, bh - 1, 3) for i in range(1, bw - 1, 3)]
            off = sum(1 for i, j in samples
                      if not near(pic.at(sc(ix + i + 0.5), sc(iy + j + 0.5)), at(i, j), 48))
            wrong = off if off > len(samples) // 10 else 0
        if wrong:
            problem("%s differs from the window in %d sampled pixels" % (file, wrong))

    # Text colours: ink of each group's colour where its text is.
    path_line = next(r for r in rows if "view-text" in r["flags"])
    checks = [(sr(row("text", "kicker")["rect"]), TOP, BACKGROUND, "top label"),
              (sr(headline_row["rect"]), LIGHT, BACKGROUND, "headline"),
              (primary_rect, DARK, ACCENT, "primary button"),
              (second_rect, LIGHT, PANEL, "second button"),
              (sr(path_line["rect"]), DIM, BACKGROUND, "launcher path line"),
              (sr(cancel_row["rect"]), DIM, BACKGROUND, "Cancel")]
    # Small anti-aliased text never reaches its full colour: its brightest
    # ink pixel must have the colour's hue and be no brighter than it.
    for rect, colour, background, label in checks:
        rx, ry, rw, rh = rect
        ink = [pic.at(i, j) for j in range(ry, ry + rh) for i in range(rx, rx + rw)
               if is_ink(pic.at(i, j), background)]
        if len(ink) < 8:
            problem("%s: no text drawn" % label)
            continue
        far = max(ink, key=lambda p: sum(abs(a - b) for a, b in zip(p, background)))
        if count_near(pic, rect, colour, 12) >= 3:
            continue
        hue = [v / max(far) for v in far] if max(far) else [0, 0, 0]
        want = [v / max(colour) for v in colour]
        brighter = any(a > b + 12 for a, b in zip(far, colour))
        if brighter or any(abs(a - b) > 0.06 for a, b in zip(hue, want)):
            problem("%s: text RGB%s is not of RGB%s" % (label, far, colour))
    # Japanese glyphs: hollow boxes would give long straight ink runs of
    # equal length; real glyphs give many distinct column profiles.
    rx, ry, rw, rh = second_rect if existing else primary_rect
    background = PANEL if existing else ACCENT
    columns = set()
    for i in range(rx, rx + rw):
        columns.add(tuple(is_ink(pic.at(i, j), background) for j in range(ry, ry + rh)))
    if len(columns) < 20:
        problem("Japanese button text looks like boxes (%d column profiles)" % len(columns))

    for line in problems:
        print("check_setup_screenshot: %s: %s" % (name, line))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
