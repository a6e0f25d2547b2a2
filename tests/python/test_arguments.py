"""Argument extraction and the ordered checks of run_gsea_py."""
import math
import pathlib

import pytest

from tarvelopy import run_gsea_py

FN = "run_gsea_py()"


def raises(exc, match_text, *args, **kwargs):
    with pytest.raises(exc) as info:
        run_gsea_py(*args, **kwargs)
    assert str(info.value) == match_text
    return info.value


# -- structural errors: CPython's wording, no note, before any conversion ----

@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{FN} missing 2 required positional arguments: 'ranks' and 'gmt_path'"),
        (([],), {}, f"{FN} missing 1 required positional argument: 'gmt_path'"),
        ((), {"gmt_path": 1}, f"{FN} missing 1 required positional argument: 'ranks'"),
        (([], 1), {"foo": 1}, f"{FN} got an unexpected keyword argument 'foo'"),
        # keyword names are case-sensitive, unlike keyword values
        (([], 1), {"npermsimple": 1}, f"{FN} got an unexpected keyword argument 'npermsimple'"),
        (([], 1), {"ranks": {}}, f"{FN} got multiple values for argument 'ranks'"),
        (([],) * 35, {}, f"{FN} takes from 2 to 34 positional arguments but 35 were given"),
        # keywords are looked at before the positional count, as CPython does
        (([],) * 35, {"seed": 1}, f"{FN} got multiple values for argument 'seed'"),
    ],
)
def test_structural_type_errors(args, kwargs, message):
    err = raises(TypeError, message, *args, **kwargs)
    assert not hasattr(err, "__notes__")


def test_all_34_accepted_by_position(gmt, ranks):
    args = [ranks, gmt, 10, 1, 0, None, None, 1e-50, "std", 1.0, "simple", 5, 101, False,
            "classic", None, None, None, None, None, None, None, None, None, 1e-12, "auto",
            "pearson", "positive_mean", 40, False, True, 40, 50, True]
    assert len(run_gsea_py(*args)) == 3


# -- conversion errors: their own exception plus the note --------------------

class Index:
    def __index__(self):
        return -3


class BadFloat:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


@pytest.mark.parametrize(
    "name, value, exc, message",
    [
        ("ranks", [], TypeError, "must be dict, not list"),
        ("ranks", {1: 2.0}, TypeError, "dict keys must be str, not int"),
        ("ranks", {"A": "1"}, TypeError, "must be real number, not str"),
        ("ranks", {"A": None}, TypeError, "must be real number, not NoneType"),
        ("ranks", {"A": 2**1100}, OverflowError, "int too large to convert to float"),
        ("ranks", {"A": BadFloat()}, ZeroDivisionError, "from __float__"),
        ("gmt_path", pathlib.Path("x.gmt"), TypeError, "must be str, not PosixPath"),
        ("gmt_path", b"x.gmt", TypeError, "must be str, not bytes"),
        ("nPermSimple", -1, OverflowError, "can't convert negative int to unsigned"),
        ("nPermSimple", 2**64, OverflowError, "int too big to convert"),
        ("nPermSimple", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("nPermSimple", None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        ("seed", -1, OverflowError, "can't convert negative int to unsigned"),
        ("seed", "1", TypeError, "'str' object cannot be interpreted as an integer"),
        ("nproc", Index(), OverflowError, "can't convert negative int to unsigned"),
        ("minSize", 2**64, OverflowError, "int too big to convert"),
        ("eps", "1e-50", TypeError, "must be real number, not str"),
        ("eps", None, TypeError, "must be real number, not NoneType"),
        ("gseaParam", 10**400, OverflowError, "int too large to convert to float"),
        ("scoreType", None, TypeError, "must be str, not NoneType"),
        ("mode", 1, TypeError, "must be str, not int"),
        ("gpu", 1, TypeError, "must be bool, not int"),
        ("gpu", None, TypeError, "must be bool, not NoneType"),
        ("decor_cache", pathlib.Path("c"), TypeError, "must be str, not PosixPath"),
        ("decor_stringency", "high", TypeError, "must be real number, not str"),
        ("decor_scale_epsilon", None, TypeError, "must be real number, not NoneType"),
        ("decor_redundancy", None, TypeError, "must be str, not NoneType"),
        ("blitz_anchors", -5, OverflowError, "can't convert negative int to unsigned"),
        ("blitz_symmetric", 0, TypeError, "must be bool, not int"),
        ("blitz_signature_cache", "yes", TypeError, "must be bool, not str"),
    ],
)
def test_conversion_errors_carry_the_note(name, value, exc, message):
    kwargs = {"ranks": {}, "gmt_path": "/nonexistent.gmt", name: value}
    err = raises(exc, message, **kwargs)
    assert err.__notes__ == [f"while processing '{name}'"]


def test_unencodable_str_keeps_its_unicode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        run_gsea_py({}, "bad\udc80.gmt")
    assert info.value.__notes__ == ["while processing 'gmt_path'"]


def test_conversions_run_in_parameter_order_not_call_order():
    with pytest.raises(TypeError) as info:
        run_gsea_py(blitz_center=0, nPermSimple=1.5, ranks={}, gmt_path="x")
    assert info.value.__notes__ == ["while processing 'nPermSimple'"]
    # every conversion precedes the first value check
    with pytest.raises(TypeError):
        run_gsea_py({}, "x", sampleSize=0, blitz_signature_cache=None)


def test_accepted_number_forms(gmt, ranks):
    np = pytest.importorskip("numpy")

    class F:
        def __float__(self):
            return 1.0

    class I:
        def __index__(self):
            return 7

    res = run_gsea_py(
        {k: np.float32(v) if k < "G10" else int(v) for k, v in ranks.items()},
        gmt,
        nPermSimple=np.uint64(20),
        seed=I(),
        eps=0,
        gseaParam=F(),
        gpu=np.False_,
        blitz_center=np.True_,
        mode="simple",
    )
    assert [r["pathway"] for r in res] == ["DOWN", "MIXED", "UP"]
    with pytest.raises(RuntimeError, match="gpu=True requires"):
        run_gsea_py(ranks, gmt, gpu=np.True_)


# -- the value checks, in their order ----------------------------------------

SAMPLE = "sampleSize must be greater than 0."
MINSIZE = "minSize must be greater than 0."
BLITZ_COUNTS = "blitz_anchors, blitz_accuracy, and blitz_deep_accuracy must be greater than 0."


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"sampleSize": 0, "minSize": 0, "blitz_anchors": 0}, ValueError, SAMPLE),
        ({"minSize": 0, "blitz_accuracy": 0, "mode": "blitz"}, ValueError, MINSIZE),
        ({"blitz_deep_accuracy": 0, "ranks": {"A": math.nan}}, ValueError, BLITZ_COUNTS),
        ({"blitz_anchors": 0, "method": "decor"}, ValueError, BLITZ_COUNTS),
        # the ranked list is built before the file is read
        ({"ranks": {"A": 1.0, "B": math.nan, "C": math.inf}}, ValueError,
         "Score of gene 'B' is not finite (NaN)."),
        ({"ranks": {"A": -math.inf}}, ValueError, "Score of gene 'A' is not finite (-inf)."),
        # the file is read before any keyword is parsed
        ({"scoreType": "bad", "mode": "bad"}, OSError, "No such file or directory (os error 2)"),
        ({"gmt_path": "a\0b"}, OSError, "file name contained an unexpected NUL byte"),
    ],
)
def test_checks_before_the_keywords(kwargs, exc, message):
    call = {"ranks": {"A": 1.0}, "gmt_path": "/nonexistent/sets.gmt", **kwargs}
    raises(exc, message, **call)


def test_minsize_zero_after_pool_sizing_raises_and_repeated_sizing_is_silent(gmt, ranks):
    raises(ValueError, MINSIZE, ranks, gmt, nproc=3, minSize=0)
    # the pool exists now; other sizes are ignored without an error
    assert len(run_gsea_py(ranks, gmt, nproc=1, mode="simple", nperm=10, seed=1)) == 3
    assert len(run_gsea_py(ranks, gmt, nproc=2**64 - 1, mode="simple", nperm=10, seed=1)) == 3


SCORE = "Invalid scoreType '{}'. Expected one of: std, pos, neg."
METHOD = "Invalid method '{}'. Expected one of: classic, decor."
MODE = "Invalid mode '{}'. Expected one of: ruvex, multilevel, simple, blitz."


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"scoreType": "Both", "method": "x", "mode": "x"}, SCORE.format("both")),
        ({"method": "FAST", "mode": "x"}, METHOD.format("fast")),
        ({"mode": "Fast"}, MODE.format("fast")),
        # full Unicode lower-casing, quoted as lower-cased
        ({"mode": "ΟΔΟΣ"}, MODE.format("οδος")),
        ({"mode": "\u212aELVIN"}, MODE.format("kelvin")),
        ({"mode": "İ"}, MODE.format("i\u0307")),
        ({"scoreType": "ǅ"}, SCORE.format("ǆ")),
        ({"method": "ẞ"}, METHOD.format("ß")),
        ({"mode": ""}, MODE.format("")),
    ],
)
def test_keyword_messages(gmt, ranks, kwargs, message):
    raises(ValueError, message, ranks, gmt, **kwargs)


def test_keywords_accept_any_letter_case(gmt, ranks):
    a = run_gsea_py(ranks, gmt, scoreType="Std", mode="SIMPLE", method="Classic", nperm=10, seed=3)
    b = run_gsea_py(ranks, gmt, scoreType="std", mode="simple", method="classic", nperm=10, seed=3)
    assert repr(a) == repr(b)
    # "POS" selects the positive tail: the enrichment scores change
    pos = run_gsea_py(ranks, gmt, scoreType="POS", mode="simple", nperm=10, seed=3)
    assert {r["pathway"]: r["es"] for r in pos} != {r["pathway"]: r["es"] for r in a}


BLITZ_GPU = "gpu is not supported with mode='blitz'."
BLITZ_METHOD = "mode='blitz' supports only method='classic'."
BLITZ_NPERM = "nperm is not supported with mode='blitz'."
BLITZ_SCORE = "mode='blitz' supports only scoreType='std'."
BLITZ_PARAM = "mode='blitz' supports only gseaParam=1.0."
DECOR_ARGS = "decor arguments require method='decor'."


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"gpu": True, "method": "decor", "nperm": 5}, ValueError, BLITZ_GPU),
        ({"method": "Decor", "nperm": 5, "scoreType": "pos"}, ValueError, BLITZ_METHOD),
        ({"nperm": 0, "scoreType": "pos"}, ValueError, BLITZ_NPERM),
        ({"scoreType": "NEG", "gseaParam": 2.0}, ValueError, BLITZ_SCORE),
        ({"gseaParam": 1.0 + 2**-51, "decor_cache": "c"}, ValueError, BLITZ_PARAM),
        ({"gseaParam": 0.0}, ValueError, BLITZ_PARAM),
        ({"decor_expression": "e"}, ValueError, DECOR_ARGS),
    ],
)
def test_blitz_checks(gmt, ranks, kwargs, exc, message):
    raises(exc, message, ranks, gmt, mode="Blitz", **kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"gseaParam": 1.0 + 2**-52},
        {"gseaParam": math.nan, "decor_preset": "bogus"},
        {"decor_cache_mode": "bogus", "minSize": 3},
    ],
)
def test_blitz_checks_pass(gmt, ranks, kwargs):
    assert isinstance(run_gsea_py(ranks, gmt, mode="Blitz", nPermSimple=50, **kwargs), list)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"decor_cache": "c", "gpu": True}, ValueError, DECOR_ARGS),
        ({"decor_expression": "", "gpu": True}, ValueError, DECOR_ARGS),
        ({"gpu": True}, RuntimeError, "gpu=True requires building tarvelopy with the 'gpu' feature."),
        ({"method": "decor", "gpu": True, "mode": "multilevel", "nperm": 3}, ValueError,
         "decor supports CPU execution only; gpu is not supported with method='decor'."),
        ({"method": "decor", "mode": "MultiLevel", "nperm": 3}, ValueError,
         "nperm is only valid with mode='ruvex' or mode='simple'."),
        ({"method": "decor", "mode": "simple", "nperm": 3}, ValueError,
         "method='decor' requires decor_cache."),
        ({"method": "decor", "decor_cache": "missing-cache.tsv"}, RuntimeError,
         "decor cache does not exist or is incompatible and --decor-expression was not provided"),
    ],
)
def test_classic_and_decor_checks(gmt, ranks, kwargs, exc, message):
    raises(exc, message, ranks, gmt, **kwargs)


def test_classic_ignores_other_decor_arguments(gmt, ranks):
    res = run_gsea_py(ranks, gmt, mode="simple", nperm=10, seed=1, decor_preset="nope",
                      decor_cache_mode="bogus", decor_correlation="?", decor_redundancy="?",
                      decor_stringency=math.nan)
    assert len(res) == 3
