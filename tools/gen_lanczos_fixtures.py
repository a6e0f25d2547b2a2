"""Reference Lanczos3 resamples for tests/cpp/plot_table_test.cpp.

Emulates the f32 resampling arithmetic step by step with numpy float32 scalars
(each operation rounded to single precision) and the C library's sinf through
ctypes, then writes tests/data/lanczos3_resize.txt: per case a line
"src_w src_h dst_w dst_h", a line of source bytes and a line of expected bytes
(hex, RGBA rows top to bottom).
"""
import ctypes
import math
import os
import random

import numpy as np

f32 = np.float32
libm = ctypes.CDLL("libm.so.6")
libm.sinf.restype = ctypes.c_float
libm.sinf.argtypes = [ctypes.c_float]
PI = f32(math.pi)


def sinc(t):
    if t == f32(0):
        return f32(1)
    a = f32(t * PI)
    return f32(f32(libm.sinf(float(a))) / a)


def kernel(x):
    if not abs(x) < f32(3):
        return f32(0)
    return f32(sinc(x) * sinc(f32(x / f32(3))))


def taps(src, dst):
    ratio = f32(f32(src) / f32(dst))
    sratio = f32(1) if ratio < f32(1) else ratio
    support = f32(f32(3) * sratio)
    out = []
    for o in range(dst):
        c = f32(f32(f32(o) + f32(0.5)) * ratio)
        left = int(np.floor(f32(c - support)))
        left = min(max(left, 0), src - 1)
        right = int(np.ceil(f32(c + support)))
        right = min(max(right, left + 1), src)
        origin = f32(c - f32(0.5))
        ws, total = [], f32(0)
        for i in range(left, right):
            w = kernel(f32(f32(f32(i) - origin) / sratio))
            ws.append(w)
            total = f32(total + w)
        out.append((left, [f32(w / total) for w in ws]))
    return out


def resize(pixels, w, h, nw, nh):
    vt, ht = taps(h, nh), taps(w, nw)
    mid = [[[f32(0)] * 4 for _ in range(w)] for _ in range(nh)]
    for oy, (top, ws) in enumerate(vt):
        for x in range(w):
            for c in range(4):
                t = f32(0)
                for j, wj in enumerate(ws):
                    t = f32(t + f32(f32(pixels[((top + j) * w + x) * 4 + c]) * wj))
                mid[oy][x][c] = t
    out = bytearray()
    for oy in range(nh):
        for ox, (left, ws) in enumerate(ht):
            for c in range(4):
                t = f32(0)
                for i, wi in enumerate(ws):
                    t = f32(t + f32(mid[oy][left + i][c] * wi))
                v = min(max(float(t), 0.0), 255.0)
                out.append(int(math.floor(v + 0.5)))
    return bytes(out)


def source(w, h, rng):
    # Hard edges (as text and bars make them) over a random background, with
    # transparent and opaque pixels, so negative lobes push values past 0..255.
    px = bytearray()
    for y in range(h):
        for x in range(w):
            if (x // 3 + y // 2) % 3 == 0:
                px += bytes((0, 0, 0, 255))
            elif x == w - 1 or y == 0:
                px += bytes((255, 255, 255, 0))
            else:
                px += bytes(rng.randrange(256) for _ in range(4))
    return bytes(px)


def main():
    rng = random.Random(20261207)
    cases = [(16, 10, 8, 5), (13, 9, 6, 4), (5, 3, 7, 4), (40, 14, 20, 7), (1, 12, 1, 6)]
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.join(here, "..", "tests", "data", "lanczos3_resize.txt")
    with open(path, "w") as f:
        for w, h, nw, nh in cases:
            src = source(w, h, rng)
            f.write(f"{w} {h} {nw} {nh}\n{src.hex()}\n{resize(src, w, h, nw, nh).hex()}\n")


if __name__ == "__main__":
    main()
