"""Inputs on which the multilevel refinement used to crawl for minutes to
hours: a pathway of every gene but the top one (score -1) and a ranking of
zeros. The default mode must end quickly with p-values in [0, 1] that do not
understate the exact tail."""
import math
import time

from tarvelopy import run_gsea_py


def test_pathway_of_all_genes_but_the_top_one(write_gmt):
    n = 1000
    ranks = {f"G{i:04d}": float(n - i) for i in range(n)}
    path = write_gmt("ALMOST\t\t" + "\t".join(f"G{i:04d}" for i in range(1, n)) + "\n")
    t0 = time.perf_counter()
    (res,) = run_gsea_py(ranks, path, seed=3, nproc=2)
    assert time.perf_counter() - t0 < 30
    assert res["es"] == -1.0
    # Exactly one of the n sets of n - 1 genes scores -1.
    assert 1.0 / n <= res["pval"] <= 1.0


def test_ranking_of_zeros(write_gmt):
    n = 2000
    ranks = {f"G{i:04d}": 0.0 for i in range(n)}
    lines = []
    for j in range(12):
        k = 15 + 7 * j
        # Most genes near the top of the list: with zero weights the score
        # counts positions, and these sets reach the refinement.
        top = [f"G{(3 * i + j) % 400:04d}" for i in range(k // 2)]
        rest = [f"G{(400 + 11 * i + j) % n:04d}" for i in range(k - k // 2)]
        lines.append(f"S{j}\t\t" + "\t".join(dict.fromkeys(top + rest)))
    path = write_gmt("\n".join(lines) + "\n")
    t0 = time.perf_counter()
    res = run_gsea_py(ranks, path, seed=3, nproc=2)
    assert time.perf_counter() - t0 < 30
    assert len(res) == 12
    for r in res:
        assert math.isfinite(r["pval"]) and 0.0 < r["pval"] <= 1.0
    # Refined (below what 1,000 permutations can resolve) yet not absurd.
    assert min(r["pval"] for r in res) < 1e-3
