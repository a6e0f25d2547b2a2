"""End-to-end properties of run_gsea_py that hold for every engine version."""
import math
import os
import subprocess
import sys

import pytest

from conftest import canonical
from tarvelopy import run_gsea_py

KEYS = {"pathway", "size", "es", "nes", "pval", "padj", "log2err", "leading_edge"}
DATA = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "data")


def test_result_dicts(gmt, ranks):
    res = run_gsea_py(ranks, gmt, mode="simple", nperm=50, seed=5)
    assert isinstance(res, list) and len(res) == 3
    for r in res:
        assert type(r) is dict and set(r) == KEYS
        assert type(r["pathway"]) is str and type(r["size"]) is int
        assert type(r["es"]) is float and type(r["pval"]) is float  # NaN stays a float
        for k in ("nes", "padj", "log2err"):
            assert r[k] is None or type(r[k]) is float
        assert type(r["leading_edge"]) is list
        assert all(type(g) is str for g in r["leading_edge"])
    up = next(r for r in res if r["pathway"] == "UP")
    assert up["size"] == 5 and up["es"] > 0
    assert up["leading_edge"] == ["G00", "G01", "G02", "G03", "G05"]


def test_sorted_by_name_bytes_and_sizes_filtered(write_gmt, ranks):
    names = ["b", "B", "é", "\U0001f600", "a_", "Z", "ä", "a"]
    lines = [f"{n}\t\tG00\tG01\tG02" for n in names]
    lines.append("ALL\t\t" + "\t".join(ranks))  # 20 genes: above maxSize = 19
    lines.append("SMALL\t\tG00\tnot-ranked")  # 1 gene
    res = run_gsea_py(ranks, write_gmt("\n".join(lines)), minSize=2, mode="simple", nperm=10)
    got = [r["pathway"] for r in res]
    assert got == sorted(names, key=lambda s: s.encode())


def test_empty_ranking_and_no_pathways(gmt, write_gmt, ranks):
    assert run_gsea_py({}, gmt) == []
    assert run_gsea_py(ranks, write_gmt("\n\n")) == []


def test_max_size_defaults_to_genes_less_one(write_gmt, ranks):
    genes = list(ranks)
    path = write_gmt(f"ALL\t\t{chr(9).join(genes)}\nALMOST\t\t{chr(9).join(genes[1:])}\n")
    assert [r["pathway"] for r in run_gsea_py(ranks, path, mode="simple", nperm=10)] == ["ALMOST"]
    assert run_gsea_py(ranks, path, maxSize=18, mode="simple", nperm=10) == []


def test_modes_agree_where_they_must(gmt, ranks):
    def run(**kw):
        return canonical(run_gsea_py(ranks, gmt, seed=42, nPermSimple=200, **kw))

    multilevel = run(mode="multilevel")
    assert run(mode="ruvex") == multilevel
    assert run(mode="multilevel", nperm=7) == multilevel  # nperm ignored in multilevel
    assert run(mode="ruvex", nperm=300) == run(mode="simple", nperm=300)
    assert run(mode="simple") == run(mode="simple", nperm=200)


def test_ties_follow_dict_order(write_gmt):
    path = write_gmt("P\t\tA\tB\tC\n")
    forward = {"A": 1.0, "B": 1.0, "C": 1.0, "D": -1.0, "E": -2.0}
    backward = dict(reversed(list(forward.items())[:3]))
    backward.update(D=-1.0, E=-2.0)
    le = [run_gsea_py(r, path, seed=1)[0]["leading_edge"] for r in (forward, backward)]
    assert le == [["A", "B", "C"], ["C", "B", "A"]]


def test_dict_changed_by_a_value_is_read_as_it_was(write_gmt):
    ranks = {}

    class Mutating:
        def __float__(self):
            ranks.clear()
            ranks["X"] = 0.0
            return 5.0

    ranks.update(A=Mutating(), B=2.0, C=1.0, D=0.5)
    res = run_gsea_py(ranks, write_gmt("P\t\tA\tB\n"), seed=1)
    assert ranks == {"X": 0.0}
    assert res[0]["size"] == 2 and res[0]["leading_edge"] == ["A", "B"]


SCRIPT = """
import sys, tarvelopy
ranks = {f"G{i:03d}": float((i * 37) % 101) / 7 - 6 for i in range(300)}
res = tarvelopy.run_gsea_py(ranks, sys.argv[1], seed=11, nproc=int(sys.argv[2]), nPermSimple=300)
print(repr(res))
"""


def test_same_results_with_any_thread_count_and_hash_seed(write_gmt):
    genes = [f"G{i:03d}" for i in range(300)]
    lines = [f"S{k}\t\t" + "\t".join(genes[k::7][: 5 + k]) for k in range(7)]
    path = write_gmt("\n".join(lines))
    outs = []
    for nproc, hashseed in [(1, "1"), (4, "2"), (0, "3")]:
        env = dict(os.environ, PYTHONHASHSEED=hashseed)
        outs.append(subprocess.run([sys.executable, "-c", SCRIPT, path, str(nproc)], env=env,
                                   capture_output=True, text=True, check=True).stdout)
    assert outs[0] == outs[1] == outs[2]
    assert outs[0].startswith("[{")


def test_p_values(gmt, ranks):
    for mode, kw in [("multilevel", {}), ("simple", {"nperm": 500}), ("ruvex", {})]:
        res = run_gsea_py(ranks, gmt, seed=9, mode=mode, **kw)
        for r in res:
            assert 0 < r["pval"] <= 1
            assert r["padj"] is not None and r["pval"] <= r["padj"] <= 1
            assert r["nes"] is not None and math.copysign(1, r["nes"]) == math.copysign(1, r["es"])
        assert canonical(res) == canonical(run_gsea_py(ranks, gmt, seed=9, mode=mode, **kw))


def test_demo_data_top_pathways_are_significant():
    if not os.path.exists(os.path.join(DATA, "go_bp.gmt")):
        pytest.skip("example data not present")
    ranks = {}
    with open(os.path.join(DATA, "a_ranks.tsv")) as f:
        next(f)
        for line in f:
            gene, score = line.rstrip("\n").split("\t")
            ranks[gene] = float(score)
    res = run_gsea_py(ranks, os.path.join(DATA, "go_bp_small.gmt")
                      if os.path.exists(os.path.join(DATA, "go_bp_small.gmt"))
                      else os.path.join(DATA, "go_bp.gmt"), seed=1)
    assert min(r["padj"] for r in res) < 0.05


MEMORY_SCRIPT = """
import resource, sys, tarvelopy
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
limit = vm + (96 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    tarvelopy.run_gsea_py({"A": 1.0}, sys.argv[1])
except MemoryError as e:
    print("MemoryError")
"""


@pytest.mark.skipif(bool(os.environ.get("TARVELO_SANITIZER_BUILD")) or sys.platform != "linux",
                    reason="needs an address-space limit")
def test_allocation_failure_becomes_memory_error(tmp_path):
    # One 160 MB line: the line buffer cannot grow that far under the limit.
    path = tmp_path / "huge.gmt"
    with open(path, "wb") as f:
        f.write(b"P\td")
        chunk = b"\tA" * (1 << 20)
        for _ in range(80):
            f.write(chunk)
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(path)], capture_output=True,
                         text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError"


@pytest.mark.parametrize("mode", ["simple", "multilevel", "blitz"])
def test_collector_state_is_kept(gmt, ranks, mode):
    # The results are built with the cyclic collector paused; whatever state
    # the caller had must come back, and the results must not depend on it.
    import gc
    was = gc.isenabled()
    try:
        runs = []
        for enabled in (True, False, True):
            (gc.enable if enabled else gc.disable)()
            runs.append(canonical(run_gsea_py(ranks, gmt, mode=mode, seed=3, nPermSimple=100)))
            assert gc.isenabled() is enabled
        assert runs[0] == runs[1] == runs[2]
        gc.enable()
        with pytest.raises(ValueError):
            run_gsea_py(ranks, gmt, mode=mode, sampleSize=0)
        assert gc.isenabled()
    finally:
        (gc.enable if was else gc.disable)()


def test_leading_edge_references_are_counted(write_gmt):
    # Each leading-edge str must be held exactly once by every list that
    # holds it: no reference missing (a crash later) and none leaked.
    import sys
    ranks = {f"gene{i:03d}": 50.0 - i for i in range(100)}
    lines = [f"S{j}\t\t" + "\t".join(f"gene{(j * 7 + k * 3) % 100:03d}" for k in range(12))
             for j in range(40)]
    gmt = write_gmt("\n".join(lines) + "\n")
    for mode in ("simple", "blitz"):
        dropped = run_gsea_py(ranks, gmt, mode=mode, seed=2, nPermSimple=50)
        res = run_gsea_py(ranks, gmt, mode=mode, seed=2, nPermSimple=50)
        del dropped
        held = {}
        for r in res:
            for g in r["leading_edge"]:
                held.setdefault(id(g), [g, 0])[1] += 1
        del g
        assert sum(entry[1] for entry in held.values()) > len(held)  # genes recur across sets
        for entry in held.values():
            refs = sys.getrefcount(entry[0])  # the lists, the entry in held, the argument
            assert refs == entry[1] + 2, entry
