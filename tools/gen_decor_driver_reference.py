#!/usr/bin/env python3
"""End-to-end reference of the decor method's permutation variant ("simple"),
transcribed in CPython with the random sets that R drew
(tests/data/decor_r_draws.tsv, from tools/gen_decor_r_fixtures.R) and scipy's
trigamma for log2err.

Writes tests/data/decor_driver_case.tsv: the inputs (gene, pathway and cache
lines), the runs, and the expected result rows (doubles as float.hex()).
"""
import math
import os
import sys

from scipy.special import polygamma

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gen_decor_engine_fixtures import FORMULAS, penalty, seed32  # noqa: E402
from refcommon import NEG, POS, STD, Tally, bh, es_walk, integer_weights, leading_edge  # noqa: E402

N = 40
GENES = ["g%02d" % i for i in range(1, N + 1)]
# Distinct scores from 9.5 down to -9.25, one of them zero (weight 0).
SCORES = [round(9.5 - i * 0.5 - (0.25 if i % 7 == 3 else 0.0), 2) for i in range(N)]
SCORES[19] = 0.0
PATHWAYS = [
    ("P_top", ["g01", "g02", "g04"]),
    ("P_mid", ["g10", "g20", "g30"]),
    ("P_mix", ["g03", "g05", "g05", "g07", "zz_unranked", "g15", "g22", "g38", "g40", "g11"]),
    ("P_low", ["g36", "g37", "g38", "g39", "g40"]),
    ("P_nocache", ["g01", "g02", "g03"]),
    ("P_one", ["g09"]),
    ("P_alsotop", ["g02", "g03", "g06"]),
]
# Cache entries: (pathway, genes, redundancies); values are exact in float32.
CACHE = [
    ("P_top", ["g01", "g02", "g04"], [0.5, 0.03125, 0.0]),
    ("P_mid", ["g10", "g20", "g30"], [0.25, 0.75, 0.125]),
    # g11 has no value in the cache, so it is no hit; zz_unranked is not ranked.
    ("P_mix", ["g03", "g05", "g07", "zz_unranked", "g15", "g22", "g38", "g40"],
     [0.0625, 0.375, 1.0, 0.5, 0.046875, 0.0, 0.25, 0.8125]),
    ("P_low", ["g36", "g37", "g38", "g39", "g40"], [0.0, 0.015625, 0.5, 0.25, 0.0]),
    ("P_one", ["g09"], [0.25]),
    ("P_alsotop", ["g02", "g03", "g06"], [0.125, 0.0, 0.0625]),
]
# label, formula, alpha, threshold, score type, nperm, seed, eps
RUNS = [
    ("balanced_std", 5, 60.0, 0.04, 0, 30, 42, 1e-50),
    ("strict_pos", 3, 2.3025850929940455, 0.0, 1, 30, 42, 1e-50),
    ("raw_neg_eps", 0, 22.0, 0.0, 2, 30, 42, 0.1),
]


def load_draws(path):
    draws = {}
    with open(path) as fh:
        for line in fh:
            s, n, k, d, v = line.rstrip("\n").split("\t")
            draws.setdefault((int(s), int(n), int(k)), []).append([int(x) for x in v.split(";")])
    return draws


def trigamma(x):
    return float(polygamma(1, x))


def run(draws, formula, alpha, threshold, st, nperm, seed, eps):
    order = sorted(range(N), key=lambda i: -SCORES[i])
    assert order == list(range(N))
    ranks = [float(w) for w in integer_weights(SCORES, 1.0)[1]]
    index = {g: i for i, g in enumerate(GENES)}
    cache = {p: dict(zip(g, r)) for p, g, r in CACHE}
    scores = sorted(v for _, _, r in CACHE for v in r)
    floor_p = min(max(eps, 0.0), 1.0)
    work = []
    for name, genes in PATHWAYS:
        entry = cache.get(name)
        if entry is None:
            continue
        hits = sorted({index[g]: entry[g] for g in genes if g in index and g in entry}.items())
        if not (1 <= len(hits) <= N - 1):
            continue
        pos = [h for h, _ in hits]
        w = [penalty(formula, alpha, 1.0, threshold, 0.0, 1e-12, scores, r) for _, r in hits]
        es, peak = es_walk(ranks, pos, N, st, w)
        work.append(dict(name=name, hits=pos, w=w, es=es, peak=peak))
    for wk in work:
        k = len(wk["hits"])
        samples = draws[(seed32("group", k, seed), N, k)][:nperm]
        assert len(samples) == nperm
        es = wk["es"]
        t = Tally(es, [es_walk(ranks, sorted(x - 1 for x in smp), N, st, wk["w"])[0]
                       for smp in samples])
        nes = t.nes(st, es)
        pval = math.nan
        if nes is not None:
            pval = max(t.pval(), floor_p)
        if st == POS or (st == STD and es > 0): kk, nn = t.ge_es, t.ge_zero
        elif st == NEG or (st == STD and es < 0): kk, nn = t.le_es, t.le_zero
        else: kk, nn = t.le_es, t.ge_zero
        log2err = None
        if nn != 0 and math.isfinite(pval) and nperm != 0:
            log2err = math.sqrt(trigamma(kk + 1.0) - trigamma(nperm + 1.0)) * 1.4426950408889634
        wk.update(nes=nes, pval=pval, log2err=log2err,
                  le=[GENES[h] for h in leading_edge(wk["hits"], wk["peak"], st, es)])
    for wk, padj in zip(work, bh([wk["pval"] for wk in work])):
        wk["padj"] = padj
    return sorted(work, key=lambda wk: wk["name"].encode())


def hx(x):
    return "NONE" if x is None else float(x).hex()


def main(out):
    draws = load_draws("tests/data/decor_r_draws.tsv")
    lines = []
    for g, s in zip(GENES, SCORES):
        lines.append("gene\t%s\t%s" % (g, hx(s)))
    for name, genes in PATHWAYS:
        lines.append("pathway\t%s\t%s" % (name, ";".join(genes)))
    for name, genes, red in CACHE:
        lines.append("cache\t%s\t%s\t%s" % (name, ";".join(genes), ";".join(hx(v) for v in red)))
    for label, formula, alpha, threshold, st, nperm, seed, eps in RUNS:
        lines.append("run\t%s\t%s\t%s\t%s\t%d\t%d\t%d\t%s" % (
            label, FORMULAS[formula], hx(alpha), hx(threshold), st, nperm, seed, hx(eps)))
        for wk in run(draws, formula, alpha, threshold, st, nperm, seed, eps):
            lines.append("\t".join(["result", label, wk["name"], str(len(wk["hits"])), hx(wk["es"]),
                                    hx(wk["nes"]), hx(wk["pval"]), hx(wk.get("padj")),
                                    hx(wk["log2err"]), ";".join(wk["le"])]))
    with open(out, "w") as fh:
        fh.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/decor_driver_case.tsv")
