"""How the module meets its environment: files are replaced whole or not at
all, scores near the float64 limit give errors rather than answers, and
nothing reaches stderr. Runs that change process limits use subprocesses."""
import os
import subprocess
import sys
import textwrap

import pytest

import tarvelopy

run = tarvelopy.run_gsea_py


def run_script(script, *args):
    """Runs a Python script with the module importable and no TARVELO_*
    switches; returns the completed process (stdout, stderr as bytes)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("TARVELO_") and k != "RAYON_NUM_THREADS"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args], env=env,
                          capture_output=True, timeout=300)


# ---- Plots on a full disk ---------------------------------------------------

FULL_DISK = """
    import resource, signal, sys, tarvelopy
    ranks = {f"G{i:02d}": 10.0 - i for i in range(20)}
    # Writes beyond 4 KiB fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
    path = sys.argv[1]
    try:
        if sys.argv[2] == "curve":
            tarvelopy.write_enrichment_plot_png_py(ranks, ["G01", "G03", "G07"], path)
        else:
            tarvelopy.write_gsea_table_plot_png_py(
                ranks, [("UP", ["G00", "G01", "G02"])],
                [dict(pathway="UP", nes=1.5, pval=0.01, padj=0.02)], path)
    except RuntimeError as e:
        print(type(e).__name__, e)
"""


@pytest.mark.parametrize("kind", ["curve", "table"])
def test_plot_on_a_full_disk_keeps_the_old_file(tmp_path, kind):
    target = tmp_path / "plot.png"
    old = bytes(range(256)) * 40  # larger than the limit: it is never rewritten
    target.write_bytes(old)
    p = run_script(FULL_DISK, str(target), kind)
    assert p.returncode == 0, p.stderr
    assert p.stdout.decode().strip() == "RuntimeError File too large (os error 27)"
    assert p.stderr == b""
    assert target.read_bytes() == old
    assert sorted(os.listdir(tmp_path)) == ["plot.png"]

    # Without the limit the new plot replaces the old file, again leaving
    # nothing else behind.
    p = run_script(FULL_DISK.replace("resource.setrlimit", "(lambda *a: None)"), str(target), kind)
    assert p.returncode == 0 and p.stdout == b"", p.stdout + p.stderr
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(os.listdir(tmp_path)) == ["plot.png"]


# ---- Scores and values near the float64 limit -------------------------------

HUGE = {"A": 1.7e308, "B": 1.6e308, "C": -1.0, "D": -2.0, "E": 3.0, "F": 0.5, "G": -0.25}
HUGE_GMT = "P1\tx\tA\tB\tC\tD\tE\nP2\tx\tB\tC\tF\tG\tE\n"


@pytest.fixture
def huge_gmt(tmp_path):
    path = tmp_path / "huge.gmt"
    path.write_text(HUGE_GMT)
    return str(path)


def test_blitz_with_overflowing_scores_raises(huge_gmt):
    kw = dict(mode="blitz", nPermSimple=60, blitz_anchors=3, minSize=2, seed=1, nproc=1)
    with pytest.raises(RuntimeError, match="blitz cannot centre the scores: their mean is not finite"):
        run(HUGE, huge_gmt, **kw)
    with pytest.raises(RuntimeError, match="blitz weights sum to more than half the float64 range"):
        run(HUGE, huge_gmt, blitz_center=False, **kw)
    # Centring that itself overflows a weight.
    with pytest.raises(RuntimeError, match="blitz weight of gene 'A' is not finite"):
        run({"A": 1.7e308, "B": -1.7e308, "C": -1.7e308}, huge_gmt, **kw)


@pytest.mark.parametrize("mode, extra", [("simple", {"nperm": 50}), ("multilevel", {}),
                                         ("ruvex", {})])
def test_classic_engine_with_overflowing_weights_raises(huge_gmt, mode, extra):
    kw = dict(mode=mode, nPermSimple=50, minSize=2, seed=1, **extra)
    with pytest.raises(ValueError, match=r"sum of the weights \|score\|\^gseaParam over all genes overflows"):
        run(HUGE, huge_gmt, **kw)
    small = {g: 1e200 if g == "E" else 1.0 for g in HUGE}
    with pytest.raises(ValueError, match=r"weight \|score\|\^gseaParam of gene 'E' is not finite"):
        run(small, huge_gmt, gseaParam=2.0, **kw)
    # Large scores that do not overflow are scaled to integer weights like
    # any others: halving every score changes nothing.
    quarter = {g: v / 4 for g, v in HUGE.items()}
    eighth = {g: v / 8 for g, v in HUGE.items()}
    assert run(quarter, huge_gmt, **kw) == run(eighth, huge_gmt, **kw)


def decor_files(tmp_path, scale):
    gmt = tmp_path / "sets.gmt"
    gmt.write_text("UP\tx\tG00\tG01\tG02\tG03\tG04\tG05\nMIXED\tx\tG00\tG07\tG11\tG19\tG04\tG13\n")
    rows = ["gene\ts1\ts2\ts3\ts4\ts5"]
    for i in range(24):
        vals = [((i * 7 + j * 3) % 11) - 5.0 + (j if i < 6 else 0) for j in range(5)]
        # The first rows are scaled: with 2**1020 their sums overflow.
        rows.append(f"G{i:02d}\t" + "\t".join(repr(v * (scale if i < 12 else 1.0)) for v in vals))
    expr = tmp_path / f"expr{len(os.listdir(tmp_path))}.tsv"
    expr.write_text("\n".join(rows) + "\n")
    return str(gmt), str(expr)


def test_decor_build_with_values_near_the_limit(tmp_path):
    ranks = {f"G{i:02d}": 12.0 - i for i in range(24)}
    cache = tmp_path / "cache" / "decor.tsv"
    kw = dict(method="decor", mode="simple", nperm=200, seed=3, minSize=2,
              decor_cache=str(cache), decor_cache_mode="rebuild")
    gmt, plain = decor_files(tmp_path, 1.0)
    want = run(ranks, gmt, decor_expression=plain, **kw)
    plain_rows = [l for l in cache.read_text().splitlines() if not l.startswith("#")]
    reused = run(ranks, gmt, decor_expression=plain, **dict(kw, decor_cache_mode="reuse"))

    # Finite values whose sums overflow: the rows are standardised at a
    # scale where they fit, so the cache holds the plain matrix's values.
    _, huge = decor_files(tmp_path, 2.0**1020)
    assert run(ranks, gmt, decor_expression=huge, **kw) == want
    assert [l for l in cache.read_text().splitlines() if not l.startswith("#")] == plain_rows
    assert "NaN" not in cache.read_text()
    # The file written is one the reader accepts: a later call reuses it.
    assert run(ranks, gmt, decor_expression=huge, **dict(kw, decor_cache_mode="reuse")) == reused
    assert sorted(os.listdir(cache.parent)) == ["decor.tsv"]

    # Overflowing ranks fail before the cache is touched.
    cache.unlink()
    with pytest.raises(ValueError, match="overflows"):
        run(dict(ranks, G00=1.7e308, G01=1.7e308), gmt, decor_expression=plain, **kw)
    assert os.listdir(cache.parent) == []
    assert run(ranks, gmt, decor_expression=plain, **kw) == want


# ---- Nothing on stderr -----------------------------------------------------

QUIET = """
    import sys, tarvelopy
    ranks = {f"G{i:03d}": ((i * 37) % 101) - 50.5 for i in range(300)}
    gmt, expr, cache, png = sys.argv[1:5]
    base = dict(nproc=64, seed=2, nPermSimple=200, minSize=5)
    for mode, extra in [("simple", {"nperm": 200}), ("multilevel", {}), ("ruvex", {}),
                        ("blitz", {"blitz_anchors": 5})]:
        assert tarvelopy.run_gsea_py(ranks, gmt, mode=mode, **extra, **base)
    assert tarvelopy.run_gsea_py(ranks, gmt, method="decor", decor_cache=cache,
                                 decor_expression=expr, **base)
    tarvelopy.write_enrichment_plot_png_py(ranks, ["G001", "G050"], png)
    print("ok")
"""


def test_nproc_above_the_cpu_count_writes_nothing_on_stderr(tmp_path):
    gmt = tmp_path / "sets.gmt"
    gmt.write_text("".join(
        f"P{p}\tx\t" + "\t".join(f"G{(p * 13 + k * 7) % 300:03d}" for k in range(8 + p % 20)) + "\n"
        for p in range(40)))
    expr = tmp_path / "expr.tsv"
    expr.write_text("gene\ta\tb\tc\td\n" + "".join(
        f"G{i:03d}\t{i % 7}\t{(i * 3) % 5}\t{i % 4}\t{(i * i) % 9}\n" for i in range(300)))
    p = run_script(QUIET, str(gmt), str(expr), str(tmp_path / "c.tsv"), str(tmp_path / "p.png"))
    assert p.stderr == b""
    assert p.stdout == b"ok\n"
