"""Mode "blitz" through run_gsea_py: its checks, defaults, result order,
reproducibility and the model cache."""
import math
import os
import subprocess
import sys
import textwrap

import pytest

from tarvelopy import run_gsea_py

# Small calibration settings keep each call fast.
FAST = {"mode": "blitz", "nPermSimple": 200, "blitz_anchors": 6}


def ranking(n=300):
    # Distinct, well spread scores; deterministic.
    return {f"G{i:04d}": math.sin(i * 0.7) * 3.0 + (n - i) / n for i in range(n)}


@pytest.fixture
def blitz_gmt(write_gmt):
    lines = []
    for p in range(24):
        size = 4 + (p * 5) % 40
        genes = [f"G{(p * 37 + j * (3 + p % 4)) % 300:04d}" for j in range(size)]
        name = ("zeta" if p % 3 == 0 else "Zeta" if p % 3 == 1 else "alpha") + str(p % 5)
        lines.append("\t".join([name, "d"] + genes))
    return write_gmt("\n".join(lines) + "\n")


def test_checks_run_in_order(blitz_gmt):
    r = ranking()
    cases = [
        ({"gpu": True, "method": "decor", "nperm": 1, "scoreType": "pos", "gseaParam": 2.0,
          "decor_cache": "c"}, "gpu is not supported with mode='blitz'."),
        ({"method": "decor", "nperm": 1, "scoreType": "pos", "gseaParam": 2.0, "decor_cache": "c"},
         "mode='blitz' supports only method='classic'."),
        ({"nperm": 1, "scoreType": "pos", "gseaParam": 2.0, "decor_cache": "c"},
         "nperm is not supported with mode='blitz'."),
        ({"scoreType": "pos", "gseaParam": 2.0, "decor_cache": "c"},
         "mode='blitz' supports only scoreType='std'."),
        ({"gseaParam": 2.0, "decor_cache": "c"}, "mode='blitz' supports only gseaParam=1.0."),
        ({"decor_expression": "e"}, "decor arguments require method='decor'."),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as info:
            run_gsea_py(r, blitz_gmt, **FAST, **kwargs)
        assert str(info.value) == message


def test_gsea_param_tolerance_and_ignored_decor_arguments(blitz_gmt):
    r = ranking()
    base = run_gsea_py(r, blitz_gmt, **FAST)
    assert run_gsea_py(r, blitz_gmt, **FAST, gseaParam=1.0 + 2**-52) == base
    with pytest.raises(ValueError, match="supports only gseaParam=1.0"):
        run_gsea_py(r, blitz_gmt, **FAST, gseaParam=1.0 + 2**-51)
    nan = run_gsea_py(r, blitz_gmt, **FAST, gseaParam=math.nan, decor_preset="bogus",
                      decor_cache_mode="bogus")
    assert nan == base


def test_result_shape_order_and_defaults(blitz_gmt):
    res = run_gsea_py(ranking(), blitz_gmt, **FAST)
    assert res
    keys = [(d["pval"], d["pathway"].encode()) for d in res]
    assert keys == sorted(keys)
    for d in res:
        assert d["size"] >= 5  # minSize None means 5
        assert d["log2err"] is None
        assert isinstance(d["nes"], float)
        assert d["padj"] >= d["pval"]
        assert 0.0 <= d["pval"] <= 1.0
        assert set(d["leading_edge"]) <= {f"G{i:04d}" for i in range(300)}
    small = run_gsea_py(ranking(), blitz_gmt, **FAST, minSize=4)
    assert min(d["size"] for d in small) == 4


def test_max_size_default_is_4000(write_gmt):
    r = {f"H{i}": float(i % 97) - 48.5 + i * 1e-6 for i in range(4100)}
    gmt = write_gmt("big\t\t" + "\t".join(f"H{i}" for i in range(4000)) + "\n"
                    "bigger\t\t" + "\t".join(f"H{i}" for i in range(4001)) + "\n")
    res = run_gsea_py(r, gmt, mode="blitz", nPermSimple=20, blitz_anchors=3)
    assert [d["pathway"] for d in res] == ["big"]


def test_seed_and_nproc_defaults_and_reproducibility(blitz_gmt):
    r = ranking()
    kw = dict(FAST, blitz_signature_cache=False)
    first = run_gsea_py(r, blitz_gmt, **kw)
    assert run_gsea_py(r, blitz_gmt, **kw) == first
    assert run_gsea_py(r, blitz_gmt, **kw, seed=0, nproc=4) == first
    assert run_gsea_py(r, blitz_gmt, **kw, seed=0, nproc=1) != first
    seeded = run_gsea_py(r, blitz_gmt, **kw, seed=12345, nproc=2)
    assert run_gsea_py(r, blitz_gmt, **kw, seed=12345, nproc=2) == seeded


def test_engine_error_is_runtime_error(write_gmt):
    gmt = write_gmt("p\t\tA\n")
    with pytest.raises(RuntimeError) as info:
        run_gsea_py({"A": 1.0}, gmt, mode="blitz")
    assert str(info.value) == "blitz calibration produced no valid anchor set sizes."
    # No pathways: an empty result, no calibration.
    assert run_gsea_py({"A": 1.0}, write_gmt("\n"), mode="blitz") == []


def test_model_cache_hit_is_reported(blitz_gmt):
    script = textwrap.dedent(f"""
        import math
        from tarvelopy import run_gsea_py
        r = {{f"G{{i:04d}}": math.sin(i * 0.7) * 3.0 + (300 - i) / 300 for i in range(300)}}
        a = run_gsea_py(r, {blitz_gmt!r}, mode="blitz", nPermSimple=100, blitz_anchors=4)
        b = run_gsea_py(r, {blitz_gmt!r}, mode="blitz", nPermSimple=100, blitz_anchors=4,
                        minSize=6, blitz_deep_accuracy=40)
        c = run_gsea_py(r, {blitz_gmt!r}, mode="blitz", nPermSimple=100, blitz_anchors=4,
                        blitz_symmetric=True)
    """)
    env = dict(os.environ, TARVELO_BLITZ_TIMINGS="")
    proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    hits = [l.split("\t")[2] for l in lines if l.split("\t")[1] == "model_cache_hit"]
    assert hits == ["0", "1", "0"]
    assert all(l.startswith("TARVELO_BLITZ_TIMING\t") for l in lines)
    assert len(lines) == 27
    first = [l.split("\t")[1] for l in lines[:9]]
    assert first == ["prepare_signature", "clean_pathways", "estimate_model", "model_cache_hit",
                     "model_param_cache", "final_es_leading_edge_gamma", "gamma_cdf_calls",
                     "gamma_fallback_calls", "bh_and_sort"]


def test_huge_counts_fail_cleanly_or_stay_cheap(blitz_gmt):
    r = ranking()
    with pytest.raises(MemoryError):
        run_gsea_py(r, blitz_gmt, mode="blitz", nPermSimple=2**50)
    # A huge anchor count means every size up to the largest pathway, once.
    res = run_gsea_py(r, blitz_gmt, mode="blitz", nPermSimple=50, blitz_anchors=2**63,
                      nproc=100000)
    assert res
