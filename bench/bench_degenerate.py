#!/usr/bin/env python3
"""Default mode ("ruvex") on inputs whose multilevel refinement stalls:

- a pathway of every gene but the top-ranked one (score -1) over the first N
  genes of a_ranks.tsv, N = 250, 500, 1000;
- the genes of a_ranks.tsv in file order with every score 0.0, against the
  first 300 GO BP sets of go_bp.gmt.

Prints the median time of several runs, the thread count and the p-values'
range (they must lie in [0, 1]).

Usage: PYTHONPATH=<dir of the built module> python3 bench/bench_degenerate.py
       [--data DIR] [--runs N] [--nproc N] [--sets N]
"""
import argparse
import os
import statistics
import tempfile
import time

import tarvelopy
from benchutil import DATA_DIR, read_ranks


def timed_runs(runs, fn):
    times, res = [], None
    for _ in range(runs):
        t0 = time.perf_counter()
        res = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default=DATA_DIR)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--nproc", type=int, default=1)
    ap.add_argument("--sets", type=int, default=300)
    a = ap.parse_args()
    ranks = read_ranks(os.path.join(a.data, "a_ranks.tsv"))
    genes = list(ranks)
    print(f"nproc {a.nproc}, runs {a.runs}")
    with tempfile.TemporaryDirectory() as d:
        for n in (250, 500, 1000):
            sub = {g: ranks[g] for g in genes[:n]}
            top = max(sub, key=sub.get)
            path = os.path.join(d, f"almost{n}.gmt")
            with open(path, "w") as f:
                f.write("ALMOST\t\t" + "\t".join(g for g in sub if g != top) + "\n")
            t, res = timed_runs(a.runs, lambda: tarvelopy.run_gsea_py(sub, path, seed=1, nproc=a.nproc))
            print(f"all genes but the top one, N = {n:4d}: median {t:7.3f} s; es {res[0]['es']}, "
                  f"pval {res[0]['pval']:.3g}")
        zeros = {g: 0.0 for g in genes}
        path = os.path.join(d, "go.gmt")
        with open(os.path.join(a.data, "go_bp.gmt")) as src, open(path, "w") as out:
            for i, line in enumerate(src):
                if i >= a.sets:
                    break
                out.write(line)
        t, res = timed_runs(a.runs, lambda: tarvelopy.run_gsea_py(zeros, path, seed=1, nproc=a.nproc))
        p = [r["pval"] for r in res]
        print(f"all-zero ranking, {a.sets} GO sets: median {t:7.3f} s; {len(res)} sets, "
              f"pval in [{min(p):.3g}, {max(p):.3g}]")


if __name__ == "__main__":
    main()
