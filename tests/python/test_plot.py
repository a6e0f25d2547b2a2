"""write_enrichment_plot_png_py: argument checks in order, sizes, dpi and
background, read back from the PNG with zlib (no imaging library needed)."""
import math

import pytest

import tarvelopy
from conftest import check_failure, header, pixel, read_png

plot = tarvelopy.write_enrichment_plot_png_py


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "curve.png")


GENES = ["G01", "G03", "G07", "G15"]


def test_default_plot(ranks, out):
    assert plot(ranks, GENES, out) is None
    types, ihdr, phys, rows = read_png(out)
    assert types[:2] == ["IHDR", "pHYs"] and types[-1] == "IEND"
    assert set(types[2:-1]) == {"IDAT"}
    assert ihdr[:2] == (900, 660)
    assert phys == (11811, 11811, 1)
    assert pixel(rows, 5, 5) == (255, 255, 255, 255)
    # The hit bars straddle the bottom axis (bottom = 580) at round(xmap(h)).
    for h in (2, 4, 8, 16):
        x = round(h / 20 * 758 + 122)
        assert pixel(rows, x, 580 + 10) == (70, 70, 70, 255)
    assert pixel(rows, round(12 / 20 * 758 + 122), 590) == (255, 255, 255, 255)
    # Every colour the plot uses appears: curve green, dashed red, grid grey.
    colours = {pixel(rows, x, y) for y in range(0, 660, 2) for x in range(0, 900, 2)}
    assert {(0, 180, 0, 255), (220, 40, 40, 255), (230, 230, 230, 255), (0, 0, 0, 255)} <= colours


def test_sizes_and_dpi(ranks, out):
    plot(ranks, GENES, out, width_inches=4, height_inches=3, dpi=150)
    assert header(out)[1:] == ((600, 450), (5906, 5906, 1))
    plot(ranks, GENES, out, width_inches=1.0, height_inches=1.0, dpi=320)
    assert header(out)[1] == (320, 320)
    plot(ranks, GENES, out, width_inches=400, height_inches=300, dpi=1)
    assert header(out)[1:] == ((400, 300), (39, 39, 1))
    plot(ranks, GENES, out, dpi=600)
    assert header(out)[1:] == ((1800, 1320), (23622, 23622, 1))


def test_transparent_background(ranks, out):
    plot(ranks, GENES, out, transparent_background=True)
    _, _, _, rows = read_png(out)
    assert pixel(rows, 5, 5) == (255, 255, 255, 0)
    assert pixel(rows, 899, 659) == (255, 255, 255, 0)
    # Text is composited over the transparent background, not mixed into it.
    alphas = {row[i] for row in rows[600:660] for i in range(3, len(row), 4)}
    assert 0 in alphas and 255 in alphas


def test_title_and_score_type(ranks, out, tmp_path):
    plot(ranks, GENES, out)
    plain = read_png(out)[3]
    titled_path = str(tmp_path / "titled.png")
    plot(ranks, GENES, titled_path, title="A title")
    titled = read_png(titled_path)[3]
    assert plain[24:50] != titled[24:50]
    assert plain[100:] == titled[100:]
    # Any letter case; "neg" moves the dashed line to the minimum.
    for score_type in ("NEG", "Neg", "neg"):
        plot(ranks, GENES, out, scoreType=score_type)
    with pytest.raises(ValueError, match=r"^Invalid scoreType 'bogus'\. Expected one of: std, pos, neg\.$"):
        plot(ranks, GENES, out, scoreType="BoGuS")


def test_argument_types(ranks, out):
    with pytest.raises(TypeError):
        plot(ranks, GENES)
    with pytest.raises(TypeError):
        plot(ranks, GENES, out, bogus=1)
    with pytest.raises(TypeError) as e:
        plot(ranks, "G01", out)
    assert "while processing 'pathway_genes'" in e.value.__notes__
    with pytest.raises(TypeError):
        plot(ranks, ["G01", 3], out)
    with pytest.raises(TypeError):
        plot(ranks, GENES, out, transparent_background=1)
    with pytest.raises(TypeError):
        plot(ranks, GENES, out, title=3)
    for dpi in (-1, 2**32):
        with pytest.raises(OverflowError) as e:
            plot(ranks, GENES, out, dpi=dpi)
        assert "while processing 'dpi'" in e.value.__notes__
    # Numbers convert like float(); tuples are sequences too.
    plot(ranks, tuple(GENES), out, gseaParam=2, width_inches=3, height_inches=2)


FAILURES = [
    # (arguments, exception, message); each case also breaks every later check.
    (dict(scoreType="x", dpi=0, ranks={}), ValueError, "Invalid scoreType 'x'. Expected one of: std, pos, neg."),
    (dict(dpi=0, ranks={}), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(width_inches=math.nan), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(height_inches=-2.0), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(width_inches=math.inf), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(width_inches=1.0, dpi=319, ranks={}), RuntimeError, "plot dimensions must be at least 320x240 pixels"),
    (dict(ranks={}, gseaParam=-1.0), RuntimeError, "ranks must not be empty"),
    (dict(gseaParam=math.nan, genes=["none"]), RuntimeError,
     "gsea_param must be a finite value greater than or equal to 0"),
    (dict(gseaParam=-1e-300), RuntimeError, "gsea_param must be a finite value greater than or equal to 0"),
    (dict(genes=["none"], pathway_name="P1"), RuntimeError, "pathway 'P1' has no genes present in the ranked list"),
    (dict(ranks={"a": 1.0, "b": 2.0}, genes=["a", "b", "c"], pathway_name="full"), RuntimeError,
     "pathway 'full' covers the full ranked list and cannot produce an enrichment curve"),
    (dict(ranks={"a": math.inf, "b": 1.0, "c": 0.5}, genes=["a", "c"]), RuntimeError,
     "failed to compute finite plot bounds"),
    (dict(width_inches=0.05, dpi=7000), RuntimeError, "plot dimensions leave no drawable area"),
    (dict(width_inches=400.0, height_inches=400.0), RuntimeError,
     "plot of 120000x120000 pixels exceeds the limit of 268435456 pixels"),
    (dict(path="missing-dir/x.png"), RuntimeError, "No such file or directory (os error 2)"),
    (dict(path="bad\0name.png"), OSError, "file name contained an unexpected NUL byte"),
]


@pytest.mark.parametrize("kwargs,exc,message", FAILURES)
def test_checks_in_order(ranks, tmp_path, kwargs, exc, message):
    kwargs = dict(kwargs)
    use_ranks = kwargs.pop("ranks", ranks)
    genes = kwargs.pop("genes", GENES)
    path = str(tmp_path / kwargs.pop("path", "never.png"))
    check_failure(lambda: plot(use_ranks, genes, path, **kwargs), tmp_path, exc, message)


def test_edge_curves(out):
    # One hit among two genes, all-zero scores, and a curve symmetric around 0.
    plot({"a": 1.0, "b": 0.5}, ["a"], out)
    plot({"a": 0.0, "b": 0.0, "c": 0.0}, ["b"], out)
    plot({"a": 1.0, "b": 1.0, "c": 1.0}, ["b"], out, gseaParam=-0.0)
    _, _, _, rows = read_png(out)
    # ES 0: the dashed line lies on the zero line, mid-plot on the two-sided
    # axis: red pixels only on the three rows around ymap(0).
    red = [y for y in range(660) if (220, 40, 40, 255) in {pixel(rows, x, y) for x in range(122, 140)}]
    assert red and all(abs(y - red[0]) <= 2 for y in red)
