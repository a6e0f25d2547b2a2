"""write_gsea_table_plot_png_py: argument and result-row checks in order with
their exception types and messages, the row rules (labels, repeated names,
pathways without ranked genes), sizes, dpi and background, read back from the
PNG with zlib."""
import inspect
import math

import pytest

import tarvelopy
from conftest import check_failure, header, pixel, read_png

table = tarvelopy.write_gsea_table_plot_png_py


def row(name, nes=1.5, pval=0.001, padj=0.01, **extra):
    return dict(pathway=name, nes=nes, pval=pval, padj=padj, **extra)


# Over the conftest `ranks` (G00..G19, scores 10 down to -9).
PATHWAYS = [("UP", ["G00", "G01", "G02", "G05"]), ("DOWN", ["G19", "G18", "G15"])]
RESULTS = [row("UP", 1.8, 0.002, 0.004), row("DOWN", -1.2, 0.03, 0.03)]


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "table.png")


def test_signature():
    sig = inspect.signature(table)
    assert list(sig.parameters) == [
        "ranks", "pathways", "results", "output_path", "gseaParam", "width_inches",
        "height_inches", "dpi", "transparent_background"]
    assert [p.default for p in sig.parameters.values()][4:] == [1.0, 5.6, None, 300, False]


def test_sizes_dpi_and_height_default(ranks, out):
    assert table(ranks, PATHWAYS, RESULTS, out) is None
    types, size, phys = header(out)
    assert types[:2] == ["IHDR", "pHYs"] and types[-1] == "IEND" and set(types[2:-1]) == {"IDAT"}
    # Two rows: 132 + 48 = 180 pixels are below the 0.7-inch minimum (210).
    assert size == (1680, 210) and phys == (11811, 11811, 1)
    three = PATHWAYS + [("MID", ["G09", "G10"])]
    table(ranks, three, RESULTS + [row("MID")], out)
    assert header(out)[1] == (1680, 228)
    table(ranks, PATHWAYS, RESULTS, out, height_inches=1.5, width_inches=4)
    assert header(out)[1] == (1200, 450)
    table(ranks, PATHWAYS, RESULTS, out, dpi=600)
    assert header(out)[1:] == ((3360, 420), (23622, 23622, 1))
    # A tiny width still gives at least 520 pixels (with a short label: a
    # wide one widens the image beyond that).
    table(ranks, [("P", ["G00"])], [row("P")], out, width_inches=0.5)
    assert header(out)[1] == (520, 210)
    table(ranks, PATHWAYS, RESULTS, out, width_inches=0.5)
    assert header(out)[1][0] > 520
    # Numbers convert like float(); lists and tuples are sequences.
    table(ranks, tuple(PATHWAYS), tuple(RESULTS), out, gseaParam=0, width_inches=6, height_inches=1)
    assert header(out)[1] == (1800, 300)


def test_background_and_barcode(ranks, out):
    # Width 0.5 in: W = 520, labels "UP"/"DOWN" measured at 22 px. Each bar
    # rises from its row's middle for a positive score and hangs below it for
    # a negative one; the topmost gene reaches the row's top.
    table(ranks, PATHWAYS, RESULTS, out, width_inches=0.5)
    _, (w, h), _ = header(out)
    rows = read_png(out)[3]
    assert pixel(rows, 0, 0) == (255, 255, 255, 255)
    assert pixel(rows, w - 1, h - 1) == (255, 255, 255, 255)
    table(ranks, PATHWAYS, RESULTS, out, width_inches=0.5, transparent_background=True)
    clear = read_png(out)[3]
    assert pixel(clear, 0, 0) == (255, 255, 255, 0)
    assert pixel(clear, w - 1, h - 1) == (255, 255, 255, 0)
    alphas = {r[i] for r in clear for i in range(3, len(r), 4)}
    assert 0 in alphas and 255 in alphas
    # Find the barcode: row 0 spans y 46..94, its baseline at y 70. The bar of
    # rank 1 (score 10, the largest) is dark from just below 46 to 70; row 1
    # (DOWN) hangs its bars from 118 downward.
    dark = lambda r, x, y: pixel(r, x, y)[0] < 100
    cols = [x for x in range(w) if dark(rows, x, 50)]
    assert cols, "no bar reaches the top half of row 0"
    x = cols[0]
    assert dark(rows, x, 68) and not dark(rows, x, 74) and not dark(rows, x, 43)
    down = [x for x in range(w) if dark(rows, x, 125)]
    assert down and all(not dark(rows, x, 112) for x in down)


def test_row_rules(ranks, tmp_path):
    def render(pathways, results, name):
        path = str(tmp_path / name)
        table(ranks, pathways, results, path)
        return open(path, "rb").read()

    base = render(PATHWAYS, RESULTS, "base.png")
    # A repeated result name: the later row's numbers are shown.
    stale = [row("UP", 9.0, 0.5, 0.5)] + RESULTS
    assert render(PATHWAYS, stale, "later.png") == base
    assert render(PATHWAYS, RESULTS + [row("UP", 9.0, 0.5, 0.5)], "changed.png") != base
    # A pathway without ranked genes is left out, even with no result row.
    assert render([("GONE", ["nope"])] + PATHWAYS, RESULTS, "skip.png") == base
    # Labels: the part before the first "%", underscores as spaces; keys
    # other than the four read ones are ignored.
    renamed = [("U_P%GO:1", PATHWAYS[0][1]), PATHWAYS[1]]
    extra = [row("U_P%GO:1", 1.8, 0.002, 0.004, size=4, leading_edge=None), RESULTS[1]]
    spaced = [("U P", PATHWAYS[0][1]), PATHWAYS[1]]
    assert render(renamed, extra, "a.png") == render(spaced, [row("U P", 1.8, 0.002, 0.004), RESULTS[1]], "b.png")
    # Non-finite numbers print as NaN / NA; a NaN score is drawn as a zero weight.
    render(PATHWAYS, [row("UP", math.nan, math.inf, math.nan), RESULTS[1]], "nan.png")
    nan_ranks = dict(ranks, G05=math.nan)
    table(nan_ranks, PATHWAYS, RESULTS, str(tmp_path / "nanrank.png"))


def test_argument_types(ranks, out):
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'output_path'"):
        table(ranks, PATHWAYS, RESULTS)
    with pytest.raises(TypeError, match="unexpected keyword argument 'title'"):
        table(ranks, PATHWAYS, RESULTS, out, title="x")
    bad = [
        ("pathways", dict(pathways="UP")),
        ("pathways", dict(pathways=[["UP", ["G00"]]])),           # a list, not a tuple
        ("pathways", dict(pathways=[("UP", ["G00"], "x")])),      # a 3-tuple
        ("pathways", dict(pathways=[("UP", "G00")])),             # genes as one str
        ("pathways", dict(pathways=[(1, ["G00"])])),
        ("results", dict(results=[("UP", 1.0)])),
        ("results", dict(results={"pathway": "UP"})),
        ("height_inches", dict(height_inches="1")),
        ("transparent_background", dict(transparent_background=1)),
    ]
    for name, kwargs in bad:
        args = dict(pathways=PATHWAYS, results=RESULTS, **{})
        args.update(kwargs)
        with pytest.raises(TypeError) as e:
            table(ranks, args.pop("pathways"), args.pop("results"), out, **args)
        assert f"while processing '{name}'" in e.value.__notes__, kwargs
    for dpi in (-1, 2**32):
        with pytest.raises(OverflowError) as e:
            table(ranks, PATHWAYS, RESULTS, out, dpi=dpi)
        assert "while processing 'dpi'" in e.value.__notes__


FAILURES = [
    # (arguments, exception, message); each case also breaks every later check.
    (dict(results=[row("UP"), {"nes": 1.0}], dpi=0, ranks={}), ValueError, "Result row missing 'pathway'."),
    (dict(results=[{"pathway": "UP", "pval": 1.0, "padj": 1.0}], dpi=0), ValueError, "Result row missing 'nes'."),
    (dict(results=[{"pathway": "UP", "nes": 1.0, "padj": 1.0}]), ValueError, "Result row missing 'pval'."),
    (dict(results=[{"pathway": "UP", "nes": 1.0, "pval": 1.0}]), ValueError, "Result row missing 'padj'."),
    (dict(results=[row("UP", nes=None)], dpi=0), TypeError, "must be real number, not NoneType"),
    (dict(results=[row("UP", padj="0.1")]), TypeError, "must be real number, not str"),
    (dict(results=[row(7)]), TypeError, "must be str, not int"),
    (dict(dpi=0, ranks={}, pathways=[]), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(width_inches=0.0), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(width_inches=math.nan), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(height_inches=-1.0), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(height_inches=math.inf), RuntimeError, "plot size in inches and dpi must be finite positive values"),
    (dict(ranks={}, pathways=[], gseaParam=-1.0), RuntimeError, "ranks must not be empty"),
    (dict(pathways=[], gseaParam=-1.0), RuntimeError, "pathways must not be empty"),
    (dict(gseaParam=-0.5, results=[]), RuntimeError, "gsea_param must be a finite value greater than or equal to 0"),
    (dict(gseaParam=math.inf), RuntimeError, "gsea_param must be a finite value greater than or equal to 0"),
    (dict(ranks={"G00": math.inf, "G01": 1.0}, results=[]), RuntimeError, "failed to compute finite adjusted stats"),
    (dict(results=[RESULTS[1]]), RuntimeError, "pathway 'UP' missing from ruvex results"),
    (dict(pathways=[("X", ["none"])], dpi=100), RuntimeError,
     "none of the requested pathways have genes present in the ranked list"),
    (dict(dpi=100), RuntimeError, "plot height must be at least 180 pixels"),
    (dict(height_inches=0.59), RuntimeError, "plot height must be at least 180 pixels"),
    (dict(width_inches=100.0, height_inches=100.0), RuntimeError,
     "plot of 30000x30000 pixels exceeds the limit of 67108864 pixels"),
    (dict(path="missing-dir/x.png"), RuntimeError, "No such file or directory (os error 2)"),
    (dict(path="bad\0name.png"), OSError, "file name contained an unexpected NUL byte"),
]


@pytest.mark.parametrize("kwargs,exc,message", FAILURES)
def test_checks_in_order(ranks, tmp_path, kwargs, exc, message):
    kwargs = dict(kwargs)
    use_ranks = kwargs.pop("ranks", ranks)
    pathways = kwargs.pop("pathways", PATHWAYS)
    results = kwargs.pop("results", RESULTS)
    path = str(tmp_path / kwargs.pop("path", "never.png"))
    e = check_failure(lambda: table(use_ranks, pathways, results, path, **kwargs), tmp_path, exc,
                      message)
    assert not getattr(e, "__notes__", None)


def test_pathways_changed_while_read_are_read_as_they_were(ranks, out):
    # Converting one pathway's genes runs Python code that empties the outer
    # list; the remaining pathways are still read, from the call's snapshot.
    class Genes:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            pathways.clear()
            return "G00"

    pathways = []
    pathways.extend([("P1", Genes()), ("P2", ["G01", "G02"]), ("P3", ["G03"])])
    with pytest.raises(RuntimeError, match=r"^pathway 'P1' missing from ruvex results$"):
        table(ranks, pathways, [], out)
    assert pathways == []
    results = [row("P1"), row("P2"), row("P3")]
    pathways.extend([("P1", Genes()), ("P2", ["G01", "G02"]), ("P3", ["G03"])])
    assert table(ranks, pathways, results, out) is None
