#!/usr/bin/env python3
"""Renders the golden cases with latex, dvips and gs and writes the expected
images (<name>.pgm), cases.tsv and VERSIONS beside this script.

It does by hand what mathrast is meant to do, so the end-to-end test has an
expectation that owes nothing to the C++ code. Run it again only when the
installed latex or gs changes (the test skips itself until then), and look at
the images before committing them.
"""
import os
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# name, options as mathrast takes them, formula (given on stdin as it is).
# Each formula starts with an ordinary symbol, keeps clear of the dot's
# columns and of the page edges; check() refuses any that does not.
CASES = [
    ("pythagoras", [], r"x^2+y^2=z^2"),
    ("fraction_root", ["-s", "3", "-r", "150"], r"y=\frac{a}{b}\sqrt{\alpha_i}"),
    ("sum_no_oversampling", ["-s", "1"], r"s=\sum_{n=1}^N n"),
    ("descender_low_resolution", ["-r", "72", "-s", "5"], r"g"),
    ("align_two_lines", ["-e", "align*", "-p", r"\usepackage{amsmath}"], r"a &= b \\ c &= d"),
    ("colour_halftone", ["-p", r"\usepackage{color}"], r"\color{red}x+\color{blue}y"),
]


def options(words):
    o = {"s": 4, "r": 100, "e": "displaymath", "p": ""}
    for flag, value in zip(words[::2], words[1::2]):
        o[flag[1]] = int(value) if flag[1] in "sr" else value
    return o


def run(argv, cwd, stdin=b""):
    subprocess.run(argv, cwd=cwd, input=stdin, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def decode_png(data):
    """Decodes an 8-bit-or-less greyscale PNG into rows of 0..255 samples."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width = int.from_bytes(body[0:4], "big")
            height = int.from_bytes(body[4:8], "big")
            depth, colour, interlace = body[8], body[9], body[12]
            assert colour == 0 and depth <= 8 and interlace == 0, body
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = (width * depth + 7) // 8
    bpp = 1  # bytes to the left for the filters, at least one
    rows, previous = [], bytearray(stride)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, cur = line[0], bytearray(line[1:])
        for i in range(stride):
            a = cur[i - bpp] if i >= bpp else 0
            b = previous[i]
            c = previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                cur[i] = (cur[i] + a) & 255
            elif kind == 2:
                cur[i] = (cur[i] + b) & 255
            elif kind == 3:
                cur[i] = (cur[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else b if pb <= pc else c
                cur[i] = (cur[i] + pred) & 255
            else:
                assert kind == 0, kind
        previous = cur
        top = (1 << depth) - 1
        row = []
        for x in range(width):
            bit = x * depth
            v = (cur[bit // 8] >> (8 - depth - bit % 8)) & top
            row.append(v * 255 // top)
        rows.append(row)
    return width, height, rows


def render(formula, o, work):
    tex = ("\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n"
           + o["p"] + "\n\\begin{document}\n\\begin{" + o["e"] + "}\n."
           + formula + "\\end{" + o["e"] + "}\n\\end{document}\n")
    with open(os.path.join(work, "f.tex"), "w") as f:
        f.write(tex)
    run(["latex", "f.tex"], work)
    run(["dvips", "-q", "-E", "-o", "f.ps", "f.dvi"], work)
    with open(os.path.join(work, "f.ps"), "rb") as f:
        box = next(line for line in f if b"%BoundingBox" in line)
    llx, lly, urx, ury = (int(v) for v in box.split()[1:5])
    s, res = o["s"], o["r"]
    w = s * ((urx - llx) * res // 72 + 1)
    h = s * ((ury - lly) * res // 72 + 1)
    run(["gs", "-dSAFER", "-sDEVICE=pngmono", "-sOutputFile=f.png", "-r%d" % (res * s),
         "-g%dx%d" % (w, h), "-q", "-", "f.ps"], work,
        ("%d neg %d neg translate\n" % (llx, lly)).encode())
    with open(os.path.join(work, "f.png"), "rb") as f:
        width, height, rows = decode_png(f.read())
    assert (width, height) == (w, h), (width, height, w, h)
    return rows, w, h


def trunc_div(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def crop_and_downsample(rows, w, h, s, name):
    ink = [[v != 255 for v in row] for row in rows]
    column_ink = [[y for y in range(h) if ink[y][x]] for x in range(w)]
    first = next(x for x in range(w) if column_ink[x])
    crop_left = next(x for x in range(first, w) if not column_ink[x])
    mark = [(x, y) for x in range(first, crop_left) for y in column_ink[x]]
    check(name, rows, first, crop_left, mark)
    for x, y in mark:
        ink[y][x] = False
    right = [x for x in range(w) if any(ink[y][x] for y in range(h))]
    crop_right = right[-1] + s if right else w
    bound = min(crop_right, w)
    out_h = -(-h // s)
    out_w = -(-(crop_right - crop_left) // s)
    image = []
    for r in range(out_h):
        line = []
        for c in range(out_w):
            total = 0
            for y in range(r * s, r * s + s):
                for x in range(crop_left + c * s, crop_left + c * s + s):
                    if x >= bound or y >= h:
                        total += 255
                    else:
                        total += rows[y][x]
            line.append(total // (s * s))
        image.append(line)
    n = h - sum(y for _, y in mark) // len(mark) - 2 * s
    q = trunc_div(n, s)
    offset = q + 1 if n - q * s != 0 else q
    return image, out_w, out_h, offset


def check(name, rows, first, crop_left, mark):
    """Refuses a case whose mark columns hold more than the dot, or whose ink
    reaches the page's edges: the golden data must show the ordinary path."""
    ys = sorted({y for _, y in mark})
    if ys != list(range(ys[0], ys[-1] + 1)) or ys[-1] - ys[0] > 2 * (crop_left - first):
        sys.exit("%s: more than the dot in the dot's columns" % name)
    if any(v != 255 for v in rows[0] + rows[-1]) or any(
            row[0] != 255 or row[-1] != 255 for row in rows):
        sys.exit("%s: ink touches the page edge" % name)


def first_line(argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout.splitlines()[0]


def main():
    table = []
    for name, words, formula in CASES:
        o = options(words)
        with tempfile.TemporaryDirectory() as work:
            rows, w, h = render(formula, o, work)
        image, out_w, out_h, offset = crop_and_downsample(rows, w, h, o["s"], name)
        with open(os.path.join(HERE, name + ".pgm"), "wb") as f:
            f.write(b"P5\n%d %d\n255\n" % (out_w, out_h))
            f.write(bytes(v for line in image for v in line))
        table.append("\t".join([name, " ".join(words), formula, str(out_w), str(out_h),
                                str(offset)]))
        print("%s: %d x %d, offset %d" % (name, out_w, out_h, offset))
    with open(os.path.join(HERE, "cases.tsv"), "w") as f:
        f.write("# name\toptions\tformula\twidth\theight\tbaseline offset\n")
        f.write("\n".join(table) + "\n")
    with open(os.path.join(HERE, "VERSIONS"), "w") as f:
        f.write(first_line(["latex", "--version"]) + "\n" + first_line(["gs", "--version"]) + "\n")


if __name__ == "__main__":
    main()
