"""Helpers shared by the Python benchmarks: the example data and timing."""
import os
import time

# The example data: a_ranks.tsv, go_bp.gmt, a_expression.tsv.gz.
DATA_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "data")


def read_ranks(path):
    """A ranking file (a header line, then gene<TAB>score) as {gene: score}."""
    ranks = {}
    with open(path) as f:
        next(f)
        for line in f:
            gene, score = line.rstrip("\n").split("\t")
            ranks[gene] = float(score)
    return ranks


def timed(fn):
    """(seconds, result) of one call of fn."""
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out
