#!/usr/bin/env python3
"""Mode "blitz" on the shared example data: a cold call (calibration) and a
warm call (model cache hit), with nproc 1 and 4. Prints medians.

Usage: python3 bench/bench_blitz.py [ranks.tsv] [pathways.gmt] [repeats]
"""
import statistics
import sys
import time

from tarvelopy import run_gsea_py

RANKS = sys.argv[1] if len(sys.argv) > 1 else "/work/shared/data/a_ranks.tsv"
GMT = sys.argv[2] if len(sys.argv) > 2 else "/work/shared/data/go_bp.gmt"
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 5


def read_ranks(path):
    ranks = {}
    with open(path) as f:
        next(f)
        for line in f:
            gene, score = line.rstrip("\n").split("\t")
            ranks[gene] = float(score)
    return ranks


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def main():
    ranks = read_ranks(RANKS)
    print(f"genes {len(ranks)}, repeats {REPEATS}")
    for nproc in (1, 4):
        # Cold: a fresh seed each time is a new cache key, so every call calibrates.
        cold = []
        for i in range(REPEATS):
            t, res = timed(lambda: run_gsea_py(ranks, GMT, mode="blitz", nproc=nproc,
                                               seed=1000 + 10 * nproc + i))
            cold.append(t)
        warm = []
        run_gsea_py(ranks, GMT, mode="blitz", nproc=nproc, seed=7)
        for _ in range(REPEATS):
            t, res = timed(lambda: run_gsea_py(ranks, GMT, mode="blitz", nproc=nproc, seed=7))
            warm.append(t)
        print(f"nproc {nproc}: cold median {statistics.median(cold):.3f} s "
              f"(min {min(cold):.3f}), warm median {statistics.median(warm):.3f} s "
              f"(min {min(warm):.3f}); {len(res)} results")


if __name__ == "__main__":
    main()
