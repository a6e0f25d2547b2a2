#!/usr/bin/env python3
"""Method "decor" on the shared real data: 8,500 ranked genes, 5,419 GO BP sets
and the 8,500 x 79 expression matrix (examples/data, see its README).

For modes "simple" (nperm permutations) and "ruvex" (nPermSimple permutations
with multilevel refinement), times a cold call (the cache is built from the
matrix and written) and a warm call (the cache file is read and reused), and
prints the median of several runs with the thread count. With --classic, also
times the classic method's default mode on the same data, and the warm decor
default against it.

Usage: PYTHONPATH=<dir of the built module> python3 bench/bench_decor.py
       [--data DIR] [--runs N] [--nperm N] [--nproc N] [--classic]
"""
import argparse
import os
import statistics
import tempfile
import time

import tarvelopy
from benchutil import DATA_DIR, read_ranks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default=DATA_DIR)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--nperm", type=int, default=1000)
    ap.add_argument("--nproc", type=int, default=0)
    ap.add_argument("--classic", action="store_true")
    a = ap.parse_args()
    ranks = read_ranks(os.path.join(a.data, "a_ranks.tsv"))
    gmt = os.path.join(a.data, "go_bp.gmt")
    expr = os.path.join(a.data, "a_expression.tsv.gz")
    print(f"genes {len(ranks)}, nproc {a.nproc or os.cpu_count()} (cpu count {os.cpu_count()}), "
          f"nperm {a.nperm}, runs {a.runs}")
    warm = {}
    with tempfile.TemporaryDirectory() as d:
        for mode in ["simple", "ruvex"]:
            kw = dict(method="decor", mode=mode, seed=1, nproc=a.nproc, decor_expression=expr)
            if mode == "simple":
                kw["nperm"] = a.nperm
            else:
                kw["nPermSimple"] = a.nperm
            for state in ["cold", "warm"]:
                times = []
                for r in range(a.runs):
                    cache = os.path.join(d, f"{mode}.tsv.gz")
                    if state == "cold" and os.path.exists(cache):
                        os.remove(cache)
                    t0 = time.perf_counter()
                    res = tarvelopy.run_gsea_py(ranks, gmt, decor_cache=cache, **kw)
                    times.append(time.perf_counter() - t0)
                warm[mode] = statistics.median(times)
                sig = sum(1 for x in res if x["padj"] is not None and x["padj"] < 0.05)
                print(f"{mode:7s} {state}: median {statistics.median(times):7.3f} s "
                      f"(runs {', '.join(f'{t:.3f}' for t in times)}); {len(res)} sets, "
                      f"{sig} with padj < 0.05")
    if a.classic:
        times = []
        for r in range(a.runs):
            t0 = time.perf_counter()
            tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=a.nproc)
            times.append(time.perf_counter() - t0)
        c = statistics.median(times)
        print(f"classic ruvex: median {c:7.3f} s (runs {', '.join(f'{t:.3f}' for t in times)}); "
              f"decor ruvex warm / classic = {warm['ruvex'] / c:.2f}")


if __name__ == "__main__":
    main()
