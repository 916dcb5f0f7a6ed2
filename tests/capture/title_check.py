#!/usr/bin/env python3
"""Checks a title bitmap the slave loaded into a region against Pillow drawing the same text.

usage: title_check.py PNG TEXT FONT SIZE

PNG is the region's bitmap (made from the trace with ffmpeg). It must hold exactly two colours; its
ink (the lighter colour) must cover the text as Pillow draws it with FONT at SIZE pixels, with an
intersection over union of at least 0.85 once both inks are aligned at their top-left corners. A
bitmap font renderer sets each character on whole pixels, one advance after the other, without
kerning: Pillow draws the characters one by one on the same pen positions (each advance rounded).
Prints the measures; exit status 0 when the bitmap passes.
"""
import sys

from PIL import Image, ImageDraw, ImageFont


def ink_of(img):
    colours = sorted(img.getcolors(1 << 16) or [], key=lambda c: sum(c[1][:3]))
    return colours


def box(points):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return min(xs), min(ys)


def main():
    png, text, font_path, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    img = Image.open(png).convert("RGB")
    colours = ink_of(img)
    print("colours", len(colours), [c[1] for c in colours])
    if len(colours) != 2:
        return 1
    ink_colour = colours[-1][1]
    w, h = img.size
    px = img.load()
    got = {(x, y) for y in range(h) for x in range(w) if px[x, y] == ink_colour}

    font = ImageFont.truetype(font_path, size)
    ref = Image.new("L", (w + 2 * size, h + 2 * size), 0)
    draw = ImageDraw.Draw(ref)
    pen = size
    for ch in text:
        draw.text((pen, size), ch, fill=255, font=font)
        pen += round(font.getlength(ch))
    rp = ref.load()
    want = {(x, y) for y in range(ref.size[1]) for x in range(ref.size[0]) if rp[x, y] > 0}
    if not got or not want:
        print("no ink", len(got), len(want))
        return 1
    gx, gy = box(got)
    wx, wy = box(want)
    # Only what fits the bitmap can be compared: the reference is cut to the bitmap's frame.
    moved = {(x - wx + gx, y - wy + gy) for (x, y) in want}
    moved = {(x, y) for (x, y) in moved if 0 <= x < w and 0 <= y < h}
    iou = len(got & moved) / len(got | moved)
    print("ink", len(got), "reference", len(moved), "iou %.3f" % iou)
    return 0 if iou >= 0.85 else 1


if __name__ == "__main__":
    sys.exit(main())
