"""Example analysis: the default mode on 5,419 GO Biological Process sets.

Prints the most significant pathways and the wall time, writes every result
to examples/out/demo_results.tsv and the enrichment curve of the top pathway
to examples/out/top_pathway.png, and a table plot of the ten most significant
pathways to examples/out/top_table.png.
"""
import math
import os
import time

import tarvelopy
from plot_demo import plot_pathway, plot_table, read_gmt, read_ranks, sort_key

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
OUT = os.path.join(HERE, "out")
TOP = 20


def fmt(x, spec):
    return "NA" if x is None or math.isnan(x) else format(x, spec)


def main():
    gmt = os.path.join(DATA, "go_bp.gmt")
    ranks = read_ranks(os.path.join(DATA, "a_ranks.tsv"))
    sets = read_gmt(gmt)
    descriptions = {name: desc for name, (desc, _) in sets.items()}

    start = time.perf_counter()
    results = tarvelopy.run_gsea_py(ranks, gmt, seed=42)
    elapsed = time.perf_counter() - start

    top = sorted(results, key=sort_key)[:TOP]
    width = 48
    print(f"{'pathway':<16} {'description':<{width}} {'size':>5} {'NES':>7} {'padj':>10}")
    for r in top:
        desc = descriptions.get(r["pathway"], "")
        if len(desc) > width:
            desc = desc[: width - 3] + "..."
        print(f"{r['pathway']:<16} {desc:<{width}} {r['size']:>5} "
              f"{fmt(r['nes'], '7.3f'):>7} {fmt(r['padj'], '10.2e'):>10}")

    os.makedirs(OUT, exist_ok=True)
    out_path = os.path.join(OUT, "demo_results.tsv")
    with open(out_path, "w", encoding="utf-8") as f:
        f.write("pathway\tdescription\tsize\tes\tnes\tpval\tpadj\tlog2err\tleading_edge\n")
        for r in results:
            values = [r["pathway"], descriptions.get(r["pathway"], ""), str(r["size"])]
            values += [repr(r[k]) if r[k] is not None else "NA"
                       for k in ("es", "nes", "pval", "padj", "log2err")]
            values.append(",".join(r["leading_edge"]))
            f.write("\t".join(values) + "\n")

    print(f"\n{len(results)} pathways from {len(ranks)} ranked genes in {elapsed:.2f} s "
          f"(results: {os.path.relpath(out_path)})")

    png = os.path.join(OUT, "top_pathway.png")
    seconds = plot_pathway(ranks, sets, top[0]["pathway"], png)
    print(f"enrichment plot of {top[0]['pathway']}: {os.path.relpath(png)} "
          f"({seconds * 1000:.0f} ms)")
    table_png = os.path.join(OUT, "top_table.png")
    seconds = plot_table(ranks, sets, results, table_png, top=10)
    print(f"table plot of the top 10 pathways: {os.path.relpath(table_png)} "
          f"({seconds * 1000:.0f} ms)")


if __name__ == "__main__":
    main()
