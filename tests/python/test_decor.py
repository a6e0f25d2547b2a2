"""Method "decor" through run_gsea_py: argument checks in order, presets and
overrides, cache provision, and small end-to-end runs."""
import math
import os

import pytest

import tarvelopy

run = tarvelopy.run_gsea_py


@pytest.fixture
def ranks():
    return {f"G{i:02d}": 12.0 - i for i in range(24)}


@pytest.fixture
def files(tmp_path):
    """A GMT file and an expression matrix over the `ranks` genes."""
    gmt = tmp_path / "sets.gmt"
    gmt.write_text(
        "UP\ttop\tG00\tG01\tG02\tG03\tG04\tG05\n"
        "DOWN\t\tG23\tG22\tG21\tG20\n"
        "MIXED\tx\tG00\tG07\tG11\tG19\tG04\tG13\tNOT_IN_MATRIX\n"
    )
    rows = ["gene\ts1\ts2\ts3\ts4\ts5"]
    for i in range(24):
        # Genes 0-5 share one profile (redundant), the rest vary.
        vals = [1.0, 2.0, 3.0, 4.0, 5.5] if i < 6 else [((i * 7 + j * 3) % 11) - 5.0 for j in range(5)]
        rows.append(f"G{i:02d}\t" + "\t".join(repr(v) for v in vals))
    expr = tmp_path / "expr.tsv"
    expr.write_text("\n".join(rows) + "\n")
    return str(gmt), str(expr), str(tmp_path / "cache" / "decor.tsv")


def err(exc, ranks, gmt, **kw):
    with pytest.raises(exc) as info:
        run(ranks, gmt, method="decor", **kw)
    return str(info.value)


def test_checks_in_order(ranks, files):
    gmt, expr, cache = files
    assert err(ValueError, ranks, gmt, gpu=True, mode="multilevel", nperm=5) == (
        "decor supports CPU execution only; gpu is not supported with method='decor'.")
    assert err(ValueError, ranks, gmt, mode="multilevel", nperm=5) == (
        "nperm is only valid with mode='ruvex' or mode='simple'.")
    # Without decor_cache nothing else is parsed.
    assert err(ValueError, ranks, gmt, decor_preset="bogus", decor_cache_mode="x") == (
        "method='decor' requires decor_cache.")
    # Method classic ignores nperm in mode multilevel.
    run(ranks, gmt, mode="multilevel", nperm=5, seed=1)


def test_presets_and_overrides(ranks, files):
    gmt, expr, cache = files
    kw = dict(decor_cache=cache, decor_cache_mode="bad")
    assert err(ValueError, ranks, gmt, decor_preset="Strict", decor_stringency=90.0, **kw) == (
        "Use either decor_preset or decor_stringency, not both.")
    assert err(ValueError, ranks, gmt, decor_stringency=float("nan"), **kw) == (
        "Invalid decor stringency 'NaN'. Expected a finite value from 0 to 100.")
    assert err(ValueError, ranks, gmt, decor_stringency=1e23, **kw) == (
        "Invalid decor stringency '100000000000000000000000'. Expected a finite value from 0 to 100.")
    assert err(ValueError, ranks, gmt, decor_preset="BALANCED ", **kw) == (
        "Invalid decor preset 'balanced '. Expected one of: sensitive, balanced, specific, strict.")
    assert err(ValueError, ranks, gmt, decor_weight_formula="Scaled-Rational", **kw) == (
        "Invalid decor weight formula 'scaled-rational'. Expected one of: raw-rational, "
        "exp-scaled, threshold-rational.")
    assert err(ValueError, ranks, gmt, decor_alpha=-1.0, **kw) == (
        "decor_alpha must be a finite numeric value >= 0.")
    assert err(ValueError, ranks, gmt, decor_threshold=1.0, **kw) == (
        "decor_threshold must be a finite numeric value >= 0 and < 1.")
    assert err(ValueError, ranks, gmt, decor_gamma=float("inf"), **kw) == (
        "decor_gamma must be a finite numeric value >= 0.")
    assert err(ValueError, ranks, gmt, decor_penalty_floor=-0.5, **kw) == (
        "decor_penalty_floor must be a finite numeric value >= 0 and < 1.")
    assert err(ValueError, ranks, gmt, decor_scale_epsilon=0.0, **kw) == (
        "decor_scale_epsilon must be a finite numeric value > 0.")
    # The keyword parsers run after presets and overrides, in their order.
    assert err(ValueError, ranks, gmt, decor_alpha=-0.0, decor_cache=cache,
               decor_cache_mode="REBUILD!", decor_correlation="x") == (
        "Invalid decor_cache_mode 'rebuild!'. Expected one of: auto, reuse, rebuild.")
    assert err(ValueError, ranks, gmt, decor_cache=cache, decor_correlation="Kendall",
               decor_redundancy="x") == (
        "Invalid decor_correlation 'kendall'. Expected one of: pearson, spearman.")
    assert err(ValueError, ranks, gmt, decor_cache=cache, decor_redundancy="MEAN") == (
        "Invalid decor_redundancy 'mean'. Expected one of: positive_mean, abs_mean.")


def test_cache_errors_are_runtime_errors(ranks, files):
    gmt, expr, cache = files
    assert err(RuntimeError, ranks, gmt, decor_cache=cache, decor_correlation="SPEARMAN",
               decor_expression=expr) == "spearman decor correlation is not implemented yet"
    assert err(RuntimeError, ranks, gmt, decor_cache=cache, decor_cache_mode="reuse",
               decor_expression=expr) == f"decor cache does not exist: {cache}"
    assert not os.path.exists(cache)
    with pytest.raises(OSError, match="NUL"):
        run(ranks, gmt, method="decor", decor_cache=cache + "\0x")


def canonical(results):
    return [tuple((k, repr(r[k])) for k in sorted(r)) for r in results]


def test_end_to_end_build_then_reuse(ranks, files, tmp_path):
    gmt, expr, cache = files
    first = run(ranks, gmt, method="decor", mode="simple", nperm=200, seed=7,
                decor_cache=cache, decor_expression=expr)
    assert os.path.exists(cache)
    assert [r["pathway"] for r in first] == ["DOWN", "MIXED", "UP"]
    by = {r["pathway"]: r for r in first}
    assert by["UP"]["size"] == 6 and by["MIXED"]["size"] == 6 and by["DOWN"]["size"] == 4
    assert by["UP"]["es"] > 0 > by["DOWN"]["es"]
    for r in first:
        assert 0 < r["pval"] <= 1 and r["nes"] is not None and r["padj"] is not None
    # The cache is reused without the matrix: removing the matrix changes nothing.
    os.remove(expr)
    again = run(ranks, gmt, method="decor", mode="simple", nperm=200, seed=7, decor_cache=cache)
    reused = run(ranks, gmt, method="decor", mode="simple", nperm=200, seed=7, decor_cache=cache,
                 decor_cache_mode="reuse")
    assert canonical(again) == canonical(first) == canonical(reused)
    # nperm with mode ruvex is the permutation variant too.
    assert canonical(run(ranks, gmt, method="decor", nperm=200, seed=7, decor_cache=cache)) == \
        canonical(first)


def test_presets_change_weights_and_multilevel_runs(ranks, files):
    gmt, expr, cache = files
    kw = dict(method="decor", seed=3, decor_cache=cache, decor_expression=expr)
    balanced = {r["pathway"]: r for r in run(ranks, gmt, mode="simple", nperm=50, **kw)}
    strict = {r["pathway"]: r for r in run(ranks, gmt, mode="simple", nperm=50,
                                            decor_preset="strict", **kw)}
    # UP's six genes share one profile (redundancy 1): the penalties differ by
    # preset, and so does the score of the mixed set that holds two of them.
    assert balanced["MIXED"]["es"] != strict["MIXED"]["es"]
    ml = run(ranks, gmt, mode="multilevel", nPermSimple=100, **kw)
    ruvex = run(ranks, gmt, nPermSimple=100, **kw)
    assert canonical(ml) == canonical(ruvex)
    for r in ml:
        assert math.isnan(r["pval"]) or 0 < r["pval"] <= 1


def test_building_the_cache_scores_like_reusing_it(tmp_path):
    """The call that writes the cache must score with the values later calls
    read back (8 decimals), or a result would depend on whether the cache
    existed. Profiles with irrational correlations make the rounding bite."""
    import random

    rng = random.Random(5)
    genes = [f"H{i:03d}" for i in range(120)]
    ranks = {g: rng.gauss(0.0, 1.0) for g in genes}
    gmt = tmp_path / "sets.gmt"
    gmt.write_text("".join(f"S{p}\t\t" + "\t".join(rng.sample(genes, 25)) + "\n" for p in range(6)))
    rows = ["gene\t" + "\t".join(f"s{j}" for j in range(9))]
    for g in genes:
        rows.append(g + "\t" + "\t".join(repr(rng.gauss(0.0, 1.0)) for _ in range(9)))
    expr = tmp_path / "expr.tsv"
    expr.write_text("\n".join(rows) + "\n")
    cache = str(tmp_path / "c.tsv")
    kw = dict(method="decor", decor_cache=cache, decor_expression=str(expr), seed=3,
              mode="simple", nperm=200, decor_preset="strict")
    built = run(ranks, str(gmt), decor_cache_mode="rebuild", **kw)
    reused = run(ranks, str(gmt), decor_cache_mode="reuse", **kw)
    assert [(r["pathway"], r["es"], r["nes"], r["pval"]) for r in built] == [
        (r["pathway"], r["es"], r["nes"], r["pval"]) for r in reused]
