import inspect
import types

import tarvelopy

RUN_GSEA_DEFAULTS = {
    "ranks": inspect.Parameter.empty,
    "gmt_path": inspect.Parameter.empty,
    "nPermSimple": 1000,
    "seed": None,
    "nproc": 0,
    "minSize": None,
    "maxSize": None,
    "eps": 1e-50,
    "scoreType": "std",
    "gseaParam": 1.0,
    "mode": "ruvex",
    "nperm": None,
    "sampleSize": 101,
    "gpu": False,
    "method": "classic",
    "decor_cache": None,
    "decor_expression": None,
    "decor_preset": None,
    "decor_stringency": None,
    "decor_weight_formula": None,
    "decor_alpha": None,
    "decor_threshold": None,
    "decor_gamma": None,
    "decor_penalty_floor": None,
    "decor_scale_epsilon": 1e-12,
    "decor_cache_mode": "auto",
    "decor_correlation": "pearson",
    "decor_redundancy": "positive_mean",
    "blitz_anchors": 40,
    "blitz_symmetric": False,
    "blitz_center": True,
    "blitz_accuracy": 40,
    "blitz_deep_accuracy": 50,
    "blitz_signature_cache": True,
}


def test_module_surface():
    assert tarvelopy.__all__ == [
        "run_gsea_py",
        "write_enrichment_plot_png_py",
        "write_gsea_table_plot_png_py",
    ]
    assert tarvelopy.__doc__ == ""
    for name in tarvelopy.__all__:
        f = getattr(tarvelopy, name)
        assert isinstance(f, types.BuiltinFunctionType)
        # the doc string holds only the text signature
        assert f.__doc__ is None and f.__text_signature__.startswith("(")
        assert {p.kind for p in inspect.signature(f).parameters.values()} == {
            inspect.Parameter.POSITIONAL_OR_KEYWORD
        }


def test_enrichment_plot_signature():
    params = inspect.signature(tarvelopy.write_enrichment_plot_png_py).parameters
    expected = {
        "ranks": inspect.Parameter.empty,
        "pathway_genes": inspect.Parameter.empty,
        "output_path": inspect.Parameter.empty,
        "pathway_name": "pathway",
        "scoreType": "std",
        "gseaParam": 1.0,
        "width_inches": 3.0,
        "height_inches": 2.2,
        "dpi": 300,
        "transparent_background": False,
        "title": None,
    }
    assert [(n, p.default) for n, p in params.items()] == list(expected.items())


def test_run_gsea_signature_and_doc():
    f = tarvelopy.run_gsea_py
    assert f.__doc__ is None
    params = inspect.signature(f).parameters
    assert {n: p.default for n, p in params.items()} == RUN_GSEA_DEFAULTS
    assert list(params) == list(RUN_GSEA_DEFAULTS)
    assert {p.kind for p in params.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
