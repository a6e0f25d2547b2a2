import functools
import math
import os
import tempfile

import pytest

import tarvelopy


@pytest.fixture
def write_gmt(tmp_path):
    """Writes GMT text (str or bytes) to a fresh file and returns its path as str."""
    count = 0

    def write(content):
        nonlocal count
        count += 1
        path = tmp_path / f"sets{count}.gmt"
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return str(path)

    return write


@pytest.fixture
def ranks():
    """Twenty genes G00..G19 with distinct scores from 10 down to -9."""
    return {f"G{i:02d}": 10.0 - i for i in range(20)}


@pytest.fixture
def gmt(write_gmt):
    """Three pathways over the `ranks` genes."""
    return write_gmt(
        "UP\tgenes at the top\tG00\tG01\tG02\tG03\tG05\n"
        "DOWN\t\tG19\tG18\tG17\tG15\n"
        "MIXED\tx\tG00\tG07\tG11\tG19\tG04\tG13\n"
    )


@functools.lru_cache(maxsize=None)
def engine_has_pvalues():
    """False while the engine is the placeholder that computes no p-values."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "probe.gmt")
        with open(path, "w") as f:
            f.write("P1\tprobe\tg0\tg1\tg2\tg3\tg4\n")
        res = tarvelopy.run_gsea_py(
            {f"g{i}": float(30 - i) for i in range(30)}, path, seed=1, nperm=50, mode="simple"
        )
    return any(not math.isnan(r["pval"]) for r in res)


needs_pvalues = pytest.mark.skipif(
    not engine_has_pvalues(), reason="the engine computes no p-values yet"
)


def canonical(results):
    """Results as comparable tuples (NaN compares equal to NaN through repr)."""
    return [tuple((k, repr(r[k])) for k in sorted(r)) for r in results]
