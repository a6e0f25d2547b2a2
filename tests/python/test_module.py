import inspect

import tarvelopy


def test_module_surface():
    assert tarvelopy.__all__ == [
        "run_gsea_py",
        "write_enrichment_plot_png_py",
        "write_gsea_table_plot_png_py",
    ]
    for name in tarvelopy.__all__:
        assert callable(getattr(tarvelopy, name))
