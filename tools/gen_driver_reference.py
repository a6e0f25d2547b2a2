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
import os
import sys

import mpmath

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refcommon import NEG, POS, SCORE_TYPE_NAMES, STD, Tally, es_walk, integer_weights, rank  # noqa: E402

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


def trigamma(x):
    return mpmath.polygamma(1, mpmath.mpf(x))


def main():
    mpmath.mp.dps = 50
    genes, scores, pathway, nperm, samples = read_fixture()
    # Stable sort, score descending; the weights are |score|^1 scaled to about
    # 2^30, rounded half to even.
    order = rank(scores)
    ranks = [float(w) for w in integer_weights([scores[i] for i in order], 1.0)[1]]
    n = len(genes)
    pos = {genes[i]: r for r, i in enumerate(order)}
    hits = sorted({pos[g] for g in pathway if g in pos})
    rows = []
    for st in (STD, POS, NEG):
        es = es_walk(ranks, hits, n, st)[0]
        t = Tally(es, [es_walk(ranks, sorted(x - 1 for x in s), n, st)[0] for s in samples])
        nes = t.nes(st, es)
        pval = math.nan
        log2err = None
        if nes is not None:
            pval = t.pval()
        if st == POS or (st == STD and es > 0.0):
            k = t.ge_es
        else:
            k = t.le_es
        if math.isfinite(pval):
            v = mpmath.sqrt(trigamma(k + 1) - trigamma(nperm + 1)) / mpmath.log(2)
            log2err = float(v)
        rows.append((SCORE_TYPE_NAMES[st], es, nes, pval, log2err, t.le_es, t.ge_es,
                     t.le_zero, t.ge_zero, t.le_sum, t.ge_sum))
    with open(DST, "w") as f:
        f.write("# score_type\tes\tnes\tpval\tlog2err\tle_es\tge_es\tle_zero\tge_zero"
                "\tle_zero_sum\tge_zero_sum  (floats as hex; '-' = absent)\n")
        for r in rows:
            fl = lambda x: "-" if x is None else float(x).hex()
            f.write("\t".join([r[0], fl(r[1]), fl(r[2]), fl(r[3]), fl(r[4])] +
                              [str(x) for x in r[5:9]] + [fl(r[9]), fl(r[10])]) + "\n")


if __name__ == "__main__":
    main()
