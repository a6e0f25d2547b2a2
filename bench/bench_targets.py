#!/usr/bin/env python3
"""The speed figures the engine is held to, for two builds in one run.

Each workload runs in a fresh process (nproc sizes the worker pool once per
process), the builds alternating run by run so that both see the same machine
load; the median of the runs is printed per build. A run that exceeds the
timeout is reported as such.

Workloads (dataset A: a_ranks.tsv x go_bp.gmt, 8,500 genes x 5,419 sets):
  ruvex1, ruvex2      default mode, nproc 1 and 2
  simple10k           mode "simple", nperm 10,000, nproc 1
  simple100k          mode "simple", nperm 100,000, nproc 2
  classic8, decor8    default mode, method classic and "decor" (reused cache
                      built from a_expression.tsv.gz), nproc 8
  almost1000          default mode, one pathway of every gene but the top one
                      among the first 1,000 genes (es = -1), nproc 1
  zeros300            default mode, every score 0.0, the first 300 sets, nproc 1

Usage: python3 bench/bench_targets.py --build NAME=DIR [--build NAME=DIR ...]
       [--runs 3] [--timeout 120] [--only ruvex1,simple10k,...]
DIR holds the built module (tarvelopy*.so).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(os.path.dirname(HERE), "examples", "data")

# One workload: the Python body run in the child; it prints nothing.
PRELUDE = """
import os, sys, tarvelopy
sys.path.insert(0, {here!r})
from benchutil import read_ranks
DATA, TMP = {data!r}, {tmp!r}
ranks = read_ranks(os.path.join(DATA, "a_ranks.tsv"))
gmt = os.path.join(DATA, "go_bp.gmt")
"""
WORKLOADS = {
    "ruvex1": "tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=1)",
    "ruvex2": "tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=2)",
    "simple10k": "tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=1, mode='simple', nperm=10000)",
    "simple100k": "tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=2, mode='simple', nperm=100000)",
    "classic8": "tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=8)",
    "decor8": ("tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=8, method='decor', "
               "decor_cache=os.path.join(TMP, 'decor.tsv.gz'), decor_cache_mode='reuse')"),
    "almost1000": ("sub = dict(list(ranks.items())[:1000]); top = max(sub, key=sub.get)\n"
                   "p = os.path.join(TMP, 'almost.gmt')\n"
                   "open(p, 'w').write('ALMOST\\t\\t' + '\\t'.join(g for g in sub if g != top) + '\\n')\n"
                   "tarvelopy.run_gsea_py(sub, p, seed=1, nproc=1)"),
    "zeros300": ("p = os.path.join(TMP, 'go300.gmt')\n"
                 "open(p, 'w').write(''.join(open(gmt).readlines()[:300]))\n"
                 "tarvelopy.run_gsea_py({g: 0.0 for g in ranks}, p, seed=1, nproc=1)"),
}
# Run once per build before timing, untimed: the decor cache.
SETUP = {
    "decor8": ("tarvelopy.run_gsea_py(ranks, gmt, seed=1, nproc=8, method='decor', mode='simple', "
               "nperm=10, decor_cache=os.path.join(TMP, 'decor.tsv.gz'), "
               "decor_expression=os.path.join(DATA, 'a_expression.tsv.gz'))"),
}


def run_child(module_dir, tmp, body, timeout):
    """Seconds of body in a fresh interpreter, or None past the timeout."""
    code = PRELUDE.format(here=HERE, data=DATA, tmp=tmp) + "import time\nt0 = time.perf_counter()\n"
    code += body + "\nprint(time.perf_counter() - t0)\n"
    env = dict(os.environ, PYTHONPATH=module_dir)
    try:
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                             timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as e:
        raise SystemExit(f"workload failed in {module_dir}:\n{e.stderr}")
    return float(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", action="append", required=True, help="NAME=DIR")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--timeout", type=float, default=120.0)
    ap.add_argument("--only", default=",".join(WORKLOADS))
    a = ap.parse_args()
    builds = [b.split("=", 1) for b in a.build]
    names = a.only.split(",")
    print(f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f}, {a.runs} runs, median seconds")
    print("workload      " + "".join(f"{n:>14}" for n, _ in builds))
    for w in names:
        times = {n: [] for n, _ in builds}
        with tempfile.TemporaryDirectory() as tmp:
            dirs = {n: os.path.join(tmp, n) for n, _ in builds}
            for n, d in builds:
                os.makedirs(dirs[n])
                if w in SETUP:
                    run_child(d, dirs[n], SETUP[w], None)
            for _ in range(a.runs):
                for n, d in builds:
                    times[n].append(run_child(d, dirs[n], WORKLOADS[w], a.timeout))
        cells = []
        for n, _ in builds:
            done = [t for t in times[n] if t is not None]
            cells.append(f"> {a.timeout:.0f}" if len(done) < len(times[n]) else
                         f"{statistics.median(done):.3f}")
        print(f"{w:<14}" + "".join(f"{c:>14}" for c in cells), flush=True)


if __name__ == "__main__":
    t0 = time.time()
    main()
    print(f"({time.time() - t0:.0f} s)")
