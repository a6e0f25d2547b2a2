#!/usr/bin/env python3
"""Mode "blitz" on the shared example data: a cold call (calibration) and a
warm call (model cache hit), with nproc 1 and 4. Prints medians.

Each nproc runs in its own interpreter: the first call that passes nproc
sizes the process-wide pool on which the calibration runs, for the rest of
the process.

Usage: python3 bench/bench_blitz.py [ranks.tsv] [pathways.gmt] [repeats]
"""
import os
import statistics
import subprocess
import sys

from benchutil import DATA_DIR, read_ranks, timed
from tarvelopy import run_gsea_py

RANKS = sys.argv[1] if len(sys.argv) > 1 else os.path.join(DATA_DIR, "a_ranks.tsv")
GMT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(DATA_DIR, "go_bp.gmt")
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 5


def stage_times(ranks, nproc, seed):
    """Stage lines of one call, from a child interpreter with timing on."""
    code = ("import sys; sys.path[:0] = %r; from bench_blitz import *; "
            "run_gsea_py(read_ranks(%r), %r, mode='blitz', nproc=%d, seed=%d)"
            % ([os.path.dirname(os.path.abspath(__file__))] + sys.path, RANKS, GMT, nproc, seed))
    env = dict(os.environ, TARVELO_BLITZ_TIMINGS="")
    err = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                         text=True).stderr
    return {l.split("\t")[1]: l.split("\t")[2] for l in err.splitlines()
            if l.startswith("TARVELO_BLITZ_TIMING")}


def main():
    if len(sys.argv) > 4 and sys.argv[4] == "--child":
        return child(int(sys.argv[5]))
    print(f"ranks {RANKS}, pathways {GMT}, repeats {REPEATS}")
    for nproc in (1, 4):
        subprocess.run([sys.executable, os.path.abspath(__file__), RANKS, GMT, str(REPEATS),
                        "--child", str(nproc)], check=True)
        stages = stage_times(None, nproc, 99)
        print("  stages of one cold call: " +
              ", ".join(f"{k} {v}" for k, v in stages.items()))


def child(nproc):
    ranks = read_ranks(RANKS)
    for _ in (0,):
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
        print(f"genes {len(ranks)}, nproc {nproc}: cold median {statistics.median(cold):.3f} s "
              f"(min {min(cold):.3f}), warm median {statistics.median(warm):.3f} s "
              f"(min {min(warm):.3f}); {len(res)} results")


if __name__ == "__main__":
    main()
