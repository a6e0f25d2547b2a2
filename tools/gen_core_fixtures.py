#!/usr/bin/env python3
"""Writes the reference fixtures of the ranked list, weights, enrichment score,
leading edge, BH adjustment and float text (tests/data/core_cases.txt,
tests/data/format_f64.txt), read by tests/cpp/core_fixture_test.cpp.

The arithmetic is the step-by-step CPython transcription in tools/refcommon.py.
Doubles are written with repr (shortest round-trip digits) so the comparison
is bit for bit.

Usage: python3 tools/gen_core_fixtures.py [output_dir]   (default tests/data)
"""
import math
import os
import random
import struct
import sys
from decimal import Decimal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refcommon import (NEG, POS, SCORE_TYPE_NAMES, STD, bh, es_walk,  # noqa: E402
                       integer_weights, leading_edge, rank)


def hx(x):
    return repr(x)


def draw_scores(rng, n, kind):
    if kind == "normal":
        return [rng.gauss(0.0, 1.0) for _ in range(n)]
    if kind == "ties":
        return [float(rng.randint(-3, 3)) for _ in range(n)]
    if kind == "zeros":
        return [rng.choice([0.0, -0.0]) for _ in range(n)]
    if kind == "large":  # totals far above 2^30
        return [rng.gauss(0.0, 1.0) * 10.0 ** rng.uniform(3, 9) for _ in range(n)]
    if kind == "tiny":  # totals so small that 2^30 / total is infinite
        return [rng.choice([0.0, 5e-324, 1e-310, -1e-300, 3e-305]) for _ in range(n)]
    if kind == "nan":
        return [math.nan if rng.random() < 0.2 else float(rng.randint(-2, 2)) for _ in range(n)]
    if kind == "wide":
        return [rng.choice([-1, 1]) * 10.0 ** rng.uniform(-8, 8) for _ in range(n)]
    if kind == "halves":  # with gseaParam 1 and an odd factor, products end in .5
        return [rng.randint(-7, 7) * 0.5 for _ in range(n)]
    if kind == "unit":
        # Two-digit decimals whose exact sum is 1: the float total lands on 1 or
        # an ulp either side depending on the summation order, and the floor of
        # 2^30 / total then moves by one, so the order of the sum shows.
        cuts = sorted(rng.randint(0, 100) for _ in range(n - 1))
        parts = [b - a for a, b in zip([0] + cuts, cuts + [100])]
        return [rng.choice([-1, 1]) * c / 100 for c in parts]
    raise ValueError(kind)


def core_case(rng, out, case_no):
    kinds = (["normal"] * 4 + ["ties"] * 3 + ["large"] * 2 + ["wide"] * 2 + ["halves"] * 2
             + ["unit"] * 2 + ["zeros", "tiny", "nan"])
    kind = kinds[case_no % len(kinds)]
    n = rng.choice([1, 1, 2, 3, 5, 8, 13, 20, 30, 40, 60]) if case_no % 50 else rng.randint(80, 160)
    p = rng.choice([0.0, 0.5, 1.0, 1.0, 2.0, rng.uniform(0.0, 3.0)])
    if kind in ("halves", "unit"):
        p = 1.0
    scores = draw_scores(rng, n, kind)
    names = []
    for i in range(n):
        # A few repeated names: the gene index keeps the later position.
        if i and case_no % 7 == 3 and rng.random() < 0.15:
            names.append(rng.choice(names))
        else:
            names.append("g%d" % i)
    order = rank(scores)
    ranked_names = [names[i] for i in order]
    ranked_scores = [scores[i] for i in order]
    weights, scaled, total = integer_weights(ranked_scores, p)
    use_scaled = case_no % 4 != 1  # otherwise the signed scores themselves
    ranks = [float(w) for w in scaled] if use_scaled else ranked_scores
    index = {}
    for pos, name in enumerate(ranked_names):
        index[name] = pos

    out.append("case %s %s %d" % (hx(p), "w" if use_scaled else "s", n))
    if any(nm != "g%d" % i for i, nm in enumerate(names)):
        out.append("names " + " ".join(names))  # otherwise g0, g1, ...
    out.append("scores " + " ".join(hx(s) for s in scores))
    out.append("order " + " ".join(map(str, order)))
    out.append("weights " + " ".join(hx(w) for w in weights))
    out.append("scaled " + " ".join(map(str, scaled)))
    out.append("total %d" % total)
    distinct = sorted(set(ranked_names), key=lambda s: index[s])
    # "*" names every distinct gene (hits cover the whole list without repeats).
    pathways = [[], ["*"], [rng.choice(distinct)]]
    for _ in range(rng.randint(2, 5)):
        k = rng.randint(1, max(1, len(distinct) - 1))
        pw = rng.sample(distinct, min(k, len(distinct)))
        pw += rng.sample(pw, rng.randint(0, min(2, len(pw))))  # repeated genes
        pw += ["absent%d" % rng.randint(0, 9) for _ in range(rng.randint(0, 2))]
        rng.shuffle(pw)
        pathways.append(pw)
    for pw in pathways:
        genes = distinct if pw == ["*"] else pw
        hits = sorted({index[g] for g in genes if g in index})
        out.append("path %d %s" % (len(pw), " ".join(pw)))
        out.append("hits %d %s" % (len(hits), " ".join(map(str, hits))))
        for st in (STD, POS, NEG):
            es, peak = es_walk(ranks, hits, n, st)
            le = leading_edge(hits, peak, st, es)
            out.append("%s %s %d %d %s" % (SCORE_TYPE_NAMES[st], hx(es), peak, len(le),
                                           " ".join(map(str, le))))
    out.append("end")


def bh_case(rng, out, case_no):
    m = rng.choice([1, 2, 3, 5, 8, 20, 50])
    pool = [rng.random() for _ in range(3)]
    pv = []
    for _ in range(m):
        r = rng.random()
        if r < 0.1:
            pv.append(math.nan)
        elif r < 0.13:
            pv.append(rng.choice([math.inf, -math.inf]))
        elif r < 0.3:
            pv.append(rng.choice(pool))  # ties
        elif r < 0.35:
            pv.append(rng.choice([0.0, 1.0, 1e-300, 5e-324]))
        else:
            pv.append(rng.random() ** 3)
    padj = bh(pv)
    out.append("bh %d %s" % (m, " ".join(hx(x) for x in pv)))
    out.append("padj " + " ".join("-" if a is None else hx(a) for a in padj))


def display(x):
    # The shortest round-trip digits (repr) laid out without exponent or ".0".
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    s = format(Decimal(repr(x)), "f")
    if s.endswith(".0"):
        s = s[:-2]
    if "." in s:
        s = s.rstrip("0").rstrip(".")
    return s


def format_values(rng):
    vals = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e23, 1e-7, 150.0, 0.1, 0.3,
            5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
            1.7976931348623157e308, 2.0 ** 53, 2.0 ** 53 + 2, 2.0 ** 63, 2.0 ** 64,
            9007199254740993.0, 123456.789, 1.5e-10, 1e21, 1e22, 0.5, 1.0 / 3.0]
    vals += [10.0 ** e for e in range(-20, 24)]
    vals += [float(rng.randrange(10 ** rng.randint(1, 22))) for _ in range(60)]
    vals += [rng.choice([-1, 1]) * rng.random() * 10.0 ** rng.randint(-30, 30) for _ in range(120)]
    vals += [round(rng.uniform(-1000, 1000), rng.randint(0, 6)) for _ in range(60)]
    while len(vals) < 400:  # random bit patterns: every exponent, subnormals included
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if rng.random() < 0.15:
            x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(52)))[0]
        vals.append(x)
    return vals


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")
    rng = random.Random(20240611)
    lines = ["# tools/gen_core_fixtures.py: ranking, weights, hits, ES/peak, leading edge, BH"]
    for c in range(300):
        core_case(rng, lines, c)
    for c in range(120):
        bh_case(rng, lines, c)
    with open(os.path.join(out_dir, "core_cases.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    flines = ["# tools/gen_core_fixtures.py: value (repr) and its display text"]
    for x in format_values(rng):
        flines.append("%s %s" % (hx(x), display(x)))
    with open(os.path.join(out_dir, "format_f64.txt"), "w") as f:
        f.write("\n".join(flines) + "\n")


if __name__ == "__main__":
    main()
