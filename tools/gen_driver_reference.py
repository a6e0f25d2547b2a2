#!/usr/bin/env python3
"""Independent reference for one end-to-end run of the engine on one pathway.

Reads tests/data/driver_single_path.tsv (written by tools/gen_driver_fixtures.R:
the ranked scores, one pathway, and the positions R's L'Ecuyer-CMRG stream
draws for every permutation) and transcribes, in plain CPython floats, what
the engine does with them in mode "simple": integer weights, the observed
enrichment score, the score of every random set, the counts, the normalised
score, the p-value and its log2 error (trigamma from mpmath at 50 digits).
Writes tests/data/driver_single_path_expected.tsv with exact hex floats, one
line per score type.

Usage: python3 tools/gen_driver_reference.py   (from the repository root)
"""
import math

import mpmath

SRC = "tests/data/driver_single_path.tsv"
DST = "tests/data/driver_single_path_expected.tsv"


def read_fixture():
    with open(SRC) as f:
        lines = [ln.rstrip("\n").split("\t") for ln in f]
    head = {ln[0]: ln[1:] for ln in lines[:6]}
    genes = head["genes"]
    scores = [float(x) for x in head["scores"]]
    pathway = head["pathway"]
    nperm = int(head["nperm"][0])
    samples = [[int(x) for x in ln] for ln in lines[6:]]
    assert len(samples) == nperm
    return genes, scores, pathway, nperm, samples


def prepare(scores):
    # Stable sort, score descending; the weights are |score|^1 scaled to about
    # 2^30, summed left to right (no math.fsum), rounded half to even.
    order = sorted(range(len(scores)), key=lambda i: -scores[i])
    ranked = [scores[i] for i in order]
    w = [math.pow(abs(s), 1.0) for s in ranked]
    total = 0.0
    for x in w:
        total += x
    factor = 1073741824.0 / total
    if factor >= 1.0:
        factor = math.floor(factor)
    scaled = [float(round(x * factor)) for x in w]  # round(): half to even
    return order, scaled


def es_ruvex(ranks, hits, n, score_type):
    k = len(hits)
    nr = 0.0
    for h in hits:
        nr += abs(ranks[h])
    n_minus_k = float(n - k)
    step = 1.0 / k
    max_top, min_bottom = -math.inf, math.inf
    j_max = j_min = 0
    cum = 0.0
    for j, h in enumerate(hits):
        misses = float(h - j)
        if nr != 0.0:
            w = abs(ranks[h])
            cum += w
            top = cum / nr - misses / n_minus_k
            bottom = top - w / nr
        else:
            top = step * float(j + 1) - misses / n_minus_k
            bottom = top - step
        if top > max_top:
            max_top, j_max = top, j
        if bottom < min_bottom:
            min_bottom, j_min = bottom, j
    if score_type == "pos":
        return max_top
    if score_type == "neg":
        return min_bottom
    if max_top == -min_bottom:
        return 0.0
    return max_top if max_top > -min_bottom else min_bottom


def trigamma(x):
    return mpmath.polygamma(1, mpmath.mpf(x))


def main():
    mpmath.mp.dps = 50
    genes, scores, pathway, nperm, samples = read_fixture()
    order, ranks = prepare(scores)
    n = len(genes)
    pos = {genes[i]: r for r, i in enumerate(order)}
    hits = sorted({pos[g] for g in pathway if g in pos})
    rows = []
    for st in ("std", "pos", "neg"):
        es = es_ruvex(ranks, hits, n, st)
        le_es = ge_es = le_zero = ge_zero = 0
        le_sum = ge_sum = 0.0
        for s in samples:
            e = es_ruvex(ranks, sorted(x - 1 for x in s), n, st)
            if e <= es:
                le_es += 1
            if e >= es:
                ge_es += 1
            if e <= 0.0:
                le_zero += 1
                le_sum += e
            if e >= 0.0:
                ge_zero += 1
                ge_sum += e
        le_mean = le_sum / le_zero if le_zero else 0.0
        ge_mean = ge_sum / ge_zero if ge_zero else 0.0
        nes = None
        if st == "std":
            if es > 0.0 and ge_mean != 0.0:
                nes = es / ge_mean
            elif le_mean != 0.0 and es <= 0.0:
                nes = es / abs(le_mean)
        elif st == "pos":
            if ge_mean != 0.0 and es >= 0.0:
                nes = es / ge_mean
        elif le_mean != 0.0 and es <= 0.0:
            nes = es / abs(le_mean)
        pval = math.nan
        log2err = None
        if nes is not None:
            pval = min((le_es + 1.0) / (le_zero + 1.0), (ge_es + 1.0) / (ge_zero + 1.0))
        if st == "pos" or (st == "std" and es > 0.0):
            k = ge_es
        else:
            k = le_es
        if math.isfinite(pval):
            v = mpmath.sqrt(trigamma(k + 1) - trigamma(nperm + 1)) / mpmath.log(2)
            log2err = float(v)
        rows.append((st, es, nes, pval, log2err, le_es, ge_es, le_zero, ge_zero, le_sum, ge_sum))
    with open(DST, "w") as f:
        f.write("# score_type\tes\tnes\tpval\tlog2err\tle_es\tge_es\tle_zero\tge_zero"
                "\tle_zero_sum\tge_zero_sum  (floats as hex; '-' = absent)\n")
        for r in rows:
            fl = lambda x: "-" if x is None else float(x).hex()
            f.write("\t".join([r[0], fl(r[1]), fl(r[2]), fl(r[3]), fl(r[4])] +
                              [str(x) for x in r[5:9]] + [fl(r[9]), fl(r[10])]) + "\n")


if __name__ == "__main__":
    main()
