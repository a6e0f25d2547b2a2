"""Example plots: the running enrichment score of the most significant pathway
and a results table of the ten most significant ones.

Runs the default analysis (seed 42, as examples/demo.py does), takes the top
pathway by the same order (adjusted p-value, then the larger |ES|) and writes
its enrichment curve as a 300-dpi PNG to examples/out/top_pathway.png.
`python examples/plot_demo.py GOBP_GO_0034501` plots a named pathway instead.
`plot_table` writes the table plot of the top pathways of a result list.
"""
import math
import os
import sys
import time

import tarvelopy

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
OUT = os.path.join(HERE, "out")


def read_ranks(path):
    ranks = {}
    with open(path, encoding="utf-8") as f:
        next(f)  # header
        for line in f:
            gene, score = line.rstrip("\n").split("\t")
            ranks[gene] = float(score)
    return ranks


def read_gmt(path):
    """Pathway id -> (description, genes)."""
    sets = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 2:
                sets[fields[0]] = (fields[1], fields[2:])
    return sets


def sort_key(r):
    p = r["padj"] if r["padj"] is not None else r["pval"]
    p = math.inf if math.isnan(p) else p
    return (p, -abs(r["es"]), r["pathway"])


def plot_pathway(ranks, sets, pathway, out_path, dpi=300):
    description, genes = sets[pathway]
    start = time.perf_counter()
    tarvelopy.write_enrichment_plot_png_py(
        ranks, genes, out_path, pathway_name=pathway, dpi=dpi, title=description or pathway)
    return time.perf_counter() - start


def plot_table(ranks, sets, results, out_path, top=10, dpi=300):
    """Table plot of the `top` most significant pathways of `results`.

    Rows are labelled by the pathway's description: each pathway is passed as
    "description%id", and the table shows the part before the "%". The result
    dicts are renamed to match, since the plot finds a row's numbers by name.
    """
    chosen = sorted(results, key=sort_key)[:top]
    pathways, rows = [], []
    for r in chosen:
        description, genes = sets[r["pathway"]]
        name = f"{description or r['pathway']}%{r['pathway']}"
        pathways.append((name, genes))
        rows.append(dict(r, pathway=name))
    start = time.perf_counter()
    tarvelopy.write_gsea_table_plot_png_py(ranks, pathways, rows, out_path, dpi=dpi)
    return time.perf_counter() - start


def main(argv):
    gmt = os.path.join(DATA, "go_bp.gmt")
    ranks = read_ranks(os.path.join(DATA, "a_ranks.tsv"))
    sets = read_gmt(gmt)
    if len(argv) > 1:
        pathway = argv[1]
    else:
        results = tarvelopy.run_gsea_py(ranks, gmt, seed=42)
        pathway = min(results, key=sort_key)["pathway"]
    os.makedirs(OUT, exist_ok=True)
    out_path = os.path.join(OUT, "top_pathway.png")
    elapsed = plot_pathway(ranks, sets, pathway, out_path)
    print(f"{pathway} ({sets[pathway][0]}): enrichment plot written to "
          f"{os.path.relpath(out_path)} in {elapsed * 1000:.1f} ms")


if __name__ == "__main__":
    main(sys.argv)
