"""Input costs of run_gsea_py: ranks conversion and the GMT read.

A call with an invalid scoreType stops right after the ranked list and the
pathways are built, so its time is the input cost. Median of 15 runs.
"""
import os
import statistics
import tempfile
import time

import tarvelopy
from benchutil import read_ranks

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "examples", "data")


def median_ms(ranks, gmt, runs=15):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        try:
            tarvelopy.run_gsea_py(ranks, gmt, scoreType="?")
        except ValueError:
            pass
        times.append((time.perf_counter() - t) * 1e3)
    return statistics.median(times)


def main():
    gmt = os.path.join(DATA, "go_bp.gmt")
    ranks = read_ranks(os.path.join(DATA, "a_ranks.tsv"))
    with tempfile.NamedTemporaryFile(suffix=".gmt") as empty:
        both = median_ms(ranks, gmt)
        gmt_only = median_ms({}, gmt)
        ranks_only = median_ms(ranks, empty.name)
    mb = os.path.getsize(gmt) / 1e6
    print(f"ranks ({len(ranks)} genes) + GMT ({mb:.1f} MB): {both:.2f} ms")
    print(f"GMT read alone: {gmt_only:.2f} ms ({mb / gmt_only * 1e3:.0f} MB/s)")
    print(f"ranks conversion and ranked list alone: {ranks_only:.2f} ms")

    start = time.perf_counter()
    res = tarvelopy.run_gsea_py(ranks, gmt, seed=42)
    print(f"full default-mode call: {(time.perf_counter() - start) * 1e3:.0f} ms, "
          f"{len(res)} results")


if __name__ == "__main__":
    main()
