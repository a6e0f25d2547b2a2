#!/usr/bin/env python3
"""Fixtures of the decor cache tests (tests/cpp/decor_*_test.cpp).

Writes under tests/data/decor/:
  expr_small.tsv, pathways_small.gmt   a small matrix with edge rows and GMT
  expr_rand.tsv.gz, pathways_rand.gmt  a random matrix (two gzip members) and sets
  cache_<set>_<kind>.tsv               the expected cache file text for each
  f32_text.txt                         float32 bits -> '%.8f' text
  sha256.txt                           digests (hashlib) of files the test makes

Redundancies follow the build's arithmetic with plain Python floats: row sums
added left to right, d / sqrt(s), dot products added left to right, pairs
i < j in order, max(r, 0) or |r|, sum / (m - 1), clamped, then numpy's
float64 -> float32 rounding. numpy.corrcoef checks the Pearson values to 1e-12.
"""
import gzip
import hashlib
import math
import os
import random
import struct

import numpy as np

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "decor")


def standardise(row):
    n = len(row)
    if all(v == row[0] for v in row):
        return [0.0] * n
    s = 0.0
    for v in row:
        s += v
    mean = s / n
    d = [v - mean for v in row]
    ss = 0.0
    for v in d:
        ss += v * v
    if ss > 0.0:
        root = math.sqrt(ss)
        return [v / root for v in d]
    return [0.0] * n


def dot(a, b):
    acc = 0.0
    for x, y in zip(a, b):
        acc += x * y
    return acc


def redundancies(rows, kind):
    m = len(rows)
    if m == 0:
        return []
    if m == 1:
        return [0.0]
    sums = [0.0] * m
    for i in range(m):
        for j in range(i + 1, m):
            r = min(max(dot(rows[i], rows[j]), -1.0), 1.0)
            v = max(r, 0.0) if kind == "positive_mean" else abs(r)
            sums[i] += v
            sums[j] += v
    return [float(np.float32(min(max(s / (m - 1), 0.0), 1.0))) for s in sums]


def read_matrix(text):
    lines = text.split("\n")
    genes, rows = [], []
    for line in lines[1:]:
        if not line:
            continue
        f = line.split("\t")
        genes.append(f[0])
        rows.append([float(x) for x in f[1:]])
    return genes, rows


def read_gmt(text):
    out = []
    for line in text.split("\n"):
        if not line.strip():
            continue
        f = line.split("\t")
        out.append((f[0], [g.strip() for g in f[2:] if g.strip()]))
    return out


def cache_text(pathways, genes, rows, kind, gmt_sha, expr_sha):
    std = {g: standardise(r) for g, r in zip(genes, rows)}
    raw = dict(zip(genes, rows))
    entries = {}
    for name, members in pathways:
        seen, kept = set(), []
        for g in members:
            if g in seen or g not in std:
                continue
            seen.add(g)
            kept.append(g)
        red = redundancies([std[g] for g in kept], kind)
        # Cross-check the Pearson values of non-constant rows against numpy.
        for i in range(len(kept)):
            for j in range(i + 1, len(kept)):
                a, b = raw[kept[i]], raw[kept[j]]
                if len(set(a)) > 1 and len(set(b)) > 1:
                    ref = np.corrcoef(a, b)[0, 1]
                    assert abs(ref - dot(std[kept[i]], std[kept[j]])) < 1e-12
        entries[name] = (kept, red)
    n_rows = sum(len(k) for k, _ in entries.values())
    out = [
        "# tarvelo_decor_cache_format=tarvelo-decor-cache",
        "# tarvelo_decor_cache_version=1",
        "# created_by=tarvelo",
        "# gmt_sha256=" + gmt_sha,
        "# expression_sha256=" + expr_sha,
        "# correlation=pearson",
        "# redundancy=" + kind,
        "# expression_gene_axis=rows",
        "# expression_has_header=true",
        "# gene_id_mode=verbatim",
        "# n_pathways=%d" % len(pathways),
        "# n_rows=%d" % n_rows,
        "pathway\tgene\tredundancy",
    ]
    for name in sorted(entries, key=lambda s: s.encode()):
        kept, red = entries[name]
        for g, v in zip(kept, red):
            out.append("%s\t%s\t%.8f" % (name, g, v))
    return "\n".join(out) + "\n"


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def small_set():
    # G_const: constant with an inexact mean; G_same1/G_same2 identical;
    # G_opp the exact negation of G_same1; "G1" and " G1" are distinct genes.
    rows = [
        ("G1", "1.5\t2.25\t-0.5\t3\t4.75\t0.125"),
        (" G1", "2\t1\t0\t-1\t5\t3.5"),
        ("G_const", "0.1\t0.1\t0.1\t0.1\t0.1\t0.1"),
        ("G_same1", "1e-3\t2E-3\t.5\t7.\t-2\t3.25"),
        ("G_same2", "0.001\t0.002\t0.5\t7\t-2\t3.25"),
        ("G_opp", "-0.001\t-0.002\t-0.5\t-7\t2\t-3.25"),
        ("G_neg_const", "-3.321928\t-3.321928\t-3.321928\t-3.321928\t-3.321928\t-3.321928"),
        ("G_x", "+4\t3\t9.5\t-1.25\t0\t2"),
        ("G_y", "10\t-3\t4.5\t8\t1\t-6"),
    ]
    text = "gene\ts1\ts2\ts3\ts4\ts5\ts6\n" + "".join("%s\t%s\n" % r for r in rows)
    gmt = "\n".join([
        "P_main\tdesc\tG1\tG_same1\tG_same2\tG_opp\tG_x\tG1\tMISSING",
        "#hash path\t\tG_x\tG_y",
        "P_const\t\tG_const\tG_neg_const\tG_x\tG_y",
        "P_single\t\tG_y\tNOPE",
        "P_none\t\tNOPE1\tNOPE2",
        "A_first\t\tG_y\tG_x\tG_same2",
    ]) + "\n"
    return text.encode(), gmt.encode()


def random_set(rng):
    n_genes, n_samples = 60, 31
    genes = ["RG%02d" % i for i in range(n_genes)]
    lines = ["gene\t" + "\t".join("S%d" % k for k in range(n_samples))]
    base = [[rng.gauss(0, 1) for _ in range(n_samples)] for _ in range(4)]
    for i, g in enumerate(genes):
        mix = base[i % 4]
        w = rng.uniform(0.2, 1.0)
        vals = [w * mix[k] + rng.gauss(0, 1) * (1 - w) + 5.0 for k in range(n_samples)]
        lines.append(g + "\t" + "\t".join("%.6g" % v for v in vals))
    text = "\n".join(lines) + "\n"
    sets = []
    for p in range(24):
        size = rng.choice([0, 1, 2, 3, 5, 8, 13, 21, 34, 40])
        members = [rng.choice(genes) for _ in range(size)]
        if p % 5 == 0:
            members.append("NOT_IN_MATRIX")
        sets.append(("RP_%02d" % ((p * 7) % 24), members))
    gmt = "".join("%s\tx\t%s\n" % (n, "\t".join(m) if m else "ABSENT") for n, m in sets)
    return text.encode(), gmt.encode()


def f32_cases(rng):
    vals = [1 / 512, 3 / 512, 0.5, 1.0, 0.0, 5 / 1024 + 0, 1e-9, 0.123456789, 0.99999999]
    vals += [k / 2 ** 9 for k in range(1, 40, 2)]        # exact ties at the 9th place
    vals += [k / 2 ** 10 for k in range(1, 60, 3)]
    vals += [rng.random() for _ in range(300)]
    vals += [rng.random() * 1e-6 for _ in range(50)]
    out = []
    for v in vals:
        f = np.float32(v)
        bits = struct.unpack("<I", struct.pack("<f", f))[0]
        out.append("%08x %.8f" % (bits, float(f)))
    return "\n".join(out) + "\n"


def digest_cases():
    # Contents the test recreates: empty, "abc", and a patterned block that
    # spans several 64 KiB chunks.
    patterned = bytes((i * i + 7 * i) % 251 for i in range(200003))
    lines = [
        "empty %s" % hashlib.sha256(b"").hexdigest(),
        "abc %s" % hashlib.sha256(b"abc").hexdigest(),
        "patterned %s" % hashlib.sha256(patterned).hexdigest(),
    ]
    for name in ["expr_small.tsv", "pathways_small.gmt", "expr_rand.tsv.gz", "pathways_rand.gmt"]:
        with open(os.path.join(OUT, name), "rb") as f:
            lines.append("%s %s" % (name, hashlib.sha256(f.read()).hexdigest()))
    return "\n".join(lines) + "\n"


def main():
    os.makedirs(OUT, exist_ok=True)
    rng = random.Random(20261207)
    expr, gmt = small_set()
    write("expr_small.tsv", expr)
    write("pathways_small.gmt", gmt)
    rexpr, rgmt = random_set(rng)
    # Two gzip members split inside a line: a reader of the first member only
    # would lose genes and cut a value short.
    cut = len(rexpr) // 2 + 3
    write("expr_rand.tsv.gz", gzip.compress(rexpr[:cut], mtime=0) + gzip.compress(rexpr[cut:], mtime=0))
    write("pathways_rand.gmt", rgmt)
    for tag, etext, gtext, ename, gname in [
        ("small", expr, gmt, "expr_small.tsv", "pathways_small.gmt"),
        ("rand", rexpr, rgmt, "expr_rand.tsv.gz", "pathways_rand.gmt"),
    ]:
        genes, rows = read_matrix(etext.decode())
        pathways = read_gmt(gtext.decode())
        with open(os.path.join(OUT, ename), "rb") as f:
            esha = hashlib.sha256(f.read()).hexdigest()
        gsha = hashlib.sha256(gtext).hexdigest()
        for kind in ["positive_mean", "abs_mean"]:
            write("cache_%s_%s.tsv" % (tag, kind),
                  cache_text(pathways, genes, rows, kind, gsha, esha).encode())
    write("f32_text.txt", f32_cases(rng).encode())
    write("sha256.txt", digest_cases().encode())


if __name__ == "__main__":
    main()
