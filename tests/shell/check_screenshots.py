#!/usr/bin/env python3
"""Pixel checks of the Shell's screenshots made by scripts/shell-screenshots.sh.

    check_screenshots.py [--icon|--no-icon] [--reference <dir> [--scale F] [--screen WxH]] <out-dir>

For every page (HOME STORE LIBRARY DOWNLOADS SETTINGS) it reads <page>.png,
<page>.controls.txt (shell-driver dump) and <page>.outer.txt and checks:
  - the window: the outer rectangle and place of the Shell's layout table
    (ORV_LAYOUT_TABLE: tools/layout-table's print of it), the picture is exactly
    that rectangle, and the client area sits inside the frame where the outer
    rectangle and the client size put it (pinned by the two gold rules);
  - backgrounds, exactly: the window RGB(5,5,5) wherever no visible control
    is, the gold rules, primary and secondary buttons, list rows, progress
    tracks and fills;
  - the navigation entry of the page in the highlight colour, every other
    entry in the plain one;
  - every visible control inside the client area, and no text that reaches
    the right or bottom edge of its control (cut off);
  - Japanese text drawn with real glyphs: the STORE intro carries ink, and
    no control with Japanese text shows the hollow boxes of missing glyphs.
With --reference (the same install's pages shot at 100 %) the window may be
scaled: the scale is the client width against the reference's, every
control's rectangle must be the reference's times that scale within one
pixel (--scale: the scale expected), its text as many times taller, and the rules and tracks are looked
for where the reference has them, scaled; --screen then asks that the whole
window lie on a screen of that size instead of the fixed outer rectangle.
Backgrounds must match exactly; only the text colours allow for
anti-aliasing. Exits 1 with one line per problem, 0 when all pass.
"""
import os
import subprocess
import sys

PAGES = [("HOME", 1001), ("STORE", 1002), ("LIBRARY", 1003), ("DOWNLOADS", 1004),
         ("SETTINGS", 1005)]



def load_layout(path):
    """The Shell's layout table as tools/layout-table prints it."""
    window, rows = None, []
    try:
        lines = open(path, encoding="utf-8").read().splitlines()
    except OSError:
        return None, []   # main() refuses to run without it
    for line in lines:
        f = line.split("\t")
        if f[0] == "window":
            window = tuple(int(v) for v in f[1:5])
        elif f[0] == "row":
            rows.append({"id": int(f[3]), "page": int(f[4]), "kind": f[5], "colour": f[6],
                         "flags": f[7].split(","), "variant": int(f[8]), "rect": tuple(int(v) for v in f[9:13]),
                         "text": f[13].replace("\\n", "\n") if len(f) > 13 else ""})
    return window, rows


EXPECTED_OUTER, LAYOUT = load_layout(os.environ.get("ORV_LAYOUT_TABLE", ""))


def layout_ids(colour):
    return [r["id"] for r in LAYOUT if r["colour"] == colour and r["id"]]


WINDOW = (5, 5, 5)
ACCENT = (184, 137, 73)
BUTTON = (12, 15, 17)
FIELD = (9, 10, 10)
TRACK = (30, 32, 33)
NAV_CURRENT = (224, 189, 134)
NAV_OTHER = (155, 150, 141)

PRIMARY_IDS = layout_ids("primary")
SECONDARY_IDS = layout_ids("secondary")
ROW_IDS = layout_ids("row")
RULES = [r["rect"] for r in LAYOUT if r["colour"] == "rule" and "fill" not in r["flags"]]
HEADER_RULE = next((r for r in RULES if r[2] > r[3]), None)
SIDEBAR_RULE = next((r for r in RULES if r[3] > r[2]), None)
# (track rectangle, page on which it shows or None for every page)
TRACKS = [(r["rect"], None if r["page"] < 0 else PAGES[r["page"]][0])
          for r in LAYOUT if "track" in r["flags"]]
# The STORE page's fixed Japanese introduction.
STORE_INTRO = next((r["rect"] for r in LAYOUT if r["page"] == 1 and r["kind"] == "text" and
                    "view-text" not in r["flags"] and any(ord(ch) > 127 for ch in r["text"])),
                   None)

TEXT_TOLERANCE = 6   # per channel, for "pixels of this text colour"
INK_THRESHOLD = 40   # a pixel this far from its background is ink


class Picture:
    def __init__(self, path):
        try:
            data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"],
                                  capture_output=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError) as error:
            raise SystemExit("check_screenshots: cannot read %s: %s" % (path, error))
        fields, at = [], 0
        while len(fields) < 4:   # magic, width, height, maxval; '#' comments allowed
            while data[at:at + 1].isspace():
                at += 1
            if data[at:at + 1] == b"#":
                at = data.index(b"\n", at) + 1
                continue
            end = at
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[at:end])
            at = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise SystemExit("check_screenshots: %s: unexpected PPM header %r" % (path, fields))
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = data[at + 1:at + 1 + self.width * self.height * 3]
        if len(self.pixels) != self.width * self.height * 3:
            raise SystemExit("check_screenshots: %s: short pixel data" % path)
        self.ox = self.oy = 0   # client origin inside the picture

    def at(self, x, y):
        """Pixel at client coordinates."""
        i = ((self.oy + y) * self.width + self.ox + x) * 3
        return tuple(self.pixels[i:i + 3])

    def raw(self, x, y):
        """Pixel at window (picture) coordinates."""
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def row_bytes(self, x, y, w):
        i = ((self.oy + y) * self.width + self.ox + x) * 3
        return self.pixels[i:i + w * 3]


def near(a, b, tolerance):
    return all(abs(p - q) <= tolerance for p, q in zip(a, b))


def is_ink(pixel, background):
    return max(abs(p - q) for p, q in zip(pixel, background)) > INK_THRESHOLD


def load_controls(path):
    controls = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            parts = line.split("\t", 7)
            if len(parts) != 8:
                raise SystemExit("check_screenshots: %s:%d: malformed line %r" % (path, number, line))
            x, y, w, h = (int(v) for v in parts[5].split(","))
            text = (parts[7].replace("\\n", "\n").replace("\\r", "\r").replace("\\t", "\t")
                    .replace("\\\\", "\\"))
            controls.append({"order": int(parts[0]), "id": int(parts[1]), "cls": parts[2],
                             "visible": parts[3] == "1", "enabled": parts[4] == "1",
                             "rect": (x, y, w, h), "style": int(parts[6], 16), "text": text})
    return controls


def has_japanese(text):
    return any(0x3040 <= ord(c) <= 0x30FF or 0x4E00 <= ord(c) <= 0x9FFF or
               0xFF00 <= ord(c) <= 0xFFEF for c in text)


class Checker:
    def __init__(self, out_dir, expect_icon=None, reference=None, screen=None, scale=None):
        self.out_dir = out_dir
        self.scale = scale
        self.reference = reference
        self.screen = screen
        self.expect_icon = expect_icon
        self.problems = []
        self.checks = 0

    def fail(self, page, message):
        self.problems.append("%s: %s" % (page, message))

    def check(self, ok, page, message):
        self.checks += 1
        if not ok:
            self.fail(page, message)
        return ok

    # ---- helpers over one page -------------------------------------------

    def rect_mismatches(self, pic, rect, colour, skip=None):
        """Pixels of rect (client coordinates) that are not exactly colour."""
        x0, y0, w, h = rect
        bad = []
        for y in range(y0, y0 + h):
            for x in range(x0, x0 + w):
                if skip and skip(x, y):
                    continue
                p = pic.at(x, y)
                if p != colour:
                    bad.append((x, y, p))
        return bad

    def check_fill(self, page, pic, what, rect, colour, skip=None):
        if rect[2] <= 0 or rect[3] <= 0:
            return
        bad = self.rect_mismatches(pic, rect, colour, skip)
        self.check(not bad, page, "%s %s: %d pixels are not RGB%s, first at client %s is RGB%s"
                   % (what, rect, len(bad), colour, bad[0][:2] if bad else "", bad[0][2] if bad else ""))

    def check_corners(self, page, pic, control, colour, what):
        x, y, w, h = control["rect"]
        n = 4 if w >= 12 and h >= 12 else 1
        for cx, cy in ((x, y), (x + w - n, y), (x, y + h - n), (x + w - n, y + h - n)):
            bad = self.rect_mismatches(pic, (cx, cy, n, n), colour)
            if bad:
                self.check(False, page, "%s %d (%r) at %s: corner pixel at client %s is RGB%s, "
                           "not RGB%s" % (what, control["id"], control["text"], control["rect"],
                                          bad[0][:2], bad[0][2], colour))
                return
        self.checks += 1

    # ---- the checks ----------------------------------------------------

    def check_page(self, page, nav_id):
        base = os.path.join(self.out_dir, page)
        for suffix in (".png", ".controls.txt", ".outer.txt"):
            if not os.path.isfile(base + suffix):
                self.fail(page, "missing %s%s" % (page, suffix))
                return
        with open(base + ".outer.txt") as f:
            numbers = [int(v) for v in f.read().split()]
        if len(numbers) != 8:
            self.fail(page, "%s.outer.txt: expected 8 numbers, got %r" % (page, numbers))
            return
        x, y, w, h, cw, ch, cx, cy = numbers
        pic = Picture(base + ".png")
        controls = load_controls(base + ".controls.txt")
        visible = [c for c in controls if c["visible"]]
        by_id = {c["id"]: c for c in controls if c["id"] != 0}

        # Geometry: where the window is and where its client area lies in it.
        self.check(self.reference or (x, y, w, h) == EXPECTED_OUTER, page,
                   "outer window is %dx%d at (%d,%d), expected %dx%d at (%d,%d)"
                   % (w, h, x, y, EXPECTED_OUTER[2], EXPECTED_OUTER[3], EXPECTED_OUTER[0],
                      EXPECTED_OUTER[1]))
        if not self.check((pic.width, pic.height) == (w, h), page,
                          "picture is %dx%d, the outer window %dx%d"
                          % (pic.width, pic.height, w, h)):
            return
        border = (w - cw) // 2
        expected_offset = (border, h - ch - border)
        offset = (cx - x, cy - y)
        self.check(offset == expected_offset and (w - cw) % 2 == 0, page,
                   "client origin is at %s in the window, frame of %dx%d around a %dx%d client "
                   "puts it at %s" % (offset, w, h, cw, ch, expected_offset))
        pic.ox, pic.oy = offset
        where = {r: r for r in [HEADER_RULE, SIDEBAR_RULE, STORE_INTRO] + [t for t, _ in TRACKS]}
        if self.reference:
            where = self.check_scaled(page, pic, controls, cw, ch)
            if where is None:
                return
            if self.screen:
                self.check(x >= 0 and y >= 0 and x + w <= self.screen[0] and y + h <= self.screen[1],
                           page, "window %dx%d at (%d,%d) is not wholly on the %dx%d screen"
                           % (w, h, x, y, self.screen[0], self.screen[1]))
        # The rules pin the mapping to the pixel: gold on the line, window
        # background right beside it.
        header, sidebar = where[HEADER_RULE], where[SIDEBAR_RULE]
        for what, (rx, ry, rw, rh), beside in (
                ("header rule", header, [(header[0] + 5, header[1] - 1),
                                         (header[0] + 5, header[1] + header[3]),
                                         (header[0] - 1, header[1])]),
                ("sidebar rule", sidebar, [(sidebar[0] - 1, sidebar[1] + 5),
                                           (sidebar[0] + sidebar[2], sidebar[1] + 5),
                                           (sidebar[0], sidebar[1] - 1)])):
            rule = [c for c in visible if c["id"] == 0 and c["rect"] == (rx, ry, rw, rh)]
            if not self.check(rule, page, "no visible id-less control at %s (the %s)"
                              % ((rx, ry, rw, rh), what)):
                continue
            others = [c for c in visible if c is not rule[0]]
            self.check_fill(page, pic, what, (rx, ry, rw, rh), ACCENT,
                            skip=lambda px, py: covered(others, px, py))
            for bx, by in beside:
                p = pic.at(bx, by)
                self.check(p == WINDOW, page, "%s: client %s beside it is RGB%s, expected the "
                           "window RGB%s (client area not where expected?)"
                           % (what, (bx, by), p, WINDOW))

        # Every visible control inside the client area, none cut off by the frame.
        for c in visible:
            rx, ry, rw, rh = c["rect"]
            self.check(rx >= 0 and ry >= 0 and rx + rw <= cw and ry + rh <= ch, page,
                       "control %d %r at %s reaches outside the %dx%d client area"
                       % (c["id"], c["text"], c["rect"], cw, ch))

        # Window background wherever no visible control is.
        self.check_window_background(page, pic, visible, cw, ch)

        # Coloured backgrounds of buttons and rows.
        for ids, colour, what in ((PRIMARY_IDS, ACCENT, "primary button"),
                                  (SECONDARY_IDS, BUTTON, "secondary button"),
                                  (ROW_IDS, FIELD, "list row")):
            for i in ids:
                c = by_id.get(i)
                if c and c["visible"]:
                    self.check_corners(page, pic, c, colour, what)
        self.check(any(i in by_id and by_id[i]["visible"] for i in PRIMARY_IDS + SECONDARY_IDS),
                   page, "no button of the page is visible")
        # Nothing paints over a dark button or row: the accent colour of a
        # rule or fill never appears inside one (their text is never that).
        for ids, what in ((SECONDARY_IDS, "secondary button"), (ROW_IDS, "list row")):
            for i in ids:
                c = by_id.get(i)
                if not (c and c["visible"]):
                    continue
                rx, ry, rw, rh = c["rect"]
                hits = [(px, py) for py in range(ry, ry + rh) for px in range(rx, rx + rw)
                        if pic.at(px, py) == ACCENT]
                self.check(not hits, page, "%s %d (%r) at %s: %d accent pixels drawn over it, "
                           "first at client %s" % (what, i, c["text"], c["rect"], len(hits),
                                                    hits[0] if hits else None))

        # The window icon in the caption Wine draws (top left of the frame).
        if self.expect_icon is not None:
            gold = sum(1 for py in range(2, 24) for px in range(2, 24)
                       if near(pic.raw(px, py), ACCENT, 30))
            # (Without an icon Wine shows its own, which holds no gold.)
            if self.expect_icon:
                self.check(gold >= 8, page, "no window icon in the caption (%d gold pixels)" % gold)
            else:
                self.check(gold == 0, page, "an icon in the caption without an icon file "
                           "(%d gold pixels)" % gold)

        self.check_caption_buttons(page, pic, w)

        # Progress tracks: the fill (accent) over the left part, the rest track.
        for rect, only in TRACKS:
            if only and only != page:
                continue
            rect = where[rect]
            track = [c for c in visible if c["id"] == 0 and c["rect"] == rect]
            if not self.check(track, page, "no visible progress track at %s" % (rect,)):
                continue
            fills = [c for c in visible if c["id"] == 0 and c is not track[0]
                     and c["rect"][0] == rect[0] and c["rect"][1] == rect[1]
                     and c["rect"][3] == rect[3] and c["rect"][2] <= rect[2]]
            fill_w = fills[0]["rect"][2] if fills else 0
            self.check_fill(page, pic, "progress fill", (rect[0], rect[1], fill_w, rect[3]), ACCENT)
            self.check_fill(page, pic, "progress track",
                            (rect[0] + fill_w, rect[1], rect[2] - fill_w, rect[3]), TRACK)

        # Navigation: the page's entry highlighted, the others plain.
        for page_name, i in PAGES:
            c = by_id.get(i)
            if not self.check(c and c["visible"], page, "navigation entry %d not visible" % i):
                continue
            current = i == nav_id
            want, other = (NAV_CURRENT, NAV_OTHER) if current else (NAV_OTHER, NAV_CURRENT)
            x0, y0, w0, h0 = c["rect"]
            pixels = [pic.at(px, py) for py in range(y0, y0 + h0) for px in range(x0, x0 + w0)]
            n_want = sum(1 for p in pixels if near(p, want, TEXT_TOLERANCE))
            n_other = sum(1 for p in pixels if near(p, other, TEXT_TOLERANCE))
            self.check(n_want >= 10 and n_other == 0, page,
                       "navigation entry %s (%d) should be drawn in RGB%s (%s): %d pixels of it, "
                       "%d of RGB%s" % (page_name, i, want, "current page" if current else
                                        "another page", n_want, n_other, other))

        # Text must fit its control.
        for c in visible:
            self.check_not_cut_off(page, pic, c)

        # Japanese text: real glyphs, not boxes.
        if page == "STORE":
            intro = [c for c in visible if c["rect"] == where[STORE_INTRO]]
            if self.check(intro, page, "no visible store intro at %s" % (where[STORE_INTRO],)):
                self.check(has_japanese(intro[0]["text"]), page,
                           "the store intro text %r has no Japanese" % intro[0]["text"])
                ink = self.ink_pixels(pic, intro[0])
                japanese = sum(1 for ch in intro[0]["text"] if has_japanese(ch))
                self.check(len(ink) >= 20 * max(japanese, 1), page,
                           "the store intro (%d Japanese characters) has only %d ink pixels"
                           % (japanese, len(ink)))
        for c in visible:
            if has_japanese(c["text"]):
                self.check_no_boxes(page, pic, c)

    def check_scaled(self, page, pic, controls, cw, ch):
        """Against the reference page: the scale from the client widths, each
        control's rectangle and text height scaled by it. Returns where the
        reference's rectangles are now (by control order), or None."""
        base = os.path.join(self.reference, page)
        with open(base + ".outer.txt") as f:
            ref_cw, ref_ch = [int(v) for v in f.read().split()][4:6]
        ref = load_controls(base + ".controls.txt")
        ref_pic = Picture(base + ".png")
        with open(base + ".outer.txt") as f:
            n = [int(v) for v in f.read().split()]
        ref_pic.ox, ref_pic.oy = n[6] - n[0], n[7] - n[1]
        scale = round(96.0 * cw / ref_cw) / 96.0
        if self.scale is not None:
            self.check(scale == self.scale, page, "the window is %.3f times the reference's, "
                       "expected %.3f" % (scale, self.scale))
        self.check(abs(ch - ref_ch * scale) <= 1, page, "client %dx%d is not the reference's "
                   "%dx%d times %.3f" % (cw, ch, ref_cw, ref_ch, scale))
        if not self.check(len(ref) == len(controls), page, "%d controls, the reference has %d"
                          % (len(controls), len(ref))):
            return None
        where, ratios = {}, []
        for r, c in zip(ref, controls):
            where[r["rect"]] = c["rect"]
            want = tuple(v * scale for v in r["rect"])
            self.check(r["id"] == c["id"] and all(abs(a - b) <= 1 for a, b in zip(c["rect"], want)),
                       page, "control %d %r at %s, the reference's %s times %.3f is %s"
                       % (c["id"], c["text"], c["rect"], r["rect"], scale,
                          tuple(round(v, 1) for v in want)))
            if c["visible"] and r["visible"] and c["text"].strip() == r["text"].strip() \
                    and c["text"].strip() and c["style"] & 0x1F not in (0x0E, 0x03):
                before, after = self.ink_pixels(ref_pic, r), self.ink_pixels(pic, c)
                if before and after:
                    hb = max(p[1] for p in before) - min(p[1] for p in before) + 1
                    ha = max(p[1] for p in after) - min(p[1] for p in after) + 1
                    if hb >= 6:
                        ratios.append((ha / hb, c))
        if self.check(ratios, page, "no text to compare with the reference"):
            ratios.sort(key=lambda rc: rc[0])
            median = ratios[len(ratios) // 2][0]
            self.check(abs(median - scale) <= 0.12 * scale, page, "text is %.2f times as tall as "
                       "in the reference (median of %d), the window %.3f times as large"
                       % (median, len(ratios), scale))
            for ratio, c in ratios:
                self.check(abs(ratio - scale) <= 0.3 * scale, page, "text of %d %r is %.2f times "
                           "as tall as in the reference, the window %.3f times as large"
                           % (c["id"], c["text"], ratio, scale))
        return where

    def check_caption_buttons(self, page, pic, w):
        """The caption's buttons are Marlett glyphs, not the letters "0 1 r"
        that Wine draws without that font: the minimize glyph is a bar at the
        bottom of its button, the close glyph an X (the same mirrored)."""
        y = 10
        background = pic.raw(w - 120, y)   # the caption's own colour
        runs, start = [], None
        for x in range(w - 120, w):
            inside = not near(pic.raw(x, y), background, 30)
            if inside and start is None:
                start = x
            elif not inside and start is not None:
                runs.append((start, x))
                start = None
        runs = [r for r in runs if r[1] - r[0] >= 10]   # buttons, not the frame's edge
        if not self.check(len(runs) >= 2, page, "caption buttons not found (runs %r)" % (runs,)):
            return
        (a0, a1), (c0, c1) = runs[-2], runs[-1]   # minimize+maximize, close
        top = y
        while top > 0 and not near(pic.raw(c0 + 3, top - 1), background, 30):
            top -= 1
        bottom = y
        while bottom + 1 < pic.height and not near(pic.raw(c0 + 3, bottom + 1), background, 30):
            bottom += 1

        def dark(x0, x1):
            return {(x, yy) for yy in range(top, bottom + 1) for x in range(x0, x1)
                    if max(pic.raw(x, yy)) < 80}

        minimize = dark(a0 + 2, (a0 + a1) // 2 - 2)
        middle = (top + bottom) / 2.0
        self.check(minimize and all(yy > middle for _, yy in minimize), page,
                   "minimize button shows no bar glyph (dark pixels in rows %s; is Marlett "
                   "missing? fonts-wine)" % sorted({yy for _, yy in minimize}))
        close = dark(c0 + 2, c1 - 2)
        mirrored = sum(1 for x, yy in close
                       if any((c0 + c1 - 1 - x + d, yy) in close for d in (-1, 0, 1)))
        self.check(len(close) >= 6 and mirrored >= 0.8 * len(close), page,
                   "close button shows no X glyph (%d dark pixels, %d of them mirrored; is "
                   "Marlett missing? fonts-wine)" % (len(close), mirrored))

    def check_window_background(self, page, pic, visible, cw, ch):
        expected_row = bytes(WINDOW) * cw
        bad, first = 0, None
        for y in range(ch):
            spans = sorted((max(0, c["rect"][0]), min(cw, c["rect"][0] + c["rect"][2]))
                           for c in visible
                           if c["rect"][1] <= y < c["rect"][1] + c["rect"][3])
            x = 0
            for s, e in spans + [(cw, cw)]:
                if s > x:
                    got = pic.row_bytes(x, y, s - x)
                    if got != expected_row[:len(got)]:
                        for k in range(s - x):
                            if got[k * 3:k * 3 + 3] != bytes(WINDOW):
                                bad += 1
                                if first is None:
                                    first = (x + k, y, tuple(got[k * 3:k * 3 + 3]))
                x = max(x, e)
        self.check(bad == 0, page, "%d pixels outside every visible control are not the window "
                   "background RGB%s; first at client %s is RGB%s"
                   % (bad, WINDOW, first[:2] if first else "", first[2] if first else ""))

    def background_of(self, pic, control):
        x, y, w, h = control["rect"]
        corners = [pic.at(x, y), pic.at(x + w - 1, y), pic.at(x, y + h - 1),
                   pic.at(x + w - 1, y + h - 1)]
        return max(set(corners), key=corners.count)

    def ink_pixels(self, pic, control):
        x0, y0, w, h = control["rect"]
        bg = self.background_of(pic, control)
        return {(x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w)
                if is_ink(pic.at(x, y), bg)}

    def check_not_cut_off(self, page, pic, control):
        x, y, w, h = control["rect"]
        if (not control["text"].strip() or control["cls"].lower() != "static"
                or control["style"] & 0x1F in (0x0E, 0x03) or w < 4 or h < 4):
            return   # no text, an image or an icon
        bg = self.background_of(pic, control)
        right = sum(1 for py in range(y, y + h) if is_ink(pic.at(x + w - 1, py), bg))
        bottom = sum(1 for px in range(x, x + w) if is_ink(pic.at(px, y + h - 1), bg))
        self.check(right == 0 and bottom == 0, page,
                   "control %d %r at %s: text reaches its %s edge (cut off)"
                   % (control["id"], control["text"], control["rect"],
                      "right" if right else "bottom"))

    def check_no_boxes(self, page, pic, control):
        """Missing glyphs are drawn as hollow rectangles of the same size;
        real glyphs are not hollow boxes (a few, like 口, may be)."""
        ink = self.ink_pixels(pic, control)
        seen, boxes, glyphs = set(), 0, 0
        for start in ink:
            if start in seen:
                continue
            stack, part = [start], []
            seen.add(start)
            while stack:
                px, py = stack.pop()
                part.append((px, py))
                for dx in (-1, 0, 1):
                    for dy in (-1, 0, 1):
                        q = (px + dx, py + dy)
                        if q in ink and q not in seen:
                            seen.add(q)
                            stack.append(q)
            xs = [p[0] for p in part]
            ys = [p[1] for p in part]
            bw, bh = max(xs) - min(xs) + 1, max(ys) - min(ys) + 1
            if bw < 5 or bh < 7:
                continue
            glyphs += 1
            cells = set(part)
            edge = [(px, py) for px in range(min(xs), max(xs) + 1) for py in (min(ys), max(ys))]
            edge += [(px, py) for py in range(min(ys), max(ys) + 1) for px in (min(xs), max(xs))]
            edge_ink = sum(1 for p in edge if p in cells) / len(edge)
            inner = [(px, py) for px in range(min(xs) + 2, max(xs) - 1)
                     for py in range(min(ys) + 2, max(ys) - 1)]
            inner_ink = sum(1 for p in inner if p in cells) / len(inner) if inner else 1.0
            if edge_ink >= 0.85 and inner_ink <= 0.05:
                boxes += 1
        self.check(glyphs > 0, page, "control %d %r at %s: no glyph drawn"
                   % (control["id"], control["text"], control["rect"]))
        self.check(boxes < 3 and boxes * 5 < max(glyphs, 1), page,
                   "control %d %r at %s: %d of %d glyphs are hollow boxes (missing font for "
                   "Japanese?)" % (control["id"], control["text"], control["rect"], boxes, glyphs))

    def run(self):
        for page, nav_id in PAGES:
            self.check_page(page, nav_id)
        for p in self.problems:
            print("check_screenshots: " + p)
        print("check_screenshots: %d checks, %d problems" % (self.checks, len(self.problems)))
        return 1 if self.problems else 0


def covered(controls, x, y):
    for c in controls:
        cx, cy, cw, ch = c["rect"]
        if cx <= x < cx + cw and cy <= y < cy + ch:
            return True
    return False


def main():
    if not LAYOUT or not HEADER_RULE or not SIDEBAR_RULE or not STORE_INTRO:
        raise SystemExit("check_screenshots: no Shell layout table in ORV_LAYOUT_TABLE")
    args = sys.argv[1:]
    expect_icon = reference = screen = scale = None
    while args and args[0].startswith("--"):
        option = args.pop(0)
        if option in ("--icon", "--no-icon"):
            expect_icon = option == "--icon"
        elif option == "--reference" and args:
            reference = args.pop(0)
        elif option == "--scale" and args:
            scale = float(args.pop(0))
        elif option == "--screen" and args:
            screen = tuple(int(v) for v in args.pop(0).split("x"))
        else:
            args = []
            break
    if len(args) != 1:
        print("usage: check_screenshots.py [--icon|--no-icon] [--reference <dir>] "
              "[--scale F] [--screen WxH] <out-dir>", file=sys.stderr)
        return 2
    if not os.path.isdir(args[0]):
        print("check_screenshots: no directory %s" % args[0], file=sys.stderr)
        return 2
    return Checker(args[0], expect_icon, reference, screen, scale).run()


if __name__ == "__main__":
    sys.exit(main())
